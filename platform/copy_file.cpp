// Replacing a file by copying into a temporary sibling and renaming it over.
#include "platform/copy_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <system_error>
#include <vector>

namespace {

// Closes a descriptor on every way out.
class Fd {
 public:
  explicit Fd(int fd = -1) : m_fd(fd) {}
  ~Fd() { Reset(); }
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
  int Get() const { return m_fd; }
  int Release() {
    const int fd = m_fd;
    m_fd = -1;
    return fd;
  }
  void Reset() {
    if (m_fd >= 0) ::close(m_fd);
    m_fd = -1;
  }

 private:
  int m_fd;
};

BOOL Fail(std::string* pReason, int nError) {
  if (pReason != nullptr) *pReason = std::strerror(nError);
  return FALSE;
}

// Moves every byte of fdIn to fdOut: in the kernel where it can, through one
// buffer where it cannot.
bool CopyBytes(int fdIn, int fdOut, int& nError) {
  for (;;) {
    const ssize_t n = ::copy_file_range(fdIn, nullptr, fdOut, nullptr, 1 << 30, 0);
    if (n > 0) continue;
    if (n == 0) return true;
    if (errno == EINTR) continue;
    if (errno != EXDEV && errno != EINVAL && errno != ENOSYS && errno != EOPNOTSUPP && errno != EBADF) {
      nError = errno;
      return false;
    }
    break;  // not possible between these files: copy by hand from where it stopped
  }
  std::vector<char> buffer(1 << 20);
  for (;;) {
    const ssize_t nRead = ::read(fdIn, buffer.data(), buffer.size());
    if (nRead == 0) return true;
    if (nRead < 0) {
      if (errno == EINTR) continue;
      nError = errno;
      return false;
    }
    for (ssize_t nDone = 0; nDone < nRead;) {
      const ssize_t nWritten = ::write(fdOut, buffer.data() + nDone, static_cast<size_t>(nRead - nDone));
      if (nWritten < 0) {
        if (errno == EINTR) continue;
        nError = errno;
        return false;
      }
      nDone += nWritten;
    }
  }
}

}  // namespace

BOOL CopyFileA(const std::string& strExistingFile, const std::string& strNewFile, BOOL bFailIfExists,
               std::string* pReason) {
  namespace fs = std::filesystem;
  if (strNewFile.empty()) return Fail(pReason, ENOENT);

  Fd in(::open(strExistingFile.c_str(), O_RDONLY | O_CLOEXEC));
  if (in.Get() < 0) return Fail(pReason, errno);
  struct stat stSource {};
  if (::fstat(in.Get(), &stSource) != 0) return Fail(pReason, errno);
  if (S_ISDIR(stSource.st_mode)) return Fail(pReason, EISDIR);

  mode_t nMode = stSource.st_mode & 07777;
  struct stat stTarget {};
  if (::stat(strNewFile.c_str(), &stTarget) == 0) {
    if (bFailIfExists) return Fail(pReason, EEXIST);
    if (S_ISDIR(stTarget.st_mode)) return Fail(pReason, EISDIR);
    if ((stTarget.st_mode & (S_IWUSR | S_IWGRP | S_IWOTH)) == 0 || ::access(strNewFile.c_str(), W_OK) != 0) {
      return Fail(pReason, EACCES);
    }
    nMode = stTarget.st_mode & 07777;
  } else if (errno != ENOENT) {
    return Fail(pReason, errno);
  }

  const fs::path target(strNewFile);
  const fs::path folder = target.parent_path();
  if (!folder.empty()) {
    std::error_code ec;
    fs::create_directories(folder, ec);
    if (ec) return Fail(pReason, ec.value());
  }

  std::string strTemp = (folder / ("." + target.filename().string() + ".XXXXXX")).string();
  Fd out(::mkostemp(strTemp.data(), O_CLOEXEC));
  if (out.Get() < 0) return Fail(pReason, errno);

  int nError = 0;
  bool bDone = CopyBytes(in.Get(), out.Get(), nError);
  if (bDone && ::fchmod(out.Get(), nMode) != 0) bDone = false, nError = errno;
  if (bDone && ::fsync(out.Get()) != 0) bDone = false, nError = errno;
  if (bDone && ::close(out.Release()) != 0) bDone = false, nError = errno;
  if (bDone && ::rename(strTemp.c_str(), strNewFile.c_str()) != 0) bDone = false, nError = errno;
  if (!bDone) {
    out.Reset();
    ::unlink(strTemp.c_str());
    return Fail(pReason, nError);
  }

  // Make the rename itself durable.
  Fd dir(::open(folder.empty() ? "." : folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (dir.Get() >= 0) ::fsync(dir.Get());
  return TRUE;
}
