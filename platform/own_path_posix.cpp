#include <sys/stat.h>
#include <unistd.h>

#include <vector>

#include "platform/own_path.h"

bool IsRegularFile(const std::string& strPath) {
  struct stat st {};
  return ::stat(strPath.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

std::string OwnDirectory() {
  std::vector<char> buffer(4096);
  for (;;) {
    const ssize_t n = ::readlink("/proc/self/exe", buffer.data(), buffer.size());
    if (n < 0) return std::string();
    if (static_cast<std::size_t>(n) < buffer.size()) {
      const std::string strExe(buffer.data(), static_cast<std::size_t>(n));
      const std::size_t nSlash = strExe.rfind('/');
      if (nSlash == std::string::npos) return std::string();
      return nSlash == 0 ? std::string("/") : strExe.substr(0, nSlash);
    }
    if (buffer.size() >= (1u << 20)) return std::string();
    buffer.resize(buffer.size() * 2);
  }
}
