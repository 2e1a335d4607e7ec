#include "compress/bit_buffer.h"

#include <limits>

COXBitBuffer::COXBitBuffer(BYTE* pBuffer)
    : m_pBuffer(pBuffer), m_nWriteLimit(std::numeric_limits<int>::max()) {}

// The reader never stores through m_pBuffer.
COXBitBuffer::COXBitBuffer(const BYTE* pBuffer, int nByteCount)
    : m_pBuffer(const_cast<BYTE*>(pBuffer)),
      m_nByteCount(nByteCount < 0 ? 0 : nByteCount),
      m_nWriteLimit(0) {}

void COXBitBuffer::WriteBit(int nBit) {
  if (nBit) m_nRack |= m_bitMask;
  m_bitMask >>= 1;
  if (m_bitMask == 0) {
    if (m_nByteIndex < m_nWriteLimit) m_pBuffer[m_nByteIndex] = static_cast<BYTE>(m_nRack);
    ++m_nByteIndex;
    m_nRack = 0;
    m_bitMask = 0x80;
  }
}

void COXBitBuffer::FlushBits() {
  if (m_bitMask == 0x80) return;
  if (m_nByteIndex < m_nWriteLimit) m_pBuffer[m_nByteIndex] = static_cast<BYTE>(m_nRack);
  ++m_nByteIndex;
  m_nRack = 0;
  m_bitMask = 0x80;
}

int COXBitBuffer::ReadBit() {
  if (m_bitMask == 0x80) {
    if (m_nByteIndex >= m_nByteCount) return 0;  // used up: nothing past the input is fetched
    m_nRack = m_pBuffer[m_nByteIndex++];
  }
  const int nBit = (m_nRack & m_bitMask) ? 1 : 0;
  m_bitMask >>= 1;
  if (m_bitMask == 0) m_bitMask = 0x80;
  return nBit;
}

DWORD COXBitBuffer::ReadBits(int nCount) {
  DWORD nValue = 0;
  for (DWORD mask = nCount > 0 ? DWORD{1} << (nCount - 1) : 0; mask != 0; mask >>= 1) {
    if (m_bitMask == 0x80) {
      if (m_nByteIndex >= m_nByteCount) return 0;
      m_nRack = m_pBuffer[m_nByteIndex++];
    }
    if (m_nRack & m_bitMask) nValue |= mask;
    m_bitMask >>= 1;
    if (m_bitMask == 0) {
      if (m_nByteIndex == m_nByteCount) return 0;
      m_bitMask = 0x80;
    }
  }
  return nValue;
}

void COXBitBuffer::SkipTo(int nBitOffset) {
  if (nBitOffset < 0) nBitOffset = 0;
  if (nBitOffset > 8 * m_nByteCount) nBitOffset = 8 * m_nByteCount;
  const int nBit = nBitOffset % 8;
  if (nBit == 0) {
    m_nByteIndex = nBitOffset / 8;
    m_nRack = m_nByteIndex > 0 ? m_pBuffer[m_nByteIndex - 1] : 0;
    m_bitMask = 0x80;
  } else {
    m_nRack = m_pBuffer[nBitOffset / 8];
    m_nByteIndex = nBitOffset / 8 + 1;
    m_bitMask = static_cast<BYTE>(0x80 >> nBit);
  }
}
