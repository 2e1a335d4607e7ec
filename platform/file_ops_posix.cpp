#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "platform/file_ops.h"

bool CreateUniqueFile(const std::string& strPrefix, std::string& strName, std::string& strReason) {
  std::string strTemplate = strPrefix + "XXXXXX";
  const int fd = ::mkstemp(strTemplate.data());
  if (fd < 0) {
    strReason = std::strerror(errno);
    return false;
  }
  // mkstemp makes the file private; it gets the usual permissions.
  const mode_t mask = ::umask(0);
  ::umask(mask);
  ::fchmod(fd, 0666 & ~mask);
  ::close(fd);
  strName = strTemplate;
  return true;
}

bool RenameOver(const std::string& strFrom, const std::string& strTo, std::string& strReason) {
  if (std::rename(strFrom.c_str(), strTo.c_str()) == 0) return true;
  strReason = std::strerror(errno);
  return false;
}

bool CanRead(const std::string& strPath, bool bFolder, std::string& strReason) {
  if (::access(strPath.c_str(), bFolder ? R_OK | X_OK : R_OK) == 0) return true;
  strReason = std::strerror(errno);
  return false;
}

void RemoveFile(const std::string& strPath) {
  std::remove(strPath.c_str());
}
