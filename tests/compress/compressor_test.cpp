#include "compress/compressor.h"

#include <gtest/gtest.h>

#include <string>

#include "compress/codec_test_util.h"

namespace {

Bytes CompressAll(COXCompressor& codec, const Bytes& in, int capacity = 1024) {
  Bytes out(static_cast<size_t>(capacity));
  const int n = codec.Compress(in.data(), static_cast<int>(in.size()), out.data(), capacity);
  if (n < 0) return {};
  out.resize(static_cast<size_t>(n));
  return out;
}

Bytes ExpandAll(COXCompressor& codec, const Bytes& stream, int capacity = 1024) {
  Bytes out(static_cast<size_t>(capacity));
  const int n = codec.Expand(stream.data(), static_cast<int>(stream.size()), out.data(), capacity);
  EXPECT_GE(n, 0);
  out.resize(static_cast<size_t>(std::max(n, 0)));
  return out;
}

std::string Repeat(const std::string& s, int n) {
  std::string out;
  for (int i = 0; i < n; ++i) out += s;
  return out;
}

// --- The worked examples, each on a fresh compressor, both ways

struct Example {
  const char* name;
  std::string input;
  const char* stream;
};

TEST(CompressorExamples, StreamsAreExact) {
  const Example examples[] = {
      {"abc", "abc", "B0 D8 AC 60"},
      {"abc four times", Repeat("abc", 4), "B0 D8 AC 60 0B 80"},
      {"twenty a", std::string(20, 'a'), "B0 80 3E 09 00"},
      {"abcdefg", "abcdefg", "B0 D8 AC 76 4B 2D 9A CE"},
  };
  for (const Example& e : examples) {
    COXCompressor codec;
    EXPECT_EQ(CompressAll(codec, BytesOf(e.input)), Hex(e.stream)) << e.name;
    COXCompressor other;
    EXPECT_EQ(ExpandAll(other, Hex(e.stream)), BytesOf(e.input)) << e.name;
  }
}

// --- Result values at the capacity limits

TEST(CompressorLimits, EmptySourceWritesNothing) {
  COXCompressor codec;
  BYTE out[4] = {0xEE, 0xEE, 0xEE, 0xEE};
  EXPECT_EQ(codec.Compress(out, 0, out, 4), 0);
  EXPECT_EQ(out[0], 0xEE);
}

TEST(CompressorLimits, StreamMustComeOutShorterThanTheCapacity) {
  const Bytes abc = BytesOf("abc");
  BYTE out[8];
  COXCompressor a;
  EXPECT_EQ(a.Compress(abc.data(), 3, out, 4), -1);
  COXCompressor b;
  EXPECT_EQ(b.Compress(abc.data(), 3, out, 5), 4);
}

TEST(CompressorLimits, ExpandRefusesOutputBeyondTheCapacity) {
  const Bytes stream = Hex("B0 D8 AC 60 0B 80");
  BYTE out[12];
  COXCompressor codec;
  EXPECT_EQ(codec.Expand(stream.data(), 6, out, 11), -1);
  EXPECT_EQ(codec.Expand(stream.data(), 6, out, 12), 12);
}

TEST(CompressorLimits, ExpandZeroFillsTheWholeCapacity) {
  const Bytes stream = Hex("B0 D8 AC 60");
  Bytes out(16, 0xEE);
  COXCompressor codec;
  EXPECT_EQ(codec.Expand(stream.data(), 4, out.data(), 16), 3);
  EXPECT_EQ(out, Bytes({0x61, 0x62, 0x63, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}));
}

// A code of up to 14 bits can complete two bytes at once; whatever the
// capacity, nothing may land at or beyond it, and a stream that fits must be
// the same as with room to spare.
TEST(CompressorLimits, NoByteIsEverStoredAtOrBeyondTheCapacity) {
  const Bytes inputs[] = {MakeText(1024, 3), MakeBinary(1024, 4), MakeRandom(300, 5), Bytes(1024, 'x')};
  for (const Bytes& in : inputs) {
    COXCompressor reference;
    const Bytes full = CompressAll(reference, in, 4096);
    ASSERT_FALSE(full.empty());
    for (int capacity = 0; capacity <= static_cast<int>(full.size()) + 2; ++capacity) {
      Bytes out(static_cast<size_t>(capacity) + 8, 0xEE);
      COXCompressor codec;
      const int n = codec.Compress(in.data(), static_cast<int>(in.size()), out.data(), capacity);
      for (size_t i = static_cast<size_t>(capacity); i < out.size(); ++i) {
        ASSERT_EQ(out[i], 0xEE) << "capacity " << capacity << " byte " << i;
      }
      if (capacity > static_cast<int>(full.size())) {
        ASSERT_EQ(n, static_cast<int>(full.size()));
        ASSERT_EQ(Bytes(out.begin(), out.begin() + n), full);
      } else {
        ASSERT_EQ(n, -1) << "capacity " << capacity;
      }
    }
  }
}

// --- Codes

TEST(CompressorCodes, OneByteMatchesAreLiteralsAndNoCopyStartsAtZero) {
  // Every code of the stream is decoded by hand: copies are 2..17 long and
  // never name position 0.
  COXCompressor codec;
  const Bytes in = MakeBinary(1024, 11);
  const Bytes stream = CompressAll(codec, in);
  ASSERT_FALSE(stream.empty());
  size_t bit = 0;
  auto take = [&](int n) {
    unsigned v = 0;
    for (int i = 0; i < n; ++i, ++bit) v = v * 2 + ((stream[bit / 8] >> (7 - bit % 8)) & 1);
    return v;
  };
  size_t produced = 0;
  while (produced < in.size()) {
    if (take(1)) {
      take(8);
      ++produced;
    } else {
      const unsigned p = take(9);
      const unsigned len = take(4) + 2;
      ASSERT_NE(p, 0u);
      ASSERT_GE(len, 2u);
      produced += len;
    }
  }
  EXPECT_EQ(produced, in.size());
  EXPECT_EQ(take(1), 0u);                   // the end flag
  EXPECT_EQ((bit + 7) / 8, stream.size());  // then only padding
}

// --- The window carries over from call to call

TEST(CompressorHistory, AnyCompressorExpandsAnyStream) {
  COXCompressor writer;
  COXCompressor reader;
  COXCompressor stranger;
  CompressAll(writer, MakeText(1024, 21));  // give the writer some history
  ExpandAll(stranger, CompressAll(writer, MakeRandom(700, 22)));
  for (int block = 0; block < 8; ++block) {
    const Bytes in = block % 2 ? MakeBinary(1024, 30 + block) : MakeText(1024, 30 + block);
    const Bytes stream = CompressAll(writer, in);
    ASSERT_FALSE(stream.empty());
    EXPECT_EQ(ExpandAll(reader, stream), in);
    EXPECT_EQ(ExpandAll(stranger, stream), in);
  }
}

TEST(CompressorHistory, RoundTripsOfManySizes) {
  COXCompressor writer;
  COXCompressor reader;
  for (int size : {1, 2, 3, 16, 17, 18, 19, 33, 100, 511, 512, 513, 1000, 1023, 1024}) {
    for (const Bytes& in :
         {MakeText(static_cast<size_t>(size), size), MakeBinary(static_cast<size_t>(size), size),
          Bytes(static_cast<size_t>(size), 0), Bytes(static_cast<size_t>(size), 0xFF)}) {
      Bytes out(1024);
      const int n = writer.Compress(in.data(), size, out.data(), 1024);
      if (n < 0) continue;  // did not pay; nothing to expand
      out.resize(static_cast<size_t>(n));
      EXPECT_EQ(ExpandAll(reader, out, 1024), in) << "size " << size;
    }
  }
}

// --- Malformed streams stay within their buffers

TEST(CompressorMalformed, GarbageExpandsWithinTheCapacity) {
  COXCompressor codec;
  for (int i = 0; i < 300; ++i) {
    const Bytes garbage = MakeRandom(1 + static_cast<size_t>(i) * 7 % 1100, 1000 + i);
    Bytes out(1024 + 16, 0xEE);
    const int n = codec.Expand(garbage.data(), static_cast<int>(garbage.size()), out.data(), 1024);
    EXPECT_GE(n, -1);
    EXPECT_LE(n, 1024);
    for (size_t k = 1024; k < out.size(); ++k) ASSERT_EQ(out[k], 0xEE);
  }
  BYTE out[8];
  EXPECT_EQ(codec.Expand(out, 0, out, 8), 0);   // empty stream: no data
  EXPECT_EQ(codec.Expand(out, -5, out, 8), 0);  // nonsense length: no data either
}

}  // namespace
