// The installation folder on Windows. Win32 has no calls relative to a folder
// handle, so every step names its file by full path, below the folder's own
// path; what keeps that path honest is the handles held on the way. Each
// folder on the way is opened as itself (FILE_FLAG_OPEN_REPARSE_POINT), a
// reparse point (symbolic link, junction) among them is refused, and the
// folder that holds the name stays open without FILE_SHARE_DELETE while the
// step runs, so that it cannot be renamed away or replaced by a link under
// us. The installation folder's own handle is held the same way for as long
// as this object lives.
//
// The mode, owner and group of POSIX have no place here: files get the
// folder's inherited permissions, and a read-only attribute reads as a
// file without write permission bits.
#include <windows.h>

#include "platform/file.h"
#include "platform/install_folder.h"
#include "platform/name_case.h"
#include "platform/wide_win32.h"

namespace {

HANDLE ToHandle(int fd) {
  return reinterpret_cast<HANDLE>(static_cast<intptr_t>(fd));
}

int FromHandle(HANDLE h) {
  return static_cast<int>(reinterpret_cast<intptr_t>(h));
}

// 0 for a call that succeeded, its GetLastError otherwise.
int ErrorOf(BOOL bResult) {
  return bResult ? 0 : static_cast<int>(::GetLastError());
}

// A name component Windows would take for something else (a stream after
// ":", a second separator, a wildcard, a device) or silently change (a
// trailing dot or blank) is no name in the folder.
bool IsPlainComponent(const std::string& str) {
  if (str.empty() || str == "." || str == "..") return false;
  if (str.back() == '.' || str.back() == ' ') return false;
  if (IsWindowsDeviceName(str)) return false;
  for (const char c : str) {
    if (static_cast<unsigned char>(c) < 0x20) return false;
    for (const char cBad : {'\\', ':', '*', '?', '"', '<', '>', '|'}) {
      if (c == cBad) return false;
    }
  }
  return true;
}

// The full path of a name whose folders OpenParent has checked (and holds).
std::wstring FullPath(const std::wstring& strRoot, const std::string& strName) {
  std::string str = strName;
  for (char& c : str) {
    if (c == '/') c = '\\';
  }
  std::wstring strWide;
  Utf8ToWide(str, strWide);  // every component was found valid on the way
  return strRoot + L'\\' + strWide;
}

// True when the last component of strPath is the short name that Windows
// made for an entry with another name (".qvnupdate-journal" is also
// "QVNUPD~1"): writing to it would change that entry. Only a name with a
// tilde can be one.
bool IsShortNameOfAnother(const std::wstring& strPath) {
  const std::wstring strLeaf = strPath.substr(strPath.find_last_of(L'\\') + 1);
  if (strLeaf.find(L'~') == std::wstring::npos) return false;
  WIN32_FIND_DATAW found{};
  const HANDLE h = ::FindFirstFileW(strPath.c_str(), &found);
  if (h == INVALID_HANDLE_VALUE) return false;
  ::FindClose(h);
  return ::CompareStringOrdinal(found.cFileName, -1, strLeaf.c_str(), -1, TRUE) != CSTR_EQUAL;
}

// True when the name is a link to a file that the system follows even when
// asked to open the link itself (Wine does).
bool IsFollowedLink(const std::wstring& strPath) {
  const HANDLE h = ::CreateFileW(
      strPath.c_str(), FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
      OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (h == INVALID_HANDLE_VALUE) return false;
  const bool bFollowed = ReachedThroughLink(h, strPath);
  ::CloseHandle(h);
  return bFollowed;
}

// The attributes the name itself has. Asked beside the handle's: some
// systems (Wine) follow a link even when asked to open it as itself, and
// show it for what it is only here. Asked after the open, so that on Windows
// the name is held and cannot be changed between the two.
DWORD NameAttributes(const std::wstring& strPath) {
  const DWORD dwAttributes = ::GetFileAttributesW(strPath.c_str());
  return dwAttributes == INVALID_FILE_ATTRIBUTES ? 0 : dwAttributes;
}

// Opens a folder on the way as itself, held so that it cannot be removed or
// renamed (no FILE_SHARE_DELETE). 0, kLinkOnTheWay, kNotAFolder or the error.
int OpenFolder(const std::wstring& strPath, HANDLE& h) {
  // FILE_LIST_DIRECTORY, data access, so that the share mode counts.
  h = ::CreateFileW(strPath.c_str(), FILE_LIST_DIRECTORY | FILE_READ_ATTRIBUTES | SYNCHRONIZE,
                    FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                    FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (h == INVALID_HANDLE_VALUE) return static_cast<int>(::GetLastError());
  BY_HANDLE_FILE_INFORMATION info{};
  int nError = ErrorOf(::GetFileInformationByHandle(h, &info));
  if (nError == 0 && (NameAttributes(strPath) & FILE_ATTRIBUTE_REPARSE_POINT) != 0) {
    info.dwFileAttributes |= FILE_ATTRIBUTE_REPARSE_POINT;
  }
  if (nError == 0 && (info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0)
    nError = CInstallFolder::kLinkOnTheWay;
  if (nError == 0 && (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0)
    nError = CInstallFolder::kNotAFolder;
  if (nError != 0) {
    ::CloseHandle(h);
    h = INVALID_HANDLE_VALUE;
  }
  return nError;
}

// What a reparse point is: a symbolic link or junction names another place;
// other tags (cloud placeholders, deduplicated files) are files.
CInstallFolder::Kind KindOf(HANDLE h, const std::wstring& strPath, DWORD dwAttributes) {
  dwAttributes |= NameAttributes(strPath) & FILE_ATTRIBUTE_REPARSE_POINT;
  if ((dwAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) {
    FILE_ATTRIBUTE_TAG_INFO tag{};
    // A handle that does not hold the reparse point has followed it.
    if (!::GetFileInformationByHandleEx(h, FileAttributeTagInfo, &tag, sizeof tag) ||
        (tag.FileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) == 0 ||
        IsReparseTagNameSurrogate(tag.ReparseTag)) {
      return CInstallFolder::Kind::kLink;
    }
  }
  if ((dwAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0) return CInstallFolder::Kind::kFolder;
  if (ReachedThroughLink(h, strPath)) return CInstallFolder::Kind::kLink;
  return ::GetFileType(h) == FILE_TYPE_DISK ? CInstallFolder::Kind::kFile : CInstallFolder::Kind::kSpecial;
}

}  // namespace

CInstallFolder::~CInstallFolder() {
  ForgetFolders();
  if (m_fd != -1) ::CloseHandle(ToHandle(m_fd));
}

int CInstallFolder::Open() {
  ForgetFolders();
  if (m_fd != -1) ::CloseHandle(ToHandle(m_fd));
  m_fd = -1;
  m_strRoot.clear();
  const HANDLE h = ::CreateFileW(L".", FILE_LIST_DIRECTORY | FILE_READ_ATTRIBUTES | SYNCHRONIZE,
                                 FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                                 FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (h == INVALID_HANDLE_VALUE) return static_cast<int>(::GetLastError());
  // The path the handle has, links resolved: later steps name files below it.
  std::wstring strPath(MAX_PATH, L'\0');
  DWORD n = ::GetFinalPathNameByHandleW(h, strPath.data(), static_cast<DWORD>(strPath.size()), 0);
  if (n >= strPath.size()) {
    strPath.resize(n + 1);
    n = ::GetFinalPathNameByHandleW(h, strPath.data(), static_cast<DWORD>(strPath.size()), 0);
  }
  if (n == 0 || n >= strPath.size()) {
    const int nError = n == 0 ? static_cast<int>(::GetLastError()) : ERROR_BAD_PATHNAME;
    ::CloseHandle(h);
    return nError;
  }
  strPath.resize(n);
  while (!strPath.empty() && strPath.back() == L'\\') strPath.pop_back();
  m_strRoot = strPath;
  m_fd = FromHandle(h);
  return 0;
}

int CInstallFolder::OpenParent(const std::string& strName, int& fd, std::string& strLeaf) const {
  fd = m_fd;
  if (m_fd == -1) return ERROR_INVALID_HANDLE;
  const size_t nLastSlash = strName.rfind('/');
  strLeaf = nLastSlash == std::string::npos ? strName : strName.substr(nLastSlash + 1);
  if (std::wstring strWide; !IsPlainComponent(strLeaf) || !Utf8ToWide(strLeaf, strWide))
    return ERROR_INVALID_NAME;
  if (IsShortNameOfAnother(FullPath(m_strRoot, strName))) return kShortName;
  if (nLastSlash == std::string::npos) return 0;

  const std::string strFolder = strName.substr(0, nLastSlash);
  for (size_t nStart = 0; nStart <= nLastSlash;) {
    const size_t nSlash = strName.find('/', nStart);
    if (!IsPlainComponent(strName.substr(nStart, nSlash - nStart))) return ERROR_INVALID_NAME;
    nStart = nSlash + 1;
  }
  for (auto& slot : m_cache) {
    if (slot.fd != -1 && slot.strFolder == strFolder) {
      slot.nLastUse = ++m_nClock;
      fd = slot.fd;
      return 0;
    }
  }
  // One folder at a time, each held until the next is open, so that none on
  // the way can be swapped for a link between its check and its use.
  std::wstring strPath = m_strRoot;
  size_t nStart = 0;
  for (size_t nSlash = strName.find('/'); nStart <= nLastSlash; nSlash = strName.find('/', nStart)) {
    const std::string strPart = strName.substr(nStart, nSlash - nStart);
    nStart = nSlash + 1;
    std::wstring strWide;
    if (!Utf8ToWide(strPart, strWide)) {
      CloseParent(fd);
      fd = m_fd;
      return ERROR_INVALID_NAME;
    }
    strPath += L'\\' + strWide;
    HANDLE hNext = INVALID_HANDLE_VALUE;
    const int nError = IsShortNameOfAnother(strPath) ? kShortName : OpenFolder(strPath, hNext);
    CloseParent(fd);
    if (nError != 0) {
      fd = m_fd;
      return nError;
    }
    fd = FromHandle(hNext);
  }
  // Kept for the next steps in the same folder. A step uses at most two
  // folders, so the one evicted is never one still in use.
  CacheSlot& slot = m_cache[0].nLastUse <= m_cache[1].nLastUse ? m_cache[0] : m_cache[1];
  if (slot.fd != -1) ::CloseHandle(ToHandle(slot.fd));
  slot = {strFolder, fd, ++m_nClock};
  return 0;
}

void CInstallFolder::CloseParent(int fd) const {
  if (fd == -1 || fd == m_fd) return;
  for (const auto& slot : m_cache) {
    if (slot.fd == fd) return;
  }
  ::CloseHandle(ToHandle(fd));
}

void CInstallFolder::ForgetFolders() const {
  for (auto& slot : m_cache) {
    if (slot.fd != -1) ::CloseHandle(ToHandle(slot.fd));
    slot = CacheSlot{};
  }
}

namespace {

// Removes the name of a read-only file: the attribute guards the contents,
// as on POSIX, not the name. It is the file's, shared by all its names, so
// it is put back for the names that stay (a backup's target, say).
int RemoveReadOnly(const std::wstring& strPath) {
  const HANDLE h = ::CreateFileW(strPath.c_str(), FILE_READ_ATTRIBUTES | FILE_WRITE_ATTRIBUTES,
                                 FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                 OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
  if (h == INVALID_HANDLE_VALUE) return static_cast<int>(::GetLastError());
  FILE_BASIC_INFO basic{};
  int nError = ErrorOf(::GetFileInformationByHandleEx(h, FileBasicInfo, &basic, sizeof basic));
  const DWORD dwAttributes = basic.FileAttributes;
  basic.FileAttributes = dwAttributes & ~FILE_ATTRIBUTE_READONLY;
  if (basic.FileAttributes == 0) basic.FileAttributes = FILE_ATTRIBUTE_NORMAL;
  if (nError == 0) nError = ErrorOf(::SetFileInformationByHandle(h, FileBasicInfo, &basic, sizeof basic));
  if (nError == 0) {
    nError = ErrorOf(::DeleteFileW(strPath.c_str()));
    basic.FileAttributes = dwAttributes;
    ::SetFileInformationByHandle(h, FileBasicInfo, &basic, sizeof basic);
  }
  ::CloseHandle(h);
  return nError;
}

}  // namespace

int CInstallFolder::Stat(const std::string& strName, Entry& entry) const {
  entry = Entry{};
  int fd = -1;
  std::string strLeaf;
  int nError = OpenParent(strName, fd, strLeaf);
  // A file in place of a folder on the way: nothing stands at the name.
  if (IsMissing(nError) || nError == kNotAFolder) return 0;
  if (nError != 0) return nError;
  // Attributes only: no share mode stands in the way, not even a running program's.
  const std::wstring strPath = FullPath(m_strRoot, strName);
  const HANDLE h = ::CreateFileW(
      strPath.c_str(), FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
      OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (h == INVALID_HANDLE_VALUE) {
    nError = static_cast<int>(::GetLastError());
    CloseParent(fd);
    return IsMissing(nError) ? 0 : nError;
  }
  BY_HANDLE_FILE_INFORMATION info{};
  nError = ErrorOf(::GetFileInformationByHandle(h, &info));
  if (nError == 0) {
    entry.kind = KindOf(h, strPath, info.dwFileAttributes);
    const bool bReadOnly = (info.dwFileAttributes & FILE_ATTRIBUTE_READONLY) != 0;
    entry.nMode = entry.kind == Kind::kFolder ? 0755 : bReadOnly ? 0444 : 0644;
    entry.nDevice = info.dwVolumeSerialNumber;
    entry.nInode = (static_cast<ULONGLONG>(info.nFileIndexHigh) << 32) | info.nFileIndexLow;
    entry.bWritable = entry.kind == Kind::kFile && !bReadOnly ? TRUE : FALSE;
  }
  ::CloseHandle(h);
  CloseParent(fd);
  return nError;
}

int CInstallFolder::CheckNotHeld(const std::string& strName) const {
  int fd = -1;
  std::string strLeaf;
  int nError = OpenParent(strName, fd, strLeaf);
  if (nError != 0) return IsMissing(nError) ? 0 : nError;
  // Asks for what replacing takes; every sharing is offered, so only a holder
  // that shares no delete stands in the way, or a running program: Windows
  // lets no one write the file its code is mapped from (it fails the rename
  // over it), though it lets a backup name be made.
  const HANDLE h =
      ::CreateFileW(FullPath(m_strRoot, strName).c_str(), DELETE | FILE_WRITE_DATA,
                    FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                    FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  nError = h == INVALID_HANDLE_VALUE ? static_cast<int>(::GetLastError()) : 0;
  if (h != INVALID_HANDLE_VALUE) ::CloseHandle(h);
  CloseParent(fd);
  return nError == ERROR_SHARING_VIOLATION || nError == ERROR_LOCK_VIOLATION ? nError : 0;
}

int CInstallFolder::Create(const std::string& strName, UINT nMode, CFile& file, const Entry* pOwner,
                           bool bHidden) const {
  (void)nMode;
  (void)pOwner;
  int fd = -1;
  std::string strLeaf;
  const int nError = OpenParent(strName, fd, strLeaf);
  if (nError != 0) return nError;
  // CREATE_NEW: whatever stands at the name, a link included, is an error.
  const HANDLE h = ::CreateFileW(FullPath(m_strRoot, strName).c_str(), GENERIC_READ | GENERIC_WRITE,
                                 FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, CREATE_NEW,
                                 bHidden ? FILE_ATTRIBUTE_HIDDEN : FILE_ATTRIBUTE_NORMAL, nullptr);
  const int nCreateError = h == INVALID_HANDLE_VALUE ? static_cast<int>(::GetLastError()) : 0;
  CloseParent(fd);
  if (nCreateError != 0) return nCreateError;
  file.Abort();
  file.m_hFile = FromHandle(h);
  file.SetFilePath(strName);
  return 0;
}

int CInstallFolder::IdentityOf(const CFile& file, FileId& id) {
  BY_HANDLE_FILE_INFORMATION info{};
  if (!::GetFileInformationByHandle(ToHandle(file.m_hFile), &info)) return static_cast<int>(::GetLastError());
  id.nDevice = info.dwVolumeSerialNumber;
  id.nInode = (static_cast<ULONGLONG>(info.nFileIndexHigh) << 32) | info.nFileIndexLow;
  return 0;
}

int CInstallFolder::OpenForReading(const std::string& strName, CFile& file, const FileId* pExpected) const {
  int fd = -1;
  std::string strLeaf;
  int nError = OpenParent(strName, fd, strLeaf);
  if (nError != 0) return nError;
  // The name itself, never what a link there names; a folder opens too, to be refused.
  const std::wstring strPath = FullPath(m_strRoot, strName);
  const HANDLE h = ::CreateFileW(
      strPath.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
      OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  nError = h == INVALID_HANDLE_VALUE ? static_cast<int>(::GetLastError()) : 0;
  CloseParent(fd);
  if (nError != 0) return nError;
  BY_HANDLE_FILE_INFORMATION info{};
  if (!::GetFileInformationByHandle(h, &info) || KindOf(h, strPath, info.dwFileAttributes) != Kind::kFile) {
    ::CloseHandle(h);
    return kNotAFile;
  }
  const FileId id{info.dwVolumeSerialNumber,
                  (static_cast<ULONGLONG>(info.nFileIndexHigh) << 32) | info.nFileIndexLow};
  if (pExpected != nullptr && !(*pExpected == id)) {
    ::CloseHandle(h);
    return kReplaced;
  }
  file.Abort();
  file.m_hFile = FromHandle(h);
  file.SetFilePath(strName);
  return 0;
}

int CInstallFolder::MakeFolder(const std::string& strName) const {
  int fd = -1;
  std::string strLeaf;
  int nError = OpenParent(strName, fd, strLeaf);
  if (nError != 0) return nError;
  nError = ErrorOf(::CreateDirectoryW(FullPath(m_strRoot, strName).c_str(), nullptr));
  CloseParent(fd);
  return nError;
}

int CInstallFolder::OnTwoNames(const std::string& strFrom, const std::string& strTo,
                               const std::function<int(int, const char*, int, const char*)>& step) const {
  int fdFrom = -1;
  int fdTo = -1;
  std::string strLeafFrom;
  std::string strLeafTo;
  int nError = OpenParent(strFrom, fdFrom, strLeafFrom);
  if (nError != 0) return nError;
  nError = OpenParent(strTo, fdTo, strLeafTo);
  // The full names go to the step; the folders stay held while it runs.
  if (nError == 0) nError = step(fdFrom, strFrom.c_str(), fdTo, strTo.c_str());
  CloseParent(fdFrom);
  CloseParent(fdTo);
  return nError;
}

int CInstallFolder::Rename(const std::string& strFrom, const std::string& strTo) const {
  return OnTwoNames(strFrom, strTo, [this](int, const char* pszFrom, int, const char* pszTo) {
    // Write-through: the move is on the disk when the call returns, which is
    // what syncing the folder does elsewhere.
    return ErrorOf(::MoveFileExW(FullPath(m_strRoot, pszFrom).c_str(), FullPath(m_strRoot, pszTo).c_str(),
                                 MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH));
  });
}

int CInstallFolder::Link(const std::string& strFrom, const std::string& strTo) const {
  return OnTwoNames(strFrom, strTo, [this](int, const char* pszFrom, int, const char* pszTo) {
    return ErrorOf(
        ::CreateHardLinkW(FullPath(m_strRoot, pszTo).c_str(), FullPath(m_strRoot, pszFrom).c_str(), nullptr));
  });
}

int CInstallFolder::Remove(const std::string& strName) const {
  int fd = -1;
  std::string strLeaf;
  int nError = OpenParent(strName, fd, strLeaf);
  if (nError != 0) return nError;
  const std::wstring strPath = FullPath(m_strRoot, strName);
  // The name's own attributes, a link's not its target's.
  const DWORD dwAttributes = ::GetFileAttributesW(strPath.c_str());
  if (dwAttributes == INVALID_FILE_ATTRIBUTES) {
    nError = static_cast<int>(::GetLastError());
  } else if ((dwAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
    // A link to a folder is removed as a folder is; a folder is not removed here.
    nError = (dwAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0 ? ErrorOf(::RemoveDirectoryW(strPath.c_str()))
                                                                : kIsAFolder;
  } else if (IsFollowedLink(strPath)) {
    // Removing such a link by name would remove the file it names: it
    // stays, refused as no file of ours.
    nError = kNotAFile;
  } else {
    nError = ErrorOf(::DeleteFileW(strPath.c_str()));
    if (nError == ERROR_ACCESS_DENIED && (dwAttributes & FILE_ATTRIBUTE_READONLY) != 0) {
      nError = RemoveReadOnly(strPath);
    }
  }
  CloseParent(fd);
  return nError;
}

int CInstallFolder::RemoveFolder(const std::string& strName) const {
  // A folder held open cannot be removed: what is held is let go first (and
  // a folder gone must not be reached again through a kept handle anyway).
  ForgetFolders();
  int fd = -1;
  std::string strLeaf;
  int nError = OpenParent(strName, fd, strLeaf);
  if (nError != 0) return nError;
  const std::wstring strPath = FullPath(m_strRoot, strName);
  const DWORD dwAttributes = ::GetFileAttributesW(strPath.c_str());
  if (dwAttributes == INVALID_FILE_ATTRIBUTES) {
    nError = static_cast<int>(::GetLastError());
  } else if ((dwAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0 ||
             (dwAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) {
    nError = kNotAFolder;
  } else {
    nError = ErrorOf(::RemoveDirectoryW(strPath.c_str()));
  }
  CloseParent(fd);
  return nError;
}

int CInstallFolder::SyncFolder(const std::string& strName) const {
  // Nothing to do: a folder's entries cannot be flushed through a handle on
  // Windows, and need not be. NTFS logs every change of a folder, and the
  // renames that matter are made with MOVEFILE_WRITE_THROUGH, on the disk
  // when the call returns.
  (void)strName;
  return m_fd == -1 ? ERROR_INVALID_HANDLE : 0;
}

int CInstallFolder::SyncFileSystems(const std::vector<std::string>& arrFolders) const {
  // Flushing a volume needs an administrator's rights: each file was flushed
  // as it was written instead (kSyncsFileSystems), so nothing is left to do.
  (void)arrFolders;
  return m_fd == -1 ? ERROR_INVALID_HANDLE : 0;
}

bool CInstallFolder::IsMissing(int nError) {
  return nError == ERROR_FILE_NOT_FOUND || nError == ERROR_PATH_NOT_FOUND;
}

bool CInstallFolder::IsAccessDenied(int nError) {
  return nError == ERROR_ACCESS_DENIED;
}

bool CInstallFolder::IsOwnFile(const Entry& entry) {
  return entry.kind == Kind::kFile;
}

bool CInstallFolder::IsOwnedByThisUserOr(const Entry&, const Entry&) {
  return true;
}

bool CInstallFolder::MayHandOnOwner(const std::string&, const Entry&) const {
  return true;
}

bool CInstallFolder::IsLinkUnsupported(int nError) {
  return nError == ERROR_INVALID_FUNCTION || nError == ERROR_NOT_SUPPORTED ||
         nError == ERROR_NOT_SAME_DEVICE || nError == ERROR_TOO_MANY_LINKS ||
         nError == ERROR_CALL_NOT_IMPLEMENTED;
}

std::string CInstallFolder::ErrorText(int nError) {
  switch (nError) {
    case 0:
      return "no error";
    case kLinkOnTheWay:
      return "a folder on the way is a symbolic link or junction";
    case kNotAFile:
      return "it is not a regular file";
    case kNotAFolder:
      return "a file stands where a folder was wanted";
    case kIsAFolder:
      return "it is a folder";
    case kReadOnly:
      return "the file is read-only";
    case kShortName:
      return "it is the short (8.3) name of a file or folder with another name";
    case kReplaced:
      return "another file was put at its name since this update wrote it";
    // What IsPlainComponent refuses, named so that the publisher can mend it.
    case ERROR_INVALID_NAME:
      return "Windows cannot hold the name as written (it allows no ':', '*', '?', '\"', '<', '>', '|' or "
             "control character, drops a dot or space at the end of a part, and keeps names such as NUL, "
             "CON or COM1 for devices)";
    // Mostly the product itself, still running: say what to do about it.
    case ERROR_SHARING_VIOLATION:
    case ERROR_LOCK_VIOLATION:
    case ERROR_ACCESS_DENIED:
      return SystemErrorText(static_cast<unsigned long>(nError)) +
             " (a program that is running may be using the file: close it and try again)";
    default:
      return SystemErrorText(static_cast<unsigned long>(nError));
  }
}
