// The output lock on Windows: a named mutex for the folder's full path, as a
// folder cannot be locked like a file. Windows tells no case apart in paths,
// so the name is taken in upper case.
#include <windows.h>

#include <functional>
#include <string>

#include "platform/output_lock.h"
#include "platform/wide_win32.h"

COutputLock::~COutputLock() {
  if (m_handle != -1) ::CloseHandle(reinterpret_cast<HANDLE>(m_handle));
}

bool COutputLock::TryLock(const std::string& strFolder, bool& bHeld, std::string& strError) {
  bHeld = false;
  std::wstring strWide;
  if (!Utf8ToWide(strFolder, strWide)) {
    strError = SystemErrorText(ERROR_NO_UNICODE_TRANSLATION);
    return false;
  }
  std::wstring strFull(MAX_PATH, L'\0');
  DWORD n = ::GetFullPathNameW(strWide.c_str(), static_cast<DWORD>(strFull.size()), strFull.data(), nullptr);
  if (n > strFull.size()) {
    strFull.resize(n);
    n = ::GetFullPathNameW(strWide.c_str(), n, strFull.data(), nullptr);
  }
  if (n == 0) {
    strError = SystemErrorText(::GetLastError());
    return false;
  }
  strFull.resize(n);
  while (strFull.size() > 3 && (strFull.back() == L'\\' || strFull.back() == L'/')) strFull.pop_back();
  ::CharUpperBuffW(strFull.data(), static_cast<DWORD>(strFull.size()));
  // A mutex name holds no backslash: the path's hash stands for it.
  const std::wstring strName = L"Local\\qvnpack-build-" + std::to_wstring(std::hash<std::wstring>{}(strFull));
  const HANDLE h = ::CreateMutexW(nullptr, FALSE, strName.c_str());
  if (h == nullptr) {
    strError = SystemErrorText(::GetLastError());
    return false;
  }
  if (::GetLastError() == ERROR_ALREADY_EXISTS) {
    ::CloseHandle(h);
    bHeld = true;
    strError = "held by another build";
    return false;
  }
  m_handle = reinterpret_cast<std::intptr_t>(h);
  return true;
}
