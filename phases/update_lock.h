#pragma once
// One updater at a time in an installation folder: a hidden lock file in the
// folder (see CFolderLock), locked for the length of a run and removed when
// the run ends.
#include <string>

#include "phases/replace_journal.h"
#include "platform/folder_lock.h"

class CUpdateLock {
 public:
  // Locks the current directory. False when another updater holds it or the
  // lock cannot be taken (no permission, a read-only folder, a link or
  // anything but a regular file at the lock's name); strError then says so,
  // naming the folder and the reason, and nothing was changed. A lock file
  // that cannot be opened for writing cannot be taken.
  bool Acquire(std::string& strError) { return m_lock.Acquire(kLockFileName, strError); }

  // Removes the lock file and lets the next updater in.
  void Release() { m_lock.Release(); }

 private:
  CFolderLock m_lock;
};
