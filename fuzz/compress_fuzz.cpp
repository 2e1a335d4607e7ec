// The compressor's Compress against the method written out plainly (bytes
// compared one at a time, modulo the window, on a tree of three index
// arrays): the same result and the same stream bytes, call after call on one
// compressor whose window carries over, with room to spare and with too
// little (a stream cut short leaves the window half slid, which the next
// call's matches depend on). The target is allocated to its exact size.
//
// Input: one byte, the number of calls (low 2 bits, plus 1) and whether the
// room is short (bit 2), then the data, split evenly among the calls.
#include <cstdint>
#include <cstring>
#include <memory>

#include "compress/bit_buffer.h"
#include "compress/compressor.h"
#include "fuzz/fuzz_support.h"

namespace {

class ReferenceCompressor {
 public:
  int Compress(const BYTE* pSource, int nSourceLength, BYTE* pTarget, int nTargetCapacity) {
    if (nSourceLength == 0) return 0;
    COXBitBuffer bits(pTarget);
    bits.SetWriteLimit(nTargetCapacity);
    int c = 1;
    int nLookAhead = 0;
    int nNext = 0;
    while (nLookAhead < 17 && nNext < nSourceLength) m_window[c + nLookAhead++] = pSource[nNext++];
    std::memset(m_parent, 0, sizeof m_parent);
    std::memset(m_smaller, 0, sizeof m_smaller);
    std::memset(m_larger, 0, sizeof m_larger);
    m_larger[kRoot] = c;
    m_parent[c] = kRoot;
    int m = 0;
    int p = 0;
    while (nLookAhead > 0) {
      if (m > nLookAhead) m = nLookAhead;
      int nReplace = 1;
      if (m <= 1) {
        bits.WriteBit(1);
        bits.WriteBits(m_window[c], 8);
      } else {
        bits.WriteBit(0);
        bits.WriteBits(static_cast<DWORD>(p), 9);
        bits.WriteBits(static_cast<DWORD>(m - 2), 4);
        nReplace = m;
      }
      if (bits.GetByteCount() >= nTargetCapacity) return -1;
      for (int i = 0; i < nReplace; ++i) {
        Remove((c + 17) & 511);
        if (nNext < nSourceLength) {
          m_window[(c + 17) & 511] = pSource[nNext++];
        } else {
          --nLookAhead;
        }
        c = (c + 1) & 511;
        if (nLookAhead != 0) m = Insert(c, p);
      }
    }
    bits.WriteBit(0);
    bits.FlushBits();
    return bits.GetByteCount() < nTargetCapacity ? bits.GetByteCount() : -1;
  }

 private:
  static constexpr int kRoot = 512;

  int Insert(int n, int& p) {
    if (n == 0) return 0;
    int t = m_larger[kRoot];
    int nBest = 0;
    for (;;) {
      int i = 0;
      int nDiff = 0;
      for (; i < 17; ++i) {
        nDiff = m_window[(n + i) & 511] - m_window[(t + i) & 511];
        if (nDiff != 0) break;
      }
      if (i >= nBest) {
        nBest = i;
        p = t;
      }
      if (nBest == 17) {
        Substitute(t, n);
        return 17;
      }
      int* const pChild = nDiff >= 0 ? &m_larger[t] : &m_smaller[t];
      if (*pChild == 0) {
        *pChild = n;
        m_parent[n] = t;
        m_smaller[n] = m_larger[n] = 0;
        return nBest;
      }
      t = *pChild;
    }
  }
  void Remove(int x) {
    if (m_parent[x] == 0) return;
    if (m_larger[x] == 0) {
      Splice(x, m_smaller[x]);
    } else if (m_smaller[x] == 0) {
      Splice(x, m_larger[x]);
    } else {
      int r = m_smaller[x];
      while (m_larger[r] != 0) r = m_larger[r];
      Remove(r);
      Substitute(x, r);
    }
  }
  void Splice(int nOld, int nNew) {
    const int nParent = m_parent[nOld];
    m_parent[nNew] = nParent;
    (m_larger[nParent] == nOld ? m_larger[nParent] : m_smaller[nParent]) = nNew;
    m_parent[nOld] = 0;
  }
  void Substitute(int nOld, int nNew) {
    const int nParent = m_parent[nOld];
    (m_smaller[nParent] == nOld ? m_smaller[nParent] : m_larger[nParent]) = nNew;
    m_parent[nNew] = m_parent[nOld];
    m_smaller[nNew] = m_smaller[nOld];
    m_larger[nNew] = m_larger[nOld];
    m_parent[m_smaller[nNew]] = nNew;
    m_parent[m_larger[nNew]] = nNew;
    m_parent[nOld] = 0;
  }

  BYTE m_window[512] = {};
  int m_parent[513] = {};
  int m_smaller[513] = {};
  int m_larger[513] = {};
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* pData, size_t nSize) {
  if (nSize < 1 || nSize > 65536) return 0;
  const int nCalls = (pData[0] & 3) + 1;
  const bool bShort = (pData[0] & 4) != 0;
  const BYTE* const pInput = pData + 1;
  const int nInput = static_cast<int>(nSize - 1);
  COXCompressor compressor;
  ReferenceCompressor reference;
  for (int k = 0; k < nCalls; ++k) {
    const int nFrom = nInput * k / nCalls;
    const int nLength = nInput * (k + 1) / nCalls - nFrom;
    const int nCapacity = bShort ? nLength / 2 + 1 : nLength + nLength / 8 + 64;
    std::unique_ptr<BYTE[]> pTarget(new BYTE[static_cast<size_t>(nCapacity)]);
    std::unique_ptr<BYTE[]> pExpected(new BYTE[static_cast<size_t>(nCapacity)]);
    const int nResult = compressor.Compress(pInput + nFrom, nLength, pTarget.get(), nCapacity);
    QVN_FUZZ_CHECK(reference.Compress(pInput + nFrom, nLength, pExpected.get(), nCapacity) == nResult);
    if (nResult > 0)
      QVN_FUZZ_CHECK(std::memcmp(pTarget.get(), pExpected.get(), static_cast<size_t>(nResult)) == 0);
  }
  return 0;
}
