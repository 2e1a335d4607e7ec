// The replacement phase and the file copy beneath it, on real files.
#include "phases/replace.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>

#include "phases/temp_file_name.h"
#include "platform/copy_file.h"
#include "support/phase_fixture.h"

namespace {

using qvntest::HiddenFiles;
using qvntest::Items;
using qvntest::ReadFile;
using qvntest::WriteFile;
using ::testing::ElementsAre;

class ReplaceTest : public qvntest::PhaseTest {};

// --- Names ------------------------------------------------------------------

TEST(TempFileName, NumbersTheItemsFromOne) {
  EXPECT_EQ(FormatTempFileName(1, FALSE), "QVNUPD1.TMP");
  EXPECT_EQ(FormatTempFileName(12, FALSE), "QVNUPD12.TMP");
  EXPECT_EQ(FormatTempFileName(3, TRUE), "QVNUPDU3.TMP");
  char sz[kTempFileNameSize];
  FormatTempFileName(sz, 2147483647, 7);
  EXPECT_STREQ(sz, "QVNUPDU2147483647.TMP");
}

TEST(TargetFileName, CompressedItemsLoseTheirSuffix) {
  const struct {
    const char* pszName;
    bool bCompressed;
    const char* pszTarget;
  } cases[] = {
      {"Engine.dll.crz", true, "Engine.dll"},
      {"Engine.dllz", true, "Engine.dll"},        // no ".crz": one character goes
      {"Engine.dll.CRZ", true, "Engine.dll.CR"},  // the search is case-sensitive
      {"a.crz.dll", true, "a.crz"},               // ".crz" anywhere: the last four go
      {"ReadMe.txt", false, "ReadMe.txt"},
      {"Engine.dll.crz", false, "Engine.dll.crz"},
  };
  for (const auto& c : cases) {
    CUpdateFileItem item;
    item.m_strName = c.pszName;
    item.m_bCompressed = c.bCompressed ? TRUE : FALSE;
    EXPECT_EQ(TargetFileName(item), c.pszTarget) << c.pszName;
  }
}

// --- Replacement ------------------------------------------------------------

TEST_F(ReplaceTest, EachItemsFinalFileReplacesItsTargetInListOrder) {
  WriteFile("QVNUPD1.TMP", "compressed as sent");
  WriteFile("QVNUPDU1.TMP", "engine v2");
  WriteFile("QVNUPD2.TMP", "readme v2");
  WriteFile("QVNUPD3.TMP", "plugin v2");
  WriteFile("QVNUPD4.TMP", "readme v3");
  WriteFile("Engine.dll", "engine v1");
  WriteFile("ReadMe.txt", "readme v1");

  ASSERT_EQ(ReplaceFiles(view, Items({{"Engine.dll.crz", true},
                                      {"ReadMe.txt", false},
                                      {"plugins/new/p.so", false},
                                      {"ReadMe.txt", false}})),
            1);
  EXPECT_THAT(view.m_arrStatus,
              ElementsAre("Replacing Files", "Copying QVNUPDU1.TMP to Engine.dll",
                          "Copying QVNUPD2.TMP to ReadMe.txt", "Copying QVNUPD3.TMP to plugins/new/p.so",
                          "Copying QVNUPD4.TMP to ReadMe.txt"));
  EXPECT_EQ(ReadFile("Engine.dll"), "engine v2");
  EXPECT_EQ(ReadFile("ReadMe.txt"), "readme v3");  // the later item wins
  EXPECT_EQ(ReadFile("plugins/new/p.so"), "plugin v2");
  EXPECT_TRUE(std::filesystem::exists("QVNUPD2.TMP"));  // temporary files stay
  EXPECT_THAT(HiddenFiles(dir.Path()), ::testing::IsEmpty());
  EXPECT_TRUE(view.Events("current").empty() && view.Events("overall").empty());
}

TEST_F(ReplaceTest, AnEmptyListOnlyAnnouncesItself) {
  EXPECT_EQ(ReplaceFiles(view, CUpdateInfo{}), 1);
  EXPECT_THAT(view.m_arrEvents, ElementsAre("status Replacing Files"));
}

TEST_F(ReplaceTest, AFailedCopyIsReportedWithItsReasonAndStopsThePhase) {
  WriteFile("QVNUPD1.TMP", "new a");
  WriteFile("QVNUPD2.TMP", "new b");
  WriteFile("a.txt", "old a");
  WriteFile("b.txt", "old b");
  chmod("a.txt", 0444);

  EXPECT_EQ(ReplaceFiles(view, Items({{"a.txt", false}, {"b.txt", false}})), 0);
  EXPECT_THAT(view.m_arrStatus,
              ElementsAre("Replacing Files", "Copying QVNUPD1.TMP to a.txt",
                          "Unable to copy QVNUPD1.TMP to a.txt: Permission denied - ABORTING"));
  EXPECT_EQ(ReadFile("a.txt"), "old a");
  EXPECT_EQ(ReadFile("b.txt"), "old b");
  EXPECT_THAT(HiddenFiles(dir.Path()), ::testing::IsEmpty());
}

// In a folder others may write to, a download's name can be given to another
// file after the update checked the bytes it wrote there.
TEST_F(ReplaceTest, ASourceThatIsNoLongerTheFileWrittenIsAFailedCopy) {
  WriteFile("QVNUPD1.TMP", "new a");
  WriteFile("QVNUPD2.TMP", "new b");
  WriteFile("a.txt", "old a");
  WriteFile("b.txt", "old b");
  const CUpdateInfo info = Items({{"a.txt", false}, {"b.txt", false}});
  for (int i = 0; i < 2; ++i) {
    CFile file;
    ASSERT_TRUE(file.Open(FormatTempFileName(i + 1, FALSE), CFile::modeRead));
    NoteTempFile(*info.m_arrItems[static_cast<size_t>(i)], file);
  }
  WriteFile("planted", "not the file that was checked");
  std::filesystem::rename("planted", "QVNUPD2.TMP");

  EXPECT_EQ(ReplaceFiles(view, info), 0);
  EXPECT_EQ(
      view.m_arrStatus.back(),
      "Unable to copy QVNUPD2.TMP to b.txt: another file was put at its name since this update wrote it - "
      "ABORTING");
  EXPECT_EQ(ReadFile("a.txt"), "old a");
  EXPECT_EQ(ReadFile("b.txt"), "old b");
}

TEST_F(ReplaceTest, AMissingSourceIsAFailedCopy) {
  WriteFile("a.txt", "old");
  EXPECT_EQ(ReplaceFiles(view, Items({{"a.txt", true}})),
            0);  // "a.txt" compressed: QVNUPDU1.TMP, target a.tx
  EXPECT_EQ(view.m_arrStatus.back(),
            "Unable to copy QVNUPDU1.TMP to a.tx: No such file or directory - ABORTING");
}

// --- The copy itself --------------------------------------------------------

TEST_F(ReplaceTest, TheCopyReplacesTheFileWholeInsteadOfWritingIntoIt) {
  WriteFile("new", qvntest::PatternData(3 << 20));
  WriteFile("target", "old contents");
  chmod("target", 0750);
  // A second name for the old file: writing into the file would change it too.
  std::filesystem::create_hard_link("target", "old-link");

  std::string strReason;
  ASSERT_TRUE(qvn::CopyFileA("new", "target", FALSE, &strReason)) << strReason;
  EXPECT_TRUE(ReadFile("target") == ReadFile("new"));
  EXPECT_EQ(ReadFile("old-link"), "old contents");
  struct stat st {};
  stat("target", &st);
  EXPECT_EQ(st.st_mode & 07777, 0750u);  // the installed file keeps its permissions
  EXPECT_THAT(HiddenFiles(dir.Path()), ::testing::IsEmpty());
}

TEST_F(ReplaceTest, TheCopyRefusesWhatItMustNotTouch) {
  WriteFile("src", "x");
  WriteFile("exists", "keep");
  std::filesystem::create_directory("folder");
  std::string strReason;
  EXPECT_FALSE(qvn::CopyFileA("src", "exists", TRUE, &strReason));
  EXPECT_EQ(strReason, "File exists");
  EXPECT_FALSE(qvn::CopyFileA("src", "folder", FALSE, &strReason));
  EXPECT_EQ(strReason, "Is a directory");
  EXPECT_FALSE(qvn::CopyFileA("src", "", FALSE, &strReason));
  WriteFile("plain-file", "");
  EXPECT_FALSE(
      qvn::CopyFileA("src", "plain-file/below", FALSE, &strReason));  // a file stands where a folder must
  EXPECT_EQ(ReadFile("exists"), "keep");
  EXPECT_THAT(HiddenFiles(dir.Path()), ::testing::IsEmpty());
}

}  // namespace
