// The installation folder on POSIX: every step is an *at() call on the
// descriptor of the folder that holds the name, reached by opening one
// component at a time with O_NOFOLLOW | O_DIRECTORY.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <set>

#include "platform/file.h"
#include "platform/install_folder.h"

namespace {

// 0 for a call that succeeded, its errno otherwise.
int ErrorOf(int nResult) {
  return nResult == 0 ? 0 : errno;
}

CInstallFolder::Kind KindOf(mode_t nMode) {
  if (S_ISREG(nMode)) return CInstallFolder::Kind::kFile;
  if (S_ISDIR(nMode)) return CInstallFolder::Kind::kFolder;
  if (S_ISLNK(nMode)) return CInstallFolder::Kind::kLink;
  return CInstallFolder::Kind::kSpecial;
}

}  // namespace

CInstallFolder::~CInstallFolder() {
  ForgetFolders();
  if (m_fd >= 0) ::close(m_fd);
}

int CInstallFolder::Open() {
  ForgetFolders();
  if (m_fd >= 0) ::close(m_fd);
  m_fd = ::open(".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  return m_fd < 0 ? errno : 0;
}

int CInstallFolder::OpenParent(const std::string& strName, int& fd, std::string& strLeaf) const {
  fd = m_fd;
  if (m_fd < 0) return EBADF;
  const size_t nLastSlash = strName.rfind('/');
  strLeaf = nLastSlash == std::string::npos ? strName : strName.substr(nLastSlash + 1);
  if (strLeaf.empty() || strLeaf == "." || strLeaf == "..") return EINVAL;
  if (nLastSlash == std::string::npos) return 0;

  const std::string strFolder = strName.substr(0, nLastSlash);
  for (auto& slot : m_cache) {
    if (slot.fd >= 0 && slot.strFolder == strFolder) {
      slot.nLastUse = ++m_nClock;
      fd = slot.fd;
      return 0;
    }
  }
  size_t nStart = 0;
  for (size_t nSlash = strName.find('/'); nStart <= nLastSlash; nSlash = strName.find('/', nStart)) {
    const std::string strPart = strName.substr(nStart, nSlash - nStart);
    nStart = nSlash + 1;
    if (strPart.empty() || strPart == "." || strPart == "..") {
      CloseParent(fd);
      fd = m_fd;
      return EINVAL;
    }
    const int fdNext = ::openat(fd, strPart.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    int nError = fdNext < 0 ? errno : 0;
    if (nError == ENOTDIR) {
      // Which one: a link is refused for what it is.
      struct stat st {};
      if (::fstatat(fd, strPart.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISLNK(st.st_mode))
        nError = ELOOP;
    }
    CloseParent(fd);
    if (fdNext < 0) {
      fd = m_fd;
      if (nError == ELOOP) return kLinkOnTheWay;
      return nError == ENOTDIR ? kNotAFolder : nError;
    }
    fd = fdNext;
  }
  // Kept for the next steps in the same folder. A step uses at most two
  // folders, so the one evicted is never one still in use.
  CacheSlot& slot = m_cache[0].nLastUse <= m_cache[1].nLastUse ? m_cache[0] : m_cache[1];
  if (slot.fd >= 0) ::close(slot.fd);
  slot = {strFolder, fd, ++m_nClock};
  return 0;
}

void CInstallFolder::CloseParent(int fd) const {
  if (fd < 0 || fd == m_fd) return;
  for (const auto& slot : m_cache) {
    if (slot.fd == fd) return;
  }
  ::close(fd);
}

void CInstallFolder::ForgetFolders() const {
  for (auto& slot : m_cache) {
    if (slot.fd >= 0) ::close(slot.fd);
    slot = CacheSlot{};
  }
}

int CInstallFolder::Stat(const std::string& strName, Entry& entry) const {
  entry = Entry{};
  int fd = -1;
  std::string strLeaf;
  int nError = OpenParent(strName, fd, strLeaf);
  // A file in place of a folder on the way: nothing stands at the name.
  if (nError == ENOENT || nError == kNotAFolder) return 0;
  if (nError != 0) return nError;
  struct stat st {};
  if (::fstatat(fd, strLeaf.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
    nError = errno;
    CloseParent(fd);
    return nError == ENOENT || nError == ENOTDIR ? 0 : nError;
  }
  entry.kind = KindOf(st.st_mode);
  entry.nMode = st.st_mode & 07777;
  entry.nOwner = st.st_uid;
  entry.nGroup = st.st_gid;
  entry.nDevice = st.st_dev;
  entry.nInode = st.st_ino;
  // Only asked of files: the answer for a link would be its target's.
  if (entry.kind == Kind::kFile) {
    entry.bWritable = ::faccessat(fd, strLeaf.c_str(), W_OK, AT_EACCESS) == 0 ? TRUE : FALSE;
  }
  CloseParent(fd);
  return 0;
}

int CInstallFolder::CheckNotHeld(const std::string&) const {
  return 0;
}

int CInstallFolder::Create(const std::string& strName, UINT nMode, CFile& file, const Entry* pOwner,
                           bool) const {
  int fd = -1;
  std::string strLeaf;
  int nError = OpenParent(strName, fd, strLeaf);
  if (nError != 0) return nError;
  const int fdFile =
      ::openat(fd, strLeaf.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, nMode & 0777);
  nError = fdFile < 0 ? errno : 0;
  if (nError == 0) nError = ErrorOf(::fchmod(fdFile, nMode));
  if (nError == 0 && pOwner != nullptr && ::geteuid() == 0) {
    nError = ErrorOf(::fchown(fdFile, pOwner->nOwner, pOwner->nGroup));
    // A change of owner drops the set-ID bits on some systems: the mode again.
    if (nError == 0) nError = ErrorOf(::fchmod(fdFile, nMode));
  }
  if (nError != 0 && fdFile >= 0) {
    ::close(fdFile);
    ::unlinkat(fd, strLeaf.c_str(), 0);
  }
  CloseParent(fd);
  if (nError != 0) return nError;
  file.Abort();
  file.m_hFile = fdFile;
  file.SetFilePath(strName);
  return 0;
}

int CInstallFolder::IdentityOf(const CFile& file, FileId& id) {
  struct stat st {};
  if (::fstat(file.m_hFile, &st) != 0) return errno;
  id.nDevice = st.st_dev;
  id.nInode = st.st_ino;
  return 0;
}

int CInstallFolder::OpenForReading(const std::string& strName, CFile& file, const FileId* pExpected) const {
  int fd = -1;
  std::string strLeaf;
  int nError = OpenParent(strName, fd, strLeaf);
  if (nError != 0) return nError;
  // O_NONBLOCK: opening a FIFO must not wait for a writer before it is refused.
  const int fdFile = ::openat(fd, strLeaf.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
  nError = fdFile < 0 ? errno : 0;
  CloseParent(fd);
  // ELOOP: a link; ENXIO: a socket, which cannot be opened at all.
  if (nError == ELOOP || nError == ENXIO) return kNotAFile;
  if (nError != 0) return nError;
  struct stat st {};
  if (::fstat(fdFile, &st) != 0 || !S_ISREG(st.st_mode)) {
    ::close(fdFile);
    return kNotAFile;
  }
  if (pExpected != nullptr && !(*pExpected == FileId{static_cast<ULONGLONG>(st.st_dev), st.st_ino})) {
    ::close(fdFile);
    return kReplaced;
  }
  const int nFlags = ::fcntl(fdFile, F_GETFL);
  if (nFlags >= 0) ::fcntl(fdFile, F_SETFL, nFlags & ~O_NONBLOCK);
  file.Abort();
  file.m_hFile = fdFile;
  file.SetFilePath(strName);
  return 0;
}

int CInstallFolder::MakeFolder(const std::string& strName) const {
  int fd = -1;
  std::string strLeaf;
  int nError = OpenParent(strName, fd, strLeaf);
  if (nError != 0) return nError;
  nError = ErrorOf(::mkdirat(fd, strLeaf.c_str(), 0755));
  if (nError == 0) {
    const int fdNew = ::openat(fd, strLeaf.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    nError = fdNew < 0 ? errno : ErrorOf(::fchmod(fdNew, 0755));
    if (fdNew >= 0) ::close(fdNew);
  }
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
  if (nError == 0) nError = ErrorOf(step(fdFrom, strLeafFrom.c_str(), fdTo, strLeafTo.c_str()));
  CloseParent(fdFrom);
  CloseParent(fdTo);
  return nError;
}

int CInstallFolder::Rename(const std::string& strFrom, const std::string& strTo) const {
  return OnTwoNames(strFrom, strTo, [](int fdFrom, const char* pszFrom, int fdTo, const char* pszTo) {
    return ::renameat(fdFrom, pszFrom, fdTo, pszTo);
  });
}

int CInstallFolder::Link(const std::string& strFrom, const std::string& strTo) const {
  // No AT_SYMLINK_FOLLOW: a link gets a second name as a link.
  return OnTwoNames(strFrom, strTo, [](int fdFrom, const char* pszFrom, int fdTo, const char* pszTo) {
    return ::linkat(fdFrom, pszFrom, fdTo, pszTo, 0);
  });
}

int CInstallFolder::Remove(const std::string& strName) const {
  int fd = -1;
  std::string strLeaf;
  int nError = OpenParent(strName, fd, strLeaf);
  if (nError != 0) return nError;
  nError = ErrorOf(::unlinkat(fd, strLeaf.c_str(), 0));
  CloseParent(fd);
  return nError;
}

int CInstallFolder::RemoveFolder(const std::string& strName) const {
  int fd = -1;
  std::string strLeaf;
  int nError = OpenParent(strName, fd, strLeaf);
  if (nError != 0) return nError;
  nError = ErrorOf(::unlinkat(fd, strLeaf.c_str(), AT_REMOVEDIR));
  if (nError == ENOTDIR) nError = kNotAFolder;
  CloseParent(fd);
  // A folder gone (or one below it) must not be reached again through a kept descriptor.
  if (nError == 0) ForgetFolders();
  return nError;
}

int CInstallFolder::SyncFolder(const std::string& strName) const {
  if (m_fd < 0) return EBADF;
  int fd = m_fd;
  if (!strName.empty() && strName != ".") {
    std::string strLeaf;
    int fdParent = -1;
    const int nError = OpenParent(strName + "/x", fdParent, strLeaf);
    if (nError != 0) return nError;
    fd = fdParent;
  }
  const int nError = ::fsync(fd) == 0 || errno == EINVAL || errno == EROFS ? 0 : errno;
  CloseParent(fd);
  return nError;
}

int CInstallFolder::SyncFileSystems(const std::vector<std::string>& arrFolders) const {
  if (m_fd < 0) return EBADF;
  std::set<dev_t> setSynced;
  for (const auto& strName : arrFolders) {
    int fd = m_fd;
    if (!strName.empty() && strName != ".") {
      std::string strLeaf;
      if (const int nError = OpenParent(strName + "/x", fd, strLeaf); nError != 0) return nError;
    }
    struct stat st {};
    int nError = ErrorOf(::fstat(fd, &st));
    if (nError == 0 && setSynced.insert(st.st_dev).second) nError = ErrorOf(::syncfs(fd));
    CloseParent(fd);
    if (nError != 0) return nError;
  }
  return 0;
}

bool CInstallFolder::IsMissing(int nError) {
  return nError == ENOENT;
}

bool CInstallFolder::IsAccessDenied(int nError) {
  return nError == EACCES || nError == EPERM;
}

bool CInstallFolder::IsOwnFile(const Entry& entry) {
  return entry.kind == Kind::kFile && entry.nOwner == ::geteuid() && (entry.nMode & 022) == 0;
}

bool CInstallFolder::IsOwnedByThisUserOr(const Entry& entry, const Entry& other) {
  return entry.nOwner == ::geteuid() || (other.kind != Kind::kMissing && entry.nOwner == other.nOwner);
}

bool CInstallFolder::MayHandOnOwner(const std::string& strName, const Entry& entry) const {
  if (entry.nOwner == ::geteuid()) return true;
  // No folder on the way, the installation folder included, may let anyone
  // but the file's owner make names in it: another user could have made the
  // file there, or the folders below that hold it.
  struct stat st {};
  if (::fstat(m_fd, &st) != 0) return false;
  if ((st.st_mode & 022) != 0 && st.st_uid != entry.nOwner) return false;
  for (size_t nSlash = strName.find('/'); nSlash != std::string::npos;
       nSlash = strName.find('/', nSlash + 1)) {
    Entry folder;
    if (Stat(strName.substr(0, nSlash), folder) != 0 || folder.kind != Kind::kFolder) return false;
    if ((folder.nMode & 022) != 0 && folder.nOwner != entry.nOwner) return false;
  }
  return true;
}

bool CInstallFolder::IsLinkUnsupported(int nError) {
  return nError == EPERM || nError == EXDEV || nError == EMLINK || nError == EOPNOTSUPP || nError == ENOSYS;
}

std::string CInstallFolder::ErrorText(int nError) {
  switch (nError) {
    case 0:
      return "no error";
    case kLinkOnTheWay:
      return "a folder on the way is a symbolic link";
    case kNotAFile:
      return "it is not a regular file";
    case kNotAFolder:
      return std::strerror(ENOTDIR);
    case kIsAFolder:
      return std::strerror(EISDIR);
    case kReadOnly:
      return std::strerror(EACCES);
    case kShortName:
      return std::strerror(EINVAL);
    case kReplaced:
      return "another file was put at its name since this update wrote it";
    default:
      return std::strerror(nError);
  }
}
