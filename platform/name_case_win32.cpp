#include <windows.h>

#include "platform/name_case.h"
#include "platform/wide_win32.h"

std::string FoldNameCase(const std::string& strName) {
  std::wstring strWide;
  if (!Utf8ToWide(strName, strWide) || strWide.empty()) {
    std::string out = strName;
    for (char& c : out) {
      if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
    }
    return out;
  }
  // The invariant upper case: what the file system compares names in.
  std::wstring strUpper(strWide.size(), L'\0');
  const int n =
      LCMapStringEx(LOCALE_NAME_INVARIANT, LCMAP_UPPERCASE, strWide.data(), static_cast<int>(strWide.size()),
                    strUpper.data(), static_cast<int>(strUpper.size()), nullptr, nullptr, 0);
  if (n <= 0) return strName;
  strUpper.resize(static_cast<size_t>(n));
  return WideToUtf8(strUpper);
}
