#pragma once
// A folder of its own for one test, removed with everything in it afterwards,
// and small helpers for the files in it.
#ifndef _WIN32
#include <unistd.h>
#endif

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <stdexcept>
#include <string>
#include <system_error>

namespace qvntest {

class TempDir {
 public:
  TempDir() {
#ifdef _WIN32
    // No mkdtemp: a random name, made only if it is new.
    std::random_device random;
    for (int nTry = 0; nTry < 100 && m_path.empty(); ++nTry) {
      const auto path = std::filesystem::temp_directory_path() / ("qvntest-" + std::to_string(random()));
      if (std::filesystem::create_directory(path)) m_path = path;
    }
    if (m_path.empty()) throw std::runtime_error("cannot make a test folder");
#else
    std::string strTemplate = (std::filesystem::temp_directory_path() / "qvntest-XXXXXX").string();
    if (mkdtemp(strTemplate.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
    m_path = strTemplate;
#endif
  }
  ~TempDir() {
    std::error_code ec;
    // Read-only files and folders made by a test must not stop the clean-up.
    for (auto it = std::filesystem::recursive_directory_iterator(m_path, ec);
         !ec && it != std::filesystem::recursive_directory_iterator(); it.increment(ec)) {
      std::filesystem::permissions(it->path(), std::filesystem::perms::owner_all,
                                   std::filesystem::perm_options::add, ec);
    }
    std::filesystem::remove_all(m_path, ec);
  }
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  const std::filesystem::path& Path() const {
    return m_path;
  }
  std::string operator/(const std::string& strName) const {
    return (m_path / strName).string();
  }

 private:
  std::filesystem::path m_path;
};

inline void WriteFile(const std::filesystem::path& path, const std::string& strData) {
  if (path.has_parent_path()) std::filesystem::create_directories(path.parent_path());
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(strData.data(), static_cast<std::streamsize>(strData.size()));
  if (!out) throw std::runtime_error("cannot write " + path.string());
}

inline std::string ReadFile(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) throw std::runtime_error("cannot read " + path.string());
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// Deterministic bytes that do not repeat within a block, so that a misplaced
// block shows.
inline std::string PatternData(size_t nSize, unsigned nSeed = 1) {
  std::string str(nSize, '\0');
  unsigned x = nSeed * 2654435761u + 12345u;
  for (size_t i = 0; i < nSize; ++i) {
    x = x * 1103515245u + 12345u;
    str[i] = static_cast<char>(x >> 16);
  }
  return str;
}

// Runs code in another current directory and comes back, whatever happens.
class ScopedCurrentDir {
 public:
  explicit ScopedCurrentDir(const std::filesystem::path& path) : m_old(std::filesystem::current_path()) {
    std::filesystem::current_path(path);
  }
  ~ScopedCurrentDir() {
    std::error_code ec;
    std::filesystem::current_path(m_old, ec);
  }
  ScopedCurrentDir(const ScopedCurrentDir&) = delete;
  ScopedCurrentDir& operator=(const ScopedCurrentDir&) = delete;

 private:
  std::filesystem::path m_old;
};

}  // namespace qvntest
