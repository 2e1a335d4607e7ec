#pragma once
// Expands the compressed blocks of a file ahead of its reader, on helper
// threads. The reader fills batches of blocks as they lie in the file and
// submits them; they come back expanded in the order submitted. At most
// 2 x threads batches exist, so memory stays bounded whatever the file's size.
// One thread (the reader's) uses the object; the helpers are its own.
#include <condition_variable>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "platform/file.h"

class COXBlockExpander {
 public:
  static constexpr int kBatchBlocks = 64;
  static constexpr int kBlockSize = 1024;

  struct Block {
    LONGLONG nFileOffset;  // of its header
    WORD nHeader;
    WORD nLengthWord;
    int nExpected;    // the data length its header gives
    int nBodyAt;      // where its body lies in the batch's input
    int nBodyRead;    // body bytes the file holds, at most the body length
    int nResult;      // compressed blocks: what COXCompressor::ExpandAlone returned
    BOOL bIrregular;  // the header does not describe a block; not read further
  };
  struct Batch {
    Block arrBlocks[kBatchBlocks];
    int nBlocks = 0;
    BOOL bLast = FALSE;  // no block follows: the file ends, or an irregular block stopped the reading
    std::unique_ptr<BYTE[]> pInput;   // bodies, one after the other
    std::unique_ptr<BYTE[]> pOutput;  // block k expanded at k * kBlockSize
    const BYTE* DataOf(int k) const;  // a block's data: its output, or its body when stored
  };

  // nThreads: the threads that expand, the reader's included (at least 2).
  explicit COXBlockExpander(int nThreads);
  ~COXBlockExpander();
  COXBlockExpander(const COXBlockExpander&) = delete;
  COXBlockExpander& operator=(const COXBlockExpander&) = delete;

  // A batch to fill, or null when every batch is in flight; Submit hands the
  // filled batch over.
  Batch* FreeBatch();
  void Submit();
  // The batch submitted first and not yet released, expanded (here, or by a
  // helper while this thread expands later ones); null when none is in flight.
  Batch* Oldest();
  void ReleaseOldest();
  // Drops every batch in flight, once the helpers have put them down.
  void Reset();

 private:
  enum State { kFree, kQueued, kWorking, kDone };
  void Work();
  // The oldest batch queued and not taken; the batch count when there is none.
  size_t NextQueued() const;
  // Expands the oldest queued batch, unlocking while it works; false when
  // none is queued.
  bool ExpandNextQueued(std::unique_lock<std::mutex>& lock);
  static void ExpandBatch(Batch& batch);

  std::mutex m_mutex;
  std::condition_variable m_cvQueued;  // a batch was queued, or the helpers must stop
  std::condition_variable m_cvDone;    // a batch was expanded
  std::vector<std::unique_ptr<Batch>> m_arrBatches;
  std::vector<State> m_arrStates;
  size_t m_nHead = 0;   // the oldest batch in flight
  size_t m_nCount = 0;  // batches in flight, from m_nHead on, in a ring
  bool m_bStop = false;
  std::vector<std::thread> m_threads;
};
