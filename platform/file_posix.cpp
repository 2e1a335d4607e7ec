#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <limits>
#include <utility>

#include "platform/file.h"
#include "platform/file_ops.h"
#include "platform/file_os.h"

namespace {

int OpenFlagsToPosix(UINT nOpenFlags) {
  int flags = O_CLOEXEC;
  switch (nOpenFlags & 0x3) {
    case CFile::modeWrite:
      flags |= O_WRONLY;
      break;
    case CFile::modeReadWrite:
      flags |= O_RDWR;
      break;
    default:
      flags |= O_RDONLY;
      break;
  }
  if (nOpenFlags & CFile::modeNoFollow) flags |= O_NOFOLLOW | O_NONBLOCK;
  if (nOpenFlags & CFile::modeCreate) {
    flags |= O_CREAT;
    if (!(nOpenFlags & CFile::modeNoTruncate)) flags |= O_TRUNC;
  }
  return flags;
}

// Reads until nCount bytes are in or the file ends, from the descriptor's
// position (nPos < 0) or from nPos, leaving the position alone. Returns the
// count, or -1 with errno set.
long long ReadFully(int fd, char* p, UINT nCount, long long nPos) {
  UINT nDone = 0;
  while (nDone < nCount) {
    const size_t nChunk = std::min<size_t>(nCount - nDone, std::numeric_limits<int>::max());
    const ssize_t n = nPos < 0 ? ::read(fd, p + nDone, nChunk)
                               : ::pread(fd, p + nDone, nChunk, static_cast<off_t>(nPos + nDone));
    if (n < 0) {
      if (errno == EINTR) continue;
      return -1;
    }
    if (n == 0) break;
    nDone += static_cast<UINT>(n);
  }
  return nDone;
}

// Takes (F_WRLCK) or gives back (F_UNLCK) a lock on a byte range without
// waiting; false with errno set when that fails.
bool SetRangeLock(int fd, short nType, ULONGLONG dwPos, ULONGLONG dwCount) {
  struct flock lock {};
  lock.l_type = nType;
  lock.l_whence = SEEK_SET;
  lock.l_start = static_cast<off_t>(dwPos);
  lock.l_len = static_cast<off_t>(dwCount);
  return ::fcntl(fd, F_SETLK, &lock) == 0;
}

}  // namespace

std::string OsErrorText(LONG lOsError) {
  return std::strerror(static_cast<int>(lOsError));
}

int CFileException::OsErrorToException(int nOsError) {
  switch (nOsError) {
    case 0:
      return none;
    case ENOENT:
      return fileNotFound;
    case ENOTDIR:
    case ENAMETOOLONG:
    case ELOOP:
    case EXDEV:
      return badPath;
    case EMFILE:
    case ENFILE:
      return tooManyOpenFiles;
    case EACCES:
    case EPERM:
    case EROFS:
    case EISDIR:
    case ETXTBSY:
    case EEXIST:
      return accessDenied;
    case EBADF:
      return invalidFile;
    case EMLINK:
      return directoryFull;
    case ESPIPE:
    case EOVERFLOW:
      return badSeek;
    case EIO:
      return hardIO;
    case EBUSY:
      return sharingViolation;
    case EDEADLK:
    case ENOLCK:
    case EAGAIN:
      return lockViolation;
    case ENOSPC:
    case EDQUOT:
    case EFBIG:
      return diskFull;
    default:
      return genericException;
  }
}

void CFileException::ThrowOsError(int nOsError, const std::string& strFileName,
                                  const std::string& strAction) {
  CFileException e(OsErrorToException(nOsError), nOsError, strFileName);
  e.m_strAction = strAction;
  throw e;
}

// ---------------------------------------------------------------------------

CFile::~CFile() {
  if (m_hFile != hFileNull) {
    WritePendingQuietly();
    ::close(m_hFile);
  }
}

