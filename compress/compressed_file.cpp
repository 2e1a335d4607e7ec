#include "compress/compressed_file.h"

#include <algorithm>
#include <atomic>
#include <cstring>
#include <limits>
#include <stdexcept>
#include <thread>

namespace {

constexpr LONGLONG kMaxPosition = std::numeric_limits<int>::max();
constexpr int kScratchSize = COXCompressedFile::kBlockSize + 4;  // header, length word, body

WORD LoadWord(const BYTE* p) {
  return static_cast<WORD>(p[0] | (p[1] << 8));
}
void StoreWord(BYTE* p, WORD n) {
  p[0] = static_cast<BYTE>(n & 0xFF);
  p[1] = static_cast<BYTE>(n >> 8);
}

// Bytes of a block before its body: the header word, and the length word
// when the header announces one.
LONGLONG HeaderBytes(WORD nHeader) {
  return (nHeader & COXCompressedFile::kLengthWordBit) ? 4 : 2;
}
// The offset just past the block whose header stands at nOffset.
LONGLONG BlockEnd(LONGLONG nOffset, WORD nHeader) {
  return nOffset + HeaderBytes(nHeader) + (nHeader & COXCompressedFile::kBodyLengthMask);
}

constexpr const char* kTooLarge = "it holds more than the 2 GiB of data the format can address";

}  // namespace

COXCompressedFile::COXCompressedFile(int nRawSize)
    : m_nRawSize(nRawSize), m_pBlockBuffer(new BYTE[kBlockSize]()), m_pScratch(new BYTE[kScratchSize]()) {
  m_pBlockData = m_pBlockBuffer.get();
  if (nRawSize < 0 || nRawSize > kBlockSize) {
    throw std::invalid_argument("COXCompressedFile: the uncompressed prefix must be 0 to 1024 bytes");
  }
}

struct COXCompressedFile::Batch {
  static constexpr int kSlot = 2 + kBlockSize;  // a block's header and body at most

  std::unique_ptr<BYTE[]> pData{new BYTE[static_cast<size_t>(kBatchBlocks) * kBlockSize]};
  std::unique_ptr<BYTE[]> pOut{new BYTE[static_cast<size_t>(kBatchBlocks) * kSlot]};
  int nLengths[kBatchBlocks];  // of each block's slot in pOut
  int nBlocks = 0;
  std::atomic<int> nNext{0};  // the next block no thread has taken

  void Compress(COXCompressor& codec, int k) {
    const BYTE* const pBlock = pData.get() + static_cast<size_t>(k) * kBlockSize;
    BYTE* const pSlot = pOut.get() + static_cast<size_t>(k) * kSlot;
    const int r = codec.Compress(pBlock, kBlockSize, pSlot + 2, kBlockSize);
    if (r == -1 || r >= kBlockSize) {
      StoreWord(pSlot, static_cast<WORD>(kBlockSize));
      std::memcpy(pSlot + 2, pBlock, kBlockSize);
      nLengths[k] = kSlot;
    } else {
      StoreWord(pSlot, static_cast<WORD>(kCompressedBit | r));
      nLengths[k] = 2 + r;
    }
  }
  // Each thread takes the next block not yet taken: blocks that do not
  // compress take longer, and a fixed share would leave threads idle. The
  // last block is left to m_compressor.
  void CompressShare(COXCompressor& codec) {
    for (int k = nNext++; k < nBlocks - 1; k = nNext++) Compress(codec, k);
  }
};

COXCompressedFile::~COXCompressedFile() {
  if (m_bOpen && m_bWriting) {
    try {
      const int nWhole = m_nBatchFill / kBlockSize;
      m_nBatchFill = 0;
      if (nWhole > 0) StoreWholeBlocks(nWhole);
      FinishFlight();
      FlushBase();
    } catch (...) {
      // Nothing can be reported from here; the base's destructor closes the file.
    }
  }
  // The helpers use the batch and the compressors, which go before the team.
  DropFlight();
}

int COXCompressedFile::ThreadCount() const {
  if (m_nThreads > 0) return m_nThreads;
  // Asking the system costs a file read each time.
  static const int nProcessors =
      static_cast<int>(std::max(1u, std::min(8u, std::thread::hardware_concurrency())));
  return nProcessors;
}

void COXCompressedFile::ThrowState(int cause, const char* pszWhy) {
  throw CFileException(cause, -1, {}, pszWhy);
}

void COXCompressedFile::ThrowDamaged(const std::string& strWhy) const {
  throw CFileException(CFileException::genericException, -1, {},
                       "Cannot read " + m_strFileName + ": the compressed data is damaged (" + strWhy + ")");
}

