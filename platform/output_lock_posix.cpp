// The output lock on POSIX: flock on the folder itself.
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "platform/output_lock.h"

COutputLock::~COutputLock() {
  if (m_handle >= 0) ::close(static_cast<int>(m_handle));
}

bool COutputLock::TryLock(const std::string& strFolder, bool& bHeld, std::string& strError) {
  bHeld = false;
  const int fd = ::open(strFolder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) {
    strError = std::strerror(errno);
    return false;
  }
  if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
    const int nError = errno;
    ::close(fd);
    bHeld = nError == EWOULDBLOCK;
    strError = std::strerror(nError);
    return false;
  }
  m_handle = fd;
  return true;
}
