#include "compress/compressor.h"

#include <cstring>

#include "compress/bit_buffer.h"

namespace {

std::uint64_t Load64(const BYTE* p) {
  std::uint64_t v;
  std::memcpy(&v, p, sizeof v);
  return v;
}

std::uint64_t LoadBigEndian64(const BYTE* p) {
  return __builtin_bswap64(Load64(p));
}

// The mirror is brought up to date on every way out of Expand, which writes
// the window without it.
class MirrorOnExit {
 public:
  MirrorOnExit(BYTE* pWindow, int nSize, int nMirror)
      : m_pWindow(pWindow), m_nSize(nSize), m_nMirror(nMirror) {}
  ~MirrorOnExit() { std::memcpy(m_pWindow + m_nSize, m_pWindow, static_cast<size_t>(m_nMirror)); }
  MirrorOnExit(const MirrorOnExit&) = delete;
  MirrorOnExit& operator=(const MirrorOnExit&) = delete;

 private:
  BYTE* m_pWindow;
  int m_nSize;
  int m_nMirror;
};

}  // namespace

COXCompressor::COXCompressor() : m_pWindow(new BYTE[kWindowSize + kMirror + 16]()), m_tree() {}

COXCompressor::~COXCompressor() = default;

int COXCompressor::Compress(const BYTE* pSource, int nSourceLength, BYTE* pTarget, int nTargetCapacity) {
  if (nSourceLength <= 0) return 0;
  BYTE* const w = m_pWindow.get();
  COXBitBuffer bits(pTarget);
  bits.SetWriteLimit(nTargetCapacity);

  int c = 1;
  int nLookAhead = 0;
  int nNext = 0;  // next source byte to enter the window
  while (nLookAhead < kLookAhead && nNext < nSourceLength) PutWindow(c + nLookAhead++, pSource[nNext++]);
  ResetTree(c);

  int nMatchLength = 0;
  int nMatchPosition = 0;
  while (nLookAhead > 0) {
    if (nMatchLength > nLookAhead) nMatchLength = nLookAhead;
    int nReplace;
    if (nMatchLength <= 1) {
      bits.WriteBits(0x100u | w[c], 9);  // flag 1, the byte
      nReplace = 1;
    } else {
      // flag 0, the position in 9 bits, the length - 2 in 4 bits
      bits.WriteBits(static_cast<DWORD>(nMatchPosition) << 4 | static_cast<DWORD>(nMatchLength - 2), 14);
      nReplace = nMatchLength;
    }
    if (bits.GetByteCount() >= nTargetCapacity) return -1;
    for (int i = 0; i < nReplace; ++i) {
      const int nIncoming = (c + kLookAhead) & kWindowMask;
      RemoveString(nIncoming);
      if (nNext < nSourceLength) {
        PutWindow(nIncoming, pSource[nNext++]);
      } else {
        --nLookAhead;
      }
      c = (c + 1) & kWindowMask;
      if (nLookAhead != 0) nMatchLength = InsertString(c, nMatchPosition);
    }
  }
  bits.WriteBit(0);
  bits.FlushBits();
  const int nCount = bits.GetByteCount();
  return nCount < nTargetCapacity ? nCount : -1;
}

int COXCompressor::Expand(const BYTE* pSource, int nSourceLength, BYTE* pTarget, int nTargetCapacity) {
  if (nSourceLength < 0) nSourceLength = 0;
  if (nTargetCapacity < 0) nTargetCapacity = 0;
  BYTE* const w = m_pWindow.get();
  const MirrorOnExit mirror(w, kWindowSize, kMirror);
  std::memset(pTarget, 0, static_cast<size_t>(nTargetCapacity));

  int c = 1;
  int nOut = 0;

  // While at least 8 input bytes remain from the current code on, a code (at
  // most 14 bits) can neither use up the input nor see its end, so the codes
  // are taken from a 64-bit word. The last bytes go through the bit buffer,
  // whose end-of-input rules decide where the stream ends.
  const int nFastEnd = nSourceLength - 8;
  int nBit = 0;
  while ((nBit >> 3) <= nFastEnd) {
    const std::uint64_t word = LoadBigEndian64(pSource + (nBit >> 3)) << (nBit & 7);
    if (word >> 63) {
      if (nOut >= nTargetCapacity) return -1;
      const BYTE b = static_cast<BYTE>(word >> 55);
      pTarget[nOut++] = b;
      w[c] = b;
      c = (c + 1) & kWindowMask;
      nBit += 9;
    } else {
      const int p = static_cast<int>(word >> 54) & kWindowMask;
      const int nLength = (static_cast<int>(word >> 50) & 0xF) + 2;
      nBit += 14;
      const int nRoom = nTargetCapacity - nOut;
      const int nCopy = nLength < nRoom ? nLength : nRoom;
      BYTE* pOut = pTarget + nOut;
      for (int i = 0; i < nCopy; ++i) {
        const BYTE b = w[(p + i) & kWindowMask];
        pOut[i] = b;
        w[c] = b;
        c = (c + 1) & kWindowMask;
      }
      nOut += nCopy;
      if (nCopy < nLength) return -1;
    }
  }

  COXBitBuffer bits(pSource, nSourceLength);
  bits.SkipTo(nBit);
  for (;;) {
    if (bits.ReadBit()) {
      const BYTE b = static_cast<BYTE>(bits.ReadBits(8));
      if (nOut >= nTargetCapacity) return -1;
      pTarget[nOut++] = b;
      w[c] = b;
      c = (c + 1) & kWindowMask;
    } else {
      const int p = static_cast<int>(bits.ReadBits(9));
      if (p == 0 && bits.GetByteCount() == nSourceLength) return nOut;
      const int nLength = static_cast<int>(bits.ReadBits(4)) + 2;
      for (int i = 0; i < nLength; ++i) {
        if (nOut >= nTargetCapacity) return -1;
        const BYTE b = w[(p + i) & kWindowMask];
        pTarget[nOut++] = b;
        w[c] = b;
        c = (c + 1) & kWindowMask;
      }
    }
  }
}