ULONGLONG COXCompressedFile::GetPosition() const {
  return static_cast<ULONGLONG>(m_nPosition);
}

BOOL COXCompressedFile::Open(const std::string& strFileName, UINT nOpenFlags, CFileException* pError) {
  if ((nOpenFlags & 0x3) == modeReadWrite) {
    if (pError) {
      pError->m_cause = CFileException::accessDenied;
      pError->m_lOsError = -1;
      pError->m_strFileName = strFileName;
      pError->m_strAction = "open";
      pError->m_strDetail = "a compressed file is opened for reading or for writing, not both";
    }
    return FALSE;
  }
  // Everything cached belongs to one opened file; the compressor's window
  // carries over.
  DropReadAhead();
  m_bLengthKnown = FALSE;
  m_bWriting = (nOpenFlags & modeWrite) ? TRUE : FALSE;
  m_nBlockLength = 0;
  m_nBlockOffset = 0;
  m_nPosition = 0;
  m_nTotalLength = 0;
  m_nRawRead = 0;
  m_nBlockRawLength = 0;
  m_blockTable.clear();
  m_blockPlaces.clear();
  m_nBlocksLocated = 0;
  m_nBaseOffset = 0;
  m_nBlockDataStart = -1;
  m_nIoStart = 0;
  m_nIoLength = 0;
  m_nIoNext = 0;
  m_nBatchFill = 0;
  m_nHeaderCacheStart = 0;
  m_nHeaderCacheLength = 0;
  m_bOpen = CFile::Open(strFileName, nOpenFlags, pError);
  if (!m_bOpen) m_bWriting = FALSE;
  return m_bOpen;
}

// --- The underlying file ---------------------------------------------------

BYTE* COXCompressedFile::IoBuffer() {
  if (!m_pIo) m_pIo.reset(new BYTE[kIoSize]);
  return m_pIo.get();
}

UINT COXCompressedFile::ReadBase(void* pBuf, UINT nCount) {
  BYTE* const pOut = static_cast<BYTE*>(pBuf);
  UINT nDone = 0;
  while (nDone < nCount) {
    if (m_nIoNext == m_nIoLength) {
      // The system's file position is always at the end of what is buffered.
      m_nIoStart += m_nIoLength;
      m_nIoNext = 0;
      m_nIoLength = 0;
      m_nIoLength = CFile::Read(IoBuffer(), kIoSize);
      if (m_nIoLength == 0) break;
    }
    const UINT n = std::min(nCount - nDone, m_nIoLength - m_nIoNext);
    std::memcpy(pOut + nDone, m_pIo.get() + m_nIoNext, n);
    m_nIoNext += n;
    nDone += n;
  }
  m_nBaseOffset = m_nIoStart + m_nIoNext;
  return nDone;
}

bool COXCompressedFile::ReadBaseWord(WORD& nWord) {
  BYTE b[2];
  if (ReadBase(b, 2) < 2) return false;
  nWord = LoadWord(b);
  return true;
}

void COXCompressedFile::SeekBase(LONGLONG nOffset) {
  if (nOffset >= m_nIoStart && nOffset <= m_nIoStart + m_nIoLength) {
    m_nIoNext = static_cast<UINT>(nOffset - m_nIoStart);
  } else {
    CFile::Seek(nOffset, begin);
    m_nIoStart = nOffset;
    m_nIoLength = 0;
    m_nIoNext = 0;
  }
  m_nBaseOffset = nOffset;
}

void COXCompressedFile::WriteBase(const void* pBuf, UINT nCount) {
  const BYTE* const pIn = static_cast<const BYTE*>(pBuf);
  BYTE* const pIo = IoBuffer();
  UINT nDone = 0;
  while (nDone < nCount) {
    if (m_nIoLength == kIoSize) FlushBase();
    const UINT n = std::min(nCount - nDone, kIoSize - m_nIoLength);
    std::memcpy(pIo + m_nIoLength, pIn + nDone, n);
    m_nIoLength += n;
    nDone += n;
  }
}

void COXCompressedFile::FlushBase() {
  if (m_nIoLength == 0) return;
  const UINT n = m_nIoLength;
  m_nIoLength = 0;  // dropped even when the write fails, so that it is not repeated
  CFile::Write(m_pIo.get(), n);
}

// --- Reading ---------------------------------------------------------------

