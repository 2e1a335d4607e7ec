#pragma once
// One updater at a time in an installation folder: a hidden lock file in the
// folder, locked for the length of a run and removed when the run ends. The
// lock is the system's (flock), so it goes with the process however the
// process ends; a lock file left by a killed run locks nothing.
#include <string>

class CUpdateLock {
 public:
  CUpdateLock() = default;
  ~CUpdateLock() { Release(); }
  CUpdateLock(const CUpdateLock&) = delete;
  CUpdateLock& operator=(const CUpdateLock&) = delete;

  // Locks the current directory. False when another updater holds it or the
  // lock cannot be taken (no permission, a read-only folder, a link or
  // anything but a regular file at the lock's name); strError then says so,
  // naming the folder and the reason, and nothing was changed. A lock file
  // that cannot be opened for writing cannot be taken.
  bool Acquire(std::string& strError);

  // Removes the lock file and lets the next updater in.
  void Release();

 private:
  int m_fd = -1;
};
