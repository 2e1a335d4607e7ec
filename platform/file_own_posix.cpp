#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "platform/file_own.h"

int OpenOwnFile(const std::string& strName, bool bCreate, std::string& strError) {
  // O_NONBLOCK: a FIFO planted under the name is never waited on.
  const int nFlags = O_RDWR | O_NOFOLLOW | O_CLOEXEC | (bCreate ? O_CREAT | O_EXCL : O_NONBLOCK);
  const int fd = ::open(strName.c_str(), nFlags, static_cast<mode_t>(0600));
  if (fd < 0) {
    strError = std::strerror(errno);
    return -1;
  }
  struct stat st {};
  // Through a second name (a hard link planted here) the writes would land in
  // a file outside the folder.
  const bool bOwn = ::fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && st.st_nlink == 1 &&
                    st.st_uid == ::geteuid() && (st.st_mode & 077) == 0;
  // The umask may have taken bits away, never added any; this is only the mode asked for.
  if (!bOwn || (bCreate && ::fchmod(fd, 0600) != 0) ||
      (!bCreate && ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK) != 0)) {
    strError =
        bOwn ? std::strerror(errno) : "not a regular file of this user, private to it and with no other name";
    ::close(fd);
    return -1;
  }
  return fd;
}

void RemoveOwnFile(const std::string& strName) {
  ::unlink(strName.c_str());
}
