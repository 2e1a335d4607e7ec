#pragma once
// Two releases of a small product for fault tests, a byte-for-byte picture of
// an installation folder, and a tally of the faults injected and of every
// installation that came out neither wholly old nor wholly new.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdio>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "support/programs.h"
#include "support/temp_dir.h"
#include "support/update_fixture.h"

namespace qvntest {

// Every file, folder and link below folder, hidden ones included: relative
// name to "file " + contents, "folder", "link " + target, or "special" (a
// FIFO, socket or device). The updater's
// temporary files (QVNUPD*.TMP in the folder itself) are left out: they stay
// after every update by design.
inline std::map<std::string, std::string> Tree(const std::filesystem::path& folder) {
  std::map<std::string, std::string> tree;
  for (const auto& entry : std::filesystem::recursive_directory_iterator(folder)) {
    const std::string strName = std::filesystem::relative(entry.path(), folder).string();
    if (strName.rfind("QVNUPD", 0) == 0 && strName.find('/') == std::string::npos && strName.size() > 4 &&
        strName.compare(strName.size() - 4, 4, ".TMP") == 0) {
      continue;
    }
    if (entry.is_symlink()) {
      tree[strName] = "link " + std::filesystem::read_symlink(entry.path()).string();
    } else if (entry.is_directory()) {
      tree[strName] = "folder";
    } else if (!entry.is_regular_file()) {
      tree[strName] = "special";  // a FIFO is never opened: it could hang the test
    } else {
      tree[strName] = "file " + ReadFile(entry.path());
    }
  }
  return tree;
}

// The product as installed (1.0.0.2) and as published next (1.0.0.3). The
// update replaces three files (one sent compressed, one in a folder) and adds
// one in two new folders.
struct Releases {
  static inline const std::string kOldEngine = PatternData(30000, 21);
  // Compresses well, so that it is sent much smaller than it is installed.
  static inline const std::string kNewEngine = [] {
    std::string str;
    for (int i = 0; str.size() < 400000; ++i)
      str += "Quorvane engine 1.0.0.3, block " + std::to_string(i * 7919 % 100003) + "\n";
    return str;
  }();
  // Does not compress; sent as it is.
  static inline const std::string kNewExtra = PatternData(50000, 23);

  static void InstallOld(const std::filesystem::path& folder) {
    std::filesystem::create_directories(folder);
    InstallProductExe(folder);
    WriteFile(folder / "Engine.dll", kOldEngine);
    WriteFile(folder / "ReadMe.txt", "Quorvane 1.0.0.2\n");
    WriteFile(folder / "Docs/Guide.txt", "guide 1.0.0.2\n");
  }

  // What the server publishes: path below "/Updates/" to body.
  static std::map<std::string, std::string> Payloads() {
    return {{"Engine.dll.crz", Compress(kNewEngine)},
            {"ReadMe.txt", "Quorvane 1.0.0.3\nRead me.\n"},
            {"plugins/new/Extra.dll", kNewExtra},
            {"Docs/Guide.txt", "guide 1.0.0.3, much longer than before\n"}};
  }
  static std::vector<std::string> ItemOrder() {
    return {"Engine.dll.crz", "ReadMe.txt", "plugins/new/Extra.dll", "Docs/Guide.txt"};
  }
  static std::string Manifest() {
    const auto payloads = Payloads();
    std::vector<ManifestItem> arrItems;
    for (const auto& strName : ItemOrder()) {
      arrItems.push_back({strName, payloads.at(strName).size(), strName.find(".crz") != std::string::npos});
    }
    return MakeManifest("1.0.0.3", arrItems);
  }

  static std::map<std::string, std::string> OldTree() {
    TempDir dir;
    InstallOld(dir.Path());
    return Tree(dir.Path());
  }
  static std::map<std::string, std::string> NewTree() {
    auto tree = OldTree();
    const auto payloads = Payloads();
    tree["Engine.dll"] = "file " + kNewEngine;
    tree["ReadMe.txt"] = "file " + payloads.at("ReadMe.txt");
    tree["Docs/Guide.txt"] = "file " + payloads.at("Docs/Guide.txt");
    tree["plugins"] = "folder";
    tree["plugins/new"] = "folder";
    tree["plugins/new/Extra.dll"] = "file " + kNewExtra;
    return tree;
  }
};

// The tally, printed when the test program ends.
struct FaultLedger {
  int nFaults = 0;  // faults injected
  int nChecks = 0;  // installations checked after a fault
  int nMixed = 0;   // of those, neither wholly old nor wholly new

  static FaultLedger& Get() {
    static FaultLedger ledger;
    return ledger;
  }
};

class FaultLedgerPrinter : public ::testing::Environment {
 public:
  void TearDown() override {
    const FaultLedger& l = FaultLedger::Get();
    if (l.nFaults == 0 && l.nChecks == 0) return;
    std::printf("[ faults   ] %d injected, %d installations checked, %d mixed or damaged\n", l.nFaults,
                l.nChecks, l.nMixed);
  }
};
inline ::testing::Environment* const kFaultLedgerPrinter =
    ::testing::AddGlobalTestEnvironment(new FaultLedgerPrinter);

inline void CountFault() {
  ++FaultLedger::Get().nFaults;
}

// Passes when the folder is exactly the old or exactly the new release, and
// tells which; otherwise lists what differs from both.
inline ::testing::AssertionResult IsWholeRelease(const std::filesystem::path& folder,
                                                 const char** ppszWhich = nullptr) {
  static const auto kOld = Releases::OldTree();
  static const auto kNew = Releases::NewTree();
  FaultLedger& ledger = FaultLedger::Get();
  ++ledger.nChecks;
  const auto tree = Tree(folder);
  if (tree == kOld || tree == kNew) {
    if (ppszWhich != nullptr) *ppszWhich = tree == kOld ? "old" : "new";
    return ::testing::AssertionSuccess();
  }
  ++ledger.nMixed;
  std::string strDiff;
  for (const auto& [strName, strWhat] : tree) {
    const bool bOld = kOld.count(strName) != 0 && kOld.at(strName) == strWhat;
    const bool bNew = kNew.count(strName) != 0 && kNew.at(strName) == strWhat;
    if (!bOld || !bNew) strDiff += "\n  " + strName + (bOld ? " (old)" : bNew ? " (new)" : " (neither)");
  }
  for (const auto& [strName, strWhat] : kOld) {
    if (tree.count(strName) == 0) strDiff += "\n  " + strName + " missing";
  }
  return ::testing::AssertionFailure()
         << "the installation is neither the old nor the new release:" << strDiff;
}

inline ::testing::AssertionResult IsRelease(const std::filesystem::path& folder,
                                            const std::string& strWhich) {
  const char* pszWhich = "";
  ::testing::AssertionResult result = IsWholeRelease(folder, &pszWhich);
  if (!result) return result;
  if (strWhich != pszWhich)
    return ::testing::AssertionFailure() << "the " << pszWhich << " release is installed";
  return ::testing::AssertionSuccess();
}

}  // namespace qvntest
