#pragma once
// A file whose callers see plain data while the disk holds it in blocks of
// 1024 bytes, each compressed or, where that does not pay, stored as it is.
// An optional number of leading bytes (the prefix) stays uncompressed.
//
// Layout: prefix, then blocks. A block is a 16-bit little-endian header
// (bit 15: the body is a compressed stream; bit 14: a 16-bit little-endian
// length word with the block's data length follows; bits 0-13: body length),
// the optional length word, then the body. Every block but the last holds
// 1024 data bytes. There is no file header, total length or checksum.
//
// A file is written from start to end, or read from start to end or with
// seeks. Damaged blocks (a body longer than 1024 bytes, a stream that does not
// expand to the block's data length) throw CFileException genericException.
#include <memory>
#include <string>
#include <vector>

#include "compress/block_expander.h"
#include "compress/compressor.h"
#include "compress/thread_team.h"
#include "platform/file.h"

class COXCompressedFile : public CFile {
 public:
  static constexpr int kBlockSize = 1024;
  static constexpr WORD kCompressedBit = 0x8000;
  static constexpr WORD kLengthWordBit = 0x4000;
  static constexpr WORD kBodyLengthMask = 0x3FFF;
  static constexpr UINT kIoSize = 256 * 1024;
  // Whole blocks gathered before they are compressed, several at once.
  static constexpr int kBatchBlocks = 1024;

  // nRawSize: the number of leading bytes kept uncompressed, 0 to 1024.
  explicit COXCompressedFile(int nRawSize = 0);
  // A writer's whole blocks are written out, as they would have been by
  // now were they not gathered for compression on all processors; the last
  // block, still being gathered, is lost (a writer calls Close). Closes the
  // file; a write that fails here cannot be reported.
  ~COXCompressedFile() override;

  // The threads that compress whole blocks, or expand them ahead of
  // sequential reads: 0 (the default) one per processor, at most 8; 1 the
  // caller's alone. Reads and files come out the same either way.
  void SetThreads(int nThreads) { m_nThreads = nThreads; }
  COXCompressedFile(const COXCompressedFile&) = delete;
  COXCompressedFile& operator=(const COXCompressedFile&) = delete;

  // Position in the uncompressed data.
  ULONGLONG GetPosition() const override;
  // Opens for reading (modeRead) or writing (modeCreate | modeWrite).
  // modeReadWrite returns FALSE with accessDenied and throws nothing.
  BOOL Open(const std::string& strFileName, UINT nOpenFlags, CFileException* pError = nullptr) override;
  // Reading only: moves in the uncompressed data, expanding only the block
  // that holds the target. Returns the new position; a target past the end of
  // the data stops at the end.
  ULONGLONG Seek(LONGLONG lOff, UINT nFrom) override;
  // Reading only: the total length of the uncompressed data. Leaves the
  // reading state as it was.
  ULONGLONG GetLength() const override;
  // Returns the bytes delivered: fewer than asked only at the end of the data.
  UINT Read(void* lpBuf, UINT nCount) override;
  void Write(const void* lpBuf, UINT nCount) override;
  // Writes what is still gathered (the last block) and closes; a failure to
  // write is thrown once the file is closed.
  void Close() override;
  // Closes without writing what is still gathered; never throws.
  void Abort() override;

  // Not offered: each throws CNotSupportedException.
  CFile* Duplicate() const override;
  void SetLength(ULONGLONG dwNewLen) override;
  void LockRange(ULONGLONG dwPos, ULONGLONG dwCount) override;
  void UnlockRange(ULONGLONG dwPos, ULONGLONG dwCount) override;
  void Flush() override;

 private:
  // Where a block lies in the file and in the data.
  struct BlockPlace {
    LONGLONG nFileOffset;  // of its header
    LONGLONG nDataStart;   // of its data, counted after the prefix
    WORD nHeader;
    WORD nLengthWord;
    int nDataLength;
  };

  UINT ReadPrefix(BYTE* pBuf, UINT nCount);
  UINT WritePrefix(const BYTE* pBuf, UINT nCount);
  int LoadBlock(WORD nHeader, WORD nLengthWord);
  // Reading: loads the block after the current one; false at the end of the
  // data. After a few blocks read in order, blocks come expanded ahead.
  bool NextBlock();
  bool NextBlockAhead();
  void FillAhead();
  // Drops the blocks read ahead and puts the file's position back after the
  // current block; DropReadAhead leaves the position as it is.
  void StopReadAhead();
  void DropReadAhead();
  // Moves the current block's data into the block buffer, off any batch.
  void KeepCurrentBlock();
  int ThreadCount() const;
  void StoreBlock(BOOL bFinal);
  // Whole blocks gathered for compression, and what became of them.
  struct Batch;
  // Stores the nBlocks whole blocks gathered in m_pFill, compressing them
  // on all processors. A whole block comes out the same whatever the
  // compressor handled before it (it fills the window entirely), so each
  // thread may use a compressor of its own; m_compressor takes the last one,
  // which leaves its window as if it had done them all. The helpers go on
  // with the blocks while the caller gathers the next ones; what they made
  // is written when that batch is stored, or by FinishFlight.
  void StoreWholeBlocks(int nBlocks);
  // Compresses what is left of the batch in flight on this thread, and
  // returns it once the helpers are done with it (null when none is).
  std::unique_ptr<Batch> LandFlight();
  // Writes out the batch in flight, if any.
  void FinishFlight();
  // Stops the helpers and drops the batch in flight; never throws.
  void DropFlight() noexcept;
  void WriteBatch(const Batch& batch);
  void FinishOutput(BOOL bFinal);
  void ScanLength() const;
  void SkipToBlock(LONGLONG nTarget);

