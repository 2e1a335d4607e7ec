#include <windows.h>

#include "platform/own_path.h"
#include "platform/wide_win32.h"

bool IsRegularFile(const std::string& strPath) {
  std::wstring strWide;
  if (!Utf8ToWide(strPath, strWide)) return false;
  const DWORD dwAttributes = ::GetFileAttributesW(strWide.c_str());
  return dwAttributes != INVALID_FILE_ATTRIBUTES && !(dwAttributes & FILE_ATTRIBUTE_DIRECTORY);
}

std::string OwnDirectory() {
  std::wstring strExe(MAX_PATH, L'\0');
  for (;;) {
    const DWORD n = ::GetModuleFileNameW(nullptr, strExe.data(), static_cast<DWORD>(strExe.size()));
    if (n == 0) return std::string();
    if (n < strExe.size()) {
      strExe.resize(n);
      break;
    }
    if (strExe.size() >= 32768) return std::string();
    strExe.resize(strExe.size() * 2);
  }
  const std::size_t nSlash = strExe.find_last_of(L"\\/");
  if (nSlash == std::wstring::npos) return std::string();
  // "C:\Quorvane.exe" lives in "C:\", not in "C:".
  return WideToUtf8(strExe.substr(0, nSlash == 2 && strExe[1] == L':' ? nSlash + 1 : nSlash));
}
