// Runs a fuzz target over saved inputs when it is built without libFuzzer:
// every file named on the command line, and every file in every folder named
// (in name order). Inputs that once made a target crash are kept under
// fuzz/regressions/<target>/, so that CTest runs them in every build.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* pData, size_t nSize);

namespace {

void RunOne(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  const std::vector<char> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  // A copy of exactly the input's size, so that a read past its end shows
  // under the sanitizers.
  std::vector<uint8_t> data(bytes.begin(), bytes.end());
  LLVMFuzzerTestOneInput(data.empty() ? nullptr : data.data(), data.size());
}

}  // namespace

int main(int argc, char** argv) {
  int nRun = 0;
  for (int i = 1; i < argc; ++i) {
    const std::filesystem::path arg = argv[i];
    std::vector<std::filesystem::path> arrFiles;
    if (std::filesystem::is_directory(arg)) {
      for (const auto& e : std::filesystem::directory_iterator(arg)) {
        if (e.is_regular_file() && e.path().filename().string().front() != '.') arrFiles.push_back(e.path());
      }
      std::sort(arrFiles.begin(), arrFiles.end());
    } else if (std::filesystem::exists(arg)) {
      arrFiles.push_back(arg);
    } else {
      std::fprintf(stderr, "%s: no such file or folder\n", argv[i]);
      return 2;
    }
    for (const auto& path : arrFiles) {
      RunOne(path);
      ++nRun;
    }
  }
  std::printf("%d inputs run without a fault\n", nRun);
  return 0;
}
