#pragma once
// The caller and a few helper threads run one job at a time, all of them at
// once. The helpers live as long as the team and wait for the next job, so a
// stream of short jobs does not start (and map a stack for) a thread each.
#include <condition_variable>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

class CThreadTeam {
 public:
  // nThreads counts the caller's. A helper that cannot be started leaves its
  // share to the others.
  explicit CThreadTeam(int nThreads);
  ~CThreadTeam();
  CThreadTeam(const CThreadTeam&) = delete;
  CThreadTeam& operator=(const CThreadTeam&) = delete;

  // The threads that run each job, the caller's included.
  int Size() const { return static_cast<int>(m_threads.size()) + 1; }
  // Runs job(i) on every thread i of the team, 0 being the caller's, and
  // returns when all have returned. The job must not throw.
  void Run(const std::function<void(int)>& job);

 private:
  void Help(int i);

  std::mutex m_mutex;
  std::condition_variable m_cvPosted;  // a job was posted, or the helpers must stop
  std::condition_variable m_cvDone;    // the helpers have all finished the job
  const std::function<void(int)>* m_pJob = nullptr;
  unsigned m_nPosted = 0;  // jobs posted so far
  int m_nBusy = 0;         // helpers not done with the current job
  bool m_bStop = false;
  std::vector<std::thread> m_threads;
};