CFile::CFile(CFile&& other) noexcept
    : m_hFile(std::exchange(other.m_hFile, hFileNull)),
      m_strFileName(std::move(other.m_strFileName)),
      m_pPending(std::move(other.m_pPending)),
      m_nPending(std::exchange(other.m_nPending, 0)) {}

CFile& CFile::operator=(CFile&& other) noexcept {
  if (this != &other) {
    if (m_hFile != hFileNull) {
      WritePendingQuietly();
      ::close(m_hFile);
    }
    m_hFile = std::exchange(other.m_hFile, hFileNull);
    m_strFileName = std::move(other.m_strFileName);
    m_pPending = std::move(other.m_pPending);
    m_nPending = std::exchange(other.m_nPending, 0);
  }
  return *this;
}

std::string CFile::GetFileName() const {
  const auto slash = m_strFileName.find_last_of('/');
  return slash == std::string::npos ? m_strFileName : m_strFileName.substr(slash + 1);
}

BOOL CFile::Open(const std::string& strFileName, UINT nOpenFlags, CFileException* pError) {
  if (m_hFile != hFileNull) Abort();
  m_strFileName = strFileName;
  auto fail = [&](int nOsError) {
    if (pError) {
      pError->m_cause = CFileException::OsErrorToException(nOsError);
      pError->m_lOsError = nOsError;
      pError->m_strFileName = strFileName;
      pError->m_strAction = "open";
      pError->m_strDetail.clear();
    }
    return FALSE;
  };
  if (strFileName.empty()) return fail(ENOENT);
  int fd;
  // Output to the process's own stdout (say) goes through that descriptor:
  // opened afresh, a file behind it would be truncated and written from its
  // start, whatever the shell had put there. A caller that follows no link
  // gets none followed here either.
  const bool bMayInherit =
      (nOpenFlags & (modeWrite | modeReadWrite)) != 0 && (nOpenFlags & modeNoFollow) == 0;
  if (const int nInherited = bMayInherit ? InheritedDescriptor(strFileName) : -1; nInherited >= 0) {
    fd = ::fcntl(nInherited, F_DUPFD_CLOEXEC, 0);
    if (fd < 0) return fail(errno);
    m_hFile = fd;
    return TRUE;
  }
  do {
    fd = ::open(strFileName.c_str(), OpenFlagsToPosix(nOpenFlags), 0666);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) return fail(errno);
  // A directory opens for reading on POSIX but is no file to read.
  struct stat st {};
  if (::fstat(fd, &st) == 0 && S_ISDIR(st.st_mode)) {
    ::close(fd);
    return fail(EISDIR);
  }
  if (nOpenFlags & modeNoFollow) {
    if (!S_ISREG(st.st_mode)) {
      ::close(fd);
      return fail(EINVAL);
    }
    // Opened without waiting only so that a FIFO was refused: reads wait again.
    ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK);
  }
  m_hFile = fd;
  return TRUE;
}

CFile* CFile::Duplicate() const {
  CheckOpen("duplicate");
  WritePending();
  const int fd = ::fcntl(m_hFile, F_DUPFD_CLOEXEC, 0);
  if (fd < 0) ThrowErrno(errno, "duplicate");
  auto* pFile = new CFile;
  pFile->m_hFile = fd;
  pFile->m_strFileName = m_strFileName;
  return pFile;
}

ULONGLONG CFile::GetPosition() const {
  CheckOpen("seek in");
  const off_t pos = ::lseek(m_hFile, 0, SEEK_CUR);
  if (pos < 0) ThrowErrno(errno, "seek in");
  return static_cast<ULONGLONG>(pos) + m_nPending;
}

ULONGLONG CFile::Seek(LONGLONG lOff, UINT nFrom) {
  CheckOpen("seek in");
  WritePending();
  int whence = SEEK_SET;
  if (nFrom == current) whence = SEEK_CUR;
  if (nFrom == end) whence = SEEK_END;
  const off_t pos = ::lseek(m_hFile, static_cast<off_t>(lOff), whence);
  if (pos < 0) {
    const int err = errno;
    if (err == EINVAL) {
      CFileException e(CFileException::badSeek, err, m_strFileName);
      e.m_strAction = "seek in";
      throw e;
    }
    ThrowErrno(err, "seek in");
  }
  return static_cast<ULONGLONG>(pos);
}

