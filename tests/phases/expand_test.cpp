// The expansion phase on real compressed files in a temporary current directory.
#include "phases/expand.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <filesystem>

#include "support/phase_fixture.h"

namespace {

using qvntest::Items;
using qvntest::ReadFile;
using qvntest::WriteFile;
using ::testing::ElementsAre;

class ExpandTest : public qvntest::PhaseTest {};

TEST_F(ExpandTest, CompressedItemsAmongPlainOnesAreExpandedUnderTheirOwnNumbers) {
  const std::string strFirst = qvntest::PatternData(10000, 4);
  const std::string strThird(5000, 'q');
  WriteFile("QVNUPD1.TMP", qvntest::Compress(strFirst));
  WriteFile("QVNUPD2.TMP", "plain item, left alone");
  WriteFile("QVNUPD3.TMP", qvntest::Compress(strThird));

  ASSERT_EQ(UncompressFiles(view, Items({{"a.dll.crz", true}, {"b.txt", false}, {"c.dat.crz", true}})), 1);

  EXPECT_THAT(view.m_arrStatus, ElementsAre("Uncompressed QVNUPDU1.TMP", "Uncompressed QVNUPDU3.TMP"));
  EXPECT_THAT(view.Events("overall caption "),
              ElementsAre("Uncompressing File 1 of 2", "Uncompressing File 2 of 2"));
  EXPECT_THAT(view.Events("current caption "), ElementsAre("Uncompressing File QVNUPDU1.TMP (10000 bytes)",
                                                           "Uncompressing File QVNUPDU3.TMP (5000 bytes)"));
  // 10000 bytes: range 3, reads of 4096, 4096, 1808 and 0, three steps; the bar ends full.
  EXPECT_THAT(view.Events("current bar "),
              ElementsAre("0 of 0..3", "0 of 0..3", "1 of 0..3", "2 of 0..3", "3 of 0..3", "2 of 0..2",
                          "0 of 0..2", "1 of 0..2", "2 of 0..2"));
  EXPECT_THAT(view.Events("overall bar "), ElementsAre("0 of 0..2", "0 of 0..2", "1 of 0..2", "2 of 0..2"));
  EXPECT_TRUE(ReadFile("QVNUPDU1.TMP") == strFirst);
  EXPECT_TRUE(ReadFile("QVNUPDU3.TMP") == strThird);
  EXPECT_EQ(ReadFile("QVNUPD2.TMP"), "plain item, left alone");
  EXPECT_FALSE(std::filesystem::exists("QVNUPDU2.TMP"));
}

TEST_F(ExpandTest, WithoutCompressedItemsNothingIsShown) {
  EXPECT_EQ(UncompressFiles(view, Items({{"a.txt", false}})), 1);
  EXPECT_TRUE(view.m_arrEvents.empty());
}

TEST_F(ExpandTest, AnEmptyCompressedFileGivesAnEmptyOutput) {
  WriteFile("QVNUPD1.TMP", "");
  ASSERT_EQ(UncompressFiles(view, Items({{"e.crz", true}})), 1);
  EXPECT_EQ(ReadFile("QVNUPDU1.TMP"), "");
  EXPECT_THAT(view.m_arrStatus, ElementsAre("Uncompressed QVNUPDU1.TMP"));
  EXPECT_THAT(view.Events("current bar "), ElementsAre("0 of 0..0", "0 of 0..0"));
}

TEST_F(ExpandTest, AMissingDownloadStopsThePhase) {
  EXPECT_EQ(UncompressFiles(view, Items({{"b.txt", false}, {"a.crz", true}})), 0);
  EXPECT_THAT(view.m_arrStatus, ElementsAre("Unable to find file [QVNUPD2.TMP] - Aborting"));
  EXPECT_FALSE(std::filesystem::exists("QVNUPDU2.TMP"));
}

TEST_F(ExpandTest, AnOutputThatCannotBeCreatedStopsThePhase) {
  WriteFile("QVNUPD1.TMP", qvntest::Compress("abc"));
  std::filesystem::create_directory("QVNUPDU1.TMP");
  EXPECT_EQ(UncompressFiles(view, Items({{"a.crz", true}})), 0);
  EXPECT_THAT(view.m_arrStatus, ElementsAre("Unable to open file [QVNUPDU1.TMP] - Aborting"));
}

TEST_F(ExpandTest, DamagedCompressedDataIsAnErrorNotData) {
  // A block that claims a compressed body which is not one.
  WriteFile("QVNUPD1.TMP", std::string("\x10\x80", 2) + std::string(16, '\xFF'));
  EXPECT_THROW(UncompressFiles(view, Items({{"a.crz", true}})), CFileException);
  EXPECT_TRUE(view.m_arrStatus.empty());
}

}  // namespace
