#include "platform/file.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

namespace fs = std::filesystem;

namespace {

class FileTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/qvn-file-test-XXXXXX";
    ASSERT_NE(::mkdtemp(tmpl), nullptr);
    m_dir = tmpl;
  }
  void TearDown() override { fs::remove_all(m_dir); }

  std::string PathOf(const std::string& name) const { return (m_dir / name).string(); }
  static std::string Slurp(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
  }

  fs::path m_dir;
};

// --- Opening: failures are reported through the result and the exception object

TEST_F(FileTest, OpenMissingFileFillsTheExceptionAndReturnsFalse) {
  CFile file;
  CFileException error;
  const std::string name = PathOf("missing.bin");
  EXPECT_FALSE(file.Open(name, CFile::modeRead, &error));
  EXPECT_EQ(error.m_cause, CFileException::fileNotFound);
  EXPECT_EQ(error.m_lOsError, ENOENT);
  EXPECT_EQ(error.m_strFileName, name);
  EXPECT_EQ(error.GetErrorMessage(), "Cannot open " + name + ": No such file or directory");
  EXPECT_EQ(std::string(error.what()), error.GetErrorMessage());
  EXPECT_FALSE(file.IsOpen());
  EXPECT_FALSE(file.Open(name, CFile::modeRead));  // no exception object: no throw either
}

TEST_F(FileTest, OpenFailuresMapToTheirCauses) {
  std::ofstream(PathOf("plain")) << "x";
  struct Case {
    std::string name;
    UINT flags;
    int cause;
  };
  const Case cases[] = {
      {PathOf("nodir/file"), CFile::modeCreate | CFile::modeWrite, CFileException::fileNotFound},
      {PathOf("plain/file"), CFile::modeRead, CFileException::badPath},
      {m_dir.string(), CFile::modeRead, CFileException::accessDenied},  // a directory is no file
      {"", CFile::modeRead, CFileException::fileNotFound},
  };
  for (const Case& c : cases) {
    CFile file;
    CFileException error;
    EXPECT_FALSE(file.Open(c.name, c.flags, &error)) << c.name;
    EXPECT_EQ(error.m_cause, c.cause) << c.name;
  }
}

TEST_F(FileTest, ThrowingConstructorReportsWhatOpenReports) {
  try {
    CFile file(PathOf("missing"), CFile::modeRead);
    FAIL() << "no exception";
  } catch (const CFileException& e) {
    EXPECT_EQ(e.m_cause, CFileException::fileNotFound);
    EXPECT_EQ(e.GetErrorMessage(), "Cannot open " + PathOf("missing") + ": No such file or directory");
  }
}

// --- Errno to cause

TEST(FileExceptionTest, OsErrorsMapToCauses) {
  const std::pair<int, int> cases[] = {
      {ENOSPC, CFileException::diskFull},
      {EDQUOT, CFileException::diskFull},
      {EACCES, CFileException::accessDenied},
      {EPERM, CFileException::accessDenied},
      {EROFS, CFileException::accessDenied},
      {ENOENT, CFileException::fileNotFound},
      {ENOTDIR, CFileException::badPath},
      {ENAMETOOLONG, CFileException::badPath},
      {EMFILE, CFileException::tooManyOpenFiles},
      {ENFILE, CFileException::tooManyOpenFiles},
      {EIO, CFileException::hardIO},
      {EBADF, CFileException::invalidFile},
      {ESPIPE, CFileException::badSeek},
      {EBUSY, CFileException::sharingViolation},
      {EDEADLK, CFileException::lockViolation},
      {EINVAL, CFileException::genericException},
      {0, CFileException::none},
  };
  for (const auto& [err, cause] : cases) EXPECT_EQ(CFileException::OsErrorToException(err), cause) << err;
}

TEST(FileExceptionTest, MessagesSayWhatFailedAndWhy) {
  CFileException full(CFileException::diskFull, ENOSPC, "QVNUPD1.TMP");
  full.m_strAction = "write to";
  EXPECT_EQ(full.GetErrorMessage(), "Cannot write to QVNUPD1.TMP: No space left on device");
  EXPECT_EQ(CFileException(CFileException::endOfFile).GetErrorMessage(), "The end of the file was reached");
  EXPECT_EQ(CFileException(CFileException::genericException, -1, "", "block 3 is damaged").GetErrorMessage(),
            "block 3 is damaged");
}

// --- Reading, writing and seeking

