// The replacement over the Windows backends: more files than are flushed
// one by one elsewhere (Windows flushes each one), UTF-8 names in folders,
// and a read-only target or one a program holds, either of which puts every
// file back.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <windows.h>

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
  struct Case {
    int nReadOnly;  // item made read-only, 0 for none
    int nHeld;      // item a program holds open without sharing it, 0 for none
    const char* pszStatus;
  } const cases[] = {
      {0, 0, nullptr},
      {25, 0, "Unable to copy QVNUPD25.TMP to Dokümente/Grüße 25.txt: the file is read-only - ABORTING"},
      {0, 30, "Unable to keep the previous version of Dokümente/Grüße 30.txt: "},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.nReadOnly + c.nHeld);
    fs::create_directory(L"Dokümente");
    std::vector<qvntest::ManifestItem> arrItems;
    for (int n = 1; n <= kFiles; ++n) {
      WriteFile("QVNUPD" + std::to_string(n) + ".TMP", "new " + std::to_string(n));
      WriteFile(Target(n), "old " + std::to_string(n));
      arrItems.push_back({"Dokümente/Grüße " + std::to_string(n) + ".txt", 0, false});
    }
    if (c.nReadOnly != 0)
      fs::permissions(Target(c.nReadOnly), fs::perms::owner_write, fs::perm_options::remove);
    const HANDLE hHeld = c.nHeld == 0 ? INVALID_HANDLE_VALUE
                                      : ::CreateFileW(Target(c.nHeld).c_str(), GENERIC_READ, 0, nullptr,
                                                      OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);

    const bool bFails = c.pszStatus != nullptr;
    EXPECT_EQ(ReplaceFiles(view, qvntest::ItemsOf(arrItems)), bFails ? 0 : 1);
    if (hHeld != INVALID_HANDLE_VALUE) ::CloseHandle(hHeld);
    for (int n = 1; n <= kFiles; ++n) {
      EXPECT_EQ(ReadFile(Target(n)), (bFails ? "old " : "new ") + std::to_string(n)) << n;
    }
    if (c.nReadOnly != 0) {
      // Its backup, a second name, went without taking the attribute along.
      EXPECT_EQ(fs::status(Target(c.nReadOnly)).permissions() & fs::perms::owner_write, fs::perms::none);
      fs::permissions(Target(c.nReadOnly), fs::perms::owner_write, fs::perm_options::add);
    }
    // Put back in full (a failure to would have the last line), and nothing
    // of the updater's stays.
    if (bFails) {
      EXPECT_THAT(view.m_arrStatus.back(), ::testing::StartsWith(c.pszStatus));
    }
    EXPECT_THAT(qvntest::HiddenFiles(dir.Path()), ::testing::IsEmpty());
    fs::remove_all(L"Dokümente");
  }
}

// A running program's file, its code mapped from it, cannot be written or
// renamed over: it is found before anything is replaced.
TEST_F(ReplaceWin32, ARunningProgramsFileIsFoundBeforeAnythingIsReplaced) {
  wchar_t szSelf[MAX_PATH] = {};
  ASSERT_GT(::GetModuleFileNameW(nullptr, szSelf, MAX_PATH), 0u);
  fs::copy_file(szSelf, "Running.exe");
  WriteFile("a.txt", "old");
  WriteFile("QVNUPD1.TMP", "new a");
  WriteFile("QVNUPD2.TMP", "new program");
  // As the loader does: the file may go (share delete), its image stays mapped.
  const HANDLE hFile = ::CreateFileW(L"Running.exe", GENERIC_READ | GENERIC_EXECUTE,
                                     FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING, 0, nullptr);
  ASSERT_NE(hFile, INVALID_HANDLE_VALUE);
  const HANDLE hImage = ::CreateFileMappingW(hFile, nullptr, PAGE_READONLY | SEC_IMAGE, 0, 0, nullptr);
  ::CloseHandle(hFile);
  ASSERT_NE(hImage, nullptr);
  EXPECT_EQ(ReplaceFiles(view, qvntest::ItemsOf({{"a.txt", 0, false}, {"Running.exe", 0, false}})), 0);
  ::CloseHandle(hImage);
  EXPECT_EQ(ReadFile("a.txt"), "old");
  EXPECT_THAT(view.m_arrStatus.back(),
              ::testing::StartsWith("Unable to keep the previous version of Running.exe: "));
  EXPECT_THAT(qvntest::HiddenFiles(dir.Path()), ::testing::IsEmpty());
}

}  // namespace
