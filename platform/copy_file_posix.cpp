// Replacing a file by copying into a temporary sibling and renaming it over.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <memory>
#include <system_error>
#include <vector>

#include "platform/copy_file.h"
#include "platform/file.h"

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

// Files from this size on are written past the page cache (see CopyDirect).
constexpr off_t kDirectFrom = 1 << 20;
// One read and one write of a direct copy; a multiple of any block size.
constexpr size_t kDirectChunk = 1 << 20;
constexpr size_t kDirectAlign = 4096;

// Writes all of p[0..n) at nAt, or at the file position when nAt is -1;
// false with nError set on failure.
bool WriteAll(int fd, const char* p, size_t n, off_t nAt, int& nError) {
  for (size_t nDone = 0; nDone < n;) {
    const ssize_t nWritten = nAt < 0 ? ::write(fd, p + nDone, n - nDone)
                                     : ::pwrite(fd, p + nDone, n - nDone, nAt + static_cast<off_t>(nDone));
    if (nWritten < 0) {
      if (errno == EINTR) continue;
      nError = errno;
      return false;
    }
    if (nWritten == 0) {
      nError = ENOSPC;
      return false;
    }
    nDone += static_cast<size_t>(nWritten);
  }
  return true;
}

// Reads until p[0..n) is full or the file ends; the byte count, or -1 with
// nError set.
ssize_t ReadFull(int fd, char* p, size_t n, int& nError) {
  size_t nDone = 0;
  while (nDone < n) {
    const ssize_t nRead = ::read(fd, p + nDone, n - nDone);
    if (nRead == 0) break;
    if (nRead < 0) {
      if (errno == EINTR) continue;
      nError = errno;
      return -1;
    }
    nDone += static_cast<size_t>(nRead);
  }
  return static_cast<ssize_t>(nDone);
}

bool SetDirect(int fd, bool bOn) {
  const int nFlags = ::fcntl(fd, F_GETFL);
  return nFlags >= 0 && ::fcntl(fd, F_SETFL, bOn ? nFlags | O_DIRECT : nFlags & ~O_DIRECT) == 0;
}

struct FreeAligned {
  void operator()(char* p) const { std::free(p); }
};

// A large file, whose copy must be on the disk before it is renamed into
// place: written with O_DIRECT in large aligned pieces, the bytes go straight
// to the disk while the copy is made, instead of filling the page cache with a
// second copy of the file that the flush then has to write out all at once.
// Returns false with nError set when the copy fails; *pbTried is false when
// the file system takes no direct writes, and nothing was done then.
bool CopyDirect(int fdIn, int fdOut, int& nError, bool* pbTried) {
  *pbTried = false;
  std::unique_ptr<char, FreeAligned> pBuffer(
      static_cast<char*>(std::aligned_alloc(kDirectAlign, kDirectChunk)));
  if (!pBuffer || !SetDirect(fdOut, true)) return false;
  *pbTried = true;
  bool bDirect = true;
  for (off_t nAt = 0;;) {
    const ssize_t n = ReadFull(fdIn, pBuffer.get(), kDirectChunk, nError);
    if (n < 0) return false;
    if (n == 0) break;
    const size_t nBytes = static_cast<size_t>(n);
    // The last piece is seldom a whole number of blocks: through the cache.
    if (bDirect && nBytes % kDirectAlign != 0) bDirect = !SetDirect(fdOut, false);
    if (!WriteAll(fdOut, pBuffer.get(), nBytes, nAt, nError)) {
      // A device whose blocks are larger than kDirectAlign refuses the
      // piece as it stands; the piece again and the rest go through the cache.
      if (!bDirect || nError != EINVAL || !SetDirect(fdOut, false)) return false;
      bDirect = false;
      if (!WriteAll(fdOut, pBuffer.get(), nBytes, nAt, nError)) return false;
    }
    nAt += static_cast<off_t>(nBytes);
    if (nBytes < kDirectChunk) break;
  }
  if (bDirect) SetDirect(fdOut, false);
  return true;
}

// Moves every byte of fdIn to fdOut: in the kernel where it can, through one
// buffer where it cannot.
bool CopyBytes(int fdIn, int fdOut, off_t nSize, int& nError) {
  if (nSize >= kDirectFrom) {
    bool bTried = false;
    if (CopyDirect(fdIn, fdOut, nError, &bTried)) return true;
    if (bTried) return false;
  }
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
    const ssize_t nRead = ReadFull(fdIn, buffer.data(), buffer.size(), nError);
    if (nRead < 0) return false;
    if (nRead == 0) return true;
    if (!WriteAll(fdOut, buffer.data(), static_cast<size_t>(nRead), -1, nError)) return false;
  }
}

}  // namespace

BOOL qvn::CopyFileA(const std::string& strExistingFile, const std::string& strNewFile, BOOL bFailIfExists,
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
  bool bDone = CopyBytes(in.Get(), out.Get(), stSource.st_size, nError);
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

BOOL CopyFileContents(CFile& source, CFile& target, BOOL bSync, std::string* pReason) {
  struct stat stSource {};
  if (!source.IsOpen() || !target.IsOpen()) return Fail(pReason, EBADF);
  if (::fstat(source.m_hFile, &stSource) != 0) return Fail(pReason, errno);
  int nError = 0;
  if (!CopyBytes(source.m_hFile, target.m_hFile, stSource.st_size, nError)) return Fail(pReason, nError);
  if (bSync && ::fsync(target.m_hFile) != 0) return Fail(pReason, errno);
  return TRUE;
}