UINT COXCompressedFile::Read(void* lpBuf, UINT nCount) {
  if (m_bWriting || !m_bOpen) ThrowState(CFileException::accessDenied, "The file is not open for reading");
  BYTE* const pOut = static_cast<BYTE*>(lpBuf);
  UINT nDone = ReadPrefix(pOut, nCount);
  while (nDone < nCount) {
    const int nAvailable = std::max(0, m_nBlockLength - m_nBlockOffset);
    const UINT nCopy = std::min<UINT>(nCount - nDone, static_cast<UINT>(nAvailable));
    if (m_nPosition + static_cast<LONGLONG>(nCopy) > kMaxPosition) {
      ThrowDamaged(kTooLarge);
    }
    if (nCopy > 0) std::memcpy(pOut + nDone, m_pBlockData + m_nBlockOffset, nCopy);
    nDone += nCopy;
    m_nBlockOffset += static_cast<int>(nCopy);
    m_nPosition += static_cast<int>(nCopy);
    if (nDone < nCount && !NextBlock()) break;
  }
  return nDone;
}

bool COXCompressedFile::NextBlock() {
  // Reading ahead pays only for a reader that goes on in order.
  constexpr int kInOrderBeforeAhead = 4;
  if (m_nBlocksInOrder >= kInOrderBeforeAhead && ThreadCount() > 1) return NextBlockAhead();
  WORD nHeader = 0;
  WORD nLengthWord = 0;
  if (!ReadBaseWord(nHeader)) return false;
  if ((nHeader & kLengthWordBit) && !ReadBaseWord(nLengthWord)) return false;
  m_nBlockDataStart = -1;
  LoadBlock(nHeader, nLengthWord);
  m_nBlockOffset = 0;
  m_nBlockDataStart = m_nPosition;
  ++m_nBlocksInOrder;
  return true;
}

// Takes the next block from the batches read ahead. A block that did not
// expand cleanly alone (damaged, or copying from a window it did not write)
// is read again as LoadBlock reads it, with the window the blocks before it
// left, so that it yields or reports exactly what reading without threads
// would; reading ahead then starts over. Returns false at the end of the data.
bool COXCompressedFile::NextBlockAhead() {
  if (!m_pAhead) m_pAhead = std::make_unique<COXBlockExpander>(ThreadCount());
  for (;;) {
    if (!m_pAheadBatch) {
      FillAhead();
      m_pAheadBatch = m_pAhead->Oldest();
      m_nAheadNext = 0;
      if (!m_pAheadBatch) return false;
    }
    if (m_nAheadNext == m_pAheadBatch->nBlocks) {
      KeepCurrentBlock();
      if (m_pAheadBatch->bLast) {
        // The file's position is where reading without threads leaves it.
        DropReadAhead();
        m_bAheadStopped = TRUE;
        return false;
      }
      m_pAheadBatch = nullptr;
      m_pAhead->ReleaseOldest();
      continue;
    }
    const int k = m_nAheadNext++;
    const COXBlockExpander::Block& b = m_pAheadBatch->arrBlocks[k];
    const BOOL bCompressed = (b.nHeader & kCompressedBit) ? TRUE : FALSE;
    // A stored body cut short by the end of the file is damage that only
    // LoadBlock reports.
    const int nGot = bCompressed ? b.nResult : b.nBodyRead;
    if (b.bIrregular || nGot != b.nExpected) {
      const COXBlockExpander::Block again = b;
      StopReadAhead();
      SeekBase(again.nFileOffset + HeaderBytes(again.nHeader));
      m_nBlockDataStart = -1;
      LoadBlock(again.nHeader, again.nLengthWord);
      m_nBlockOffset = 0;
      m_nBlockDataStart = m_nPosition;
      return true;
    }
    const int nLength = b.nExpected;
    m_pBlockData = m_pAheadBatch->DataOf(k);
    if (bCompressed) m_compressor.TakeHistory(m_pBlockData, nLength);
    m_nBlockLength = nLength;
    m_nBlockRawLength = static_cast<WORD>(nLength);
    m_nBlockOffset = 0;
    m_nBlockDataStart = m_nPosition;
    m_nAheadResume = b.nFileOffset + HeaderBytes(b.nHeader) + b.nBodyRead;
    return true;
  }
}