TEST_F(FileTest, WriteReadSeekRoundTrip) {
  const std::string name = PathOf("data.bin");
  {
    CFile file;
    ASSERT_TRUE(file.Open(name, CFile::modeCreate | CFile::modeWrite));
    file.Write("hello, world", 12);
    EXPECT_EQ(file.GetPosition(), 12u);
    EXPECT_EQ(file.GetLength(), 12u);
    file.Close();
    EXPECT_FALSE(file.IsOpen());
  }
  CFile file(name, CFile::modeRead);
  char buf[32] = {};
  EXPECT_EQ(file.Read(buf, 5), 5u);
  EXPECT_EQ(std::string(buf, 5), "hello");
  EXPECT_EQ(file.Seek(2, CFile::current), 7u);
  EXPECT_EQ(file.Read(buf, 32), 5u);  // fewer only at the end
  EXPECT_EQ(std::string(buf, 5), "world");
  EXPECT_EQ(file.Read(buf, 32), 0u);
  EXPECT_EQ(file.Seek(-5, CFile::end), 7u);
  EXPECT_EQ(file.Seek(0, CFile::begin), 0u);
  EXPECT_EQ(file.ReadAt(7, buf, 32), 5u);
  EXPECT_EQ(file.GetPosition(), 0u);  // ReadAt leaves the position alone
  try {
    file.Seek(-1, CFile::begin);
    FAIL() << "no exception";
  } catch (const CFileException& e) {
    EXPECT_EQ(e.m_cause, CFileException::badSeek);
  }
}

TEST_F(FileTest, CreateTruncatesUnlessAskedNotTo) {
  const std::string name = PathOf("t.bin");
  std::ofstream(name) << "old contents";
  { CFile file(name, CFile::modeCreate | CFile::modeWrite | CFile::modeNoTruncate); }
  EXPECT_EQ(Slurp(name), "old contents");
  { CFile file(name, CFile::modeCreate | CFile::modeWrite); }
  EXPECT_EQ(Slurp(name), "");
}

TEST_F(FileTest, LargeWriteLandsWhole) {
  const std::string name = PathOf("big.bin");
  std::vector<char> data(8 << 20);
  for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<char>(i * 7 + i / 4096);
  CFile file(name, CFile::modeCreate | CFile::modeWrite);
  file.Write(data.data(), static_cast<UINT>(data.size()));
  file.Close();
  EXPECT_EQ(Slurp(name), std::string(data.begin(), data.end()));
}

TEST_F(FileTest, WriteToAFullDiskThrowsDiskFull) {
  if (!fs::exists("/dev/full")) GTEST_SKIP() << "no /dev/full";
  CFile file("/dev/full", CFile::modeWrite);
  try {
    file.Write("x", 1);
    FAIL() << "no exception";
  } catch (const CFileException& e) {
    EXPECT_EQ(e.m_cause, CFileException::diskFull);
    EXPECT_EQ(e.m_lOsError, ENOSPC);
    EXPECT_EQ(e.GetErrorMessage(), "Cannot write to /dev/full: No space left on device");
  }
}

TEST_F(FileTest, ReadingAWriteOnlyFileThrows) {
  CFile file(PathOf("w.bin"), CFile::modeCreate | CFile::modeWrite);
  char c;
  EXPECT_THROW(file.Read(&c, 1), CFileException);
}

TEST_F(FileTest, ClosedFileRefusesWorkAndAbortNeverThrows) {
  CFile file;
  char c;
  try {
    file.Read(&c, 1);
    FAIL() << "no exception";
  } catch (const CFileException& e) {
    EXPECT_EQ(e.m_cause, CFileException::invalidFile);
  }
  EXPECT_THROW(file.Write(&c, 1), CFileException);
  EXPECT_THROW(file.GetLength(), CFileException);
  EXPECT_NO_THROW(file.Abort());
  EXPECT_NO_THROW(file.Close());
}

TEST_F(FileTest, MovedFileKeepsTheHandle) {
  const std::string name = PathOf("m.bin");
  CFile a(name, CFile::modeCreate | CFile::modeWrite);
  CFile b(std::move(a));
  EXPECT_FALSE(a.IsOpen());
  b.Write("ab", 2);
  CFile c;
  c = std::move(b);
  c.Write("c", 1);
  c.Close();
  EXPECT_EQ(Slurp(name), "abc");
  EXPECT_EQ(c.GetFileName(), "m.bin");
  EXPECT_EQ(c.GetFilePath(), name);
}

TEST_F(FileTest, DuplicateReadsTheSameFile) {
  const std::string name = PathOf("d.bin");
  std::ofstream(name) << "abcdef";
  CFile file(name, CFile::modeRead);
  std::unique_ptr<CFile> copy(file.Duplicate());
  char buf[6];
  EXPECT_EQ(copy->Read(buf, 6), 6u);
  EXPECT_EQ(std::string(buf, 6), "abcdef");
}

TEST_F(FileTest, SetLengthAndFlush) {
  const std::string name = PathOf("s.bin");
  CFile file(name, CFile::modeCreate | CFile::modeWrite);
  file.Write("abcdef", 6);
  file.SetLength(3);
  file.Flush();
  EXPECT_EQ(file.GetLength(), 3u);
}

}  // namespace
