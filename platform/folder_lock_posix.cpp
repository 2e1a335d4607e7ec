// The folder lock on POSIX: flock on a regular file opened without following
// a link or waiting on a FIFO.
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <system_error>

#include "platform/folder_lock.h"

namespace {

// The process that holds the lock, as it wrote itself into the file; 0 when
// unknown.
unsigned long Holder(int fd) {
  char sz[32] = {};
  const ssize_t n = ::pread(fd, sz, sizeof sz - 1, 0);
  const long nPid = n > 0 ? std::strtol(sz, nullptr, 10) : 0;
  return nPid > 0 ? static_cast<unsigned long>(nPid) : 0;
}

}  // namespace

bool CFolderLock::Acquire(const char* pszName, std::string& strError) {
  Release();
  std::error_code ec;
  const std::string strFolder = std::filesystem::current_path(ec).string();
  auto fail = [&](const std::string& strWhy) {
    strError =
        "Unable to lock the installation folder " + strFolder + ": " + strWhy + ". Nothing was changed.";
    return false;
  };
  // The file may be removed by the holder between our open and our lock; the
  // lock then holds a file that no longer has the name, and we start again.
  for (int nTry = 0; nTry < 100; ++nTry) {
    // Never through a link, never waiting on a FIFO: only a regular file
    // that this process may write to is a lock it can take.
    constexpr int kFlags = O_RDWR | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK;
    bool bCreated = true;
    int fd = ::open(pszName, kFlags | O_CREAT | O_EXCL, 0600);
    if (fd < 0 && errno == EEXIST) {
      bCreated = false;
      fd = ::open(pszName, kFlags);
      if (fd < 0 && errno == ENOENT) continue;
    }
    if (fd < 0) {
      if (errno == ELOOP) return fail(std::string(pszName) + " is a symbolic link");
      // A socket cannot be opened at all (ENXIO): say what stands there.
      if (struct stat st{}; errno == ENXIO && ::lstat(pszName, &st) == 0 && !S_ISREG(st.st_mode))
        return fail(std::string(pszName) + " is not a regular file");
      return fail(std::string(pszName) + ": " + std::strerror(errno));
    }
    struct stat stOpen {};
    if (::fstat(fd, &stOpen) != 0 || !S_ISREG(stOpen.st_mode)) {
      ::close(fd);
      return fail(std::string(pszName) + " is not a regular file");
    }
    // Our process number goes into the file: through a second name (a hard
    // link planted here) it would go into a file outside the folder.
    if (stOpen.st_nlink != 1) {
      ::close(fd);
      return fail(std::string(pszName) + " has another name (a hard link); remove it to go on");
    }
    // Private: flock() needs no write access, so another user who could
    // open the file for reading could hold it, and with it every update and
    // the recovery of an interrupted one. A file left by an earlier run is
    // made so as well.
    if (bCreated || stOpen.st_uid == ::geteuid()) ::fchmod(fd, 0600);
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
      const int nError = errno;
      const unsigned long nHolder = Holder(fd);
      ::close(fd);
      if (nError == EWOULDBLOCK) {
        strError = HeldMessage(nHolder);
        return false;
      }
      if (bCreated) ::unlink(pszName);
      return fail(std::string(pszName) + ": " + std::strerror(nError));
    }
    struct stat stName {};
    if (::lstat(pszName, &stName) == 0 && stOpen.st_dev == stName.st_dev && stOpen.st_ino == stName.st_ino) {
      m_fd = fd;
      m_strName = pszName;
      const std::string strPid = std::to_string(::getpid()) + "\n";
      if (::ftruncate(fd, 0) == 0 && ::pwrite(fd, strPid.data(), strPid.size(), 0) < 0) {
        // Only informative: the lock holds without it.
      }
      return true;
    }
    ::close(fd);
  }
  return fail("its lock file keeps changing");
}

void CFolderLock::Release() {
  if (m_fd < 0) return;
  // Removed while still locked, so that nobody locks the name we remove.
  ::unlink(m_strName.c_str());
  ::close(m_fd);
  m_fd = -1;
}
