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
  // nTargetCapacity. Never writes at or beyond pTarget[nTargetCapacity].
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
  inline bool Descend(const BYTE* w, std::uint64_t nHi, std::uint64_t nLo, int& t, int& nBest,
                      int& nPosition) const;
  int Attach(int t, int nSide, int n, int nPosition, int& nMatchPosition, int nBest);
  void RemoveString(int x);
  void SpliceNode(int oldNode, int newNode);
  void SubstituteNode(int oldNode, int newNode);
  int FindPredecessor(int x) const;

  // kWindowSize bytes, then a copy of the first kMirror of them.
  std::unique_ptr<BYTE[]> m_pWindow;
  Node m_tree[kWindowSize + 1];
};
