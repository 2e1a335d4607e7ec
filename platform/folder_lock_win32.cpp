// The folder lock on Windows: the lock file is held open sharing only reading,
// so that a second locker (which asks for no sharing) fails with a sharing
// violation but can still read who holds it, and it is deleted on close, so
// that it goes with the handle however the process ends.
#include <windows.h>

#include <cstdlib>
#include <string>

#include "platform/folder_lock.h"
#include "platform/wide_win32.h"

namespace {

// m_fd holds the handle as the int that CFile also keeps handles in.
HANDLE ToHandle(int fd) {
  return reinterpret_cast<HANDLE>(static_cast<intptr_t>(fd));
}

std::string CurrentFolder() {
  std::wstring str(MAX_PATH, L'\0');
  DWORD n = ::GetCurrentDirectoryW(static_cast<DWORD>(str.size()), str.data());
  if (n > str.size()) {
    str.resize(n);
    n = ::GetCurrentDirectoryW(n, str.data());
  }
  str.resize(n < str.size() ? n : 0);
  return WideToUtf8(str);
}

// The process that holds the lock at strName, as it wrote itself into the
// file; 0 when unknown.
unsigned long Holder(const std::wstring& strName) {
  const HANDLE h =
      ::CreateFileW(strName.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                    nullptr, OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
  if (h == INVALID_HANDLE_VALUE) return 0;
  char sz[32] = {};
  DWORD n = 0;
  const BOOL bRead = ::ReadFile(h, sz, sizeof sz - 1, &n, nullptr);
  ::CloseHandle(h);
  return bRead ? std::strtoul(sz, nullptr, 10) : 0;
}

}  // namespace

bool CFolderLock::Acquire(const char* pszName, std::string& strError) {
  Release();
  const std::string strFolder = CurrentFolder();
  auto fail = [&](const std::string& strWhy) {
    strError =
        "Unable to lock the installation folder " + strFolder + ": " + strWhy + ". Nothing was changed.";
    return false;
  };
  std::wstring strName;
  if (!Utf8ToWide(pszName, strName)) return fail(std::string(pszName) + ": the name is not valid UTF-8");

  // A lock file that a holder is just removing (delete pending) cannot be
  // opened for a moment: a few tries.
  for (int nTry = 0; nTry < 100; ++nTry) {
    const HANDLE h =
        ::CreateFileW(strName.c_str(), GENERIC_READ | GENERIC_WRITE | DELETE, FILE_SHARE_READ, nullptr,
                      CREATE_NEW, FILE_ATTRIBUTE_HIDDEN | FILE_FLAG_DELETE_ON_CLOSE, nullptr);
    if (h != INVALID_HANDLE_VALUE) {
      m_fd = static_cast<int>(reinterpret_cast<intptr_t>(h));
      m_strName = pszName;
      const std::string strPid = std::to_string(::GetCurrentProcessId()) + "\n";
      DWORD nWritten = 0;
      // Only informative: the lock holds even when this write fails.
      ::WriteFile(h, strPid.data(), static_cast<DWORD>(strPid.size()), &nWritten, nullptr);
      return true;
    }
    const DWORD dwCreateError = ::GetLastError();
    DWORD dwError = dwCreateError;
    if (dwError != ERROR_FILE_EXISTS && dwError != ERROR_ALREADY_EXISTS && dwError != ERROR_ACCESS_DENIED)
      return fail(std::string(pszName) + ": " + SystemErrorText(dwError));

    // Something stands at the name. Looked at itself, never through a link,
    // and held without sharing while it is looked at.
    const HANDLE hOld = ::CreateFileW(strName.c_str(), GENERIC_READ | DELETE, 0, nullptr, OPEN_EXISTING,
                                      FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (hOld == INVALID_HANDLE_VALUE) {
      dwError = ::GetLastError();
      if (dwError == ERROR_SHARING_VIOLATION) {
        strError = HeldMessage(Holder(strName));
        return false;
      }
      // Gone between the two calls, or delete pending: once more. Nothing
      // there and no right to create it: the folder refuses us.
      const bool bNothing = dwError == ERROR_FILE_NOT_FOUND && dwCreateError == ERROR_ACCESS_DENIED;
      if (!bNothing && (dwError == ERROR_FILE_NOT_FOUND || dwError == ERROR_ACCESS_DENIED) && nTry < 99) {
        ::Sleep(10);
        continue;
      }
      if (bNothing) dwError = dwCreateError;
      return fail(std::string(pszName) + ": " + SystemErrorText(dwError));
    }
    BY_HANDLE_FILE_INFORMATION info{};
    const BOOL bInfo = ::GetFileInformationByHandle(hOld, &info);
    if (bInfo && (info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) {
      ::CloseHandle(hOld);
      return fail(std::string(pszName) + " is a symbolic link");
    }
    if (!bInfo || (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
      ::CloseHandle(hOld);
      return fail(std::string(pszName) + " is not a regular file");
    }
    // A lock file nobody holds (left by a system that went down): removed,
    // and the lock is taken afresh.
    FILE_DISPOSITION_INFO dispose{};
    dispose.DeleteFile = TRUE;
    const BOOL bGone = ::SetFileInformationByHandle(hOld, FileDispositionInfo, &dispose, sizeof dispose);
    dwError = ::GetLastError();
    ::CloseHandle(hOld);
    if (!bGone) return fail(std::string(pszName) + ": " + SystemErrorText(dwError));
  }
  return fail("its lock file keeps changing");
}

void CFolderLock::Release() {
  if (m_fd == -1) return;
  // Deleted on close, before anyone else can open the name.
  ::CloseHandle(ToHandle(m_fd));
  m_fd = -1;
}
