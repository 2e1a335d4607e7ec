#include "platform/file.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "support/temp_dir.h"

namespace fs = std::filesystem;

namespace {

using qvntest::ReadFile;

class FileTest : public ::testing::Test {
 protected:
  std::string PathOf(const std::string& name) const { return m_temp / name; }

  qvntest::TempDir m_temp;
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
      {m_temp.Path().string(), CFile::modeRead, CFileException::accessDenied},  // a directory is no file
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
  EXPECT_EQ(ReadFile(name), "old contents");
  { CFile file(name, CFile::modeCreate | CFile::modeWrite); }
  EXPECT_EQ(ReadFile(name), "");
}

TEST_F(FileTest, LargeWriteLandsWhole) {
  const std::string name = PathOf("big.bin");
  std::vector<char> data(8 << 20);
  for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<char>(i * 7 + i / 4096);
  CFile file(name, CFile::modeCreate | CFile::modeWrite);
  file.Write(data.data(), static_cast<UINT>(data.size()));
  file.Close();
  EXPECT_EQ(ReadFile(name), std::string(data.begin(), data.end()));
}

// --- Write-behind: small writes wait in memory, but nobody can tell but the system

TEST_F(FileTest, AFullDiskIsReportedByTheWriteThatHandsTheBytesOver) {
  if (!fs::exists("/dev/full")) GTEST_SKIP() << "no /dev/full";
  const std::string strFull = "Cannot write to /dev/full: No space left on device";
  const auto Check = [&](const char* pszWhen, const std::function<void(CFile&)>& act) {
    SCOPED_TRACE(pszWhen);
    CFile file("/dev/full", CFile::modeWrite);
    try {
      act(file);
      FAIL() << "no exception";
    } catch (const CFileException& e) {
      EXPECT_EQ(e.m_cause, CFileException::diskFull);
      EXPECT_EQ(e.m_lOsError, ENOSPC);
      EXPECT_EQ(e.GetErrorMessage(), strFull);
    }
  };
  const std::vector<char> large(CFile::kDirectWriteSize);
  Check("a large write, at once", [&](CFile& f) { f.Write(large.data(), static_cast<UINT>(large.size())); });
  Check("a small write, at Close", [](CFile& f) {
    f.Write("x", 1);
    f.Close();
  });
  Check("a small write, at Flush", [](CFile& f) {
    f.Write("x", 1);
    f.Flush();
  });
  Check("small writes, when they fill the memory", [](CFile& f) {
    for (UINT i = 0; i <= CFile::kWriteBehindSize / 4096; ++i) f.Write(std::string(4096, 'x').data(), 4096);
  });

  // The file is closed even when Close reports the failure, and the lost
  // bytes are reported once, not again at the next call.
  CFile file("/dev/full", CFile::modeWrite);
  file.Write("x", 1);
  EXPECT_THROW(file.Flush(), CFileException);
  EXPECT_NO_THROW(file.Close());
  file.Open("/dev/full", CFile::modeWrite);
  file.Write("x", 1);
  EXPECT_THROW(file.Close(), CFileException);
  EXPECT_FALSE(file.IsOpen());
}

TEST_F(FileTest, GatheredWritesAreSeenByEveryOtherOperation) {
  const std::string name = PathOf("rw.bin");
  CFile file(name, CFile::modeCreate | CFile::modeReadWrite);
  file.Write("abcdef", 6);
  char buf[16] = {};
  EXPECT_EQ(file.ReadAt(2, buf, 16), 4u);
  EXPECT_EQ(std::string(buf, 4), "cdef");
  file.Write("g", 1);
  EXPECT_EQ(file.GetPosition(), 7u);
  EXPECT_EQ(file.GetLength(), 7u);

  file.Write("h", 1);
  std::unique_ptr<CFile> other(file.Duplicate());
  EXPECT_EQ(other->ReadAt(0, buf, 16), 8u);
  EXPECT_EQ(std::string(buf, 8), "abcdefgh");

  // A seek lands the bytes before the position moves; writing there overwrites.
  file.Write("ij", 2);
  EXPECT_EQ(file.Seek(1, CFile::begin), 1u);
  file.Write("BC", 2);
  EXPECT_EQ(file.GetPosition(), 3u);
  EXPECT_EQ(file.Read(buf, 16), 7u);
  EXPECT_EQ(std::string(buf, 7), "defghij");

  file.Write("kl", 2);
  file.SetLength(4);
  EXPECT_EQ(file.GetLength(), 4u);
  file.Close();
  EXPECT_EQ(ReadFile(name), "aBCd");
}

TEST_F(FileTest, WritesOfEverySizeLandInOrder) {
  // Sizes that fit, that straddle the gathering buffer, that fill it exactly,
  // and that are large enough to go at once, mixed.
  const UINT kFull = CFile::kWriteBehindSize;
  const UINT kDirect = CFile::kDirectWriteSize;
  const std::vector<std::vector<UINT>> cases = {
      {1, 0, 4096, 4095},           {kDirect - 1, kDirect, 3, kDirect + 1, 7},
      {kFull - 10, 20, kFull, 5},   std::vector<UINT>(600, 4096),
      std::vector<UINT>(300, 4000), {4096, 3 * kFull + 17, 4096, 1},
  };
  for (size_t c = 0; c < cases.size(); ++c) {
    SCOPED_TRACE(c);
    const std::string name = PathOf("order" + std::to_string(c));
    std::string strExpected;
    {
      CFile file(name, CFile::modeCreate | CFile::modeWrite);
      for (UINT nSize : cases[c]) {
        std::string strPiece(nSize, '\0');
        for (UINT i = 0; i < nSize; ++i) strPiece[i] = static_cast<char>(strExpected.size() + i * 131);
        file.Write(strPiece.data(), nSize);
        strExpected += strPiece;
      }
      file.Close();
    }
    EXPECT_TRUE(ReadFile(name) == strExpected) << "the file differs from what was written";
  }
}

TEST_F(FileTest, TheDestructorAndAbortStillWriteWhatIsGathered) {
  const std::string name = PathOf("gone.bin");
  { CFile(name, CFile::modeCreate | CFile::modeWrite).Write("kept", 4); }
  EXPECT_EQ(ReadFile(name), "kept");

  CFile file(name, CFile::modeCreate | CFile::modeWrite);
  file.Write("also", 4);
  file.Abort();
  EXPECT_EQ(ReadFile(name), "also");

  // Reopening an open file finishes the first one's writes too.
  const std::string second = PathOf("second.bin");
  file.Open(name, CFile::modeCreate | CFile::modeWrite);
  file.Write("first", 5);
  file.Open(second, CFile::modeCreate | CFile::modeWrite);
  file.Write("second", 6);
  CFile moved;
  moved = std::move(file);
  moved.Close();
  EXPECT_EQ(ReadFile(name), "first");
  EXPECT_EQ(ReadFile(second), "second");
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
  EXPECT_EQ(ReadFile(name), "abc");
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