// Reads whole batches of blocks, headers and bodies, while batches are free.
void COXCompressedFile::FillAhead() {
  if (m_nAheadResume < 0) m_nAheadResume = m_nBaseOffset;
  while (!m_bAheadStopped) {
    COXBlockExpander::Batch* const pBatch = m_pAhead->FreeBatch();
    if (!pBatch) return;
    pBatch->nBlocks = 0;
    pBatch->bLast = FALSE;
    int nAt = 0;
    while (pBatch->nBlocks < COXBlockExpander::kBatchBlocks) {
      COXBlockExpander::Block& b = pBatch->arrBlocks[pBatch->nBlocks];
      b = {};
      b.nFileOffset = m_nBaseOffset;
      if (!ReadBaseWord(b.nHeader) || ((b.nHeader & kLengthWordBit) && !ReadBaseWord(b.nLengthWord))) {
        pBatch->bLast = TRUE;
        break;
      }
      ++pBatch->nBlocks;
      b.nExpected = DataLengthOf(b.nHeader, b.nLengthWord);
      const int nBody = b.nHeader & kBodyLengthMask;
      if (nBody == 0 || nBody > kBlockSize || (!(b.nHeader & kCompressedBit) && b.nExpected != nBody)) {
        b.bIrregular = TRUE;
        pBatch->bLast = TRUE;
        break;
      }
      b.nBodyAt = nAt;
      b.nBodyRead = static_cast<int>(ReadBase(pBatch->pInput.get() + nAt, static_cast<UINT>(nBody)));
      nAt += b.nBodyRead;
    }
    if (pBatch->bLast) m_bAheadStopped = TRUE;
    m_pAhead->Submit();
  }
}

void COXCompressedFile::KeepCurrentBlock() {
  if (m_pBlockData == m_pBlockBuffer.get()) return;
  std::memcpy(m_pBlockBuffer.get(), m_pBlockData, static_cast<size_t>(std::max(0, m_nBlockLength)));
  m_pBlockData = m_pBlockBuffer.get();
}

void COXCompressedFile::StopReadAhead() {
  KeepCurrentBlock();
  m_pAheadBatch = nullptr;
  if (m_pAhead) m_pAhead->Reset();
  m_bAheadStopped = FALSE;
  m_nBlocksInOrder = 0;
  if (m_nAheadResume >= 0) {
    const LONGLONG nResume = m_nAheadResume;
    m_nAheadResume = -1;
    SeekBase(nResume);
  }
}

void COXCompressedFile::DropReadAhead() {
  m_nAheadResume = -1;
  StopReadAhead();
}

UINT COXCompressedFile::ReadPrefix(BYTE* pBuf, UINT nCount) {
  if (m_nPosition >= m_nRawSize) return 0;
  LoadPrefix();
  if (m_nPosition + static_cast<LONGLONG>(nCount) < m_nRawRead) {
    std::memcpy(pBuf, m_pBlockBuffer.get() + m_nPosition, nCount);
    m_nPosition += static_cast<int>(nCount);
    m_nBlockOffset = m_nPosition;
    return nCount;
  }
  const int nRemaining = std::max(0, m_nRawRead - m_nPosition);
  std::memcpy(pBuf, m_pBlockBuffer.get() + m_nPosition, static_cast<size_t>(nRemaining));
  m_nPosition = m_nRawRead;
  m_nBlockOffset = 0;
  return static_cast<UINT>(nRemaining);
}

void COXCompressedFile::LoadPrefix() {
  m_pBlockData = m_pBlockBuffer.get();
  SeekBase(0);
  const UINT nGot = ReadBase(m_pBlockBuffer.get(), static_cast<UINT>(m_nRawSize));
  m_nRawRead = static_cast<WORD>(nGot);
  m_nBlockRawLength = static_cast<WORD>(nGot);
  m_nBlockLength = 0;
  m_nBlockDataStart = -1;
}

int COXCompressedFile::DataLengthOf(WORD nHeader, WORD nLengthWord) {
  if (nHeader & kLengthWordBit) return nLengthWord;
  if (nHeader & kCompressedBit) return kBlockSize;
  return nHeader & kBodyLengthMask;
}

