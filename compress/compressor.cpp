#include "compress/compressor.h"

#include <algorithm>
#include <cstddef>
#include <cstring>

#include "compress/bit_buffer.h"

#if defined(__x86_64__) && defined(__GNUC__)
#include <cpuid.h>
#define QVN_DESCEND_ASM 1
#endif

namespace {

__extension__ typedef unsigned __int128 u128;

std::uint64_t Load64(const BYTE* p) {
  std::uint64_t v;
  std::memcpy(&v, p, sizeof v);
  return v;
}

// a when bPick, else b: marks the choices that follow the data, where a
// conditional move beats a branch that is mispredicted about half the time.
// The compiler mostly makes them so; it is not forced to, as forced moves
// measured slower where it keeps a branch.
inline int Pick(bool bPick, int a, int b) {
  return bPick ? a : b;
}

// Equal leading bytes of two 16-byte keys given as their xor, 16 when all are.
inline int SharedBytes(std::uint64_t xHi, std::uint64_t xLo) {
  const int nHi = __builtin_clzll(xHi | 1) + static_cast<int>(xHi == 0);  // 64 for 0
  const int nLo = __builtin_clzll(xLo | 1) + static_cast<int>(xLo == 0);
  return Pick(xHi != 0, nHi, 64 + nLo) >> 3;
}

std::uint64_t LoadBigEndian64(const BYTE* p) {
  return __builtin_bswap64(Load64(p));
}

#ifdef QVN_DESCEND_ASM
// The descent counts equal bytes with lzcnt, which older processors read as
// bsr (another result): they take the portable loop.
bool HasLzcnt() {
  static const bool bHas = [] {
    unsigned a = 0, b = 0, c = 0, d = 0;
    return __get_cpuid(0x80000001u, &a, &b, &c, &d) != 0 && (c & (1u << 5)) != 0;
  }();
  return bHas;
}
// Read once, not behind a guard at every descent.
const bool g_bHasLzcnt = HasLzcnt();
#endif

// Compress's output: codes gathered in a word and stored 4 bytes at a time.
// As with COXBitBuffer, bytes completed at or beyond the capacity are counted
// but not stored.
class CodeWriter {
 public:
  CodeWriter(BYTE* pTarget, int nCapacity) : m_pTarget(pTarget), m_nCapacity(nCapacity) {}

  // Appends the low nCount bits (1 to 14) of nValue, most significant first.
  void Write(DWORD nValue, int nCount) {
    m_nWord = m_nWord << nCount | nValue;
    m_nPending += nCount;
    // Whether a word is complete follows the data: the word is stored either
    // way (where the next one goes, when it is not complete yet).
    const bool bFull = m_nPending >= 32;
    const int nRest = m_nPending - (bFull ? 32 : 0);
    const DWORD nBig = __builtin_bswap32(static_cast<DWORD>(m_nWord >> nRest));
    if (m_nStored + 4 <= m_nCapacity) {
      std::memcpy(m_pTarget + m_nStored, &nBig, sizeof nBig);
    } else if (bFull) {
      const BYTE* const p = reinterpret_cast<const BYTE*>(&nBig);
      for (int i = 0; i < 4; ++i) {
        if (m_nStored + i < m_nCapacity) m_pTarget[m_nStored + i] = p[i];
      }
    }
    m_nStored += bFull ? 4 : 0;
    m_nPending = nRest;
  }
  // Bytes completed so far.
  int GetByteCount() const { return m_nStored + (m_nPending >> 3); }
  // Stores a partly filled last byte (low bits 0); ends the output.
  void Flush() {
    const int nPad = -m_nPending & 7;
    m_nWord <<= nPad;
    m_nPending += nPad;
    while (m_nPending > 0) {
      m_nPending -= 8;
      if (m_nStored < m_nCapacity) m_pTarget[m_nStored] = static_cast<BYTE>(m_nWord >> m_nPending);
      ++m_nStored;
    }
  }

 private:
  BYTE* const m_pTarget;
  const int m_nCapacity;
  std::uint64_t m_nWord = 0;  // the low m_nPending bits (under 32) are not stored yet
  int m_nPending = 0;
  int m_nStored = 0;
};

}  // namespace

