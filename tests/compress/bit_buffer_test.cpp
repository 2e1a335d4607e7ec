#include "compress/bit_buffer.h"

#include <gtest/gtest.h>

#include "compress/codec_test_util.h"

namespace {

// --- Writing: most significant bit first, whole bytes stored as they complete

TEST(BitBufferWrite, EightBitsMakeOneByte) {
  BYTE buf[4] = {};
  COXBitBuffer bits(buf);
  bits.WriteBits(0x61, 8);
  EXPECT_EQ(buf[0], 0x61);
  EXPECT_EQ(bits.GetByteCount(), 1);
  EXPECT_EQ(bits.GetBitMask(), 0x80);
}

TEST(BitBufferWrite, FlushStoresAPartialByteOnly) {
  BYTE buf[4] = {0xEE, 0xEE, 0xEE, 0xEE};
  COXBitBuffer one(buf);
  one.WriteBit(1);
  one.FlushBits();
  EXPECT_EQ(buf[0], 0x80);
  EXPECT_EQ(one.GetByteCount(), 1);

  BYTE fresh[2] = {0xEE, 0xEE};
  COXBitBuffer empty(fresh);
  empty.FlushBits();
  EXPECT_EQ(empty.GetByteCount(), 0);
  EXPECT_EQ(fresh[0], 0xEE);

  COXBitBuffer full(fresh);
  full.WriteBits(0xA5, 8);
  full.FlushBits();  // right after a completed byte: nothing more
  EXPECT_EQ(full.GetByteCount(), 1);
  EXPECT_EQ(fresh[1], 0xEE);
}

TEST(BitBufferWrite, HighBitsOfTheValueAreIgnored) {
  BYTE buf[2] = {};
  COXBitBuffer bits(buf);
  bits.WriteBits(0x1FF, 4);
  bits.FlushBits();
  EXPECT_EQ(buf[0], 0xF0);
  EXPECT_EQ(bits.GetByteCount(), 1);
}

TEST(BitBufferWrite, WriteLimitCountsButNeverStoresPastIt) {
  BYTE buf[3] = {0xEE, 0xEE, 0xEE};
  COXBitBuffer bits(buf);
  bits.SetWriteLimit(1);
  bits.WriteBits(0x1234, 16);
  bits.WriteBit(1);
  bits.FlushBits();
  EXPECT_EQ(bits.GetByteCount(), 3);
  EXPECT_EQ(buf[0], 0x12);
  EXPECT_EQ(buf[1], 0xEE);
  EXPECT_EQ(buf[2], 0xEE);
}

// --- Reading: a value of 0 as soon as the input is used up

TEST(BitBufferRead, NineBitsFromOneZeroByteStopAfterEight) {
  const BYTE in[] = {0x00};
  COXBitBuffer bits(in, 1);
  EXPECT_EQ(bits.ReadBits(9), 0u);
  EXPECT_EQ(bits.GetByteCount(), 1);
}

TEST(BitBufferRead, ValueEndingOnTheLastInputBitReadsAsZero) {
  const BYTE in[] = {0x61};
  COXBitBuffer bits(in, 1);
  EXPECT_EQ(bits.ReadBits(8), 0u);
}

TEST(BitBufferRead, NibblesOfTheLastByte) {
  const BYTE in[] = {0xA5};
  COXBitBuffer bits(in, 1);
  EXPECT_EQ(bits.ReadBits(4), 0xAu);
  EXPECT_EQ(bits.ReadBits(4), 0u);
  EXPECT_EQ(bits.ReadBits(4), 0u);  // and stays at 0
}

TEST(BitBufferRead, ValuesAcrossByteBoundaries) {
  const Bytes in = Hex("B0 D8 AC 60 0B 80");
  COXBitBuffer bits(in.data(), static_cast<int>(in.size()));
  EXPECT_EQ(bits.ReadBit(), 1);
  EXPECT_EQ(bits.ReadBits(8), 0x61u);
  EXPECT_EQ(bits.ReadBit(), 1);
  EXPECT_EQ(bits.ReadBits(8), 0x62u);
  EXPECT_EQ(bits.GetByteCount(), 3);
}

TEST(BitBufferRead, ReadBitPastTheInputReadsZeroWithoutFetching) {
  const BYTE in[] = {0xFF, 0xFF};
  COXBitBuffer bits(in, 1);  // the second byte lies outside the input
  for (int i = 0; i < 8; ++i) EXPECT_EQ(bits.ReadBit(), 1);
  for (int i = 0; i < 16; ++i) EXPECT_EQ(bits.ReadBit(), 0);
  EXPECT_EQ(bits.GetByteCount(), 1);

  COXBitBuffer none(in, 0);
  EXPECT_EQ(none.ReadBit(), 0);
  EXPECT_EQ(none.ReadBits(9), 0u);
  EXPECT_EQ(none.GetByteCount(), 0);
}

TEST(BitBufferRoundTrip, WrittenCodesReadBack) {
  TestRandom rnd(7);
  Bytes buf(4096);
  std::vector<std::pair<DWORD, int>> codes;
  COXBitBuffer out(buf.data());
  for (int i = 0; i < 2000; ++i) {
    const int n = 1 + static_cast<int>(rnd.Next() % 9);
    const DWORD v = rnd.Next() & ((1u << n) - 1);
    codes.emplace_back(v, n);
    out.WriteBits(v, n);
  }
  out.WriteBits(0xFF, 8);  // so that no code ends on the last bit of the input
  out.FlushBits();
  COXBitBuffer in(buf.data(), out.GetByteCount());
  for (const auto& [v, n] : codes) ASSERT_EQ(in.ReadBits(n), v);
}

}  // namespace
