#include "compress/block_expander.h"

#include <system_error>

#include "compress/compressor.h"

namespace {

constexpr WORD kCompressedBit = 0x8000;

}  // namespace

const BYTE* COXBlockExpander::Batch::DataOf(int k) const {
  const Block& b = arrBlocks[k];
  if (b.nHeader & kCompressedBit) return pOutput.get() + static_cast<size_t>(k) * kBlockSize;
  return pInput.get() + b.nBodyAt;
}

COXBlockExpander::COXBlockExpander(int nThreads) {
  const size_t nBatches = 2 * static_cast<size_t>(nThreads);
  for (size_t i = 0; i < nBatches; ++i) {
    auto pBatch = std::make_unique<Batch>();
    pBatch->pInput.reset(new BYTE[static_cast<size_t>(kBatchBlocks) * kBlockSize]);
    pBatch->pOutput.reset(new BYTE[static_cast<size_t>(kBatchBlocks) * kBlockSize]);
    m_arrBatches.push_back(std::move(pBatch));
  }
  m_arrStates.assign(nBatches, kFree);
  // A helper that cannot be started leaves its share to the others.
  for (int i = 1; i < nThreads; ++i) {
    try {
      m_threads.emplace_back([this] { Work(); });
    } catch (const std::system_error&) {
      break;
    }
  }
}

COXBlockExpander::~COXBlockExpander() {
  {
    const std::lock_guard<std::mutex> lock(m_mutex);
    m_bStop = true;
  }
  m_cvQueued.notify_all();
  for (std::thread& t : m_threads) t.join();
}

COXBlockExpander::Batch* COXBlockExpander::FreeBatch() {
  const std::lock_guard<std::mutex> lock(m_mutex);
  if (m_nCount == m_arrBatches.size()) return nullptr;
  return m_arrBatches[(m_nHead + m_nCount) % m_arrBatches.size()].get();
}

void COXBlockExpander::Submit() {
  {
    const std::lock_guard<std::mutex> lock(m_mutex);
    m_arrStates[(m_nHead + m_nCount) % m_arrBatches.size()] = kQueued;
    ++m_nCount;
  }
  m_cvQueued.notify_one();
}

COXBlockExpander::Batch* COXBlockExpander::Oldest() {
  std::unique_lock<std::mutex> lock(m_mutex);
  if (m_nCount == 0) return nullptr;
  // While a helper still works on the oldest, this thread takes on the next
  // batches nobody has taken rather than wait idle (on a busy machine the
  // helper may not run for a while).
  while (m_arrStates[m_nHead] != kDone) {
    if (!ExpandNextQueued(lock)) m_cvDone.wait(lock);
  }
  return m_arrBatches[m_nHead].get();
}

size_t COXBlockExpander::NextQueued() const {
  for (size_t k = 0; k < m_nCount; ++k) {
    const size_t i = (m_nHead + k) % m_arrBatches.size();
    if (m_arrStates[i] == kQueued) return i;
  }
  return m_arrBatches.size();
}

void COXBlockExpander::ReleaseOldest() {
  const std::lock_guard<std::mutex> lock(m_mutex);
  m_arrStates[m_nHead] = kFree;
  m_nHead = (m_nHead + 1) % m_arrBatches.size();
  --m_nCount;
}

void COXBlockExpander::Reset() {
  std::unique_lock<std::mutex> lock(m_mutex);
  m_cvDone.wait(lock, [&] {
    for (State s : m_arrStates) {
      if (s == kWorking) return false;
    }
    return true;
  });
  m_arrStates.assign(m_arrStates.size(), kFree);
  m_nHead = 0;
  m_nCount = 0;
}

void COXBlockExpander::Work() {
  std::unique_lock<std::mutex> lock(m_mutex);
  for (;;) {
    if (m_bStop) return;
    if (!ExpandNextQueued(lock)) m_cvQueued.wait(lock);
  }
}

bool COXBlockExpander::ExpandNextQueued(std::unique_lock<std::mutex>& lock) {
  // The oldest queued batch first: the reader waits for them in order.
  const size_t nTaken = NextQueued();
  if (nTaken == m_arrBatches.size()) return false;
  m_arrStates[nTaken] = kWorking;
  lock.unlock();
  ExpandBatch(*m_arrBatches[nTaken]);
  lock.lock();
  m_arrStates[nTaken] = kDone;
  m_cvDone.notify_all();
  return true;
}

void COXBlockExpander::ExpandBatch(Batch& batch) {
  for (int k = 0; k < batch.nBlocks; ++k) {
    Block& b = batch.arrBlocks[k];
    if (b.bIrregular || !(b.nHeader & kCompressedBit)) continue;
    b.nResult =
        COXCompressor::ExpandAlone(batch.pInput.get() + b.nBodyAt, b.nBodyRead,
                                   batch.pOutput.get() + static_cast<size_t>(k) * kBlockSize, kBlockSize);
  }
}
