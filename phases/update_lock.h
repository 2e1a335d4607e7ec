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
  // lock cannot be taken; strError then says so in words for the user. A
  // folder in which no file can be created is not locked (no updater can
  // change anything in it) and gives true.
  bool Acquire(std::string& strError);

  // Removes the lock file and lets the next updater in.
  void Release();

 private:
  int m_fd = -1;
};
