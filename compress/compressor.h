#pragma once
// LZSS over a 512-byte sliding window with a 17-byte look-ahead: each code is
// a literal byte or a copy of 2 to 17 bytes from an earlier window position,
// packed most significant bit first.
//
// Stream: literal = 1, 8 bits; copy = 0, 9-bit position (1..511), 4-bit
// length-2; end = a single 0 bit, then 0 bits to the byte boundary.
//
// Every call starts writing the window at position 1 and copies only refer to
// bytes written in the same call, so any compressor expands any stream. The
// window itself is cleared once, at construction, and carries over from call
// to call: which matches the compressor finds (and so the exact stream) depends
// on what it handled before.
//
// The matches are those of a binary search tree of the window's strings, with
// its exact shape (which decides among equally long matches). Most strings are
// placed from the order of the strings (see InsertBetweenNeighbours) without
// walking down the tree; the results are the tree's all the same.
#include <cstdint>
#include <memory>

#include "platform/types.h"

class COXCompressor {
 public:
  COXCompressor();
  ~COXCompressor();
  COXCompressor(const COXCompressor&) = delete;
  COXCompressor& operator=(const COXCompressor&) = delete;

  // Compresses nSourceLength bytes into pTarget. Returns the stream length, 0
  // for an empty source, or -1 when the stream would not come out shorter than
  // nTargetCapacity. Never writes at or beyond pTarget[nTargetCapacity]; bytes
  // past the stream, within the capacity, are unspecified.
  int Compress(const BYTE* pSource, int nSourceLength, BYTE* pTarget, int nTargetCapacity);
  // Expands a stream of nSourceLength bytes into pTarget. Returns the number
  // of bytes produced, or -1 when they would not fit in nTargetCapacity. Fills
  // the whole capacity (zeros after the data); never reads outside the source.
  int Expand(const BYTE* pSource, int nSourceLength, BYTE* pTarget, int nTargetCapacity);

  // Expands as Expand does, but without a window of its own, so that threads
  // may expand blocks side by side: returns kNeedsHistory when the stream
  // copies from a window position it has not written itself (no compressor
  // writes such a stream; what it copies depends on what the expanding
  // compressor handled before). Bytes of pTarget past the result are
  // unspecified, within the capacity.
  static int ExpandAlone(const BYTE* pSource, int nSourceLength, BYTE* pTarget, int nTargetCapacity);
  static constexpr int kNeedsHistory = -2;
  // Leaves the window as if an Expand had just produced the nLength bytes.
  void TakeHistory(const BYTE* pData, int nLength);

  static constexpr int kWindowSize = 512;
  static constexpr int kWindowMask = kWindowSize - 1;
  static constexpr int kLookAhead = 17;
  static constexpr int kRoot = kWindowSize;  // node whose largerChild is the top of the tree
  static constexpr int kNone = 0;            // window position 0 doubles as "no node"

 private:
  // child[0] is the smaller child, child[1] the larger one, so that the
  // descent picks a side by index instead of by branch.
  struct Node {
    int parent;
    int child[2];
  };
  static constexpr int kSmaller = 0;
  static constexpr int kLarger = 1;

  // Stores a window byte; the first bytes are mirrored past the end so that
  // strings are compared without wrapping.
  void PutWindow(int k, BYTE b) {
    m_pWindow[k] = b;
    if (k < kMirror) m_pWindow[kWindowSize + k] = b;
  }
  static constexpr int kMirror = kLookAhead - 1;

