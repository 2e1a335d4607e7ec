#include "compress/compressed_file.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>

#include "compress/bit_buffer.h"
#include "compress/codec_test_util.h"
#include "support/temp_dir.h"

namespace fs = std::filesystem;

namespace {

class CompressedFileTest : public ::testing::Test {
 protected:
  std::string PathOf(const std::string& name) const { return m_temp / name; }

  static Bytes Slurp(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  }
  static void Spill(const std::string& path, const Bytes& data) {
    std::ofstream out(path, std::ios::binary);
    out.write(reinterpret_cast<const char*>(data.data()), static_cast<std::streamsize>(data.size()));
  }

  // Writes data through a compressed file in pieces of the given size;
  // threads: as SetThreads takes it.
  std::string WriteCrz(const Bytes& data, int rawSize = 0, size_t piece = 4096,
                       const std::string& name = "f.crz", int threads = 0) {
    const std::string path = PathOf(name);
    COXCompressedFile file(rawSize);
    file.SetThreads(threads);
    EXPECT_TRUE(file.Open(path, CFile::modeCreate | CFile::modeWrite));
    for (size_t at = 0; at < data.size(); at += piece) {
      file.Write(data.data() + at, static_cast<UINT>(std::min(piece, data.size() - at)));
    }
    EXPECT_EQ(file.GetPosition(), data.size());
    file.Close();
    return path;
  }

  // threads: as SetThreads takes it.
  static Bytes ReadCrz(const std::string& path, int rawSize = 0, size_t piece = 4096, int threads = 0) {
    COXCompressedFile file(rawSize);
    file.SetThreads(threads);
    EXPECT_TRUE(file.Open(path, CFile::modeRead));
    Bytes out;
    Bytes buf(piece);
    for (;;) {
      const UINT n = file.Read(buf.data(), static_cast<UINT>(piece));
      out.insert(out.end(), buf.begin(), buf.begin() + n);
      if (n < piece) break;
    }
    EXPECT_EQ(file.Read(buf.data(), static_cast<UINT>(piece)), 0u);
    return out;
  }

  // data, written through a compressed file, is exactly `file` on disk, and
  // reads back whole with its length known before the first read.
  void ExpectWrittenAs(const Bytes& data, const Bytes& file, int rawSize = 0) {
    const std::string path = WriteCrz(data, rawSize);
    EXPECT_EQ(Slurp(path), file);
    EXPECT_EQ(ReadCrz(path, rawSize), data);
    EXPECT_EQ(LengthOf(path, rawSize), data.size());
  }

  static ULONGLONG LengthOf(const std::string& path, int rawSize = 0) {
    COXCompressedFile file(rawSize);
    EXPECT_TRUE(file.Open(path, CFile::modeRead));
    return file.GetLength();
  }

  template <typename F>
  static void ExpectFileError(int cause, F&& f) {
    try {
      f();
      ADD_FAILURE() << "no CFileException";
    } catch (const CFileException& e) {
      EXPECT_EQ(e.m_cause, cause) << e.GetErrorMessage();
      EXPECT_EQ(e.m_lOsError, -1);
    }
  }

