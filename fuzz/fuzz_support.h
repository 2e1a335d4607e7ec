#pragma once
// Small pieces shared by the fuzz targets.
#include <sys/mman.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

namespace qvnfuzz {

// A property that must hold for every input: a failure is a crash that
// libFuzzer keeps as an artifact.
#define QVN_FUZZ_CHECK(cond)                                                           \
  do {                                                                                 \
    if (!(cond)) {                                                                     \
      std::fprintf(stderr, "%s:%d: property broken: %s\n", __FILE__, __LINE__, #cond); \
      std::abort();                                                                    \
    }                                                                                  \
  } while (0)

// A file that lives in memory and can be opened by name, for code that reads
// files: rewritten for every input without touching the disk.
class MemoryFile {
 public:
  MemoryFile() : m_fd(memfd_create("qvn-fuzz", MFD_CLOEXEC)) {
    if (m_fd < 0) std::abort();
    m_strPath = "/proc/self/fd/" + std::to_string(m_fd);
  }
  ~MemoryFile() { close(m_fd); }
  MemoryFile(const MemoryFile&) = delete;
  MemoryFile& operator=(const MemoryFile&) = delete;

  // Replaces the contents; returns the name to open it by.
  const std::string& Set(const uint8_t* pData, size_t nSize) {
    if (ftruncate(m_fd, 0) != 0) std::abort();
    for (size_t nDone = 0; nDone < nSize;) {
      const ssize_t n = pwrite(m_fd, pData + nDone, nSize - nDone, static_cast<off_t>(nDone));
      if (n <= 0) std::abort();
      nDone += static_cast<size_t>(n);
    }
    return m_strPath;
  }

 private:
  int m_fd;
  std::string m_strPath;
};

}  // namespace qvnfuzz