COXCompressor::COXCompressor() : m_pWindow(new BYTE[kWindowSize + kMirror + 16]()), m_tree() {}

COXCompressor::~COXCompressor() = default;

int COXCompressor::Compress(const BYTE* pSource, int nSourceLength, BYTE* pTarget, int nTargetCapacity) {
  if (nSourceLength <= 0) return 0;
  BYTE* const w = m_pWindow.get();
  CodeWriter bits(pTarget, nTargetCapacity);

  int c = 1;
  int nLookAhead = 0;
  int nNext = 0;  // next source byte to enter the window
  while (nLookAhead < kLookAhead && nNext < nSourceLength) PutWindow(c + nLookAhead++, pSource[nNext++]);
  m_nKeyHi[c] = LoadBigEndian64(w + c);
  m_nKeyLo[c] = LoadBigEndian64(w + c + 8);
  // Only compression uses the groups; an expanding compressor stays small.
  if (!m_pGroupHead) m_pGroupHead.reset(new std::uint16_t[kGroups]);
  ResetTree(c);

  int nMatchLength = 0;
  int nMatchPosition = 0;
  while (nLookAhead > 0) {
    if (nMatchLength > nLookAhead) nMatchLength = nLookAhead;
    // A literal: flag 1, the byte. A copy: flag 0, the position in 9 bits,
    // the length - 2 in 4 bits.
    const bool bCopy = nMatchLength > 1;
    const DWORD nLiteral = 0x100u | w[c];
    const DWORD nCopy = static_cast<DWORD>(nMatchPosition) << 4 | static_cast<DWORD>(nMatchLength - 2);
    bits.Write(bCopy ? nCopy : nLiteral, bCopy ? 14 : 9);
    const int nReplace = bCopy ? nMatchLength : 1;
    if (bits.GetByteCount() >= nTargetCapacity) {
      m_bUseOrder = false;
      return -1;
    }
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
  bits.Write(0, 1);
  bits.Flush();
  const int nCount = bits.GetByteCount();
  m_bUseOrder = nCount < nSourceLength - nSourceLength / 8;
  return nCount < nTargetCapacity ? nCount : -1;
}

namespace {

constexpr int kWindow = COXCompressor::kWindowSize;
constexpr int kMask = COXCompressor::kWindowMask;

// The output serves as the window: the byte a copy takes from window position
// p lies d bytes back in the output, d (1 to 512) being how far p is behind
// the position written next. A copy that reaches back before the output reads
// the window an earlier call left (pHistory), or, without one, stops the
// expansion: it needs a history it was not given.
template <bool bAlone>
inline int CopyBack(BYTE* pTarget, int nOut, int nTargetCapacity, int p, int nLength, const BYTE* pHistory) {
  const int d = ((nOut - p) & kMask) + 1;  // the position written next is (nOut + 1) mod 512
  const int nFrom = nOut - d;
  if (nFrom >= 0 && nOut + 32 <= nTargetCapacity) {
    BYTE* const pOut = pTarget + nOut;
    const BYTE* const pIn = pTarget + nFrom;
    if (d >= 16) {
      // 16 bytes at once, and the 17th after them: it may be the first of them.
      std::memcpy(pOut, pIn, 16);
      pOut[16] = pIn[16];
    } else {
      for (int i = 0; i < nLength; ++i) pOut[i] = pIn[i];
    }
    return nOut + nLength;
  }
  if (bAlone && nFrom < 0) return COXCompressor::kNeedsHistory;
  for (int i = 0; i < nLength; ++i) {
    if (nOut >= nTargetCapacity) return -1;
    const int x = nFrom + i;
    pTarget[nOut++] = x >= 0 ? pTarget[x] : pHistory[(x + 1) & kMask];
  }
  return nOut;
}

// Expands into pTarget; bytes past the result may have been written.
template <bool bAlone>
int ExpandStream(const BYTE* pSource, int nSourceLength, BYTE* pTarget, int nTargetCapacity,
                 const BYTE* pHistory) {
  if (nSourceLength < 0) nSourceLength = 0;
  if (nTargetCapacity < 0) nTargetCapacity = 0;
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
      pTarget[nOut++] = static_cast<BYTE>(word >> 55);
      nBit += 9;
      // Literals come in runs: a second one is taken from the same word.
      if ((word >> 54) & 1) {
        if ((nBit >> 3) > nFastEnd) continue;
        if (nOut >= nTargetCapacity) return -1;
        pTarget[nOut++] = static_cast<BYTE>(word >> 46);
        nBit += 9;
      }
    } else {
      const int p = static_cast<int>(word >> 54) & kMask;
      const int nLength = (static_cast<int>(word >> 50) & 0xF) + 2;
      nBit += 14;
      nOut = CopyBack<bAlone>(pTarget, nOut, nTargetCapacity, p, nLength, pHistory);
      if (nOut < 0) return nOut;
    }
  }

  COXBitBuffer bits(pSource, nSourceLength);
  bits.SkipTo(nBit);
  for (;;) {
    if (bits.ReadBit()) {
      const BYTE b = static_cast<BYTE>(bits.ReadBits(8));
      if (nOut >= nTargetCapacity) return -1;
      pTarget[nOut++] = b;
    } else {
      const int p = static_cast<int>(bits.ReadBits(9));
      if (p == 0 && bits.GetByteCount() == nSourceLength) return nOut;
      const int nLength = static_cast<int>(bits.ReadBits(4)) + 2;
      nOut = CopyBack<bAlone>(pTarget, nOut, nTargetCapacity, p, nLength, pHistory);
      if (nOut < 0) return nOut;
    }
  }
}

}  // namespace

