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

int InheritedDescriptor(const std::string& strPath) {
  const std::string strSelf = "/proc/" + std::to_string(::getpid()) + "/fd/";
  std::string str = strPath;
  // A chain of links, as /dev/stdout to /proc/self/fd/1, bounded as the system bounds it.
  for (int nHop = 0; nHop < 40; ++nHop) {
    for (const std::string& strDir : {std::string("/proc/self/fd/"), std::string("/dev/fd/"), strSelf}) {
      if (str.rfind(strDir, 0) != 0 || str.size() == strDir.size()) continue;
      const std::string strNumber = str.substr(strDir.size());
      if (strNumber.size() > 9 || strNumber.find_first_not_of("0123456789") != std::string::npos) return -1;
      return std::stoi(strNumber);
    }
    char szTarget[4096];
    const ssize_t n = ::readlink(str.c_str(), szTarget, sizeof szTarget - 1);
    if (n <= 0) return -1;
    const std::string strTarget(szTarget, static_cast<size_t>(n));
    const size_t nSlash = str.rfind('/');
    str = strTarget.front() == '/' || nSlash == std::string::npos ? strTarget
                                                                  : str.substr(0, nSlash + 1) + strTarget;
  }
  return -1;
}

std::filesystem::file_status LinkStatus(const std::filesystem::path& path, std::error_code& ec) {
  return std::filesystem::symlink_status(path, ec);
}