  // Reads the prefix into the block buffer (the file is then at its end).
  void LoadPrefix();
  // Makes sure block nBlock is recorded, reading the headers up to it; false
  // when the data end before it.
  bool LocateBlock(LONGLONG nBlock) const;
  // Reads the header of the block at place.nFileOffset into place.
  bool ReadPlaceHeader(BlockPlace& place) const;
  // Where a recorded block lies (nBlock below m_nBlocksLocated).
  BlockPlace PlaceOf(LONGLONG nBlock) const;
  // Reads header bytes at nOffset of the file without moving its position.
  UINT ReadHeaderBytes(LONGLONG nOffset, BYTE* pBuf, UINT nCount) const;
  // End of the data described by the recorded blocks, counted after the prefix.
  LONGLONG RecordedDataEnd() const;
  static int DataLengthOf(WORD nHeader, WORD nLengthWord);

  // The underlying file, through one large buffer: reading and writing go
  // to the system in big pieces, not per block.
  UINT ReadBase(void* pBuf, UINT nCount);
  bool ReadBaseWord(WORD& nWord);
  void SeekBase(LONGLONG nOffset);
  void WriteBase(const void* pBuf, UINT nCount);
  void FlushBase();
  BYTE* IoBuffer();

  [[noreturn]] void ThrowDamaged(const std::string& strWhy) const;
  [[noreturn]] static void ThrowState(int cause, const char* pszWhy);

  mutable BOOL m_bLengthKnown = FALSE;
  BOOL m_bOpen = FALSE;
  BOOL m_bWriting = FALSE;
  COXCompressor m_compressor;
  int m_nPosition = 0;
  mutable int m_nTotalLength = 0;
  int m_nBlockOffset = 0;
  int m_nRawSize;
  int m_nBlockLength = 0;
  std::unique_ptr<BYTE[]> m_pBlockBuffer;
  mutable WORD m_nRawRead = 0;
  WORD m_nBlockRawLength = 0;
  // Header word of each block seen so far, in block order.
  mutable std::vector<WORD> m_blockTable;

  // Where every kPlaceEvery-th block lies: a table entry for every block
  // would cost ten times the file's size for a file of tiny blocks.
  static constexpr LONGLONG kPlaceEvery = 64;
  mutable std::vector<BlockPlace> m_blockPlaces;
  mutable BlockPlace m_lastPlace{};                       // of the last block recorded
  mutable LONGLONG m_nBlocksLocated = 0;                  // blocks recorded in m_blockTable
  std::unique_ptr<BYTE[]> m_pScratch;                     // a compressed body, or a block being stored
  LONGLONG m_nBaseOffset = 0;                             // position in the underlying file, buffer included
  std::unique_ptr<BYTE[]> m_pIo;                          // kIoSize bytes, made on first use
  LONGLONG m_nIoStart = 0;                                // reading: file offset of m_pIo[0]
  UINT m_nIoLength = 0;                                   // reading: bytes in m_pIo; writing: bytes waiting
  UINT m_nIoNext = 0;                                     // reading: next byte of m_pIo to hand out
  std::unique_ptr<Batch> m_pFill;                         // writing: blocks being gathered
  int m_nBatchFill = 0;                                   // writing: bytes in m_pFill
  std::unique_ptr<Batch> m_pFlight;                       // writing: blocks the helpers compress
  std::vector<std::unique_ptr<COXCompressor>> m_helpers;  // one per helper of m_pTeam
  std::unique_ptr<CThreadTeam> m_pTeam;                   // writing: made on first use
  mutable std::unique_ptr<BYTE[]> m_pHeaderCache;         // reading: a piece of the file, for headers
  mutable LONGLONG m_nHeaderCacheStart = 0;
  mutable UINT m_nHeaderCacheLength = 0;
  LONGLONG m_nBlockDataStart = -1;  // data position of the block in the buffer; -1 none
  int m_nThreads = 0;
  const BYTE* m_pBlockData = nullptr;                // reading: the current block's data
  int m_nBlocksInOrder = 0;                          // reading: blocks read in order since the last seek
  std::unique_ptr<COXBlockExpander> m_pAhead;        // reading: blocks expanded ahead, made on first use
  COXBlockExpander::Batch* m_pAheadBatch = nullptr;  // the batch being read, from block m_nAheadNext
  int m_nAheadNext = 0;
  LONGLONG m_nAheadResume = -1;  // file offset after the last block read from the batches; -1 none
  BOOL m_bAheadStopped = FALSE;  // the reading ahead met the end of the file or an irregular block
};