int COXCompressor::Expand(const BYTE* pSource, int nSourceLength, BYTE* pTarget, int nTargetCapacity) {
  if (nTargetCapacity < 0) nTargetCapacity = 0;
  int nOut = ExpandStream<false>(pSource, nSourceLength, pTarget, nTargetCapacity, m_pWindow.get());
  // On -1 the output holds every byte produced before the one that did not fit.
  const int nProduced = nOut >= 0 ? nOut : nTargetCapacity;
  TakeHistory(pTarget, nProduced);
  std::memset(pTarget + nProduced, 0, static_cast<size_t>(nTargetCapacity - nProduced));
  return nOut;
}

int COXCompressor::ExpandAlone(const BYTE* pSource, int nSourceLength, BYTE* pTarget, int nTargetCapacity) {
  return ExpandStream<true>(pSource, nSourceLength, pTarget, nTargetCapacity, nullptr);
}

void COXCompressor::TakeHistory(const BYTE* pData, int nLength) {
  BYTE* const w = m_pWindow.get();
  // Byte j of an expansion went to window position (j + 1) mod 512: the last
  // 512 bytes (at most) in two pieces, up to the window's end and from its start.
  if (nLength < 0) nLength = 0;
  const int nStart = std::max(0, nLength - kWindow);
  const int nCount = nLength - nStart;
  const int nAt = (nStart + 1) & kMask;
  const int nFirst = std::min(nCount, kWindow - nAt);
  std::memcpy(w + nAt, pData + nStart, static_cast<size_t>(nFirst));
  std::memcpy(w, pData + nStart + nFirst, static_cast<size_t>(nCount - nFirst));
  std::memcpy(w + kWindowSize, w, static_cast<size_t>(kMirror));
}

void COXCompressor::ResetTree(int r) {
  std::memset(m_tree, 0, sizeof m_tree);
  m_tree[kRoot].child[kLarger] = r;
  m_tree[r].parent = kRoot;
  m_tree[r].child[kSmaller] = kNone;
  m_tree[r].child[kLarger] = kNone;
  m_nPrev[kEnds] = m_nNext[kEnds] = kEnds;
  std::memset(m_nGroupBits, 0, sizeof m_nGroupBits);
  std::memset(m_nGroupWords, 0, sizeof m_nGroupWords);
  m_tree[kEnds].child[kLarger] = kEnds;  // "no string" never lacks its larger child
  Link(r, kEnds, kEnds);
  m_bOrdered = m_bUseOrder;
  m_nLastString = kNone;
}

