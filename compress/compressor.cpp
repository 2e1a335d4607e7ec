#include "compress/compressor.h"

#include <cstring>

#include "compress/bit_buffer.h"

COXCompressor::COXCompressor() : m_pWindow(new BYTE[kWindowSize]()), m_tree() {}

COXCompressor::~COXCompressor() = default;

int COXCompressor::Compress(const BYTE* pSource, int nSourceLength, BYTE* pTarget, int nTargetCapacity) {
  if (nSourceLength <= 0) return 0;
  BYTE* const w = m_pWindow.get();
  COXBitBuffer bits(pTarget);
  bits.SetWriteLimit(nTargetCapacity);

  int c = 1;
  int nLookAhead = 0;
  int nNext = 0;  // next source byte to enter the window
  while (nLookAhead < kLookAhead && nNext < nSourceLength) w[c + nLookAhead++] = pSource[nNext++];
  ResetTree(c);

  int nMatchLength = 0;
  int nMatchPosition = 0;
  while (nLookAhead > 0) {
    if (nMatchLength > nLookAhead) nMatchLength = nLookAhead;
    int nReplace;
    if (nMatchLength <= 1) {
      bits.WriteBit(1);
      bits.WriteBits(w[c], 8);
      nReplace = 1;
    } else {
      bits.WriteBit(0);
      bits.WriteBits(static_cast<DWORD>(nMatchPosition), 9);
      bits.WriteBits(static_cast<DWORD>(nMatchLength - 2), 4);
      nReplace = nMatchLength;
    }
    if (bits.GetByteCount() >= nTargetCapacity) return -1;
    for (int i = 0; i < nReplace; ++i) {
      const int nIncoming = (c + kLookAhead) & kWindowMask;
      RemoveString(nIncoming);
      if (nNext < nSourceLength) {
        w[nIncoming] = pSource[nNext++];
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
  COXBitBuffer bits(pSource, nSourceLength);
  std::memset(pTarget, 0, static_cast<size_t>(nTargetCapacity));

  int c = 1;
  int nOut = 0;
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
  m_tree[kRoot].largerChild = r;
  m_tree[r].parent = kRoot;
  m_tree[r].smallerChild = kNone;
  m_tree[r].largerChild = kNone;
}

int COXCompressor::InsertString(int n, int& nMatchPosition) {
  if (n == 0) return 0;
  const BYTE* const w = m_pWindow.get();
  int t = m_tree[kRoot].largerChild;
  int nBest = 0;
  for (;;) {
    int i = 0;
    int nDiff = 0;
    for (; i < kLookAhead; ++i) {
      nDiff = static_cast<int>(w[(n + i) & kWindowMask]) - static_cast<int>(w[(t + i) & kWindowMask]);
      if (nDiff != 0) break;
    }
    // Among equally long matches the one met later, deeper in the tree, wins.
    if (i >= nBest) {
      nBest = i;
      nMatchPosition = t;
      if (nBest == kLookAhead) {
        SubstituteNode(t, n);
        return nBest;
      }
    }
    int& child = nDiff >= 0 ? m_tree[t].largerChild : m_tree[t].smallerChild;
    if (child == kNone) {
      child = n;
      m_tree[n].parent = t;
      m_tree[n].smallerChild = kNone;
      m_tree[n].largerChild = kNone;
      return nBest;
    }
    t = child;
  }
}

// Node 0 is an ordinary table entry: splicing or substituting "no child" writes
// its parent field, and removing position 0 then acts on whatever that field
// holds. Streams depend on this, so it is kept as it is.
void COXCompressor::RemoveString(int x) {
  if (m_tree[x].parent == kNone) return;
  if (m_tree[x].largerChild == kNone) {
    SpliceNode(x, m_tree[x].smallerChild);
  } else if (m_tree[x].smallerChild == kNone) {
    SpliceNode(x, m_tree[x].largerChild);
  } else {
    const int r = FindPredecessor(x);
    RemoveString(r);
    SubstituteNode(x, r);
  }
}

void COXCompressor::SpliceNode(int oldNode, int newNode) {
  const int parent = m_tree[oldNode].parent;
  m_tree[newNode].parent = parent;
  if (m_tree[parent].largerChild == oldNode) {
    m_tree[parent].largerChild = newNode;
  } else {
    m_tree[parent].smallerChild = newNode;
  }
  m_tree[oldNode].parent = kNone;
}

void COXCompressor::SubstituteNode(int oldNode, int newNode) {
  const int parent = m_tree[oldNode].parent;
  if (m_tree[parent].smallerChild == oldNode) {
    m_tree[parent].smallerChild = newNode;
  } else {
    m_tree[parent].largerChild = newNode;
  }
  m_tree[newNode] = m_tree[oldNode];
  m_tree[m_tree[newNode].smallerChild].parent = newNode;
  m_tree[m_tree[newNode].largerChild].parent = newNode;
  m_tree[oldNode].parent = kNone;
}

int COXCompressor::FindPredecessor(int x) const {
  int r = m_tree[x].smallerChild;
  while (m_tree[r].largerChild != kNone) r = m_tree[r].largerChild;
  return r;
}
