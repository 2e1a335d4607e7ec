#pragma once
// What the tests of the phases share: the manifest's items as the phases get
// them, and a test that runs in a temporary current folder (the installation)
// with a reporter that records what it is shown.
#include <gtest/gtest.h>

#include <filesystem>
#include <initializer_list>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "manifest/update_info.h"
#include "support/recording_reporter.h"
#include "support/temp_dir.h"
#include "support/update_fixture.h"

namespace qvntest {

// Items with the names, sizes and compression given.
inline CUpdateInfo ItemsOf(const std::vector<ManifestItem>& arrItems) {
  CUpdateInfo info;
  for (const auto& item : arrItems) {
    auto p = std::make_unique<CUpdateFileItem>();
    p->m_strName = item.strName;
    p->m_nSize = item.nSize;
    p->m_bCompressed = item.bCompressed ? TRUE : FALSE;
    info.m_arrItems.push_back(std::move(p));
  }
  return info;
}

// Items of which only the names and compression matter: {name, compressed}.
inline CUpdateInfo Items(std::initializer_list<std::pair<const char*, bool>> items) {
  std::vector<ManifestItem> arrItems;
  for (const auto& [pszName, bCompressed] : items) arrItems.push_back({pszName, 0, bCompressed});
  return ItemsOf(arrItems);
}

// The names of the files and folders below folder that begin with a dot:
// the replacement's backups and journals, which must not outlive it.
inline std::vector<std::string> HiddenFiles(const std::filesystem::path& folder) {
  std::vector<std::string> arr;
  for (const auto& e : std::filesystem::recursive_directory_iterator(folder)) {
    if (e.path().filename().string().front() == '.') arr.push_back(e.path().filename().string());
  }
  return arr;
}

class PhaseTest : public ::testing::Test {
 protected:
  TempDir dir;
  ScopedCurrentDir cwd{dir.Path()};
  RecordingReporter view;
};

}  // namespace qvntest
