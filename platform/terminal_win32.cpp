#include <windows.h>

#include "platform/terminal.h"
#include "platform/wide_win32.h"

BOOL ReadSecretFromTerminal(const std::string& strPrompt, std::string& strSecret) {
  // The console itself, whatever standard input and output were redirected to.
  const HANDLE hIn = ::CreateFileW(L"CONIN$", GENERIC_READ | GENERIC_WRITE,
                                   FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr);
  if (hIn == INVALID_HANDLE_VALUE) return FALSE;
  const HANDLE hOut = ::CreateFileW(L"CONOUT$", GENERIC_READ | GENERIC_WRITE,
                                    FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr);
  DWORD dwSaved = 0;
  if (hOut == INVALID_HANDLE_VALUE || !::GetConsoleMode(hIn, &dwSaved)) {
    if (hOut != INVALID_HANDLE_VALUE) ::CloseHandle(hOut);
    ::CloseHandle(hIn);
    return FALSE;
  }
  ::SetConsoleMode(hIn, (dwSaved | ENABLE_LINE_INPUT | ENABLE_PROCESSED_INPUT) & ~ENABLE_ECHO_INPUT);
  std::wstring strWide;
  Utf8ToWide(strPrompt, strWide);
  DWORD dwDone = 0;
  ::WriteConsoleW(hOut, strWide.data(), static_cast<DWORD>(strWide.size()), &dwDone, nullptr);
  std::wstring strLine;
  BOOL bRead = FALSE;
  for (wchar_t c;;) {
    DWORD dwRead = 0;
    if (!::ReadConsoleW(hIn, &c, 1, &dwRead, nullptr) || dwRead == 0) break;
    if (c == L'\n') {
      bRead = TRUE;
      break;
    }
    if (c != L'\r') strLine += c;
  }
  ::SetConsoleMode(hIn, dwSaved);
  // The Enter that was not echoed.
  ::WriteConsoleW(hOut, L"\r\n", 2, &dwDone, nullptr);
  strSecret = WideToUtf8(strLine);
  SecureZeroMemory(strLine.data(), strLine.size() * sizeof(wchar_t));
  ::CloseHandle(hOut);
  ::CloseHandle(hIn);
  return bRead;
}