// One level of the descent is run about ten times for every byte compressed:
// it is kept short and free of branches that depend on the data.
inline __attribute__((always_inline)) bool COXCompressor::Descend(std::uint64_t nHi, std::uint64_t nLo,
                                                                  int& t, int& nBest, int& nPosition) const {
#ifdef QVN_DESCEND_ASM
  // The same steps as the portable loop below, in fewer instructions.
  static_assert(sizeof(Node) == 12 && offsetof(Node, child) == 4);
  if (g_bHasLzcnt) {
    std::uint64_t nT = static_cast<std::uint64_t>(t);
    std::int64_t q = nBest;
    std::uint64_t nPos = static_cast<std::uint64_t>(nPosition);
    std::uint64_t a, b, k, k2, next;
    // Near the top of the tree the first 8 bytes differ: while they do, one
    // word is compared. Once they are equal the rest of the way down compares
    // both words.
    asm("1:\n\t"
        "movq (%[kh],%[t],8), %[a]\n\t"
        "leaq (%[t],%[t],2), %[k]\n\t"
        "movl 8(%[tree],%[k],4), %k[next]\n\t"    // the larger child
        "cmpq %[a], %[nHi]\n\t"                   // CF: n's key is the lower
        "cmovbl 4(%[tree],%[k],4), %k[next]\n\t"  // then the smaller child
        "xorq %[nHi], %[a]\n\t"
        "jz 5f\n\t"
        "lzcntq %[a], %[a]\n\t"
        "shrq $3, %[a]\n\t"  // bytes equal
        "cmpq %[q], %[a]\n\t"
        "cmovgeq %[a], %[q]\n\t"
        "cmovgeq %[t], %[pos]\n\t"
        "testl %k[next], %k[next]\n\t"
        "jz 3f\n\t"
        "movl %k[next], %k[t]\n\t"
        "jmp 1b\n\t"
        "5:\n\t"
        "movq (%[kh],%[t],8), %[a]\n\t"
        "movq (%[kl],%[t],8), %[b]\n\t"
        "leaq (%[t],%[t],2), %[k]\n\t"
        "movl 8(%[tree],%[k],4), %k[next]\n\t"
        "movq %[nLo], %[k2]\n\t"
        "subq %[b], %[k2]\n\t"
        "movq %[nHi], %[k2]\n\t"
        "sbbq %[a], %[k2]\n\t"
        "cmovcl 4(%[tree],%[k],4), %k[next]\n\t"
        "xorq %[nLo], %[b]\n\t"
        "xorq %[nHi], %[a]\n\t"
        "movq %[a], %[k]\n\t"
        "orq %[b], %[k]\n\t"
        "jz 2f\n\t"  // all 16 bytes equal
        "lzcntq %[b], %[b]\n\t"
        "lzcntq %[a], %[a]\n\t"  // CF: the high words are equal
        "leaq 64(%[b]), %[b]\n\t"
        "cmovncq %[a], %[b]\n\t"  // bits equal from the top
        "shrq $3, %[b]\n\t"
        "cmpq %[q], %[b]\n\t"
        "cmovgeq %[b], %[q]\n\t"
        "cmovgeq %[t], %[pos]\n\t"
        "testl %k[next], %k[next]\n\t"
        "jz 3f\n\t"
        "movl %k[next], %k[t]\n\t"
        "jmp 5b\n\t"
        "2:\n\t"
        "movl $1, %k[k2]\n\t"
        "jmp 4f\n\t"
        "3:\n\t"
        "xorl %k[k2], %k[k2]\n\t"
        "4:"
        : [t] "+r"(nT), [q] "+r"(q), [pos] "+r"(nPos), [a] "=&r"(a), [b] "=&r"(b), [k] "=&r"(k),
          [k2] "=&r"(k2), [next] "=&r"(next)
        : [kh] "r"(m_nKeyHi), [kl] "r"(m_nKeyLo), [tree] "r"(m_tree), [nHi] "r"(nHi), [nLo] "r"(nLo)
        : "cc", "memory");
    t = static_cast<int>(nT);
    nBest = static_cast<int>(q);
    nPosition = static_cast<int>(nPos);
    return k2 != 0;
  }
#endif
  for (;;) {
    const std::uint64_t tHi = m_nKeyHi[t];
    const std::uint64_t tLo = m_nKeyLo[t];
    const std::uint64_t xHi = nHi ^ tHi;
    const std::uint64_t xLo = nLo ^ tLo;
    if ((xHi | xLo) == 0) return true;
    const int i = (xHi != 0 ? __builtin_clzll(xHi) : 64 + __builtin_clzll(xLo)) >> 3;
    const bool bLarger = xHi != 0 ? nHi > tHi : nLo > tLo;
    if (i >= nBest) {
      nBest = i;
      nPosition = t;
    }
    const int next = m_tree[t].child[bLarger ? kLarger : kSmaller];
    if (next == kNone) return false;
    t = next;
  }
}

