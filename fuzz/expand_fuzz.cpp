// The compressor's Expand on any stream into any capacity: it never writes
// outside the target nor reads outside the stream (the sanitizers watch
// both buffers, each allocated to its exact size), and it returns the bytes
// produced or -1, exactly as the format's bit-by-bit reading does (the
// output beyond the data zero); ExpandAlone agrees with it unless the stream
// reaches into the window. Then the input itself goes through Compress and
// back.
//
// Input: two bytes of capacity (little-endian, up to 8192), then the stream.
#include <cstdint>
#include <cstring>
#include <memory>

#include "compress/bit_buffer.h"
#include "compress/compressor.h"
#include "fuzz/fuzz_support.h"

namespace {

std::unique_ptr<BYTE[]> Exact(const uint8_t* pData, size_t nSize) {
  std::unique_ptr<BYTE[]> p(new BYTE[nSize]);
  if (nSize > 0) std::memcpy(p.get(), pData, nSize);
  return p;
}

// The expansion as the format describes it, a bit at a time, in a window that
// carries over from call to call.
int ReferenceExpand(BYTE (&window)[512], const BYTE* pSource, int nSourceLength, BYTE* pTarget,
                    int nTargetCapacity) {
  std::memset(pTarget, 0, static_cast<size_t>(nTargetCapacity));
  COXBitBuffer bits(pSource, nSourceLength);
  int c = 1;
  int nOut = 0;
  for (;;) {
    if (bits.ReadBit()) {
      const BYTE b = static_cast<BYTE>(bits.ReadBits(8));
      if (nOut >= nTargetCapacity) return -1;
      pTarget[nOut++] = window[c] = b;
      c = (c + 1) & 511;
    } else {
      const int p = static_cast<int>(bits.ReadBits(9));
      if (p == 0 && bits.GetByteCount() == nSourceLength) return nOut;
      const int nLength = static_cast<int>(bits.ReadBits(4)) + 2;
      for (int i = 0; i < nLength; ++i) {
        if (nOut >= nTargetCapacity) return -1;
        pTarget[nOut++] = window[c] = window[(p + i) & 511];
        c = (c + 1) & 511;
      }
    }
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* pData, size_t nSize) {
  if (nSize < 2) return 0;
  const int nCapacity = (pData[0] | pData[1] << 8) % 8193;
  const int nStream = static_cast<int>(nSize - 2);
  const auto pStream = Exact(pData + 2, static_cast<size_t>(nStream));

  COXCompressor compressor;
  std::unique_ptr<BYTE[]> pTarget(new BYTE[static_cast<size_t>(nCapacity)]);
  const int nExpanded = compressor.Expand(pStream.get(), nStream, pTarget.get(), nCapacity);
  QVN_FUZZ_CHECK(nExpanded >= -1 && nExpanded <= nCapacity);
  BYTE window[512] = {};
  std::unique_ptr<BYTE[]> pReference(new BYTE[static_cast<size_t>(nCapacity)]);
  QVN_FUZZ_CHECK(ReferenceExpand(window, pStream.get(), nStream, pReference.get(), nCapacity) == nExpanded);
  QVN_FUZZ_CHECK(std::memcmp(pReference.get(), pTarget.get(), static_cast<size_t>(nCapacity)) == 0);
  // The same stream again, on a compressor that has worked before, produces
  // as many bytes, and the same ones as the reference whose window carried
  // over alike (a stream that no compressor wrote can copy from window
  // positions it never filled, which hold what the compressor handled before).
  std::unique_ptr<BYTE[]> pAgain(new BYTE[static_cast<size_t>(nCapacity)]);
  QVN_FUZZ_CHECK(compressor.Expand(pStream.get(), nStream, pAgain.get(), nCapacity) == nExpanded);
  QVN_FUZZ_CHECK(ReferenceExpand(window, pStream.get(), nStream, pReference.get(), nCapacity) == nExpanded);
  QVN_FUZZ_CHECK(std::memcmp(pReference.get(), pAgain.get(), static_cast<size_t>(nCapacity)) == 0);
  // Without a window, the same bytes, unless it needed the window.
  const int nAlone = COXCompressor::ExpandAlone(pStream.get(), nStream, pAgain.get(), nCapacity);
  if (nAlone != COXCompressor::kNeedsHistory) {
    QVN_FUZZ_CHECK(nAlone == nExpanded);
    if (nAlone > 0)
      QVN_FUZZ_CHECK(std::memcmp(pAgain.get(), pTarget.get(), static_cast<size_t>(nAlone)) == 0);
  }

  // Round trip of the stream's bytes as plain data, twice through one
  // compressor (its window carries over from call to call).
  const int nRoom = nStream + nStream / 8 + 64;
  std::unique_ptr<BYTE[]> pCompressed(new BYTE[static_cast<size_t>(nRoom)]);
  for (int nPass = 0; nPass < 2; ++nPass) {
    const int nCompressed = compressor.Compress(pStream.get(), nStream, pCompressed.get(), nRoom);
    QVN_FUZZ_CHECK(nCompressed >= -1 && nCompressed <= nRoom);
    if (nCompressed <= 0) continue;
    COXCompressor expander;
    std::unique_ptr<BYTE[]> pBack(new BYTE[static_cast<size_t>(nStream)]);
    const auto pCompressedExact = Exact(pCompressed.get(), static_cast<size_t>(nCompressed));
    QVN_FUZZ_CHECK(expander.Expand(pCompressedExact.get(), nCompressed, pBack.get(), nStream) == nStream);
    QVN_FUZZ_CHECK(std::memcmp(pBack.get(), pStream.get(), static_cast<size_t>(nStream)) == 0);
  }
  return 0;
}