int COXCompressedFile::LoadBlock(WORD nHeader, WORD nLengthWord) {
  m_pBlockData = m_pBlockBuffer.get();
  const LONGLONG nBlockAt = m_nBaseOffset - HeaderBytes(nHeader);
  const int nBody = nHeader & kBodyLengthMask;
  m_nBlockLength = 0;
  if (nBody > kBlockSize) {
    ThrowDamaged("the block at byte " + std::to_string(nBlockAt) + " claims a body of " +
                 std::to_string(nBody) + " bytes, more than 1024");
  }
  // No writer makes an empty block; zeros where a file should be (storage
  // that lost it) read as nothing but empty blocks, and the file as empty.
  if (nBody == 0) ThrowDamaged("the block at byte " + std::to_string(nBlockAt) + " claims an empty body");
  const int nExpected = DataLengthOf(nHeader, nLengthWord);
  if (nHeader & kCompressedBit) {
    // A body cut short by the end of the file is expanded from the bytes
    // actually read; it then falls short of its length and is reported.
    const UINT nGot = ReadBase(m_pScratch.get(), static_cast<UINT>(nBody));
    const int nLength =
        m_compressor.Expand(m_pScratch.get(), static_cast<int>(nGot), m_pBlockBuffer.get(), kBlockSize);
    if (nLength != nExpected) {
      m_nBlockLength = -1;
      m_nBlockRawLength = static_cast<WORD>(m_nBlockLength);
      ThrowDamaged("the block at byte " + std::to_string(nBlockAt) + " does not expand to its " +
                   std::to_string(nExpected) + " bytes");
    }
    m_nBlockLength = nLength;
  } else {
    if (nExpected != nBody) {
      ThrowDamaged("the stored block at byte " + std::to_string(nBlockAt) + " gives two different lengths");
    }
    // A body cut short by the end of the file would pass for a short last
    // block, and a damaged file for a good one.
    if (ReadBase(m_pBlockBuffer.get(), static_cast<UINT>(nBody)) != static_cast<UINT>(nBody)) {
      ThrowDamaged("the stored block at byte " + std::to_string(nBlockAt) +
                   " is cut short by the end of the file");
    }
    m_nBlockLength = nBody;
  }
  m_nBlockRawLength = static_cast<WORD>(m_nBlockLength);
  return m_nBlockLength;
}

// --- Length and seeking ----------------------------------------------------

ULONGLONG COXCompressedFile::GetLength() const {
  if (!m_bOpen) ThrowState(CFileException::invalidFile, "The file is not open");
  if (m_bWriting) ThrowState(CFileException::accessDenied, "The length is known only when reading");
  if (!m_bLengthKnown) ScanLength();
  return static_cast<ULONGLONG>(m_nTotalLength);
}

UINT COXCompressedFile::ReadHeaderBytes(LONGLONG nOffset, BYTE* pBuf, UINT nCount) const {
  // Headers lie about a kilobyte apart: reading them in large pieces costs
  // one system call for many blocks instead of one per block.
  constexpr UINT kPiece = 64 * 1024;
  if (!m_pHeaderCache) m_pHeaderCache.reset(new BYTE[kPiece]);
  if (nOffset < m_nHeaderCacheStart || nOffset + nCount > m_nHeaderCacheStart + m_nHeaderCacheLength) {
    m_nHeaderCacheStart = nOffset;
    m_nHeaderCacheLength = ReadAt(static_cast<ULONGLONG>(nOffset), m_pHeaderCache.get(), kPiece);
  }
  const LONGLONG nAvailable = m_nHeaderCacheStart + m_nHeaderCacheLength - nOffset;
  const UINT n = static_cast<UINT>(std::max<LONGLONG>(0, std::min<LONGLONG>(nCount, nAvailable)));
  std::memcpy(pBuf, m_pHeaderCache.get() + (nOffset - m_nHeaderCacheStart), n);
  return n;
}

bool COXCompressedFile::ReadPlaceHeader(BlockPlace& place) const {
  BYTE b[4];
  if (ReadHeaderBytes(place.nFileOffset, b, 2) < 2) return false;
  place.nHeader = LoadWord(b);
  place.nLengthWord = 0;
  if (place.nHeader & kLengthWordBit) {
    if (ReadHeaderBytes(place.nFileOffset + 2, b + 2, 2) < 2) return false;
    place.nLengthWord = LoadWord(b + 2);
  }
  place.nDataLength = DataLengthOf(place.nHeader, place.nLengthWord);
  return true;
}

namespace {

// The block after one whose header has been read.
template <typename Place>
Place PlaceAfter(const Place& last) {
  Place place{};
  place.nFileOffset = BlockEnd(last.nFileOffset, last.nHeader);
  place.nDataStart = last.nDataStart + last.nDataLength;
  return place;
}

}  // namespace

bool COXCompressedFile::LocateBlock(LONGLONG nBlock) const {
  while (m_nBlocksLocated <= nBlock) {
    BlockPlace place{};
    if (m_nBlocksLocated == 0) {
      place.nFileOffset = m_nRawSize;
      place.nDataStart = 0;
    } else {
      place = PlaceAfter(m_lastPlace);
    }
    if (!ReadPlaceHeader(place)) return false;
    if (m_nBlocksLocated % kPlaceEvery == 0) m_blockPlaces.push_back(place);
    m_blockTable.push_back(place.nHeader);
    m_lastPlace = place;
    ++m_nBlocksLocated;
  }
  return true;
}

