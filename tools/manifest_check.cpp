#include "tools/manifest_check.h"

#include <algorithm>
#include <map>
#include <string_view>
#include <utility>

#include "core/version_array.h"
#include "manifest/item_name.h"
#include "manifest/updater_names.h"
#include "platform/name_case.h"

namespace {

constexpr unsigned long kMaxVersionPart = 65535;

// Length of the well-formed UTF-8 sequence at s[i], or 0 when there is none
// (overlong forms, surrogates and code points above U+10FFFF are not well formed).
std::size_t Utf8SequenceLength(const std::string& s, std::size_t i) {
  const auto byte = [&s](std::size_t n) { return static_cast<unsigned char>(s[n]); };
  const unsigned char b0 = byte(i);
  if (b0 < 0x80) return 1;
  std::size_t nLength = 0;
  unsigned char nMin = 0x80;
  unsigned char nMax = 0xBF;  // bounds of the second byte
  if (b0 >= 0xC2 && b0 <= 0xDF) {
    nLength = 2;
  } else if (b0 >= 0xE0 && b0 <= 0xEF) {
    nLength = 3;
    if (b0 == 0xE0) nMin = 0xA0;
    if (b0 == 0xED) nMax = 0x9F;
  } else if (b0 >= 0xF0 && b0 <= 0xF4) {
    nLength = 4;
    if (b0 == 0xF0) nMin = 0x90;
    if (b0 == 0xF4) nMax = 0x8F;
  } else {
    return 0;
  }
  if (i + nLength > s.size()) return 0;
  if (byte(i + 1) < nMin || byte(i + 1) > nMax) return 0;
  for (std::size_t k = 2; k < nLength; ++k) {
    if (byte(i + k) < 0x80 || byte(i + k) > 0xBF) return 0;
  }
  return nLength;
}

bool IsDigit(char c) {
  return c >= '0' && c <= '9';
}
bool IsSpace(char c) {
  return c == ' ' || (c >= '\t' && c <= '\r');
}

// The parser's key order: the first of these a line contains is its key.
constexpr std::string_view kKeysBeforeSize[] = {
    "SVERSION:", "SNAME:", "SCOMPRESSED:", "VERSION:", "REBOOT:", "NUMBERITEMS:", "ITEM:", "NAME:"};

bool IsSizeLine(const std::string& strLine) {
  if (strLine.find("SIZE:") == std::string::npos) return false;
  for (const std::string_view strKey : kKeysBeforeSize) {
    if (strLine.find(strKey) != std::string::npos) return false;
  }
  return true;
}

// The value of a key line, cut as the parser cuts it.
std::string ValueOf(const std::string& strLine) {
  std::size_t nStart = strLine.find(':') + 1;
  while (nStart + 1 < strLine.size() && strLine[nStart] == ' ') ++nStart;
  std::string strValue = nStart < strLine.size() ? strLine.substr(nStart) : std::string();
  strValue.resize(strValue.find_first_of("\r\n") == std::string::npos ? strValue.size()
                                                                      : strValue.find_first_of("\r\n"));
  return strValue;
}

// Why a SIZE value would be read as another number than it says; empty when
// it reads as written. nRead is what the parser made of it.
std::string SizeProblem(const std::string& strValue, ULONGLONG nRead) {
  std::size_t i = 0;
  while (i < strValue.size() && IsSpace(strValue[i])) ++i;
  const std::size_t nDigits = i;
  std::uint64_t nValue = 0;
  bool bOver = false;
  for (; i < strValue.size() && IsDigit(strValue[i]); ++i) {
    nValue = nValue * 10 + static_cast<std::uint64_t>(strValue[i] - '0');
    if (nValue > 0xFFFFFFFFull) bOver = true;
  }
  const bool bNumber = i > nDigits;
  while (i < strValue.size() && IsSpace(strValue[i])) ++i;
  const std::string strRead = "; the updater reads it as " + std::to_string(nRead);
  if (!bNumber || i != strValue.size()) return "SIZE \"" + strValue + "\" is not a number" + strRead;
  if (bOver) return "SIZE " + strValue.substr(nDigits, i - nDigits) + " is more than 4294967295" + strRead;
  return {};
}

bool EndsWith(const std::string& s, const std::string& strSuffix) {
  return s.size() >= strSuffix.size() &&
         s.compare(s.size() - strSuffix.size(), strSuffix.size(), strSuffix) == 0;
}

}  // namespace

