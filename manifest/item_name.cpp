#include "manifest/item_name.h"

#include <string_view>

namespace {

bool Refuse(std::string* pReason, const char* pszReason) {
  if (pReason != nullptr) *pReason = pszReason;
  return false;
}

bool IsAsciiLetter(char c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z');
}

}  // namespace

bool IsSafeItemName(const std::string& name, std::string* pReason) {
  if (name.empty()) return Refuse(pReason, "the name is empty");
  for (const char c : name) {
    const unsigned char b = static_cast<unsigned char>(c);
    if (b < 0x20 || b == 0x7F) return Refuse(pReason, "the name contains a control character");
    if (c == '\\') return Refuse(pReason, "the name contains a backslash");
  }
  if (name[0] == '/') return Refuse(pReason, "the name is an absolute path");
  if (name.size() >= 2 && IsAsciiLetter(name[0]) && name[1] == ':') {
    return Refuse(pReason, "the name begins with a drive letter");
  }
  for (const std::string_view component : PathParts(name)) {
    if (component.empty())
      return Refuse(pReason, "the name has an empty folder name (\"//\" or a final \"/\")");
    if (component == "..")
      return Refuse(pReason, "the name has a \"..\" part, which leads out of the folder");
    if (component == ".") return Refuse(pReason, "the name has a \".\" part");
    if (component.size() > 255) return Refuse(pReason, "a part of the name is longer than 255 bytes");
  }
  if (pReason != nullptr) pReason->clear();
  return true;
}

std::string FoldAsciiCase(std::string name) {
  for (char& c : name) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return name;
}

std::vector<std::string_view> PathParts(std::string_view name) {
  std::vector<std::string_view> arrParts;
  while (true) {
    const std::size_t nSlash = name.find('/');
    arrParts.push_back(name.substr(0, nSlash));
    if (nSlash == std::string_view::npos) return arrParts;
    name.remove_prefix(nSlash + 1);
  }
}

std::string PercentEncode(std::string_view str, bool (*pfnEscape)(unsigned char b)) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  std::string strEncoded;
  strEncoded.reserve(str.size());
  for (const char c : str) {
    const unsigned char b = static_cast<unsigned char>(c);
    if (pfnEscape(b)) {
      strEncoded += '%';
      strEncoded += kHex[b >> 4];
      strEncoded += kHex[b & 0x0F];
    } else {
      strEncoded += c;
    }
  }
  return strEncoded;
}

std::string EncodeUrlPath(const std::string& name) {
  return PercentEncode(name, [](unsigned char b) { return b <= 0x20 || b >= 0x7F || b == '#' || b == '?'; });
}