// InsertString, RemoveString and the steps they take run once per byte
// compressed: they are inlined into Compress's loop.
inline __attribute__((always_inline)) int COXCompressor::InsertString(int n, int& nMatchPosition) {
  if (n == 0) {
    m_nLastString = kNone;
    return 0;
  }
  const BYTE* const w = m_pWindow.get();
  // The first 16 bytes of a string as two big-endian words: comparing them as
  // numbers compares the bytes from the first one on.
  const std::uint64_t nHi = LoadBigEndian64(w + n);
  const std::uint64_t nLo = LoadBigEndian64(w + n + 8);
  m_nKeyHi[n] = nHi;
  m_nKeyLo[n] = nLo;
  if (m_bOrdered) {
    const int nLength = InsertBetweenNeighbours(n, nHi, nLo, nMatchPosition);
    if (nLength >= 0) return nLength;
  }
  const int t = m_tree[kRoot].child[kLarger];
  if (t == kNone) {
    // An empty tree: the search starts at node 0, an ordinary table entry
    // here, which then roots what follows.
    m_bOrdered = false;
    m_nKeyHi[kNone] = LoadBigEndian64(w);
    m_nKeyLo[kNone] = LoadBigEndian64(w + 8);
  }
  const int nLength = ContinueInsert(n, nHi, nLo, t, nMatchPosition);
  if (m_bOrdered) {
    const int p = m_nPlacedAt;
    if (m_nPlacedSide == kReplaced) {
      Replace(p, n);
    } else if (m_nPlacedSide == kLarger) {
      Link(n, p, m_nNext[p]);
    } else {
      Link(n, m_nPrev[p], p);
    }
  }
  return nLength;
}

inline void COXCompressor::Link(int n, int nBelow, int nAbove) {
  const unsigned g = GroupOf(m_nKeyHi[n]);
  if (IsOutsideGroup(nBelow, g)) {
    m_pGroupHead[g] = static_cast<std::uint16_t>(n);
    AddGroup(g);
  }
  m_nPrev[n] = static_cast<std::uint16_t>(nBelow);
  m_nNext[n] = static_cast<std::uint16_t>(nAbove);
  m_nNext[nBelow] = static_cast<std::uint16_t>(n);
  m_nPrev[nAbove] = static_cast<std::uint16_t>(n);
  m_nLastString = n;
  m_nLastBelow = nBelow;
  m_nLastAbove = nAbove;
  m_bLastReplaced = false;
}

// n, equal to x, takes its place in the order.
inline void COXCompressor::Replace(int x, int n) {
  const int nBelow = m_nPrev[x];
  const int nAbove = m_nNext[x];
  const unsigned g = GroupOf(m_nKeyHi[x]);
  if (IsOutsideGroup(nBelow, g)) m_pGroupHead[g] = static_cast<std::uint16_t>(n);
  m_nPrev[n] = static_cast<std::uint16_t>(nBelow);
  m_nNext[n] = static_cast<std::uint16_t>(nAbove);
  m_nNext[nBelow] = static_cast<std::uint16_t>(n);
  m_nPrev[nAbove] = static_cast<std::uint16_t>(n);
  m_nLastString = n;
  m_nLastBelow = m_nLastAbove = x;
  m_bLastReplaced = true;
}

inline void COXCompressor::Unlink(int x) {
  const int nBelow = m_nPrev[x];
  const int nAbove = m_nNext[x];
  const unsigned g = GroupOf(m_nKeyHi[x]);
  if (IsOutsideGroup(nBelow, g)) {
    if (!IsOutsideGroup(nAbove, g)) {
      m_pGroupHead[g] = static_cast<std::uint16_t>(nAbove);
    } else {
      DropGroup(g);
    }
  }
  m_nNext[nBelow] = static_cast<std::uint16_t>(nAbove);
  m_nPrev[nAbove] = static_cast<std::uint16_t>(nBelow);
}

