// Throughput of the codec: 1 KiB blocks in memory, and whole files through
// the compressed-file class, on text-like, binary-like and random data; gzip
// -1 and gzip -d on the same files in the same run for comparison. Figures
// are in MB/s (10^6 bytes per second) of uncompressed data.
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include "compress/compressed_file.h"
#include "compress/compressor.h"
#include "tests/compress/codec_test_util.h"

namespace fs = std::filesystem;

namespace {

constexpr size_t kFileSize = 8 << 20;
constexpr int kBlock = 1024;

enum Kind { kText, kBinary, kRandom };

const Bytes& Data(int kind) {
  static const Bytes text = MakeText(kFileSize, 1);
  static const Bytes binary = MakeBinary(kFileSize, 2);
  static const Bytes random = MakeRandom(kFileSize, 3);
  return kind == kText ? text : kind == kBinary ? binary : random;
}

const char* KindName(int kind) {
  return kind == kText ? "text" : kind == kBinary ? "binary" : "random";
}

// A folder holding each data set as a plain, a compressed and a gzip file.
class Workspace {
 public:
  static Workspace& Get() {
    static Workspace w;
    return w;
  }
  std::string Plain(int kind) const { return (m_dir / KindName(kind)).string(); }
  std::string Crz(int kind) const { return Plain(kind) + ".crz"; }
  std::string Gz(int kind) const { return Plain(kind) + ".gz"; }
  std::string Scratch() const { return (m_dir / "scratch").string(); }

 private:
  Workspace() {
    char tmpl[] = "/tmp/qvn-bench-XXXXXX";
    if (!::mkdtemp(tmpl)) std::abort();
    m_dir = tmpl;
    for (int kind : {kText, kBinary, kRandom}) {
      const Bytes& d = Data(kind);
      std::ofstream(Plain(kind), std::ios::binary)
          .write(reinterpret_cast<const char*>(d.data()), static_cast<std::streamsize>(d.size()));
      COXCompressedFile crz;
      crz.Open(Crz(kind), CFile::modeCreate | CFile::modeWrite);
      crz.Write(d.data(), static_cast<UINT>(d.size()));
      crz.Close();
      Shell("gzip -1 -c '" + Plain(kind) + "' > '" + Gz(kind) + "'");
    }
  }
  ~Workspace() { fs::remove_all(m_dir); }

 public:
  static void Shell(const std::string& command) {
    if (std::system(command.c_str()) != 0) {
      std::fprintf(stderr, "failed: %s\n", command.c_str());
      std::exit(1);
    }
  }

 private:
  fs::path m_dir;
};

void SetRate(benchmark::State& state, size_t bytesPerIteration) {
  const double bytes = static_cast<double>(bytesPerIteration) * static_cast<double>(state.iterations());
  state.SetBytesProcessed(static_cast<int64_t>(bytes));
  state.counters["MB/s"] =
      benchmark::Counter(bytes, benchmark::Counter::kIsRate, benchmark::Counter::kIs1000);
}

// --- 1 KiB blocks in memory, with one compressor as the compressed file uses it

void BM_CompressBlock(benchmark::State& state) {
  const Bytes& d = Data(static_cast<int>(state.range(0)));
  COXCompressor codec;
  BYTE out[kBlock];
  size_t at = 0;
  for (auto _ : state) {
    benchmark::DoNotOptimize(codec.Compress(d.data() + at, kBlock, out, kBlock));
    at = (at + kBlock) % d.size();
  }
  SetRate(state, kBlock);
  state.SetLabel(KindName(static_cast<int>(state.range(0))));
}

void BM_ExpandBlock(benchmark::State& state) {
  const Bytes& d = Data(static_cast<int>(state.range(0)));
  COXCompressor codec;
  // Streams of the first 256 blocks; blocks that do not pay are skipped, as
  // the compressed file stores them without expanding.
  std::vector<Bytes> streams;
  for (size_t at = 0; at < 256 * kBlock; at += kBlock) {
    Bytes s(kBlock);
    const int n = codec.Compress(d.data() + at, kBlock, s.data(), kBlock);
    if (n > 0 && n < kBlock) streams.emplace_back(s.begin(), s.begin() + n);
  }
  if (streams.empty()) {
    state.SkipWithError("no block of this data compresses");
    return;
  }
  BYTE out[kBlock];
  size_t k = 0;
  for (auto _ : state) {
    const Bytes& s = streams[k];
    benchmark::DoNotOptimize(codec.Expand(s.data(), static_cast<int>(s.size()), out, kBlock));
    k = (k + 1) % streams.size();
  }
  SetRate(state, kBlock);
  state.SetLabel(KindName(static_cast<int>(state.range(0))));
}

// --- Whole files

void BM_CompressFile(benchmark::State& state) {
  const int kind = static_cast<int>(state.range(0));
  const Bytes& d = Data(kind);
  Workspace& w = Workspace::Get();
  for (auto _ : state) {
    COXCompressedFile crz;
    crz.Open(w.Scratch(), CFile::modeCreate | CFile::modeWrite);
    for (size_t at = 0; at < d.size(); at += 1 << 20) crz.Write(d.data() + at, 1 << 20);
    crz.Close();
  }
  SetRate(state, d.size());
  state.SetLabel(KindName(kind));
}

// Second argument: the threads (0: one per processor), as SetThreads takes it.
void BM_ExpandFile(benchmark::State& state) {
  const int kind = static_cast<int>(state.range(0));
  const int threads = static_cast<int>(state.range(1));
  Workspace& w = Workspace::Get();
  Bytes buf(1 << 20);
  for (auto _ : state) {
    COXCompressedFile crz;
    crz.SetThreads(threads);
    crz.Open(w.Crz(kind), CFile::modeRead);
    while (crz.Read(buf.data(), static_cast<UINT>(buf.size())) > 0) {
    }
  }
  SetRate(state, kFileSize);
  state.SetLabel(std::string(KindName(kind)) + (threads == 1 ? ", 1 thread" : ", all threads"));
}

void TimeShell(benchmark::State& state, const std::string& command) {
  for (auto _ : state) {
    const auto start = std::chrono::steady_clock::now();
    Workspace::Shell(command);
    state.SetIterationTime(std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
  }
  SetRate(state, kFileSize);
}

void BM_Gzip1File(benchmark::State& state) {
  const int kind = static_cast<int>(state.range(0));
  Workspace& w = Workspace::Get();
  TimeShell(state, "gzip -1 -c '" + w.Plain(kind) + "' > '" + w.Scratch() + "'");
  state.SetLabel(KindName(kind));
}

void BM_GzipDecompressFile(benchmark::State& state) {
  const int kind = static_cast<int>(state.range(0));
  Workspace& w = Workspace::Get();
  TimeShell(state, "gzip -d -c '" + w.Gz(kind) + "' > /dev/null");
  state.SetLabel(KindName(kind));
}

BENCHMARK(BM_CompressBlock)->DenseRange(kText, kRandom);
BENCHMARK(BM_ExpandBlock)->DenseRange(kText, kBinary);
BENCHMARK(BM_CompressFile)->DenseRange(kText, kRandom)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Gzip1File)->DenseRange(kText, kRandom)->UseManualTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ExpandFile)->ArgsProduct({{kText, kBinary, kRandom}, {1, 0}})->Unit(benchmark::kMillisecond);
BENCHMARK(BM_GzipDecompressFile)->DenseRange(kText, kRandom)->UseManualTime()->Unit(benchmark::kMillisecond);

}  // namespace