  void ResetTree(int r);
  int InsertString(int n, int& nMatchPosition);
  int ReplaceString(int x, int n, int& nMatchPosition);
  int WalkToPlace(int n, std::uint64_t nHi, std::uint64_t nLo, BYTE nLastByte, int nBelow, int nAbove,
                  bool bUp, int& nMatchPosition);
  int PlaceBetween(int n, std::uint64_t nHi, std::uint64_t nLo, int nBelow, int nAbove, int& nMatchPosition);
  int ContinueInsert(int n, std::uint64_t nHi, std::uint64_t nLo, int t, int& nMatchPosition);
  int InsertBetweenNeighbours(int n, std::uint64_t nHi, std::uint64_t nLo, int& nMatchPosition);
  int CompareWith(int x, std::uint64_t nHi, std::uint64_t nLo, BYTE nLast) const;
  void Link(int n, int nBelow, int nAbove);
  void Replace(int x, int n);
  void Unlink(int x);
  inline bool Descend(std::uint64_t nHi, std::uint64_t nLo, int& t, int& nBest, int& nPosition) const;
  int Attach(int t, int nSide, int n, int nPosition, int& nMatchPosition, int nBest);
  void RemoveString(int x);
  void SpliceNode(int oldNode, int newNode);
  void SubstituteNode(int oldNode, int newNode);
  int FindPredecessor(int x) const;

  // kWindowSize bytes, then a copy of the first kMirror of them.
  std::unique_ptr<BYTE[]> m_pWindow;
  Node m_tree[kWindowSize + 2];
  // Each string's first 16 bytes as two big-endian words, set when it is
  // planted: its bytes stay put while it is in the tree. (Entry kEnds is
  // read but never counts.)
  std::uint64_t m_nKeyHi[kWindowSize + 2];
  std::uint64_t m_nKeyLo[kWindowSize + 2];

  // The strings of the tree in order, linked both ways through kEnds, kept
  // while the tree is an ordinary search tree (m_bOrdered). Removing window
  // position 0 can cut a subtree off (see RemoveString): from then on until
  // the next call the searches take the tree alone. So do calls after one
  // whose data hardly compressed (m_bUseOrder false), where the order rarely
  // gives a short way and costs its upkeep.
  static constexpr int kEnds = kWindowSize + 1;
  std::uint16_t m_nPrev[kWindowSize + 2];
  std::uint16_t m_nNext[kWindowSize + 2];
  bool m_bOrdered = false;
  bool m_bUseOrder = true;
  // While the tree is ordered, the strings in order grouped by their first
  // two bytes: a bit for each group that has strings (and one for each word
  // of those bits that is not 0), and the first string of each such group.
  // A string with no start along the order is found from its group instead
  // of by a descent of the tree, which is long and waits on every level. The
  // heads are read only where a bit is set, so only the bits are cleared.
  static constexpr int kGroups = 1 << 16;
  std::unique_ptr<std::uint16_t[]> m_pGroupHead;
  std::uint64_t m_nGroupBits[kGroups / 64];
  std::uint64_t m_nGroupWords[kGroups / 64 / 64];
  static unsigned GroupOf(std::uint64_t nHi) { return static_cast<unsigned>(nHi >> 48); }
  bool HasGroup(unsigned g) const { return (m_nGroupBits[g >> 6] >> (g & 63)) & 1; }
  // Whether x is kEnds or a string of another group than g: a string of g
  // that follows such an x in order is the first of its group.
  bool IsOutsideGroup(int x, unsigned g) const { return x == kEnds || GroupOf(m_nKeyHi[x]) != g; }
  void AddGroup(unsigned g) {
    m_nGroupBits[g >> 6] |= std::uint64_t{1} << (g & 63);
    m_nGroupWords[g >> 12] |= std::uint64_t{1} << ((g >> 6) & 63);
  }
  void DropGroup(unsigned g) {
    const std::uint64_t nLeft = m_nGroupBits[g >> 6] &= ~(std::uint64_t{1} << (g & 63));
    if (nLeft == 0) m_nGroupWords[g >> 12] &= ~(std::uint64_t{1} << ((g >> 6) & 63));
  }
  int FirstStringAfterGroup(unsigned g) const;
  // The string planted last and its neighbours in order then (or, when it
  // replaced an equal string, that string in both).
  int m_nLastString = kNone;
  int m_nLastBelow = kEnds;
  int m_nLastAbove = kEnds;
  bool m_bLastReplaced = false;
  // Where ContinueInsert planted its string: under m_nPlacedAt on
  // m_nPlacedSide, or (kReplaced) in m_nPlacedAt's place.
  static constexpr int kReplaced = 2;
  int m_nPlacedAt = kNone;
  int m_nPlacedSide = kSmaller;
};