// -1, 0 or 1 as string x sorts before, with or after the string of the given
// first 16 bytes and 17th byte.
inline int COXCompressor::CompareWith(int x, std::uint64_t nHi, std::uint64_t nLo, BYTE nLast) const {
  const u128 a = u128{m_nKeyHi[x]} << 64 | m_nKeyLo[x];
  const u128 b = u128{nHi} << 64 | nLo;
  if (a != b) return a < b ? -1 : 1;
  const BYTE xLast = m_pWindow[x + 16];
  return (xLast > nLast) - (xLast < nLast);
}

// In an ordinary search tree a string's search passes both its neighbours in
// order, the longest match it records is the neighbour sharing more bytes (on
// a tie the one met later, the deeper), and the string hangs under the deeper
// neighbour, which lacks the child toward it. So the neighbours suffice, and
// they are mostly found in a few steps along the order: when string n - 1
// shared its first two bytes with a neighbour p, string p + 1 sorts on the
// same side of n (the first difference moves one byte forward). Otherwise the
// strings that share n's first two bytes are walked from the first of them,
// and when there are none n goes just before the next such group. Returns -1,
// having changed nothing, when the way is long or the tree empty: the tree is
// searched then.
inline __attribute__((always_inline)) int COXCompressor::InsertBetweenNeighbours(int n, std::uint64_t nHi,
                                                                                 std::uint64_t nLo,
                                                                                 int& nMatchPosition) {
  // An empty tree takes the search's way (see InsertString).
  if (m_nNext[kEnds] == kEnds) return -1;
  const unsigned g = GroupOf(nHi);
  if (!HasGroup(g)) {
    // No string shares n's first two bytes: n goes just before the first
    // string of the next group, and nothing matches two bytes.
    const int nAbove = FirstStringAfterGroup(g);
    return PlaceBetween(n, nHi, nLo, m_nPrev[nAbove], nAbove, nMatchPosition);
  }
  const int nLast = m_nLastString;
  const BYTE nLastByte = m_pWindow[n + 16];
  if (nLast != kNone && nLast == ((n - 1) & kWindowMask)) {
    int nBelow = kEnds;  // a string sorting before n's, or kEnds
    int nAbove = kEnds;  // one sorting after it
    if (m_bLastReplaced) {
      // n - 1 replaced an equal string e, so e + 1 shares n's first 16 bytes.
      const int x = (m_nLastBelow + 1) & kWindowMask;
      if (x != kNone && m_tree[x].parent != kNone) {
        const int r = CompareWith(x, nHi, nLo, nLastByte);
        if (r == 0) return ReplaceString(x, n, nMatchPosition);
        if (r < 0) {
          nBelow = x;
        } else {
          nAbove = x;
        }
      }
    } else {
      const unsigned nPrefix = GroupOf(m_nKeyHi[nLast]);
      if (m_nLastBelow != kEnds && GroupOf(m_nKeyHi[m_nLastBelow]) == nPrefix) {
        const int x = (m_nLastBelow + 1) & kWindowMask;
        if (x != kNone && m_tree[x].parent != kNone) nBelow = x;
      }
      if (m_nLastAbove != kEnds && GroupOf(m_nKeyHi[m_nLastAbove]) == nPrefix) {
        const int x = (m_nLastAbove + 1) & kWindowMask;
        if (x != kNone && m_tree[x].parent != kNone) nAbove = x;
      }
    }
    if (nBelow != kEnds || nAbove != kEnds) {
      const int nLength =
          WalkToPlace(n, nHi, nLo, nLastByte, nBelow, nAbove, nBelow != kEnds, nMatchPosition);
      if (nLength >= 0) return nLength;
    }
  }
  return WalkToPlace(n, nHi, nLo, nLastByte, m_nPrev[m_pGroupHead[g]], kEnds, true, nMatchPosition);
}

// n takes the place of an equal string x: the longest match there can be.
inline __attribute__((always_inline)) int COXCompressor::ReplaceString(int x, int n, int& nMatchPosition) {
  nMatchPosition = x;
  Replace(x, n);
  SubstituteNode(x, n);
  return kLookAhead;
}

