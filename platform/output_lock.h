#pragma once
// A lock that one qvnpack build at a time holds on its output folder, so that
// two builds into one folder cannot mix their files. It is the system's own:
// it goes with the process however the process ends, and leaves nothing in the
// folder (nothing that could be uploaded with it).
#include <cstdint>
#include <string>

class COutputLock {
 public:
  COutputLock() = default;
  ~COutputLock();
  COutputLock(const COutputLock&) = delete;
  COutputLock& operator=(const COutputLock&) = delete;

  // Locks the existing folder strFolder (UTF-8) without waiting. False when
  // another process holds it (bHeld) or it cannot be locked (strError says
  // why).
  bool TryLock(const std::string& strFolder, bool& bHeld, std::string& strError);

 private:
  std::intptr_t m_handle = -1;
};
