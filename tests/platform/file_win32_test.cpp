// What the Win32 file backend adds: UTF-8 names reaching the wide calls,
// Win32 error codes, share modes, and positions kept as POSIX keeps them.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "platform/file.h"
#include "platform/file_ops.h"
#include "support/temp_dir.h"

namespace {

namespace fs = std::filesystem;

constexpr long kErrorFileNotFound = 2;  // ERROR_FILE_NOT_FOUND

TEST(FileWin32, Utf8NamesAreTheFilesUtf16Names) {
  qvntest::TempDir dir;
  // dir / "..." would read the UTF-8 bytes in the ANSI code page.
  const std::string strFolder = dir.Path().string() + "/Dokümente";
  fs::create_directory(dir.Path() / L"Dokümente");
  const std::string strName = strFolder + "/Grüße € 日本.txt";
  CFile file(strName, CFile::modeCreate | CFile::modeWrite);
  file.Write("hello", 5);
  file.Close();
  EXPECT_EQ(qvntest::ReadFile(dir.Path() / L"Dokümente" / L"Grüße € 日本.txt"), "hello");

  CFile broken;
  CFileException error;
  EXPECT_FALSE(broken.Open(strFolder + "/\xff.txt", CFile::modeRead, &error));  // not UTF-8
  EXPECT_EQ(error.m_cause, CFileException::badPath);
}

TEST(FileWin32, MissingFileSaysSoWithItsName) {
  qvntest::TempDir dir;
  CFile file;
  CFileException error;
  ASSERT_FALSE(file.Open(dir / "missing.txt", CFile::modeRead, &error));
  EXPECT_EQ(error.m_cause, CFileException::fileNotFound);
  EXPECT_EQ(error.m_lOsError, kErrorFileNotFound);
  EXPECT_NE(error.GetErrorMessage().find("Cannot open " + (dir / "missing.txt") + ": "), std::string::npos);
}

TEST(FileWin32, ExclusiveShareModeKeepsOthersOut) {
  qvntest::TempDir dir;
  CFile first(dir / "lock", CFile::modeCreate | CFile::modeReadWrite | CFile::shareExclusive);
  CFile second;
  CFileException error;
  EXPECT_FALSE(second.Open(dir / "lock", CFile::modeRead, &error));
  EXPECT_EQ(error.m_cause, CFileException::sharingViolation);
  first.Close();
  EXPECT_TRUE(second.Open(dir / "lock", CFile::modeRead));
}

TEST(FileWin32, ReadAtAndSetLengthLeaveThePositionAlone) {
  qvntest::TempDir dir;
  CFile file(dir / "data", CFile::modeCreate | CFile::modeReadWrite);
  file.Write("0123456789", 10);
  file.Seek(3, CFile::begin);
  char buffer[4] = {};
  EXPECT_EQ(file.ReadAt(6, buffer, 4), 4u);
  EXPECT_EQ(std::string(buffer, 4), "6789");
  file.SetLength(5);
  EXPECT_EQ(file.GetPosition(), 3u);
  EXPECT_EQ(file.GetLength(), 5u);
  EXPECT_EQ(file.Read(buffer, 4), 2u);
}

TEST(FileWin32, UniqueFilesAreNewAndRenameReplaces) {
  qvntest::TempDir dir;
  std::string strFirst, strSecond, strReason;
  ASSERT_TRUE(CreateUniqueFile(dir / "ü.tmp-", strFirst, strReason)) << strReason;
  ASSERT_TRUE(CreateUniqueFile(dir / "ü.tmp-", strSecond, strReason)) << strReason;
  EXPECT_NE(strFirst, strSecond);
  qvntest::WriteFile(dir.Path() / "target", "old");
  {
    CFile file(strFirst, CFile::modeWrite);
    file.Write("new", 3);
  }
  ASSERT_TRUE(RenameOver(strFirst, dir / "target", strReason)) << strReason;
  EXPECT_EQ(qvntest::ReadFile(dir.Path() / "target"), "new");
  EXPECT_FALSE(RenameOver(strFirst, dir / "target", strReason));
  EXPECT_FALSE(strReason.empty());
}

}  // namespace
