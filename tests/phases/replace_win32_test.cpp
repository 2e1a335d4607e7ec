// The replacement over the Windows backends: more files than are flushed
// one by one elsewhere (Windows flushes each one), UTF-8 names in folders,
// and a read-only target that puts every file back.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "phases/replace.h"
#include "support/phase_fixture.h"

namespace {

namespace fs = std::filesystem;
using qvntest::ReadFile;
using qvntest::WriteFile;

class ReplaceWin32 : public qvntest::PhaseTest {};

// The installed name of item n, wide for the checks from outside.
fs::path Target(int n) {
  return fs::path(L"Dokümente") / (L"Grüße " + std::to_wstring(n) + L".txt");
}

TEST_F(ReplaceWin32, ManyFilesAllOrNothing) {
  constexpr int kFiles = 40;
  for (const int nReadOnly : {0, 25}) {
    SCOPED_TRACE(nReadOnly);
    fs::create_directory(L"Dokümente");
    std::vector<qvntest::ManifestItem> arrItems;
    for (int n = 1; n <= kFiles; ++n) {
      WriteFile("QVNUPD" + std::to_string(n) + ".TMP", "new " + std::to_string(n));
      WriteFile(Target(n), "old " + std::to_string(n));
      arrItems.push_back({"Dokümente/Grüße " + std::to_string(n) + ".txt", 0, false});
    }
    if (nReadOnly != 0) fs::permissions(Target(nReadOnly), fs::perms::owner_write, fs::perm_options::remove);

    EXPECT_EQ(ReplaceFiles(view, qvntest::ItemsOf(arrItems)), nReadOnly == 0 ? 1 : 0);
    for (int n = 1; n <= kFiles; ++n) {
      EXPECT_EQ(ReadFile(Target(n)), (nReadOnly == 0 ? "new " : "old ") + std::to_string(n)) << n;
    }
    if (nReadOnly != 0) {
      // Its backup, a second name, went without taking the attribute along.
      EXPECT_EQ(fs::status(Target(nReadOnly)).permissions() & fs::perms::owner_write, fs::perms::none);
      EXPECT_EQ(view.m_arrStatus.back(),
                "Unable to copy QVNUPD25.TMP to Dokümente/Grüße 25.txt: the file is read-only - ABORTING");
    }
    EXPECT_THAT(qvntest::HiddenFiles(dir.Path()), ::testing::IsEmpty());
    fs::permissions(Target(nReadOnly == 0 ? 1 : nReadOnly), fs::perms::owner_write, fs::perm_options::add);
    fs::remove_all(L"Dokümente");
  }
}

}  // namespace
