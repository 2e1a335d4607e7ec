// The file copy on Windows: a UTF-8 target replaced whole through a hidden
// sibling (a second name of the old file keeps the old bytes), folders made on
// the way, and what it must not touch refused with nothing left behind.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "platform/copy_file.h"
#include "support/temp_dir.h"

namespace {

namespace fs = std::filesystem;

TEST(CopyFileWin32, ReplacesWholeAndRefusesWhatItMustNotTouch) {
  qvntest::TempDir dir;
  qvntest::ScopedCurrentDir cwd(dir.Path());
  qvntest::WriteFile("new", std::string(3 << 20, 'n'));
  qvntest::WriteFile(L"Zielträger.dll", "old");
  fs::create_hard_link(L"Zielträger.dll", "old-link");
  std::string strReason;
  ASSERT_TRUE(CopyFileA("new", "Zielträger.dll", FALSE, &strReason)) << strReason;
  EXPECT_EQ(qvntest::ReadFile(L"Zielträger.dll"), std::string(3 << 20, 'n'));
  EXPECT_EQ(qvntest::ReadFile("old-link"), "old");
  ASSERT_TRUE(CopyFileA("new", "Neu/Ordner/x.dll", TRUE, &strReason)) << strReason;
  EXPECT_EQ(fs::file_size("Neu/Ordner/x.dll"), 3u << 20);

  fs::create_directory("folder");
  fs::permissions("old-link", fs::perms::owner_write, fs::perm_options::remove);
  for (const char* pszTarget : {"Zielträger.dll", "folder", "old-link", ""}) {
    const BOOL bFailIfExists = std::string(pszTarget) == "Zielträger.dll" ? TRUE : FALSE;
    EXPECT_FALSE(CopyFileA("new", pszTarget, bFailIfExists, &strReason)) << pszTarget;
    EXPECT_FALSE(strReason.empty()) << pszTarget;
  }
  EXPECT_EQ(qvntest::ReadFile("old-link"), "old");
  fs::permissions("old-link", fs::perms::owner_write, fs::perm_options::add);
  for (const auto& entry : fs::recursive_directory_iterator(dir.Path())) {
    EXPECT_NE(entry.path().filename().wstring().front(), L'.');  // no hidden copy left
  }
}

}  // namespace
