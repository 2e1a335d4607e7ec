#include <windows.h>

#include <algorithm>
#include <vector>

#include "platform/file_new.h"
#include "platform/wide_win32.h"

namespace {

// A security descriptor whose DACL lets only this process's user in and takes
// nothing from the folder: what mode 0600 means on POSIX.
class CPrivateSecurity {
 public:
  bool Make() {
    HANDLE hToken = nullptr;
    if (!::OpenProcessToken(::GetCurrentProcess(), TOKEN_QUERY, &hToken)) return false;
    DWORD dwSize = 0;
    ::GetTokenInformation(hToken, TokenUser, nullptr, 0, &dwSize);
    m_user.resize(dwSize);
    const bool bUser =
        dwSize != 0 && ::GetTokenInformation(hToken, TokenUser, m_user.data(), dwSize, &dwSize);
    ::CloseHandle(hToken);
    if (!bUser) return false;
    const PSID pSid = reinterpret_cast<TOKEN_USER*>(m_user.data())->User.Sid;
    m_acl.resize(sizeof(ACL) + sizeof(ACCESS_ALLOWED_ACE) + ::GetLengthSid(pSid));
    const auto pAcl = reinterpret_cast<PACL>(m_acl.data());
    return ::InitializeAcl(pAcl, static_cast<DWORD>(m_acl.size()), ACL_REVISION) &&
           ::AddAccessAllowedAce(pAcl, ACL_REVISION, FILE_ALL_ACCESS, pSid) &&
           ::InitializeSecurityDescriptor(&m_sd, SECURITY_DESCRIPTOR_REVISION) &&
           ::SetSecurityDescriptorDacl(&m_sd, TRUE, pAcl, FALSE) &&
           ::SetSecurityDescriptorControl(&m_sd, SE_DACL_PROTECTED, SE_DACL_PROTECTED);
  }
  SECURITY_ATTRIBUTES* Attributes() {
    m_sa = {sizeof m_sa, &m_sd, FALSE};
    return &m_sa;
  }

 private:
  std::vector<unsigned char> m_user;
  std::vector<unsigned char> m_acl;
  SECURITY_DESCRIPTOR m_sd{};
  SECURITY_ATTRIBUTES m_sa{};
};

}  // namespace

BOOL WriteNewFile(const std::string& strPath, const std::string& strData, unsigned nMode,
                  std::string& strError) {
  std::wstring strWide;
  if (!Utf8ToWide(strPath, strWide)) {
    strError = "cannot create " + strPath + ": the name is not valid UTF-8";
    return FALSE;
  }
  // Windows has no permission bits: a file no one else may read or write is
  // one whose access list names only its owner; any other mode keeps the
  // folder's inherited list.
  CPrivateSecurity security;
  const bool bPrivate = (nMode & 077) == 0;
  if (bPrivate && !security.Make()) {
    strError = "cannot create " + strPath + " readable by you alone: " + SystemErrorText(::GetLastError());
    return FALSE;
  }
  // CREATE_NEW fails on any existing name, a link included; no one else may
  // open the file while it is written.
  const HANDLE h =
      ::CreateFileW(strWide.c_str(), GENERIC_WRITE, 0, bPrivate ? security.Attributes() : nullptr, CREATE_NEW,
                    FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == INVALID_HANDLE_VALUE) {
    strError = "cannot create " + strPath + ": " + SystemErrorText(::GetLastError());
    return FALSE;
  }
  DWORD dwError = 0;
  for (size_t nDone = 0; dwError == 0 && nDone < strData.size();) {
    const DWORD dwChunk = static_cast<DWORD>(std::min<size_t>(strData.size() - nDone, 1 << 20));
    DWORD dwWritten = 0;
    if (!::WriteFile(h, strData.data() + nDone, dwChunk, &dwWritten, nullptr)) {
      dwError = ::GetLastError();
    } else if (dwWritten == 0) {
      dwError = ERROR_WRITE_FAULT;
    }
    nDone += dwWritten;
  }
  if (dwError == 0 && !::FlushFileBuffers(h)) dwError = ::GetLastError();
  if (!::CloseHandle(h) && dwError == 0) dwError = ::GetLastError();
  if (dwError != 0) {
    ::DeleteFileW(strWide.c_str());
    strError = "cannot write " + strPath + ": " + SystemErrorText(dwError);
    return FALSE;
  }
  return TRUE;
}
