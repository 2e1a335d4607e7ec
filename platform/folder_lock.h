#pragma once
// An exclusive lock on a folder: a lock file in the current directory, locked
// for as long as this object holds it and removed when it lets go. The lock
// is the system's, so it goes with the process however the process ends; a
// lock file left by a killed run locks nothing.
#include <string>

class CFolderLock {
 public:
  CFolderLock() = default;
  ~CFolderLock() { Release(); }
  CFolderLock(const CFolderLock&) = delete;
  CFolderLock& operator=(const CFolderLock&) = delete;

  // Locks the current directory through the file pszName. False when another
  // process holds it or the lock cannot be taken (no permission, a read-only
  // folder, a link or anything but a regular file at the name); strError then
  // says so, naming the folder and the reason, and nothing was changed. A
  // lock file that cannot be opened for writing cannot be taken.
  bool Acquire(const char* pszName, std::string& strError);

  // Removes the lock file and lets the next process in.
  void Release();

 private:
  // What a second updater is told; nHolder is the holder's process ID, 0
  // when it could not be read.
  static std::string HeldMessage(unsigned long nHolder) {
    std::string str = "Another update is already running in this folder";
    if (nHolder > 0) str += " (process " + std::to_string(nHolder) + ")";
    return str + ". Wait until it has finished, then try again.";
  }

  int m_fd = -1;
  std::string m_strName;
};
