// The replacement phase at scale: N small files in one folder, each replaced
// (backup, copy, commit, clean-up) and, separately, each put back after a
// failure at the very end. The figure that matters is the time per file: it
// must stay about the same from 1 000 to 15 000 files (each folder is synced
// once per step, never rescanned per file).
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>

#include "manifest/update_info.h"
#include "phases/replace.h"
#include "phases/reporter.h"
#include "phases/temp_file_name.h"

namespace fs = std::filesystem;

namespace {

class CQuietReporter : public CUpdateReporter {
 public:
  void AddStatus(std::string) override {}
  void ResetStatus() override {}
  void MessageBox(const std::string&, Icon) override {}
};

void Write(const fs::path& path, const std::string& str) {
  std::ofstream(path, std::ios::binary) << str;
}

// An installation of nFiles one-byte files in "assets/", and the downloads of
// their next versions; with bFailLast, the last download is missing, so that
// the whole replacement is rolled back.
CUpdateInfo Prepare(const fs::path& dir, int nFiles, bool bFailLast) {
  fs::remove_all(dir);
  fs::create_directories(dir / "assets");
  CUpdateInfo info;
  for (int i = 0; i < nFiles; ++i) {
    const std::string strName = "assets/f" + std::to_string(i) + ".dat";
    Write(dir / strName, "o");
    if (!bFailLast || i + 1 < nFiles) Write(dir / FormatTempFileName(i + 1, FALSE), "n");
    auto pItem = std::make_unique<CUpdateFileItem>();
    pItem->m_strName = strName;
    info.m_arrItems.push_back(std::move(pItem));
  }
  return info;
}

void Replace(benchmark::State& state, bool bFailLast) {
  char szTemplate[] = "/tmp/qvn-bench-replace-XXXXXX";
  if (::mkdtemp(szTemplate) == nullptr) std::abort();
  const fs::path root = szTemplate;
  const fs::path dir = root / "install";
  const fs::path home = fs::current_path();
  const int nFiles = static_cast<int>(state.range(0));
  for (auto _ : state) {
    state.PauseTiming();
    const CUpdateInfo info = Prepare(dir, nFiles, bFailLast);
    fs::current_path(dir);
    CQuietReporter view;
    state.ResumeTiming();
    const int nResult = ReplaceFiles(view, info);
    state.PauseTiming();
    fs::current_path(home);
    if (nResult != (bFailLast ? 0 : 1)) state.SkipWithError("the replacement did not end as planned");
    state.ResumeTiming();
  }
  fs::remove_all(root);
  state.counters["ms_per_file"] =
      benchmark::Counter(static_cast<double>(state.iterations()) * nFiles * 1e-3,
                         benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}

void BM_ReplaceSmallFiles(benchmark::State& state) {
  Replace(state, false);
}
void BM_RollBackSmallFiles(benchmark::State& state) {
  Replace(state, true);
}

BENCHMARK(BM_ReplaceSmallFiles)
    ->Arg(1000)
    ->Arg(15000)
    ->Iterations(1)
    ->UseRealTime()
    ->Unit(benchmark::kMillisecond);
BENCHMARK(BM_RollBackSmallFiles)
    ->Arg(1000)
    ->Arg(15000)
    ->Iterations(1)
    ->UseRealTime()
    ->Unit(benchmark::kMillisecond);

}  // namespace
