#pragma once
// All or nothing for the replacement of installed files.
//
// Before the first installed file is overwritten, a journal naming every
// target, whether it existed and where its previous version is kept is
// written to the installation folder and flushed to disk. The previous
// version of each existing target is kept beside it as a hidden backup (a
// second name for the same file where the file system allows, a copy
// otherwise). Only when every copy has succeeded is the journal marked as
// committed (one rename); then the backups and the journal go.
//
// A failure before the commit puts every target back: backups are renamed
// over their targets, files the update added are removed, and so are the
// folders it added once they are empty. A process that dies on the way
// (killed, power lost) leaves the journal behind, and the next run does the
// same from it before anything else (RecoverInterruptedReplacement). A
// committed journal found at start only needs its backups removed.
//
// Every step that the next run relies on is on disk before the step that
// depends on it starts: each folder is synced once per step (backups, clean-up,
// putting back), not once per file, and the new files all at once (their file
// system's sync) just before the commit; until the commit the backups count.
//
// Every step goes through CInstallFolder: nothing is reached through a
// symbolic link, and clean-up removes only names the journal records (each
// target's backup and copy temporary, the folders the update added).
#include <functional>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "manifest/updater_names.h"
#include "phases/journal_text.h"
#include "platform/install_folder.h"
#include "platform/types.h"

// True when strTarget (a safe relative name) can be replaced without
// following a link: no folder on its way is a symbolic link, and it is not a
// FIFO, socket or device. *pReason says what is wrong otherwise; *pbCannotLook
// is set when this user may not look there (a folder that cannot be
// searched), which says nothing against the name.
bool IsConfinedTarget(const CInstallFolder& folder, const std::string& strTarget, std::string* pReason,
                      bool* pbCannotLook = nullptr);

class CReplaceJournal {
 public:
  CReplaceJournal();
  // Puts everything back when the replacement was begun and neither
  // committed nor rolled back (an exception passing through). Never throws.
  ~CReplaceJournal();
  CReplaceJournal(const CReplaceJournal&) = delete;
  CReplaceJournal& operator=(const CReplaceJournal&) = delete;

  // Plans the replacement of strTarget (a safe relative name). A name given
  // twice is one target. Looks at the disk: call before Begin.
  void AddTarget(const std::string& strTarget);

  // Writes the journal and makes it durable. Nothing is changed before this
  // returns true; on false, strError says why and nothing was changed.
  bool Begin(std::string& strError);

  // Keeps the present version of every existing target. On false, strTarget
  // and strError name the target and the system's reason; roll back then.
  bool BackUp(std::string& strTarget, std::string& strError);

  // Replaces strTarget (a planned target) by a copy of strSource (a file in
  // the installation folder itself), whole or not at all. A replaced file
  // keeps its permission bits less set-user-ID and set-group-ID (and, run by
  // the administrator, its owner and group); a new one gets 0644, a new
  // folder 0755. With pSource, strSource must be that file (the one the
  // update wrote there). On false strError gives the system's reason; roll
  // back then.
  bool Install(const std::string& strSource, const CInstallFolder::FileId* pSource,
               const std::string& strTarget, std::string& strError);

  // Makes the new files final. On false (strError) nothing is final: roll back.
  bool Commit(std::string& strError);

  // After Commit: removes the backups and the journal. What cannot be removed
  // now is removed at the next start; false, with the first name and reason
  // in strError, then.
  bool Finish(std::string& strError);

  // Before Commit: puts every target back as it was and removes the journal.
  // On false, strError names what could not be put back; the journal then
  // stays, so that the next start tries again.
  bool RollBack(std::string& strError);

  // One planned target.
  using Entry = JournalEntry;

 private:
  enum class State { kPlanning, kBegun, kCommitted, kDone };

  CInstallFolder m_folder;
  int m_nFolderError = 0;                          // why the installation folder could not be opened
  std::vector<std::string> m_arrInstalledFolders;  // folders of the targets installed so far

  // Up to this many targets, each new file is synced as it is copied; past
  // it, the file systems are synced once at the commit.
  static constexpr size_t kSyncEachFileUpTo = 32;
  bool SyncsEachFile() const;
  std::vector<Entry> m_arrEntries;
  std::vector<bool> m_arrBackedUp;             // by entry: BackUp made its backup
  std::vector<bool> m_arrInstalled;            // by entry: Install put the new file in place
  std::vector<std::string> m_arrAddedFolders;  // folders the update creates, outer ones first
  // The same, for look-ups that stay cheap with tens of thousands of files.
  std::unordered_map<std::string, size_t> m_mapTargets;  // to its entry
  std::unordered_set<std::string> m_setAddedFolders;
  State m_state = State::kPlanning;
};

enum class RecoveryResult {
  kNothing,     // no interrupted replacement
  kRestored,    // an interrupted replacement was undone: the previous files are back
  kFinished,    // a replacement killed after its commit was tidied up: the new files stay
  kFailed,      // it could not be undone (strError says why); the journal stays
  kTidyFailed,  // one killed after its commit could not be tidied up (strError); the new files stay
  kNoFolder,    // the installation folder itself cannot be opened (strError says why)
};

// Undoes (or finishes tidying) a replacement that a killed run left in the
// current directory. Call before anything else touches the installation,
// with the update lock held.
RecoveryResult RecoverInterruptedReplacement(std::string& strError);

// Told of each step of a replacement that the next run must be able to take
// up from: "journal", "backup-2", "copy-1", "commit", "cleanup", "restore-1",
// ... (a number n > 0 is appended as "-n"). The tests stop the process there,
// as a power cut or a Ctrl-C would; the shipped program sets none.
using ReplaceStepObserver = std::function<void(const char* pszStep)>;
void SetReplaceStepObserver(ReplaceStepObserver observer);

// Tells the observer, if one is set, that step pszStep (number n) is done.
void NotifyReplaceStep(const char* pszStep, int n = 0);
