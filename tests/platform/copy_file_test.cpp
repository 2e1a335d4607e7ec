#include "platform/copy_file.h"

#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <filesystem>
#include <string>

#include "support/temp_dir.h"

namespace {

using qvntest::PatternData;
using qvntest::ReadFile;
using qvntest::WriteFile;

// Files other than the ones a test made: the copy's temporary files.
int OtherFiles(const std::filesystem::path& dir, int nExpected) {
  int n = 0;
  for ([[maybe_unused]] const auto& entry : std::filesystem::directory_iterator(dir)) ++n;
  return n - nExpected;
}

// --- Every size comes over whole: small files, and large ones whose end is
// or is not a whole number of disk blocks

TEST(CopyFileTest, EverySizeArrivesWhole) {
  const size_t sizes[] = {
      0, 1, 4095, 4096, (1 << 20) - 1, 1 << 20, (1 << 20) + 1, (1 << 20) + 4096, (5 << 20) + 123, 3 << 21};
  for (size_t nSize : sizes) {
    SCOPED_TRACE(nSize);
    qvntest::TempDir dir;
    const std::string strData = PatternData(nSize, static_cast<unsigned>(nSize));
    WriteFile(dir / "source", strData);
    WriteFile(dir / "target", "old");
    std::string strReason;
    ASSERT_TRUE(qvn::CopyFileA(dir / "source", dir / "target", FALSE, &strReason)) << strReason;
    EXPECT_TRUE(ReadFile(dir / "target") == strData) << "the copy differs";
    EXPECT_TRUE(ReadFile(dir / "source") == strData) << "the source changed";
    EXPECT_EQ(OtherFiles(dir.Path(), 2), 0);
  }
}

// --- A disk that fills during the copy leaves the target as it was

// Runs CopyFileA in a child whose files may not grow past nLimit bytes, as
// on a full disk; returns the child's reason, or "" when the copy succeeded.
std::string CopyWithSizeLimit(const std::string& strFrom, const std::string& strTo, rlim_t nLimit) {
  int pipefd[2];
  if (pipe(pipefd) != 0) return "pipe failed";
  const pid_t pid = fork();
  if (pid == 0) {
    close(pipefd[0]);
    std::signal(SIGXFSZ, SIG_IGN);
    const rlimit limit{nLimit, nLimit};
    setrlimit(RLIMIT_FSIZE, &limit);
    std::string strReason;
    const std::string strOut = qvn::CopyFileA(strFrom, strTo, FALSE, &strReason) ? "" : strReason;
    const ssize_t nWritten = write(pipefd[1], strOut.data(), strOut.size());
    _exit(nWritten == static_cast<ssize_t>(strOut.size()) ? 0 : 1);
  }
  close(pipefd[1]);
  std::string strOut;
  char buf[256];
  for (ssize_t n; (n = read(pipefd[0], buf, sizeof buf)) > 0;) strOut.append(buf, static_cast<size_t>(n));
  close(pipefd[0]);
  int nStatus = 0;
  waitpid(pid, &nStatus, 0);
  EXPECT_TRUE(WIFEXITED(nStatus) && WEXITSTATUS(nStatus) == 0);
  return strOut;
}

TEST(CopyFileTest, ADiskThatFillsLeavesTheTargetAsItWas) {
  const struct {
    size_t nSize;
    rlim_t nLimit;
  } cases[] = {
      {100000, 50000},                  // a small file
      {(4 << 20) + 10, 2 << 20},        // a large one, in the middle
      {(4 << 20) + 10, (4 << 20) + 4},  // a large one, at its last piece
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.nLimit);
    qvntest::TempDir dir;
    WriteFile(dir / "source", PatternData(c.nSize));
    WriteFile(dir / "target", "old");
    EXPECT_EQ(CopyWithSizeLimit(dir / "source", dir / "target", c.nLimit), "File too large");
    EXPECT_EQ(ReadFile(dir / "target"), "old");
    EXPECT_EQ(OtherFiles(dir.Path(), 2), 0);
  }
}

}  // namespace
