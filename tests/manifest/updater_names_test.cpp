#include "manifest/updater_names.h"

#include <gtest/gtest.h>

#include <string>

// The names the updater keeps for itself, on every platform the rules are built for.
TEST(UpdaterNames, OwnFilesAreReservedAnywhereTempFilesOnlyAtTheTop) {
  const struct {
    std::string strTarget;
    bool bReserved;
  } cases[] = {
      {".qvnupdate-journal", true},
      {"bin/.qvnupdate.lock", true},
      {".qvnupdate-part-00ff", true},
      {"bin/.a.dll.qvnupdate-old", true},
      {"Docs/.x.qvnupdate-new/y", true},
      {"QVNUPD7.TMP", true},
      {"QVNUPDU12.TMP", true},
      {"bin/QVNUPD7.TMP", false},
      {"QVNUPD7.TMP/a.txt", true},  // the folder would stand where the temporary file goes
      {"QVNUPD.TMP", false},
      {"QVNUPDx1.TMP", false},
      // Windows tells no case apart: these are the updater's files there.
      {"qvnupd1.tmp", true},
      {"Bin/.A.dll.QVNUPDATE-OLD", true},
      {"qvnupdate-journal", false},
      {"bin/a.qvnupdate-older", false},
      {"Quorvane.exe", false},
      // The hidden names beside a file add 15 bytes, within 255.
      {"bin/" + std::string(240, 'L'), false},
      {"bin/" + std::string(241, 'L'), true},
  };
  for (const auto& c : cases) {
    std::string strReason;
    EXPECT_EQ(IsUpdaterFileName(c.strTarget, &strReason), c.bReserved) << c.strTarget;
    EXPECT_EQ(strReason.empty(), !c.bReserved) << c.strTarget;
  }
}

TEST(UpdaterNames, BackupAndCopyLieHiddenBesideTheirTarget) {
  EXPECT_EQ(BackupName("Quorvane.exe"), ".Quorvane.exe.qvnupdate-old");
  EXPECT_EQ(BackupName("bin/sub/a.dll"), "bin/sub/.a.dll.qvnupdate-old");
  EXPECT_EQ(CopyTempName("bin/a.dll"), "bin/.a.dll.qvnupdate-new");
  EXPECT_TRUE(IsUpdaterFileName(BackupName("bin/a.dll"), nullptr));
  EXPECT_TRUE(IsUpdaterFileName(CopyTempName("a.dll"), nullptr));
}
