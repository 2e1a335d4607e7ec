#include "compress/thread_team.h"

#include <system_error>

CThreadTeam::CThreadTeam(int nThreads) {
  for (int i = 1; i < nThreads; ++i) {
    try {
      m_threads.emplace_back([this, i] { Help(i); });
    } catch (const std::system_error&) {
      break;
    }
  }
}

CThreadTeam::~CThreadTeam() {
  {
    const std::lock_guard<std::mutex> lock(m_mutex);
    m_bStop = true;
  }
  m_cvPosted.notify_all();
  for (std::thread& t : m_threads) t.join();
}

void CThreadTeam::Start(std::function<void(int)> job) {
  {
    const std::lock_guard<std::mutex> lock(m_mutex);
    m_job = std::move(job);
    ++m_nPosted;
    m_nBusy = static_cast<int>(m_threads.size());
  }
  m_cvPosted.notify_all();
}

void CThreadTeam::Wait() {
  std::unique_lock<std::mutex> lock(m_mutex);
  m_cvDone.wait(lock, [this] { return m_nBusy == 0; });
}

void CThreadTeam::Help(int i) {
  unsigned nDone = 0;  // jobs this helper has run
  std::unique_lock<std::mutex> lock(m_mutex);
  for (;;) {
    m_cvPosted.wait(lock, [&] { return m_bStop || m_nPosted != nDone; });
    if (m_bStop) return;
    nDone = m_nPosted;
    const std::function<void(int)>& job = m_job;
    lock.unlock();
    job(i);
    lock.lock();
    if (--m_nBusy == 0) m_cvDone.notify_one();
  }
}
