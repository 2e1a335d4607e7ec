#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "platform/file_new.h"

BOOL WriteNewFile(const std::string& strPath, const std::string& strData, unsigned nMode,
                  std::string& strError) {
  const int fd = ::open(strPath.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC,
                        static_cast<mode_t>(nMode));
  if (fd < 0) {
    strError = "cannot create " + strPath + ": " + std::strerror(errno);
    return FALSE;
  }
  // The umask may have taken bits away; the caller's mode is what it asked for.
  int nError = ::fchmod(fd, static_cast<mode_t>(nMode)) == 0 ? 0 : errno;
  for (size_t nDone = 0; nError == 0 && nDone < strData.size();) {
    const ssize_t n = ::write(fd, strData.data() + nDone, strData.size() - nDone);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      nError = n < 0 ? errno : EIO;
      break;
    }
    nDone += static_cast<size_t>(n);
  }
  if (nError == 0 && ::fsync(fd) != 0) nError = errno;
  if (::close(fd) != 0 && nError == 0) nError = errno;
  if (nError != 0) {
    ::unlink(strPath.c_str());
    strError = "cannot write " + strPath + ": " + std::strerror(nError);
    return FALSE;
  }
  return TRUE;
}