COXCompressedFile::BlockPlace COXCompressedFile::PlaceOf(LONGLONG nBlock) const {
  if (nBlock == m_nBlocksLocated - 1) return m_lastPlace;
  BlockPlace place = m_blockPlaces[static_cast<size_t>(nBlock / kPlaceEvery)];
  // The headers between were read once already, as the length was found.
  for (LONGLONG n = nBlock / kPlaceEvery * kPlaceEvery; n < nBlock; ++n) {
    place = PlaceAfter(place);
    if (!ReadPlaceHeader(place)) ThrowDamaged("it changed while it was being read");
  }
  return place;
}

LONGLONG COXCompressedFile::RecordedDataEnd() const {
  if (m_nBlocksLocated == 0) return 0;
  // Bodies are not read: one cut short by the end of the file is found when
  // its block is read.
  return m_lastPlace.nDataStart + m_lastPlace.nDataLength;
}

void COXCompressedFile::ScanLength() const {
  const UINT nGot = ReadAt(0, m_pScratch.get(), static_cast<UINT>(m_nRawSize));
  m_nRawRead = static_cast<WORD>(nGot);
  LONGLONG nTotal = nGot;
  if (static_cast<int>(nGot) == m_nRawSize) {
    LONGLONG nBlock = m_nBlocksLocated;
    while (LocateBlock(nBlock)) ++nBlock;
    nTotal += RecordedDataEnd();
  }
  if (nTotal > kMaxPosition) ThrowDamaged(kTooLarge);
  m_nTotalLength = static_cast<int>(nTotal);
  m_bLengthKnown = TRUE;
}

ULONGLONG COXCompressedFile::Seek(LONGLONG lOff, UINT nFrom) {
  if (m_bWriting) ThrowState(CFileException::invalidFile, "A compressed file being written cannot seek");
  if (!m_bOpen) ThrowState(CFileException::invalidFile, "The file is not open");
  LONGLONG nTarget;
  switch (nFrom) {
    case begin:
      nTarget = lOff;
      break;
    case current:
      nTarget = m_nPosition + lOff;
      break;
    case end:
      if (!m_bLengthKnown) ScanLength();
      if (lOff > 0) ThrowState(CFileException::endOfFile, "Cannot seek beyond the end of the data");
      nTarget = m_nTotalLength + lOff;
      break;
    default:
      ThrowState(CFileException::badSeek, "Unknown seek origin");
  }
  if (nTarget < 0) ThrowState(CFileException::badSeek, "Cannot seek before the start of the data");
  StopReadAhead();

  if (nTarget <= m_nRawSize) {
    if (m_nRawRead == 0 || nFrom == begin) {
      LoadPrefix();
    } else {
      SeekBase(m_nRawRead);
      m_nBlockLength = 0;
      m_nBlockDataStart = -1;
    }
    if (nTarget > m_nRawRead) {
      m_nPosition = m_nRawRead;
      m_nBlockOffset = m_nPosition;
      ThrowState(CFileException::endOfFile, "Cannot seek beyond the end of the data");
    }
    m_nPosition = static_cast<int>(nTarget);
    m_nBlockOffset = m_nPosition;
    return static_cast<ULONGLONG>(m_nPosition);
  }

  if (nFrom != begin && m_nBlockDataStart >= 0 && nTarget >= m_nBlockDataStart &&
      nTarget < m_nBlockDataStart + m_nBlockLength) {
    m_nBlockOffset = static_cast<int>(nTarget - m_nBlockDataStart);
    m_nPosition = static_cast<int>(nTarget);
    return static_cast<ULONGLONG>(m_nPosition);
  }

  if (m_nRawRead == 0 && m_nRawSize > 0)
    m_nRawRead = static_cast<WORD>(ReadAt(0, m_pScratch.get(), m_nRawSize));
  if (m_nRawRead < m_nRawSize) {
    // The file ends inside the prefix: the data end there.
    SeekBase(m_nRawRead);
    m_nBlockLength = 0;
    m_nBlockDataStart = -1;
    m_nPosition = m_nRawRead;
    m_nBlockOffset = m_nPosition;
    return static_cast<ULONGLONG>(m_nPosition);
  }
  SkipToBlock(nTarget);
  return static_cast<ULONGLONG>(m_nPosition);
}

