#pragma once
// A few helper threads that run one job at a time, all of them at once, while
// the caller goes on with its own work. The helpers live as long as the team
// and wait for the next job, so a stream of short jobs does not start (and map
// a stack for) a thread each.
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
  // A helper in the middle of a job finishes it first.
  ~CThreadTeam();
  CThreadTeam(const CThreadTeam&) = delete;
  CThreadTeam& operator=(const CThreadTeam&) = delete;

  // The threads of the team, the caller's included.
  int Size() const { return static_cast<int>(m_threads.size()) + 1; }
  // Has every helper i (1 to Size() - 1) run job(i), and returns at once.
  // The job must not throw; the next Start comes after Wait.
  void Start(std::function<void(int)> job);
  // Returns when every helper has returned from the job started last.
  void Wait();

 private:
  void Help(int i);

  std::mutex m_mutex;
  std::condition_variable m_cvPosted;  // a job was posted, or the helpers must stop
  std::condition_variable m_cvDone;    // the helpers have all finished the job
  std::function<void(int)> m_job;
  unsigned m_nPosted = 0;  // jobs posted so far
  int m_nBusy = 0;         // helpers not done with the current job
  bool m_bStop = false;
  std::vector<std::thread> m_threads;
};
