// The updater's own files on Windows: created with an access list that lets
// in this user alone, opened as themselves (a reparse point at the
// name is refused, never followed), and only when they are files on a disk.
// <sddl.h> needs <windows.h> first.
// clang-format off
#include <windows.h>
#include <sddl.h>
// clang-format on

#include "platform/file_own.h"
#include "platform/wide_win32.h"

namespace {

// The SID of the user this process runs as, in its string form; empty when unknown.
std::wstring CurrentUserSid() {
  HANDLE hToken = nullptr;
  if (!::OpenProcessToken(::GetCurrentProcess(), TOKEN_QUERY, &hToken)) return {};
  union {
    TOKEN_USER user;
    BYTE bytes[sizeof(TOKEN_USER) + SECURITY_MAX_SID_SIZE];
  } info{};
  DWORD dwSize = 0;
  std::wstring strSid;
  LPWSTR pszSid = nullptr;
  if (::GetTokenInformation(hToken, TokenUser, &info, sizeof info, &dwSize) &&
      ::ConvertSidToStringSidW(info.user.User.Sid, &pszSid)) {
    strSid = pszSid;
    ::LocalFree(pszSid);
  }
  ::CloseHandle(hToken);
  return strSid;
}

}  // namespace

int OpenOwnFile(const std::string& strName, bool bCreate, std::string& strError) {
  std::wstring strWide;
  if (!Utf8ToWide(strName, strWide)) {
    strError = SystemErrorText(ERROR_NO_UNICODE_TRANSLATION);
    return -1;
  }
  // Protected from the folder's inherited entries; full access for this user.
  PSECURITY_DESCRIPTOR pDescriptor = nullptr;
  SECURITY_ATTRIBUTES security{sizeof security, nullptr, FALSE};
  if (bCreate) {
    const std::wstring strUser = CurrentUserSid();
    if (strUser.empty() ||
        !::ConvertStringSecurityDescriptorToSecurityDescriptorW((L"D:P(A;;FA;;;" + strUser + L")").c_str(),
                                                                SDDL_REVISION_1, &pDescriptor, nullptr)) {
      strError = SystemErrorText(::GetLastError());
      return -1;
    }
    security.lpSecurityDescriptor = pDescriptor;
  }
  const HANDLE h = ::CreateFileW(strWide.c_str(), GENERIC_READ | GENERIC_WRITE,
                                 FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                 bCreate ? &security : nullptr, bCreate ? CREATE_NEW : OPEN_EXISTING,
                                 FILE_ATTRIBUTE_HIDDEN | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
  const DWORD dwError = ::GetLastError();
  if (pDescriptor != nullptr) ::LocalFree(pDescriptor);
  if (h == INVALID_HANDLE_VALUE) {
    strError = SystemErrorText(dwError);
    return -1;
  }
  // The name's own attributes too: some systems (Wine) follow a link even so.
  BY_HANDLE_FILE_INFORMATION info{};
  const DWORD dwNameAttributes = ::GetFileAttributesW(strWide.c_str());
  // A second name (a hard link) would be a file outside the folder.
  if (!::GetFileInformationByHandle(h, &info) || ::GetFileType(h) != FILE_TYPE_DISK ||
      info.nNumberOfLinks != 1 ||
      ((info.dwFileAttributes | dwNameAttributes) &
       (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) != 0 ||
      ReachedThroughLink(h, strWide)) {
    strError = "not a regular file of this user, private to it and with no other name";
    ::CloseHandle(h);
    return -1;
  }
  return static_cast<int>(reinterpret_cast<intptr_t>(h));
}

void RemoveOwnFile(const std::string& strName) {
  std::wstring strWide;
  if (!Utf8ToWide(strName, strWide)) return;
  // Removed through a handle on the name itself, after the check that the
  // handle is not the file a link names.
  const HANDLE h =
      ::CreateFileW(strWide.c_str(), DELETE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                    OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (h == INVALID_HANDLE_VALUE) return;
  if (!ReachedThroughLink(h, strWide)) {
    FILE_DISPOSITION_INFO disposition{TRUE};
    ::SetFileInformationByHandle(h, FileDispositionInfo, &disposition, sizeof disposition);
  }
  ::CloseHandle(h);
}