std::string VersionProblem(const std::string& strVersion) {
  if (strVersion.empty()) return "it is empty";
  std::size_t nStart = 0;
  while (true) {
    const std::size_t nDot = strVersion.find('.', nStart);
    const std::string strPart =
        strVersion.substr(nStart, nDot == std::string::npos ? std::string::npos : nDot - nStart);
    if (strPart.empty()) return "it has an empty part; give dotted numbers such as 1.2.0.5";
    unsigned long nValue = 0;
    for (const char c : strPart) {
      if (!IsDigit(c)) return "'" + strPart + "' is not a number; give dotted numbers such as 1.2.0.5";
      nValue = nValue * 10 + static_cast<unsigned long>(c - '0');
      if (nValue > kMaxVersionPart) return "the part " + strPart + " is more than 65535";
    }
    if (nDot == std::string::npos) return {};
    nStart = nDot + 1;
  }
}

bool IsValidUtf8(const std::string& s) {
  for (std::size_t i = 0; i < s.size();) {
    const std::size_t n = Utf8SequenceLength(s, i);
    if (n == 0) return false;
    i += n;
  }
  return true;
}

std::string WindowsNameProblem(const std::string& strName) {
  if (!IsValidUtf8(strName)) return "it is not UTF-8 text";
  for (const std::string_view part : PathParts(strName)) {
    if (const size_t n = part.find_first_of(":*?\"<>|"); n != std::string_view::npos) {
      return std::string("Windows allows no '") + part[n] + "' in a name";
    }
    if (!part.empty() && (part.back() == '.' || part.back() == ' ')) {
      return "Windows drops a dot or a space at the end of a name";
    }
    // The name of a device whatever the extension: programs other than the
    // updater could not open the file.
    if (IsWindowsDeviceName(part)) {
      return "Windows reserves \"" + std::string(part.substr(0, part.find('.'))) + "\" for a device";
    }
  }
  return {};
}

std::string ItemNameProblem(const std::string& strName, bool bCompressed) {
  std::string strReason;
  if (!IsSafeItemName(strName, &strReason)) return "the updater refuses this name: " + strReason;
  CUpdateFileItem item;
  item.m_strName = strName;
  item.m_bCompressed = bCompressed ? TRUE : FALSE;
  const std::string strTarget = TargetFileName(item);
  if (bCompressed && !EndsWith(strName, ".crz")) {
    return "it is marked compressed, but its name does not end in \".crz\" (it would be installed as \"" +
           strTarget + "\")";
  }
  if (!IsSafeItemName(strTarget, &strReason)) {
    return "the updater refuses the installed name \"" + strTarget + "\": " + strReason;
  }
  if (IsUpdaterFileName(strTarget, &strReason)) {
    return "the updater refuses the installed name \"" + strTarget + "\": " + strReason;
  }
  // The product is installed on Windows, whose updater refuses these too.
  if (strReason = WindowsNameProblem(strTarget); !strReason.empty()) {
    return "the Windows updater refuses the installed name \"" + strTarget + "\": " + strReason;
  }
  return {};
}

void CManifestChecker::Line(const std::string& strLine, const CUpdateInfo& info) {
  if (!m_bFirstLineSeen) {
    m_bFirstLineSeen = true;
    m_bByteOrderMark = strLine.rfind("\xEF\xBB\xBF", 0) == 0;
  }
  // Only a SIZE: line that the parser gave to an item matters; the item it
  // set is the last one listed.
  if (strLine.size() < 3 || info.m_nSection != SECTION_FILES || info.m_pCurItem == nullptr ||
      info.m_arrItems.empty() || info.m_arrItems.back().get() != info.m_pCurItem || !IsSizeLine(strLine)) {
    return;
  }
  if (strLine[0] == '[') {
    for (const char* pszHeader : {"[GENERAL]", "[FILES]", "[REGISTRY]", "[SELF]"}) {
      if (strLine.find(pszHeader) != std::string::npos) return;
    }
  }
  m_mapSizeProblems[info.m_arrItems.size() - 1] = SizeProblem(ValueOf(strLine), info.m_pCurItem->m_nSize);
}