void COXCompressedFile::SkipToBlock(LONGLONG nTarget) {
  const LONGLONG nBlock = (nTarget - m_nRawSize) / kBlockSize;
  const int nOffset = static_cast<int>((nTarget - m_nRawSize) % kBlockSize);
  m_nBlockLength = 0;
  m_nBlockOffset = 0;
  m_nBlockDataStart = -1;
  if (!LocateBlock(nBlock)) {
    // The data end before the target block: stop at their end, where the
    // next Read finds no header.
    const LONGLONG nEnd = m_nRawSize + RecordedDataEnd();
    if (nEnd > kMaxPosition) ThrowDamaged(kTooLarge);
    const LONGLONG nNextHeader =
        m_nBlocksLocated == 0 ? m_nRawSize : BlockEnd(m_lastPlace.nFileOffset, m_lastPlace.nHeader);
    SeekBase(nNextHeader);
    m_nPosition = static_cast<int>(nEnd);
    return;
  }
  const BlockPlace place = PlaceOf(nBlock);
  const LONGLONG nBlockStart = m_nRawSize + place.nDataStart;
  if (nBlockStart + std::min(nOffset, place.nDataLength) > kMaxPosition) {
    ThrowDamaged(kTooLarge);
  }
  SeekBase(place.nFileOffset + HeaderBytes(place.nHeader));
  LoadBlock(place.nHeader, place.nLengthWord);
  m_nBlockOffset = std::min(nOffset, m_nBlockLength);
  m_nBlockDataStart = nBlockStart;
  m_nPosition = static_cast<int>(nBlockStart + m_nBlockOffset);
}

// --- Writing ---------------------------------------------------------------

void COXCompressedFile::Write(const void* lpBuf, UINT nCount) {
  if (!m_bWriting) ThrowState(CFileException::accessDenied, "The file is not open for writing");
  if (m_nPosition + static_cast<LONGLONG>(nCount) > kMaxPosition) {
    throw CFileException(
        CFileException::diskFull, -1, {},
        "Cannot write to " + m_strFileName + ": a compressed file holds at most 2 GiB of data");
  }
  const BYTE* const pIn = static_cast<const BYTE*>(lpBuf);
  UINT nDone = WritePrefix(pIn, nCount);
  constexpr int kBatchBytes = kBatchBlocks * kBlockSize;
  if (nDone < nCount && !m_pFill) m_pFill = std::make_unique<Batch>();
  while (nDone < nCount) {
    const UINT nCopy = std::min<UINT>(nCount - nDone, static_cast<UINT>(kBatchBytes - m_nBatchFill));
    std::memcpy(m_pFill->pData.get() + m_nBatchFill, pIn + nDone, nCopy);
    nDone += nCopy;
    m_nBatchFill += static_cast<int>(nCopy);
    m_nPosition += static_cast<int>(nCopy);
    if (m_nBatchFill == kBatchBytes) {
      m_nBatchFill = 0;
      StoreWholeBlocks(kBatchBlocks);
    }
  }
}

UINT COXCompressedFile::WritePrefix(const BYTE* pBuf, UINT nCount) {
  if (m_nPosition >= m_nRawSize) return 0;
  const UINT nCopy = std::min<UINT>(nCount, static_cast<UINT>(m_nRawSize - m_nBlockOffset));
  std::memcpy(m_pBlockBuffer.get() + m_nBlockOffset, pBuf, nCopy);
  if (m_nPosition + static_cast<LONGLONG>(nCount) < m_nRawSize) {
    m_nPosition += static_cast<int>(nCount);
    m_nBlockOffset += static_cast<int>(nCount);
    return nCount;
  }
  WriteBase(m_pBlockBuffer.get(), static_cast<UINT>(m_nRawSize));
  const UINT nTaken = static_cast<UINT>(m_nRawSize - m_nPosition);
  m_nPosition = m_nRawSize;
  m_nBlockOffset = 0;
  return nTaken;
}

void COXCompressedFile::StoreBlock(BOOL bFinal) {
  BYTE* const pOut = m_pScratch.get();
  const int nData = m_nBlockOffset;
  // The stream goes where it will be written, after the header and the
  // length word; Compress never writes past its capacity of 1024.
  const int r = m_compressor.Compress(m_pBlockBuffer.get(), nData, pOut + 4, kBlockSize);
  if (r == -1 || r >= nData) {
    StoreWord(pOut, static_cast<WORD>(nData));
    WriteBase(pOut, 2);
    WriteBase(m_pBlockBuffer.get(), static_cast<UINT>(nData));
    m_nBlockRawLength = static_cast<WORD>(nData);
    return;
  }
  BYTE* pStart = pOut + 2;
  WORD nHeader = static_cast<WORD>(kCompressedBit | r);
  if (bFinal) {
    nHeader |= kLengthWordBit;
    pStart = pOut;
    StoreWord(pOut + 2, static_cast<WORD>(nData));
  }
  StoreWord(pStart, nHeader);
  WriteBase(pStart, static_cast<UINT>(pOut + 4 + r - pStart));
  m_nBlockRawLength = static_cast<WORD>(nData);
}