  qvntest::TempDir m_temp;
};

// --- The file format, byte for byte

TEST_F(CompressedFileTest, ShortBlockThatDoesNotPayIsStored) {
  ExpectWrittenAs(BytesOf("abc"), Hex("03 00 61 62 63"));
}

TEST_F(CompressedFileTest, ShortCompressedLastBlockCarriesItsLengthWord) {
  ExpectWrittenAs(BytesOf("abcabcabcabc"), Hex("06 C0 0C 00 B0 D8 AC 60 0B 80"));
}

TEST_F(CompressedFileTest, FullLastBlockHasNoLengthWord) {
  const std::string path = WriteCrz(Bytes(1024, 'z'));
  const Bytes file = Slurp(path);
  ASSERT_GE(file.size(), 2u);
  const WORD header = static_cast<WORD>(file[0] | file[1] << 8);
  EXPECT_EQ(header & 0xC000, 0x8000);
  EXPECT_EQ(file.size(), 2u + (header & 0x3FFF));  // a single block
  EXPECT_EQ(LengthOf(path), 1024u);
  EXPECT_EQ(ReadCrz(path), Bytes(1024, 'z'));
}

TEST_F(CompressedFileTest, OneByteTailIsStored) {
  const std::string path = WriteCrz(Bytes(1025, 'z'));
  const Bytes file = Slurp(path);
  const WORD header = static_cast<WORD>(file[0] | file[1] << 8);
  EXPECT_EQ(header & 0xC000, 0x8000);
  const size_t tail = 2u + (header & 0x3FFF);
  ASSERT_EQ(file.size(), tail + 3);
  EXPECT_EQ(Bytes(file.begin() + static_cast<long>(tail), file.end()), Hex("01 00 7A"));
}

TEST_F(CompressedFileTest, PrefixIsKeptAsItIs) {
  ExpectWrittenAs(BytesOf("0123abcdef"), Hex("30 31 32 33  06 00 61 62 63 64 65 66"), 4);
}

TEST_F(CompressedFileTest, UnfinishedPrefixIsWrittenByClose) {
  const std::string path = WriteCrz(BytesOf("01"), 4);
  EXPECT_EQ(Slurp(path), BytesOf("01"));
  EXPECT_EQ(ReadCrz(path, 4), BytesOf("01"));
}

TEST_F(CompressedFileTest, NothingWrittenGivesAnEmptyFileThatReadsEmpty) {
  const std::string path = WriteCrz({});
  EXPECT_TRUE(Slurp(path).empty());
  COXCompressedFile file;
  ASSERT_TRUE(file.Open(path, CFile::modeRead));
  EXPECT_EQ(file.GetLength(), 0u);
  BYTE buf[16];
  EXPECT_EQ(file.Read(buf, 16), 0u);
}

TEST_F(CompressedFileTest, LastStoredBlockCountsOnlyItsBytes) {
  const Bytes data = MakeRandom(2048 + 100, 8);  // random data never pays: every block stored
  const std::string path = WriteCrz(data);
  EXPECT_EQ(Slurp(path).size(), data.size() + 3 * 2);
  EXPECT_EQ(LengthOf(path), data.size());
}

// Checked-in files pin down the exact output, across many blocks, so that any
// change to the codec that alters a single byte is caught. Set
// QVN_UPDATE_GOLDEN=1 to write them anew (only after a deliberate change).
TEST_F(CompressedFileTest, GoldenFiles) {
  struct Golden {
    const char* name;
    Bytes data;
    int rawSize;
  };
  const Golden goldens[] = {
      {"text5000.crz", MakeText(5000, 1), 0},
      {"text5000_prefix4.crz", MakeText(5000, 1), 4},
      {"binary20000.crz", MakeBinary(20000, 2), 0},
      {"random3000.crz", MakeRandom(3000, 3), 0},
      {"mixed70000_prefix1024.crz",
       [] {
         Bytes b = MakeText(30000, 4);
         const Bytes bin = MakeBinary(30000, 5);
         b.insert(b.end(), bin.begin(), bin.end());
         b.insert(b.end(), 10000, 0);
         return b;
       }(),
       1024},
      // Blocks that do not pay, then text whose searches go every way.
      {"random3000_text20000.crz",
       [] {
         Bytes b = MakeRandom(3000, 6);
         const Bytes text = MakeText(20000, 6);
         b.insert(b.end(), text.begin(), text.end());
         return b;
       }(),
       0},
  };
  const fs::path dir = fs::path(QVN_TEST_DATA_DIR) / "compress";
  const bool update = std::getenv("QVN_UPDATE_GOLDEN") != nullptr;
  for (const Golden& g : goldens) {
    const std::string path = WriteCrz(g.data, g.rawSize, 777, g.name);
    const fs::path golden = dir / g.name;
    if (update) {
      fs::create_directories(dir);
      Spill(golden.string(), Slurp(path));
    }
    ASSERT_TRUE(fs::exists(golden)) << golden;
    EXPECT_EQ(Slurp(path), Slurp(golden.string())) << g.name;
    EXPECT_EQ(ReadCrz(golden.string(), g.rawSize, 1000), g.data) << g.name;
  }
}

// What a writer must produce: block by block with one compressor whose window
// carries over, stored where compression does not pay, the length word only on
// a short compressed last block. The file class may get there any way it likes.
Bytes ReferenceFile(const Bytes& data, size_t rawSize) {
  const size_t prefix = std::min(rawSize, data.size());
  Bytes out(data.begin(), data.begin() + static_cast<long>(prefix));
  COXCompressor codec;
  auto word = [&out](size_t v) {
    out.push_back(static_cast<BYTE>(v & 0xFF));
    out.push_back(static_cast<BYTE>(v >> 8));
  };
  for (size_t at = prefix; at < data.size(); at += 1024) {
    const size_t n = std::min<size_t>(1024, data.size() - at);
    BYTE stream[1024];
    const int r = codec.Compress(data.data() + at, static_cast<int>(n), stream, 1024);
    if (r < 0 || static_cast<size_t>(r) >= n) {
      word(n);
      out.insert(out.end(), data.begin() + static_cast<long>(at), data.begin() + static_cast<long>(at + n));
    } else {
      word(0x8000u | static_cast<unsigned>(r) | (n < 1024 ? 0x4000u : 0));
      if (n < 1024) word(n);
      out.insert(out.end(), stream, stream + r);
    }
  }
  return out;
}

TEST_F(CompressedFileTest, WriterMatchesBlockByBlockCompression) {
  // Text, code-like and random stretches, so that stored and compressed blocks
  // and failed compressions alternate; sizes around the block boundaries and
  // around the writer's internal batches of 1 MiB.
  Bytes data;
  for (int part = 0; data.size() < 2200000; ++part) {
    const Bytes piece = part % 3 == 0   ? MakeText(70000, 40 + part)
                        : part % 3 == 1 ? MakeBinary(50000, 40 + part)
                                        : MakeRandom(20000 + 700 * part, 40 + part);
    data.insert(data.end(), piece.begin(), piece.end());
  }
  struct Case {
    size_t size;
    size_t rawSize;
  };
  const Case cases[] = {
      {1, 0},       {17, 0},      {600, 0},     {1023, 0},
      {1024, 0},    {1025, 0},    {2049, 0},    {1, 4},
      {1028, 4},    {1029, 4},    {300000, 4},  {1048575, 0},
      {1048576, 0}, {1048577, 0}, {1049607, 0}, {2 * 1048576 + 333, 0},
      {1048580, 4}, {1048581, 4},
  };
  for (const Case& c : cases) {
    const Bytes part(data.begin(), data.begin() + static_cast<long>(c.size));
    const std::string path = WriteCrz(part, static_cast<int>(c.rawSize), c.size % 2 ? 1000 : (1 << 20));
    ASSERT_EQ(Slurp(path), ReferenceFile(part, c.rawSize)) << c.size << " bytes, prefix " << c.rawSize;
  }
  // Alone, and with more threads than there are processors, over three batches.
  const Bytes part(data.begin(), data.begin() + 2 * 1048576 + 333);
  for (int threads : {1, 5}) {
    EXPECT_EQ(Slurp(WriteCrz(part, 0, 1 << 20, "t.crz", threads)), ReferenceFile(part, 0)) << threads;
  }
}

// The stream of a short last block can depend on what the window holds from
// the block before it (its last bytes compare against older window bytes), so
// that window must be exactly what one compressor would leave, however the
// whole blocks before it were shared out.
TEST_F(CompressedFileTest, ShortLastBlockSeesTheWindowOfTheBlockBeforeIt) {
  Bytes whole;
  for (int k = 0; k < 40; ++k) {
    const Bytes block = k % 2 ? MakeRandom(1024, 60 + k) : MakeBinary(1024, 60 + k);
    whole.insert(whole.end(), block.begin(), block.end());
  }
  for (size_t last = 2; last <= 160; ++last) {
    Bytes data = whole;
    const Bytes tail = last % 2 ? MakeBinary(last, last) : MakeText(last, last);
    data.insert(data.end(), tail.begin(), tail.end());
    const std::string path = WriteCrz(data, 0, 1 << 20);
    ASSERT_EQ(Slurp(path), ReferenceFile(data, 0)) << "last block of " << last << " bytes";
  }
}

// --- Round trips around the block boundaries, with every prefix length

TEST_F(CompressedFileTest, RoundTripsOfManySizesAndPrefixes) {
  for (int rawSize : {0, 4, 1024}) {
    for (size_t size : {0, 1, 3, 4, 5, 1023, 1024, 1025, 1028, 2048, 2049, 3000, 300000}) {
      for (int kind = 0; kind < 3; ++kind) {
        const Bytes data = kind == 0   ? MakeText(size, size)
                           : kind == 1 ? MakeBinary(size, size)
                                       : MakeRandom(size, size);
        const std::string path = WriteCrz(data, rawSize, size % 3 == 0 ? 1 : 1000);
        EXPECT_EQ(ReadCrz(path, rawSize, 4096), data) << rawSize << "/" << size << "/" << kind;
        EXPECT_EQ(ReadCrz(path, rawSize, 7), data) << rawSize << "/" << size << "/" << kind;
        // Without helper threads, and with more than there are processors.
        EXPECT_EQ(ReadCrz(path, rawSize, 1000, 1), data) << rawSize << "/" << size << "/" << kind;
        EXPECT_EQ(ReadCrz(path, rawSize, 65536, 5), data) << rawSize << "/" << size << "/" << kind;
        EXPECT_EQ(LengthOf(path, rawSize), size);
      }
    }
  }
}

// --- Length in the middle of reading

TEST_F(CompressedFileTest, GetLengthMidwayChangesNothingForTheReads) {
  const Bytes data = MakeText(10000, 9);
  for (int rawSize : {0, 4}) {
    const std::string path = WriteCrz(data, rawSize);
    for (size_t first : {0, 2, 3, 100, 1024, 1025, 5000}) {
      COXCompressedFile file(rawSize);
      ASSERT_TRUE(file.Open(path, CFile::modeRead));
      Bytes got(data.size());
      ASSERT_EQ(file.Read(got.data(), static_cast<UINT>(first)), first);
      EXPECT_EQ(file.GetLength(), data.size());
      EXPECT_EQ(file.GetPosition(), first);
      ASSERT_EQ(file.Read(got.data() + first, static_cast<UINT>(data.size() - first)), data.size() - first);
      EXPECT_EQ(got, data) << "length asked after " << first;
    }
  }
}

// --- Seeks to every kind of target

TEST_F(CompressedFileTest, SeeksLandWhereTheyReturnAndReadTheRightBytes) {
  // Past 64 blocks: where blocks lie is recorded for every 64th only.
  const Bytes data = MakeBinary(70 * 1024 + 300, 10);
  for (int rawSize : {0, 4, 1024}) {
    const std::string path = WriteCrz(data, rawSize);
    COXCompressedFile file(rawSize);
    ASSERT_TRUE(file.Open(path, CFile::modeRead));
    const LONGLONG size = static_cast<LONGLONG>(data.size());
    struct Step {
      LONGLONG offset;
      UINT from;
    };
    const Step steps[] = {
        {5000, CFile::begin},
        {10, CFile::current},
        {-20, CFile::current},
        {-3000, CFile::current},
        {0, CFile::begin},
        {2, CFile::begin},
        {rawSize, CFile::begin},
        {rawSize + 1024, CFile::begin},
        {-1, CFile::end},
        {-size, CFile::end},
        {-1500, CFile::end},
        {9000, CFile::begin},
        {1023, CFile::begin},
        {1, CFile::current},
        {0, CFile::end},
        {3, CFile::begin},
        {size - 1, CFile::begin},
        {-(size - 1), CFile::current},
        {4096, CFile::current},
        {66 * 1024 + 5, CFile::begin},
        {-64 * 1024, CFile::current},
    };
    LONGLONG expected = 0;
    for (const Step& s : steps) {
      if (s.from == CFile::begin) expected = s.offset;
      if (s.from == CFile::current) expected += s.offset;
      if (s.from == CFile::end) expected = size + s.offset;
      const ULONGLONG got = file.Seek(s.offset, s.from);
      ASSERT_EQ(got, static_cast<ULONGLONG>(expected)) << "prefix " << rawSize;
      ASSERT_EQ(file.GetPosition(), got);
      BYTE buf[64];
      const UINT n = file.Read(buf, sizeof buf);
      const size_t want = std::min<size_t>(sizeof buf, data.size() - static_cast<size_t>(expected));
      ASSERT_EQ(n, want);
      ASSERT_EQ(Bytes(buf, buf + n), Bytes(data.begin() + expected, data.begin() + expected + n))
          << "prefix " << rawSize << " at " << expected;
      expected += n;
    }
  }
}

TEST_F(CompressedFileTest, SeekPastTheEndStopsAtTheEnd) {
  const Bytes data = MakeText(3000, 12);
  const std::string path = WriteCrz(data);
  COXCompressedFile file;
  ASSERT_TRUE(file.Open(path, CFile::modeRead));
  BYTE buf[16];
  EXPECT_EQ(file.Seek(0, CFile::end), 3000u);
  EXPECT_EQ(file.Read(buf, 16), 0u);
  EXPECT_EQ(file.Seek(2999 + 1000, CFile::begin), 3000u);  // in the last block, past its data
  EXPECT_EQ(file.Read(buf, 16), 0u);
  EXPECT_EQ(file.Seek(100000, CFile::begin), 3000u);  // blocks past the last one
  EXPECT_EQ(file.Read(buf, 16), 0u);
  EXPECT_EQ(file.Seek(0, CFile::begin), 0u);  // restarts from the first byte
  ASSERT_EQ(file.Read(buf, 16), 16u);
  EXPECT_EQ(Bytes(buf, buf + 16), Bytes(data.begin(), data.begin() + 16));
}

TEST_F(CompressedFileTest, SeekFailures) {
  const std::string path = WriteCrz(MakeText(3000, 13), 4);
  COXCompressedFile file(4);
  ASSERT_TRUE(file.Open(path, CFile::modeRead));
  ExpectFileError(CFileException::badSeek, [&] { file.Seek(-1, CFile::begin); });
  ExpectFileError(CFileException::badSeek, [&] { file.Seek(-1, CFile::current); });
  ExpectFileError(CFileException::endOfFile, [&] { file.Seek(1, CFile::end); });

  // The prefix is 4 bytes long but the file holds only 2 of them.
  const std::string shortPath = PathOf("short");
  Spill(shortPath, BytesOf("ab"));
  COXCompressedFile shortFile(4);
  ASSERT_TRUE(shortFile.Open(shortPath, CFile::modeRead));
  EXPECT_EQ(shortFile.Seek(2, CFile::begin), 2u);
  ExpectFileError(CFileException::endOfFile, [&] { shortFile.Seek(3, CFile::begin); });
  EXPECT_EQ(shortFile.GetPosition(), 2u);
  EXPECT_EQ(shortFile.Seek(500, CFile::begin), 2u);  // beyond the prefix: the end, no error
  EXPECT_EQ(shortFile.GetLength(), 2u);
  EXPECT_EQ(shortFile.Seek(0, CFile::begin), 0u);
  BYTE buf[8];
  EXPECT_EQ(shortFile.Read(buf, 8), 2u);
}

// --- Operations that do not fit the state, or are not offered

TEST_F(CompressedFileTest, WrongStateAndUnsupportedOperations) {
  const std::string path = PathOf("w.crz");
  COXCompressedFile file;
  CFileException error;
  EXPECT_FALSE(file.Open(path, CFile::modeReadWrite, &error));
  EXPECT_EQ(error.m_cause, CFileException::accessDenied);
  EXPECT_FALSE(fs::exists(path));

  BYTE buf[4] = {1, 2, 3, 4};
  ExpectFileError(CFileException::accessDenied, [&] { file.Read(buf, 4); });  // not open
  ExpectFileError(CFileException::accessDenied, [&] { file.Write(buf, 4); });

  ASSERT_TRUE(file.Open(path, CFile::modeCreate | CFile::modeWrite));
  ExpectFileError(CFileException::accessDenied, [&] { file.Read(buf, 4); });
  ExpectFileError(CFileException::invalidFile, [&] { file.Seek(0, CFile::begin); });
  EXPECT_THROW(file.Flush(), CNotSupportedException);
  EXPECT_THROW(file.SetLength(0), CNotSupportedException);
  EXPECT_THROW(file.LockRange(0, 1), CNotSupportedException);
  EXPECT_THROW(file.UnlockRange(0, 1), CNotSupportedException);
  EXPECT_THROW(delete file.Duplicate(), CNotSupportedException);
  file.Write(buf, 4);
  file.Close();
  file.Close();  // a second Close does nothing

  ASSERT_TRUE(file.Open(path, CFile::modeRead));
  ExpectFileError(CFileException::accessDenied, [&] { file.Write(buf, 4); });
  EXPECT_EQ(file.Read(buf, 4), 4u);
  EXPECT_EQ(Bytes(buf, buf + 4), Hex("01 02 03 04"));
}

TEST_F(CompressedFileTest, ReopeningStartsAfresh) {
  const std::string a = WriteCrz(MakeText(5000, 14), 0, 4096, "a.crz");
  const std::string b = WriteCrz(MakeBinary(2500, 15), 0, 4096, "b.crz");
  COXCompressedFile file;
  ASSERT_TRUE(file.Open(a, CFile::modeRead));
  EXPECT_EQ(file.GetLength(), 5000u);
  file.Seek(4000, CFile::begin);
  file.Close();
  ASSERT_TRUE(file.Open(b, CFile::modeRead));
  EXPECT_EQ(file.GetPosition(), 0u);
  EXPECT_EQ(file.GetLength(), 2500u);
  file.Seek(2000, CFile::begin);
  BYTE buf[8];
  ASSERT_EQ(file.Read(buf, 8), 8u);
  const Bytes data = MakeBinary(2500, 15);
  EXPECT_EQ(Bytes(buf, buf + 8), Bytes(data.begin() + 2000, data.begin() + 2008));
}

TEST_F(CompressedFileTest, AbortDropsTheGatheredData) {
  const std::string path = PathOf("abort.crz");
  COXCompressedFile file;
  ASSERT_TRUE(file.Open(path, CFile::modeCreate | CFile::modeWrite));
  file.Write("abc", 3);
  file.Abort();
  EXPECT_TRUE(Slurp(path).empty());
  EXPECT_NO_THROW(file.Close());
}

// A writer destroyed without Close loses only the block it was gathering,
// as one that writes each block when it fills would.
TEST_F(CompressedFileTest, DestroyedWriterKeepsItsWholeBlocks) {
  const Bytes data = MakeBinary(1536 * 1024 + 500, 23);  // a whole batch, half of one, part of a block
  const std::string path = PathOf("destroyed.crz");
  {
    COXCompressedFile file;
    ASSERT_TRUE(file.Open(path, CFile::modeCreate | CFile::modeWrite));
    file.Write(data.data(), static_cast<UINT>(data.size()));
  }
  const Bytes whole(data.begin(), data.end() - 500);
  EXPECT_EQ(Slurp(path), Slurp(WriteCrz(whole, 0, 1 << 20, "whole.crz")));
}

TEST_F(CompressedFileTest, ErrorsOfTheUnderlyingFilePassThrough) {
  if (!fs::exists("/dev/full")) GTEST_SKIP() << "no /dev/full";
  COXCompressedFile file;
  ASSERT_TRUE(file.Open("/dev/full", CFile::modeWrite));
  const Bytes data = MakeText(5000, 16);
  file.Write(data.data(), 5000);  // gathered, not yet written
  try {
    file.Close();
    FAIL() << "no exception";
  } catch (const CFileException& e) {
    EXPECT_EQ(e.m_cause, CFileException::diskFull);
  }
  EXPECT_FALSE(file.IsOpen());  // closed even so
  EXPECT_NO_THROW(file.Close());
  // Destroyed without Close, a writer cannot report the failure, and does not throw.
  COXCompressedFile unclosed;
  ASSERT_TRUE(unclosed.Open("/dev/full", CFile::modeWrite));
  unclosed.Write(data.data(), 5000);
  // A failure met while helpers compress the next batch: they are stopped
  // before the batch goes, whether the writer is aborted or destroyed.
  const Bytes big = MakeBinary(3 << 20, 17);
  for (bool bAbort : {true, false}) {
    COXCompressedFile writer;
    writer.SetThreads(3);
    ASSERT_TRUE(writer.Open("/dev/full", CFile::modeWrite));
    EXPECT_THROW(writer.Write(big.data(), static_cast<UINT>(big.size())), CFileException);
    if (bAbort) writer.Abort();
  }
}

// --- Malformed files: an exception or the end of the data, never a crash

Bytes Header(WORD header) {
  return {static_cast<BYTE>(header & 0xFF), static_cast<BYTE>(header >> 8)};
}
Bytes Concat(std::initializer_list<Bytes> parts) {
  Bytes out;
  for (const Bytes& p : parts) out.insert(out.end(), p.begin(), p.end());
  return out;
}

TEST_F(CompressedFileTest, MalformedFilesEndTheDataOrRaise) {
  const Bytes good = Slurp(WriteCrz(MakeText(2048, 17), 0, 4096, "good.crz"));
  const WORD firstHeader = static_cast<WORD>(good[0] | good[1] << 8);
  const size_t firstBlock = 2u + (firstHeader & 0x3FFF);
  struct Case {
    const char* name;
    Bytes file;
    int cause;       // -1: no exception
    size_t dataLen;  // bytes read when there is no exception
  };
  const Case cases[] = {
      // Ends inside a header or a length word: end of the data.
      {"one byte", Hex("05"), -1, 0},
      {"block then half a header", Concat({Hex("03 00 61 62 63"), Hex("07")}), -1, 3},
      {"bit 14 without its length word", Hex("06 C0"), -1, 0},
      {"bit 14 with half a length word", Hex("06 C0 0C"), -1, 0},
      // Damaged blocks raise.
      {"stored body cut short", Hex("10 00 61 62 63"), CFileException::genericException, 0},
      {"body longer than 1024", Concat({Header(0x0401), Bytes(1025, 1)}), CFileException::genericException,
       0},
      {"compressed body longer than 1024", Concat({Header(0x8401), Bytes(1025, 1)}),
       CFileException::genericException, 0},
      {"stream shorter than its block", Concat({Header(0x8004), Hex("B0 D8 AC 60")}),
       CFileException::genericException, 0},
      {"length word that does not match", Hex("06 C0 0D 00 B0 D8 AC 60 0B 80"),
       CFileException::genericException, 0},
      {"length word above 1024", Concat({Header(0xC004), Hex("01 08"), Hex("B0 D8 AC 60")}),
       CFileException::genericException, 0},
      {"stream that overflows its block", Concat({Header(0x8004), Hex("00 BF FF FF")}),
       CFileException::genericException, 0},
      {"compressed body cut short", Bytes(good.begin(), good.begin() + static_cast<long>(firstBlock) - 3),
       CFileException::genericException, 0},
      {"empty compressed body", Concat({Header(0x8000), Hex("03 00 61 62 63")}),
       CFileException::genericException, 0},
      {"zeros: empty stored blocks", Bytes(64, 0), CFileException::genericException, 0},
      {"empty body with a length word of 0", Hex("00 C0 00 00"), CFileException::genericException, 0},
      {"stored block with a length word of its own", Hex("03 40 02 00 61 62 63"),
       CFileException::genericException, 0},
  };
  for (const Case& c : cases) {
    const std::string path = PathOf("bad.crz");
    Spill(path, c.file);
    COXCompressedFile file;
    ASSERT_TRUE(file.Open(path, CFile::modeRead));
    Bytes buf(4096);
    if (c.cause < 0) {
      EXPECT_EQ(file.Read(buf.data(), 4096), c.dataLen) << c.name;
      EXPECT_EQ(file.Read(buf.data(), 4096), 0u) << c.name;
      EXPECT_EQ(LengthOf(path), c.dataLen) << c.name;
    } else {
      try {
        file.Read(buf.data(), 4096);
        ADD_FAILURE() << c.name << ": no exception";
      } catch (const CFileException& e) {
        EXPECT_EQ(e.m_cause, c.cause) << c.name;
        EXPECT_NE(e.GetErrorMessage().find("damaged"), std::string::npos) << e.GetErrorMessage();
      }
    }
  }
}

TEST_F(CompressedFileTest, DamagedBlockRaisesFromSeekToo) {
  Bytes file = Slurp(WriteCrz(MakeText(5000, 18)));
  // Damage the stream of the third block so that it expands to fewer bytes.
  // (Damage that keeps the length, such as one literal for another, cannot be
  // told from good data: the format has no checksum.)
  size_t at = 0;
  for (int k = 0; k < 2; ++k) at += 2u + ((file[at] | file[at + 1] << 8) & 0x3FFF);
  for (size_t i = at + 2 + 100; i < at + 2 + 110; ++i) file[i] = 0x00;
  const std::string path = PathOf("damaged.crz");
  Spill(path, file);
  COXCompressedFile reader;
  ASSERT_TRUE(reader.Open(path, CFile::modeRead));
  EXPECT_EQ(reader.GetLength(), 5000u);  // headers alone are intact
  ExpectFileError(CFileException::genericException, [&] { reader.Seek(2100, CFile::begin); });
  EXPECT_EQ(reader.Seek(1000, CFile::begin), 1000u);  // blocks before it still read
  Bytes buf(2048);
  ExpectFileError(CFileException::genericException, [&] { reader.Read(buf.data(), 2048); });
}

// Blocks expanded ahead on threads give exactly what reading alone gives, even
// for streams that no compressor writes: one that copies from window bytes it
// never wrote (they hold what the block before it left there), and damaged
// blocks, reported for the first of them with the same message.
TEST_F(CompressedFileTest, ReadingAheadOnThreadsAgreesWithReadingAlone) {
  const Bytes good = Slurp(WriteCrz(MakeText(200 * 1024, 19)));
  std::vector<size_t> starts;  // of each block
  for (size_t at = 0; at < good.size(); at += 2u + ((good[at] | good[at + 1] << 8) & 0x3FFF)) {
    starts.push_back(at);
  }
  // 60 copies of 17 bytes and one of 4 from window position 5, which lies
  // before the block's first byte when the first copy is made.
  Bytes stream(1024);
  COXBitBuffer bits(stream.data());
  for (int i = 0; i <= 60; ++i) bits.WriteBits((5u << 4) | (i < 60 ? 15u : 2u), 14);
  bits.WriteBit(0);
  bits.FlushBits();
  stream.resize(static_cast<size_t>(bits.GetByteCount()));
  const Bytes stale = Concat({Header(static_cast<WORD>(0x8000 | stream.size())), stream});
  Bytes damaged(good.begin() + static_cast<long>(starts[150]), good.begin() + static_cast<long>(starts[151]));
  for (size_t i = 40; i < 50; ++i) damaged[i] = 0x00;
  const auto part = [&](size_t from, size_t to) {
    return Bytes(good.begin() + static_cast<long>(starts[from]),
                 good.begin() + static_cast<long>(starts[to]));
  };
  const Bytes files[] = {
      Concat({part(0, 100), stale, part(100, starts.size() - 1)}),
      Concat({part(0, 100), stale, part(100, 150), damaged, part(151, 170), damaged, part(171, 180)}),
      Concat({part(0, 100), Header(0x8401), part(100, 120)}),
      Concat({part(0, 100), Hex("10 00 61 62 63")}),  // a stored body cut short
  };
  for (size_t k = 0; k < std::size(files); ++k) {
    const std::string path = PathOf("ahead.crz");
    Spill(path, files[k]);
    const auto readAll = [&](int threads) {
      COXCompressedFile reader;
      reader.SetThreads(threads);
      EXPECT_TRUE(reader.Open(path, CFile::modeRead));
      Bytes out;
      Bytes buf(4096);
      std::string strError;
      try {
        for (UINT n; (n = reader.Read(buf.data(), 4096)) > 0;)
          out.insert(out.end(), buf.begin(), buf.begin() + n);
      } catch (const CFileException& e) {
        strError = e.GetErrorMessage();
      }
      return std::make_pair(out, strError);
    };
    const auto alone = readAll(1);
    EXPECT_EQ(alone.second.empty(), k == 0) << alone.second;
    EXPECT_EQ(readAll(3), alone);
    EXPECT_EQ(readAll(2), alone);
  }
}

TEST_F(CompressedFileTest, RandomBytesNeverCrash) {
  for (int i = 0; i < 200; ++i) {
    Bytes junk = MakeRandom(1 + static_cast<size_t>(i) * 37 % 5000, 500 + i);
    if (i % 2) junk[1] &= 0x83;  // keep some headers plausible
    const std::string path = PathOf("junk.crz");
    Spill(path, junk);
    COXCompressedFile file(i % 3 == 0 ? 4 : 0);
    ASSERT_TRUE(file.Open(path, CFile::modeRead));
    Bytes buf(1500);
    try {
      file.GetLength();
      file.Seek(static_cast<LONGLONG>(i) * 13, CFile::begin);
      while (file.Read(buf.data(), 1500) > 0) {
      }
    } catch (const CFileException& e) {
      EXPECT_TRUE(e.m_cause == CFileException::genericException || e.m_cause == CFileException::endOfFile)
          << e.GetErrorMessage();
    }
  }
}

}  // namespace
