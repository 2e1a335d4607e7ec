#pragma once
// Packs variable-width codes into a caller's byte array, most significant bit
// first, and unpacks them again. One object writes or reads one stream and
// lives for one compression or expansion call.
#include <cstdint>

#include "platform/types.h"

class COXBitBuffer {
 public:
  // Writing into pBuffer. The caller guarantees room for every byte stored,
  // or bounds the stores with SetWriteLimit.
  explicit COXBitBuffer(BYTE* pBuffer);
  // Reading nByteCount bytes from pBuffer; never reads outside them.
  COXBitBuffer(const BYTE* pBuffer, int nByteCount);

  // Writing: bytes completed at or beyond index nCapacity are counted by
  // GetByteCount but not stored, so a stream that outgrows its target is
  // noticed without a byte being written past the end.
  void SetWriteLimit(int nCapacity) { m_nWriteLimit = nCapacity; }

  void WriteBit(int nBit);
  // Appends the low nCount bits (0 to 32) of nValue, most significant first.
  inline void WriteBits(DWORD nValue, int nCount);
  // Stores a partly filled last byte (low bits 0); ends the output.
  void FlushBits();

  // Returns 0 or 1; 0 once the input is used up.
  int ReadBit();
  // Returns the next nCount bits, the first read the most significant. Returns
  // 0 at once when the input is already used up, or as soon as the last bit of
  // the input has been taken: a stream's end reads as a position of 0.
  DWORD ReadBits(int nCount);

  // Reading: goes on at bit nBitOffset of the input (at most its end), as if
  // every bit before it had been read.
  void SkipTo(int nBitOffset);

  // Writing: bytes completed so far. Reading: bytes fetched so far.
  int GetByteCount() const { return m_nByteIndex; }
  BYTE GetBitMask() const { return m_bitMask; }

 private:
  BYTE* m_pBuffer;
  BYTE m_bitMask = 0x80;
  int m_nByteIndex = 0;
  DWORD m_nRack = 0;
  int m_nByteCount = 0;
  int m_nWriteLimit;
};

// Called once per code by the compressor, so it takes all bits at once.
inline void COXBitBuffer::WriteBits(DWORD nValue, int nCount) {
  if (nCount <= 0) return;
  if (nCount < 32) nValue &= (DWORD{1} << nCount) - 1;
  // The bits pending in the rack are its top ones; they come first.
  const int nPending = 7 - __builtin_ctz(m_bitMask);
  std::uint64_t acc = (static_cast<std::uint64_t>(m_nRack) >> (8 - nPending) << nCount) | nValue;
  int nBits = nPending + nCount;
  while (nBits >= 8) {
    nBits -= 8;
    if (m_nByteIndex < m_nWriteLimit) m_pBuffer[m_nByteIndex] = static_cast<BYTE>(acc >> nBits);
    ++m_nByteIndex;
  }
  m_nRack = static_cast<DWORD>((acc & ((1u << nBits) - 1)) << (8 - nBits)) & 0xFF;
  m_bitMask = static_cast<BYTE>(0x80 >> nBits);
}