// Walks the order to n's place, up from nBelow or down from nAbove (kEnds:
// from the end); -1, having changed nothing, when the way is long.
inline __attribute__((always_inline)) int COXCompressor::WalkToPlace(int n, std::uint64_t nHi,
                                                                     std::uint64_t nLo, BYTE nLastByte,
                                                                     int nBelow, int nAbove, bool bUp,
                                                                     int& nMatchPosition) {
  constexpr int kMaxSteps = 8;
  int nSteps = 0;
  if (bUp) {
    for (int x = m_nNext[nBelow]; x != nAbove; x = m_nNext[x]) {
      const int r = CompareWith(x, nHi, nLo, nLastByte);
      if (r == 0) return ReplaceString(x, n, nMatchPosition);
      if (r > 0) {
        nAbove = x;
        break;
      }
      if (++nSteps > kMaxSteps) return -1;
      nBelow = x;
    }
  } else {
    for (int x = m_nPrev[nAbove]; x != kEnds; x = m_nPrev[x]) {
      const int r = CompareWith(x, nHi, nLo, nLastByte);
      if (r == 0) return ReplaceString(x, n, nMatchPosition);
      if (r < 0) {
        nBelow = x;
        break;
      }
      if (++nSteps > kMaxSteps) return -1;
      nAbove = x;
    }
  }
  return PlaceBetween(n, nHi, nLo, nBelow, nAbove, nMatchPosition);
}

inline __attribute__((always_inline)) int COXCompressor::PlaceBetween(int n, std::uint64_t nHi,
                                                                      std::uint64_t nLo, int nBelow,
                                                                      int nAbove, int& nMatchPosition) {
  const bool bUnderBelow = m_tree[nBelow].child[kLarger] == kNone;
  const int nAt = Pick(bUnderBelow, nBelow, nAbove);
  // Bytes shared with n among the first 16, -1 for no string.
  auto shared = [&](int x) {
    return Pick(x == kEnds, -1, SharedBytes(nHi ^ m_nKeyHi[x], nLo ^ m_nKeyLo[x]));
  };
  const int nSharedBelow = shared(nBelow);
  const int nSharedAbove = shared(nAbove);
  const int nPosition =
      Pick(nSharedBelow > nSharedAbove, nBelow, Pick(nSharedAbove > nSharedBelow, nAbove, nAt));
  Link(n, nBelow, nAbove);
  return Attach(nAt, static_cast<int>(bUnderBelow), n, nPosition, nMatchPosition,
                std::max(nSharedBelow, nSharedAbove));
}

// The search for n from node t on.
inline __attribute__((always_inline)) int COXCompressor::ContinueInsert(int n, std::uint64_t nHi,
                                                                        std::uint64_t nLo, int t,
                                                                        int& nMatchPosition) {
  const BYTE* const w = m_pWindow.get();
  int nBest = 0;
  int nPosition = nMatchPosition;
  for (;;) {
    // Runs down from t while the 16-byte keys differ. Stops at a node whose
    // key equals n's (true), or at one without the child to go on to (false).
    const bool bSameKey = Descend(nHi, nLo, t, nBest, nPosition);
    const std::uint64_t tHi = m_nKeyHi[t];
    const std::uint64_t tLo = m_nKeyLo[t];
    if (!bSameKey) {
      // As 128-bit numbers the comparison needs no branch on the data.
      const bool bLarger = (u128{nHi} << 64 | nLo) >= (u128{tHi} << 64 | tLo);
      return Attach(t, bLarger ? kLarger : kSmaller, n, nPosition, nMatchPosition, nBest);
    }
    const BYTE n2 = w[n + 16];
    const BYTE t2 = w[t + 16];
    if (n2 == t2) {
      // All 17 bytes equal: the longest match there can be. n takes t's
      // place in the tree.
      nMatchPosition = t;
      m_nPlacedAt = t;
      m_nPlacedSide = kReplaced;
      SubstituteNode(t, n);
      return kLookAhead;
    }
    // Among equally long matches the one met later, deeper in the tree, wins.
    if (16 >= nBest) {
      nBest = 16;
      nPosition = t;
    }
    const int nSide = n2 > t2 ? kLarger : kSmaller;
    const int next = m_tree[t].child[nSide];
    if (next == kNone) return Attach(t, nSide, n, nPosition, nMatchPosition, nBest);
    t = next;
  }
}