void CFile::SetLength(ULONGLONG dwNewLen) {
  CheckOpen("change the length of");
  WritePending();
  int rc;
  do {
    rc = ::ftruncate(m_hFile, static_cast<off_t>(dwNewLen));
  } while (rc < 0 && errno == EINTR);
  if (rc < 0) ThrowErrno(errno, "change the length of");
}

ULONGLONG CFile::GetLength() const {
  CheckOpen("measure");
  WritePending();
  struct stat st {};
  if (::fstat(m_hFile, &st) < 0) ThrowErrno(errno, "measure");
  return static_cast<ULONGLONG>(st.st_size);
}

UINT CFile::Read(void* lpBuf, UINT nCount) {
  CheckOpen("read");
  WritePending();
  const long long n = ReadFully(m_hFile, static_cast<char*>(lpBuf), nCount, -1);
  if (n < 0) ThrowErrno(errno, "read");
  return static_cast<UINT>(n);
}

UINT CFile::ReadAt(ULONGLONG dwPos, void* lpBuf, UINT nCount) const {
  CheckOpen("read");
  WritePending();
  const long long n = ReadFully(m_hFile, static_cast<char*>(lpBuf), nCount, static_cast<long long>(dwPos));
  if (n < 0) ThrowErrno(errno, "read");
  return static_cast<UINT>(n);
}

int CFile::WriteAll(const char* p, size_t nCount) const noexcept {
  size_t nDone = 0;
  while (nDone < nCount) {
    const size_t nChunk = std::min<size_t>(nCount - nDone, std::numeric_limits<int>::max());
    const ssize_t n = ::write(m_hFile, p + nDone, nChunk);
    if (n < 0) {
      if (errno == EINTR) continue;
      return errno;
    }
    // A write that takes nothing makes no progress: the disk is full.
    if (n == 0) return ENOSPC;
    nDone += static_cast<size_t>(n);
  }
  return 0;
}

void CFile::LockRange(ULONGLONG dwPos, ULONGLONG dwCount) {
  CheckOpen("lock");
  if (!SetRangeLock(m_hFile, F_WRLCK, dwPos, dwCount)) {
    const int err = errno;
    CFileException e(err == EACCES || err == EAGAIN ? CFileException::lockViolation
                                                    : CFileException::OsErrorToException(err),
                     err, m_strFileName);
    e.m_strAction = "lock";
    throw e;
  }
}

void CFile::UnlockRange(ULONGLONG dwPos, ULONGLONG dwCount) {
  CheckOpen("unlock");
  if (!SetRangeLock(m_hFile, F_UNLCK, dwPos, dwCount)) ThrowErrno(errno, "unlock");
}

void CFile::Abort() {
  if (m_hFile != hFileNull) {
    WritePendingQuietly();
    ::close(m_hFile);
    m_hFile = hFileNull;
  }
  m_pPending.reset();
}

void CFile::Flush() {
  if (m_hFile == hFileNull) return;
  WritePending();
  if (::fsync(m_hFile) < 0 && errno != EINVAL && errno != EROFS) ThrowErrno(errno, "write to");
}

void CFile::Close() {
  if (m_hFile == hFileNull) return;
  const int nWriteError = WritePendingQuietly();
  m_pPending.reset();
  const int fd = std::exchange(m_hFile, hFileNull);
  // The descriptor is gone after close() whatever it returns; EINTR is no error.
  const int nCloseError = ::close(fd) < 0 && errno != EINTR ? errno : 0;
  if (nWriteError != 0) ThrowErrno(nWriteError, "write to");
  if (nCloseError != 0) ThrowErrno(nCloseError, "close");
}
