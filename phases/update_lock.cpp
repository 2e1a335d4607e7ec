#include "phases/update_lock.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "phases/replace_journal.h"

namespace {

// The process that holds the lock, as it wrote itself into the file; 0 when
// unknown.
long Holder(int fd) {
  char sz[32] = {};
  const ssize_t n = ::pread(fd, sz, sizeof sz - 1, 0);
  return n > 0 ? std::strtol(sz, nullptr, 10) : 0;
}

}  // namespace

bool CUpdateLock::Acquire(std::string& strError) {
  Release();
  // The file may be removed by the holder between our open and our lock; the
  // lock then holds a file that no longer has the name, and we start again.
  for (int nTry = 0; nTry < 100; ++nTry) {
    const int fd = ::open(kLockFileName, O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0644);
    if (fd < 0) {
      if (errno == EACCES || errno == EROFS || errno == EPERM) return true;
      strError = std::string("Unable to lock the installation folder: ") + std::strerror(errno);
      return false;
    }
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
      const int nError = errno;
      const long nHolder = Holder(fd);
      ::close(fd);
      if (nError == EWOULDBLOCK) {
        strError = "Another update is already running in this folder";
        if (nHolder > 0) strError += " (process " + std::to_string(nHolder) + ")";
        strError += ". Wait until it has finished, then try again.";
      } else {
        strError = std::string("Unable to lock the installation folder: ") + std::strerror(nError);
      }
      return false;
    }
    struct stat stOpen {};
    struct stat stName {};
    if (::fstat(fd, &stOpen) == 0 && ::lstat(kLockFileName, &stName) == 0 && stOpen.st_dev == stName.st_dev &&
        stOpen.st_ino == stName.st_ino) {
      m_fd = fd;
      const std::string strPid = std::to_string(::getpid()) + "\n";
      if (::ftruncate(fd, 0) == 0 && ::pwrite(fd, strPid.data(), strPid.size(), 0) < 0) {
        // Only informative: the lock holds without it.
      }
      return true;
    }
    ::close(fd);
  }
  strError = "Unable to lock the installation folder: its lock file keeps changing";
  return false;
}

void CUpdateLock::Release() {
  if (m_fd < 0) return;
  // Removed while still locked, so that nobody locks the name we remove.
  ::unlink(kLockFileName);
  ::close(m_fd);
  m_fd = -1;
}