inline __attribute__((always_inline)) int COXCompressor::Attach(int t, int nSide, int n, int nPosition,
                                                                int& nMatchPosition, int nBest) {
  m_nPlacedAt = t;
  m_nPlacedSide = nSide;
  m_tree[t].child[nSide] = n;
  m_tree[n].parent = t;
  m_tree[n].child[kSmaller] = kNone;
  m_tree[n].child[kLarger] = kNone;
  nMatchPosition = nPosition;
  return nBest;
}

// Node 0 is an ordinary table entry: splicing or substituting "no child" writes
// its parent field, and removing position 0 then acts on whatever that field
// holds. Streams depend on this, so it is kept as it is.
inline __attribute__((always_inline)) void COXCompressor::RemoveString(int x) {
  if (x == kNone && m_bOrdered) {
    // Below, node 0 is spliced out of the parent its entry names, which drops
    // that node's smaller subtree when it has both children: the tree no
    // longer holds every string of the order.
    const int p = m_tree[kNone].parent;
    if (p != kNone && m_tree[p].child[kLarger] != kNone && m_tree[p].child[kSmaller] != kNone)
      m_bOrdered = false;
  }
  if (m_tree[x].parent == kNone) return;
  if (m_bOrdered && x != kNone) Unlink(x);
  const int nSmaller = m_tree[x].child[kSmaller];
  const int nLarger = m_tree[x].child[kLarger];
  if (nLarger == kNone || nSmaller == kNone) {
    // No larger child: the smaller one takes x's place; else no smaller
    // child: the larger one does.
    SpliceNode(x, nLarger == kNone ? nSmaller : nLarger);
  } else {
    // r, the largest string of x's smaller subtree (x's predecessor in
    // order), has no larger child: removing it is a splice with its smaller
    // one.
    const int r = m_bOrdered ? m_nPrev[x] : FindPredecessor(x);
    if (m_tree[r].parent != kNone) SpliceNode(r, m_tree[r].child[kSmaller]);
    SubstituteNode(x, r);
  }
}

// The parent's link is chosen by index, not by branch: which side a node
// hangs on follows the data.
inline __attribute__((always_inline)) void COXCompressor::SpliceNode(int oldNode, int newNode) {
  const int parent = m_tree[oldNode].parent;
  m_tree[newNode].parent = parent;
  const int nSide = m_tree[parent].child[kLarger] == oldNode ? kLarger : kSmaller;
  m_tree[parent].child[nSide] = newNode;
  m_tree[oldNode].parent = kNone;
}

inline __attribute__((always_inline)) void COXCompressor::SubstituteNode(int oldNode, int newNode) {
  const int parent = m_tree[oldNode].parent;
  const int nSide = m_tree[parent].child[kSmaller] == oldNode ? kSmaller : kLarger;
  m_tree[parent].child[nSide] = newNode;
  m_tree[newNode] = m_tree[oldNode];
  m_tree[m_tree[newNode].child[kSmaller]].parent = newNode;
  m_tree[m_tree[newNode].child[kLarger]].parent = newNode;
  m_tree[oldNode].parent = kNone;
}

inline __attribute__((always_inline)) int COXCompressor::FindPredecessor(int x) const {
  int r = m_tree[x].child[kSmaller];
  while (m_tree[r].child[kLarger] != kNone) r = m_tree[r].child[kLarger];
  return r;
}

// The first string of the first group after g that has strings, or kEnds.
int COXCompressor::FirstStringAfterGroup(unsigned g) const {
  unsigned w = g >> 6;
  std::uint64_t nBits = m_nGroupBits[w] & (~std::uint64_t{1} << (g & 63));
  if (nBits == 0) {
    unsigned s = w >> 6;
    std::uint64_t nWords = m_nGroupWords[s] & (~std::uint64_t{1} << (w & 63));
    while (nWords == 0) {
      if (++s == kGroups / 64 / 64) return kEnds;
      nWords = m_nGroupWords[s];
    }
    w = s * 64 + static_cast<unsigned>(__builtin_ctzll(nWords));
    nBits = m_nGroupBits[w];
  }
  return m_pGroupHead[w * 64 + static_cast<unsigned>(__builtin_ctzll(nBits))];
}