void COXCompressedFile::StoreWholeBlocks(int nBlocks) {
  std::unique_ptr<Batch> pDone = LandFlight();
  Batch& batch = *m_pFill;
  batch.nBlocks = nBlocks;
  batch.nNext = 0;
  // Threads pay only for enough blocks.
  if (nBlocks >= 32 && ThreadCount() > 1) {
    if (!m_pTeam) m_pTeam = std::make_unique<CThreadTeam>(ThreadCount());
    while (static_cast<int>(m_helpers.size()) < m_pTeam->Size() - 1) {
      m_helpers.push_back(std::make_unique<COXCompressor>());
    }
  }
  if (!m_pTeam || m_pTeam->Size() == 1 || nBlocks < 32) {
    if (pDone) WriteBatch(*pDone);
    batch.CompressShare(m_compressor);
    batch.Compress(m_compressor, nBlocks - 1);
    WriteBatch(batch);
    return;
  }
  // The helpers start on these blocks while this thread writes out the
  // earlier ones and gathers the next.
  m_pFlight = std::move(m_pFill);
  Batch* const pFlight = m_pFlight.get();
  m_pTeam->Start([this, pFlight](int i) { pFlight->CompressShare(*m_helpers[static_cast<size_t>(i - 1)]); });
  if (!pDone) {
    m_pFill = std::make_unique<Batch>();
    return;
  }
  m_pFill = std::move(pDone);
  WriteBatch(*m_pFill);
}

std::unique_ptr<COXCompressedFile::Batch> COXCompressedFile::LandFlight() {
  if (!m_pFlight) return nullptr;
  m_pFlight->CompressShare(m_compressor);
  m_pTeam->Wait();
  m_pFlight->Compress(m_compressor, m_pFlight->nBlocks - 1);
  return std::move(m_pFlight);
}

void COXCompressedFile::FinishFlight() {
  const std::unique_ptr<Batch> pDone = LandFlight();
  if (pDone) WriteBatch(*pDone);
}

void COXCompressedFile::DropFlight() noexcept {
  if (!m_pFlight) return;
  m_pFlight->nNext = m_pFlight->nBlocks;
  m_pTeam->Wait();
  m_pFlight.reset();
}

void COXCompressedFile::WriteBatch(const Batch& batch) {
  for (int k = 0; k < batch.nBlocks; ++k) {
    WriteBase(batch.pOut.get() + static_cast<size_t>(k) * Batch::kSlot, static_cast<UINT>(batch.nLengths[k]));
  }
  m_nBlockRawLength = static_cast<WORD>(kBlockSize);
}

void COXCompressedFile::FinishOutput(BOOL bFinal) {
  if (!m_bWriting) return;
  if (m_nPosition < m_nRawSize) {
    WriteBase(m_pBlockBuffer.get(), static_cast<UINT>(m_nPosition));
    return;
  }
  const int nWhole = m_nBatchFill / kBlockSize;
  const int nRest = m_nBatchFill % kBlockSize;
  m_nBatchFill = 0;
  // The last block is taken out first: the batch it lies in goes to the helpers.
  if (nRest > 0) {
    std::memcpy(m_pBlockBuffer.get(), m_pFill->pData.get() + static_cast<size_t>(nWhole) * kBlockSize,
                static_cast<size_t>(nRest));
  }
  if (nWhole > 0) StoreWholeBlocks(nWhole);
  FinishFlight();
  if (nRest > 0) {
    m_nBlockOffset = nRest;
    StoreBlock(bFinal);
  }
}

void COXCompressedFile::Close() {
  if (!m_bOpen) return;
  DropReadAhead();
  // A failure to write is reported, and the file is closed even then.
  try {
    FinishOutput(TRUE);
    m_nBlockOffset = 0;
    if (m_bWriting) FlushBase();
  } catch (...) {
    Abort();
    throw;
  }
  m_bOpen = FALSE;
  m_bWriting = FALSE;
  CFile::Close();
}

void COXCompressedFile::Abort() {
  DropReadAhead();
  DropFlight();
  m_nBatchFill = 0;
  m_nIoLength = 0;
  m_nIoNext = 0;
  CFile::Abort();
  m_bOpen = FALSE;
  m_bWriting = FALSE;
}

// --- Not offered -----------------------------------------------------------

CFile* COXCompressedFile::Duplicate() const {
  throw CNotSupportedException();
}
void COXCompressedFile::SetLength(ULONGLONG) {
  throw CNotSupportedException();
}
void COXCompressedFile::LockRange(ULONGLONG, ULONGLONG) {
  throw CNotSupportedException();
}
void COXCompressedFile::UnlockRange(ULONGLONG, ULONGLONG) {
  throw CNotSupportedException();
}
void COXCompressedFile::Flush() {
  throw CNotSupportedException();
}
