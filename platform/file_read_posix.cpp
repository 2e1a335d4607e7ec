#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <vector>

#include "platform/file_read.h"

BOOL ReadRegularFile(const std::string& strPath,
                     const std::function<void(const char*, std::size_t)>& onData) {
  // Non-blocking, so that opening a FIFO planted under the name returns at once.
  const int fd = ::open(strPath.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return FALSE;
  struct stat st {};
  BOOL bOk = ::fstat(fd, &st) == 0 && S_ISREG(st.st_mode);
  std::vector<char> buffer(bOk ? 1 << 16 : 0);
  while (bOk) {
    const ssize_t n = ::read(fd, buffer.data(), buffer.size());
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      bOk = n == 0;
      break;
    }
    onData(buffer.data(), static_cast<std::size_t>(n));
  }
  ::close(fd);
  return bOk;
}
