#include "platform/wide_win32.h"

#include <windows.h>

#include <climits>

bool Utf8ToWide(const std::string& strUtf8, std::wstring& strWide) {
  strWide.clear();
  if (strUtf8.empty()) return true;
  if (strUtf8.size() > static_cast<size_t>(INT_MAX)) return false;
  const int nIn = static_cast<int>(strUtf8.size());
  const int nOut = ::MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, strUtf8.data(), nIn, nullptr, 0);
  if (nOut <= 0) return false;
  strWide.resize(static_cast<size_t>(nOut));
  return ::MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, strUtf8.data(), nIn, strWide.data(), nOut) ==
         nOut;
}

std::string WideToUtf8(const std::wstring& strWide) {
  if (strWide.empty() || strWide.size() > static_cast<size_t>(INT_MAX)) return std::string();
  const int nIn = static_cast<int>(strWide.size());
  const int nOut = ::WideCharToMultiByte(CP_UTF8, 0, strWide.data(), nIn, nullptr, 0, nullptr, nullptr);
  if (nOut <= 0) return std::string();
  std::string strUtf8(static_cast<size_t>(nOut), '\0');
  ::WideCharToMultiByte(CP_UTF8, 0, strWide.data(), nIn, strUtf8.data(), nOut, nullptr, nullptr);
  return strUtf8;
}

bool ReachedThroughLink(void* hFile, const std::wstring& strPath) {
  std::wstring strFinal(32768, L'\0');
  const DWORD n = ::GetFinalPathNameByHandleW(hFile, strFinal.data(), static_cast<DWORD>(strFinal.size()), 0);
  if (n == 0 || n >= strFinal.size()) return false;  // nothing to tell by: the name's checks stand
  strFinal.resize(n);
  const auto leaf = [](const std::wstring& str) { return str.substr(str.find_last_of(L"\\/") + 1); };
  return ::CompareStringOrdinal(leaf(strFinal).c_str(), -1, leaf(strPath).c_str(), -1, TRUE) != CSTR_EQUAL;
}

std::string SystemErrorText(unsigned long dwError) {
  wchar_t* pszText = nullptr;
  const DWORD n = ::FormatMessageW(
      FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
      dwError, MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT), reinterpret_cast<wchar_t*>(&pszText), 0, nullptr);
  std::wstring strText = n ? std::wstring(pszText, n) : std::wstring();
  if (pszText) ::LocalFree(pszText);
  while (!strText.empty() && (strText.back() == L'\n' || strText.back() == L'\r' || strText.back() == L' ' ||
                              strText.back() == L'.'))
    strText.pop_back();
  if (strText.empty()) return "Windows error " + std::to_string(dwError);
  return WideToUtf8(strText);
}