std::vector<std::string> CManifestChecker::Errors(const CUpdateInfo& info, std::uint64_t nBytes) const {
  std::vector<std::string> arrErrors;
  if (nBytes > kMaxManifestBytes) {
    arrErrors.push_back("the file has " + std::to_string(nBytes) +
                        " bytes; the updater refuses manifests larger than 1 MiB (1048576 bytes)");
  }
  if (m_bByteOrderMark) {
    arrErrors.push_back(
        "the file starts with a UTF-8 byte-order mark, which the updater reads as part of the first line "
        "(save the file as UTF-8 without one)");
  }
  if (info.m_strVersion.empty()) {
    arrErrors.push_back("no version is given; the updater reads it as 0 and never installs this update");
  } else if (std::string strWhy = VersionProblem(info.m_strVersion); !strWhy.empty()) {
    CVersionArray version;
    version.FromString(info.m_strVersion);
    arrErrors.push_back("the version \"" + info.m_strVersion +
                        "\" is not one the updater reads as written (" + strWhy + "); it reads it as " +
                        version.ToString());
  }
  if (info.m_arrItems.size() != info.m_nNumberItems) {
    arrErrors.push_back("NUMBERITEMS declares " + std::to_string(info.m_nNumberItems) + " file items, but " +
                        std::to_string(info.m_arrItems.size()) + " are listed");
  }
  for (std::size_t i = 0; i < info.m_arrItems.size(); ++i) {
    const CUpdateFileItem& item = *info.m_arrItems[i];
    const std::string strItem = "item #" + std::to_string(i + 1) + " \"" + item.m_strName + "\": ";
    if (std::string strWhy = ItemNameProblem(item.m_strName, item.m_bCompressed != FALSE); !strWhy.empty()) {
      arrErrors.push_back(strItem + strWhy);
    }
    if (const auto it = m_mapSizeProblems.find(i); it != m_mapSizeProblems.end() && !it->second.empty()) {
      arrErrors.push_back(strItem + it->second);
    }
  }
  // Two items for one installed file: the later one is copied over the
  // earlier. Windows, where the product lives, takes names apart from case
  // as one.
  // A file where another item needs a folder cannot be installed either.
  std::map<std::string, std::size_t> mapInstalled;
  std::map<std::string, std::size_t> mapFolders;  // each folder on an item's way, and that item
  for (std::size_t i = 0; i < info.m_arrItems.size(); ++i) {
    const std::string strTarget = TargetFileName(*info.m_arrItems[i]);
    for (size_t n = strTarget.find('/'); n != std::string::npos; n = strTarget.find('/', n + 1))
      mapFolders.emplace(FoldNameCase(strTarget.substr(0, n)), i);
  }
  const auto describe = [&](std::size_t i) {
    return "item #" + std::to_string(i + 1) + " \"" + info.m_arrItems[i]->m_strName + "\"";
  };
  for (std::size_t i = 0; i < info.m_arrItems.size(); ++i) {
    const std::string strTarget = TargetFileName(*info.m_arrItems[i]);
    const std::string strFolded = FoldNameCase(strTarget);
    if (const auto it = mapFolders.find(strFolded); it != mapFolders.end()) {
      arrErrors.push_back(describe(i) + ": it installs the file \"" + strTarget + "\" where " +
                          describe(it->second) + " needs a folder");
    }
    const auto [it, bNew] = mapInstalled.emplace(strFolded, i);
    if (bNew) continue;
    arrErrors.push_back(describe(i) + ": it installs \"" + strTarget + "\", as " + describe(it->second) +
                        " does (on Windows, names that differ only in case are one file)");
  }
  return arrErrors;
}