void COXCompressor::ResetTree(int r) {
  std::memset(m_tree, 0, sizeof m_tree);
  m_tree[kRoot].child[kLarger] = r;
  m_tree[r].parent = kRoot;
  m_tree[r].child[kSmaller] = kNone;
  m_tree[r].child[kLarger] = kNone;
}

int COXCompressor::InsertString(int n, int& nMatchPosition) {
  if (n == 0) return 0;
  const BYTE* const w = m_pWindow.get();
  // n's string, as two big-endian words and a last byte: comparing them as
  // unsigned numbers compares the 17 bytes from the first one on.
  const std::uint64_t n0 = LoadBigEndian64(w + n);
  const std::uint64_t n1 = LoadBigEndian64(w + n + 8);
  const BYTE n2 = w[n + 16];
  int t = m_tree[kRoot].child[kLarger];
  int nBest = 0;
  // The descent is a chain of dependent loads; it is kept free of branches
  // that depend on the data (the side is chosen by index, both children are
  // loaded before it is known) so that mispredictions do not add to it.
  for (;;) {
    const std::uint64_t t0 = LoadBigEndian64(w + t);
    const std::uint64_t t1 = LoadBigEndian64(w + t + 8);
    const int nSmaller = m_tree[t].child[kSmaller];
    const int nLarger = m_tree[t].child[kLarger];
    const std::uint64_t x0 = n0 ^ t0;
    const bool bFirst = x0 != 0;
    const std::uint64_t x = bFirst ? x0 : (n1 ^ t1);
    const std::uint64_t a = bFirst ? n0 : n1;
    const std::uint64_t b = bFirst ? t0 : t1;
    int i;         // bytes equal from the first on
    bool bLarger;  // n's string is equal or higher
    if (__builtin_expect(x != 0, 1)) {
      i = (bFirst ? 0 : 8) + (__builtin_clzll(x) >> 3);
      bLarger = a > b;
    } else {
      const BYTE t2 = w[t + 16];
      if (n2 == t2) {
        // All 17 bytes equal: the longest match there can be. n takes t's
        // place in the tree.
        nMatchPosition = t;
        SubstituteNode(t, n);
        return kLookAhead;
      }
      i = 16;
      bLarger = n2 > t2;
    }
    // Among equally long matches the one met later, deeper in the tree, wins.
    const bool bBetter = i >= nBest;
    nBest = bBetter ? i : nBest;
    nMatchPosition = bBetter ? t : nMatchPosition;
    const int next = bLarger ? nLarger : nSmaller;
    if (next == kNone) {
      m_tree[t].child[bLarger ? kLarger : kSmaller] = n;
      m_tree[n].parent = t;
      m_tree[n].child[kSmaller] = kNone;
      m_tree[n].child[kLarger] = kNone;
      return nBest;
    }
    t = next;
  }
}

// Node 0 is an ordinary table entry: splicing or substituting "no child" writes
// its parent field, and removing position 0 then acts on whatever that field
// holds. Streams depend on this, so it is kept as it is.
void COXCompressor::RemoveString(int x) {
  if (m_tree[x].parent == kNone) return;
  if (m_tree[x].child[kLarger] == kNone) {
    SpliceNode(x, m_tree[x].child[kSmaller]);
  } else if (m_tree[x].child[kSmaller] == kNone) {
    SpliceNode(x, m_tree[x].child[kLarger]);
  } else {
    const int r = FindPredecessor(x);
    RemoveString(r);
    SubstituteNode(x, r);
  }
}

void COXCompressor::SpliceNode(int oldNode, int newNode) {
  const int parent = m_tree[oldNode].parent;
  m_tree[newNode].parent = parent;
  if (m_tree[parent].child[kLarger] == oldNode) {
    m_tree[parent].child[kLarger] = newNode;
  } else {
    m_tree[parent].child[kSmaller] = newNode;
  }
  m_tree[oldNode].parent = kNone;
}

void COXCompressor::SubstituteNode(int oldNode, int newNode) {
  const int parent = m_tree[oldNode].parent;
  if (m_tree[parent].child[kSmaller] == oldNode) {
    m_tree[parent].child[kSmaller] = newNode;
  } else {
    m_tree[parent].child[kLarger] = newNode;
  }
  m_tree[newNode] = m_tree[oldNode];
  m_tree[m_tree[newNode].child[kSmaller]].parent = newNode;
  m_tree[m_tree[newNode].child[kLarger]].parent = newNode;
  m_tree[oldNode].parent = kNone;
}

int COXCompressor::FindPredecessor(int x) const {
  int r = m_tree[x].child[kSmaller];
  while (m_tree[r].child[kLarger] != kNone) r = m_tree[r].child[kLarger];
  return r;
}
