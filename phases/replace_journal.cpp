#include "phases/replace_journal.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <utility>

#include "phases/journal_text.h"
#include "platform/copy_file.h"
#include "platform/file.h"

namespace {

// What to do about a journal that cannot be followed: removing it alone
// would leave a mix of old and new files and their backups.
constexpr const char* kByHand =
    "the installation may hold files of both versions: each hidden .NAME.qvnupdate-old beside a file "
    "holds the previous version of NAME. Put those back, remove the files the journal lists as \"file 0\" "
    "and the folders it lists as \"folder\" (the update added them), or reinstall; then remove the journal "
    "to go on";

// A journal never comes near this; a larger file is not one of ours.
constexpr ULONGLONG kMaxJournalSize = 64 * 1024 * 1024;

using Kind = CInstallFolder::Kind;

// By hand: a path from a std::string is read in Windows' ANSI code page, not as UTF-8.
std::string Folder(const std::string& strPath) {
  const size_t nSlash = strPath.rfind('/');
  return nSlash == std::string::npos ? std::string() : strPath.substr(0, nSlash);
}

std::string Describe(const std::string& strName, int nError) {
  return strName + ": " + CInstallFolder::ErrorText(nError);
}

// Makes the entries of each folder durable, once each.
void SyncFolders(const CInstallFolder& folder, std::vector<std::string> arrFolders) {
  std::sort(arrFolders.begin(), arrFolders.end());
  arrFolders.erase(std::unique(arrFolders.begin(), arrFolders.end()), arrFolders.end());
  for (const auto& strFolder : arrFolders) folder.SyncFolder(strFolder);
}

// Removes the name of a file (or link) if it is there.
int RemoveIfThere(const CInstallFolder& folder, const std::string& strName) {
  const int nError = folder.Remove(strName);
  return CInstallFolder::IsMissing(nError) || nError == CInstallFolder::kNotAFolder ? 0 : nError;
}

// Writes strText to strName so that the file is on disk, whole, under its
// name when this returns true; never a part of it.
bool WriteDurably(const CInstallFolder& folder, const std::string& strName, const std::string& strText,
                  std::string& strError) {
  int nError = RemoveIfThere(folder, kJournalDraftName);
  CFile file;
  if (nError == 0) nError = folder.Create(kJournalDraftName, 0600, file, nullptr, true);
  if (nError != 0) {
    strError = Describe(kJournalDraftName, nError);
    return false;
  }
  try {
    file.Write(strText.data(), static_cast<UINT>(strText.size()));
    file.Flush();
    file.Close();
  } catch (const CFileException& e) {
    file.Abort();
    folder.Remove(kJournalDraftName);
    strError = e.GetErrorMessage();
    return false;
  }
  nError = folder.Rename(kJournalDraftName, strName);
  if (nError != 0) {
    folder.Remove(kJournalDraftName);
    strError = Describe(kJournalDraftName, nError);
    return false;
  }
  folder.SyncFolder("");
  return true;
}

// What a run knows of its own steps, by entry: which targets it kept a
// backup of and which it replaced.
struct RunSteps {
  const std::vector<bool>& arrBackedUp;
  const std::vector<bool>& arrInstalled;
};

// Puts every target back as it was before the update and removes the folders
// that the update added; the journal goes once all is back. pSteps, from the
// run itself, says what it did: whatever stands at another's backup name is
// not the run's own and is left alone, and a target it did not replace stays
// as it is. Without it (a journal found at start) every backup found is
// taken (backups are made under another name and only then given theirs),
// and every target added is removed.
bool RestoreEntries(const CInstallFolder& folder, const std::vector<JournalEntry>& arrEntries,
                    const std::vector<std::string>& arrFolders, const std::string& strJournal,
                    const RunSteps* pSteps, std::string& strError) {
  bool bAllBack = true;
  auto fail = [&](const std::string& strName, int nError) {
    if (bAllBack) strError = Describe(strName, nError);
    bAllBack = false;
  };
  std::vector<std::string> arrTouched;
  int nStep = 0;
  for (auto it = arrEntries.rbegin(); it != arrEntries.rend(); ++it) {
    if (const int nError = RemoveIfThere(folder, CopyTempName(it->strTarget)); nError != 0) {
      fail(it->strTarget, nError);
    }
    const size_t nIndex = static_cast<size_t>(arrEntries.rend() - it) - 1;
    // A target the run did not replace may not be the file it backed up or
    // found missing: a copy put back over it would change its owner, a file
    // removed would be someone else's.
    const bool bReplaced = pSteps == nullptr || pSteps->arrInstalled[nIndex];
    CInstallFolder::Entry target;
    CInstallFolder::Entry backup;
    int nError = folder.Stat(it->strTarget, target);
    if (nError == 0) nError = folder.Stat(it->strBackup, backup);
    if (nError != 0) {
      fail(it->strTarget, nError);
    } else if (it->bExisted) {
      if (pSteps != nullptr && !pSteps->arrBackedUp[nIndex]) backup.kind = Kind::kMissing;
      // No backup: the target was never touched. A backup that is still the
      // target's second name: the same (rename would do nothing between two
      // names of one file and keep both).
      if (backup.kind == Kind::kMissing) {
        nError = 0;
      } else if (!bReplaced || (target.kind != Kind::kMissing && backup.nDevice == target.nDevice &&
                                backup.nInode == target.nInode)) {
        // The target is as it was. Its second name can outlive a program
        // holding the file (Windows refuses to remove it then): the next
        // run's Begin clears it, so it is no reason to keep the journal.
        folder.Remove(it->strBackup);
        nError = 0;
      } else {
        nError = folder.Rename(it->strBackup, it->strTarget);
      }
      if (nError != 0) fail(it->strTarget, nError);
    } else if (bReplaced && target.kind != Kind::kMissing && target.kind != Kind::kFolder) {
      if (nError = folder.Remove(it->strTarget); nError != 0 && !CInstallFolder::IsMissing(nError)) {
        fail(it->strTarget, nError);
      }
    }
    arrTouched.push_back(Folder(it->strTarget));
    NotifyReplaceStep("restore", ++nStep);
  }
  for (auto it = arrFolders.rbegin(); it != arrFolders.rend(); ++it) {
    if (folder.RemoveFolder(*it) == 0) arrTouched.push_back(Folder(*it));
  }
  SyncFolders(folder, arrTouched);
  if (!bAllBack) return false;
  folder.Remove(strJournal);
  folder.SyncFolder("");
  return true;
}

// After the commit: the new files stay, their backups go, then the journal.
// With bCopiesLeft (a run that died), so do copies it may have left half-way.
bool RemoveBackups(const CInstallFolder& folder, const std::vector<JournalEntry>& arrEntries,
                   const std::string& strJournal, bool bCopiesLeft, std::string& strError) {
  bool bAllGone = true;
  std::vector<std::string> arrTouched;
  for (const auto& entry : arrEntries) {
    int nError = bCopiesLeft ? RemoveIfThere(folder, CopyTempName(entry.strTarget)) : 0;
    if (nError == 0 && entry.bExisted) nError = RemoveIfThere(folder, entry.strBackup);
    if (nError != 0) {
      if (bAllGone) strError = Describe(entry.strBackup, nError);
      bAllGone = false;
    }
    arrTouched.push_back(Folder(entry.strTarget));
  }
  SyncFolders(folder, arrTouched);
  NotifyReplaceStep("cleanup");
  if (!bAllGone) return false;
  folder.Remove(strJournal);
  folder.SyncFolder("");
  return true;
}

bool ReadJournal(const CInstallFolder& folder, const std::string& strName, std::string& strText,
                 std::string& strError) {
  CFile file;
  const int nError = folder.OpenForReading(strName, file);
  if (nError != 0) {
    strError = nError == CInstallFolder::kNotAFile ? strName + ": not a journal of this updater"
                                                   : Describe(strName, nError);
    return false;
  }
  try {
    const ULONGLONG nLength = file.GetLength();
    if (nLength > kMaxJournalSize) {
      strError = strName + ": not a journal of this updater";
      return false;
    }
    strText.resize(static_cast<size_t>(nLength));
    strText.resize(file.Read(strText.data(), static_cast<UINT>(nLength)));
  } catch (const CFileException& e) {
    strError = e.GetErrorMessage();
    return false;
  }
  return true;
}

// True when backup has an owner the updater's backup of strTarget can have:
// this process's user (a copy) or the target's owner (a second name, or a
// copy made by the administrator for that owner).
bool IsBackupOwner(const CInstallFolder& folder, const std::string& strTarget,
                   const CInstallFolder::Entry& backup) {
  CInstallFolder::Entry target;
  if (folder.Stat(strTarget, target) != 0) target.kind = Kind::kMissing;
  return CInstallFolder::IsOwnedByThisUserOr(backup, target);
}

// Every entry of a journal found at start must name what the updater itself
// could have made, reached without a link: otherwise nothing is touched.
bool CheckEntries(const CInstallFolder& folder, const std::vector<JournalEntry>& arrEntries,
                  const std::vector<std::string>& arrFolders, std::string& strWhy) {
  std::string strReason;
  for (const auto& entry : arrEntries) {
    CInstallFolder::Entry backup;
    int nError = 0;
    if (IsUpdaterFileName(entry.strTarget, &strReason) ||
        !IsConfinedTarget(folder, entry.strTarget, &strReason)) {
    } else if ((nError = folder.Stat(entry.strBackup, backup)) != 0) {
      strReason = CInstallFolder::ErrorText(nError);
    } else if (backup.kind == Kind::kFolder || backup.kind == Kind::kSpecial) {
      strReason = "its backup is not a file";
    } else if (backup.kind != Kind::kMissing && !IsBackupOwner(folder, entry.strTarget, backup)) {
      // In a folder others may write to, a file of theirs at a backup's name
      // would be put in place of one they cannot touch.
      strReason = "its backup belongs to another user";
    } else {
      continue;
    }
    strWhy = "it names \"" + entry.strTarget + "\": " + strReason;
    return false;
  }
  for (const auto& strFolder : arrFolders) {
    CInstallFolder::Entry entry;
    int nError = 0;
    if (!IsConfinedTarget(folder, strFolder, &strReason)) {
    } else if ((nError = folder.Stat(strFolder, entry)) != 0) {
      strReason = CInstallFolder::ErrorText(nError);
    } else if (entry.kind != Kind::kMissing && entry.kind != Kind::kFolder) {
      strReason = "it is not a folder";
    } else {
      continue;
    }
    strWhy = "it names the folder \"" + strFolder + "\": " + strReason;
    return false;
  }
  return true;
}

}  // namespace

bool IsConfinedTarget(const CInstallFolder& folder, const std::string& strTarget, std::string* pReason,
                      bool* pbCannotLook) {
  std::string strWhy;
  CInstallFolder::Entry entry;
  for (size_t nSlash = strTarget.find('/');; nSlash = strTarget.find('/', nSlash + 1)) {
    const std::string strPart = strTarget.substr(0, nSlash);
    const int nError = folder.Stat(strPart, entry);
    if (nError != 0) {
      strWhy = CInstallFolder::ErrorText(nError);
      if (pbCannotLook != nullptr) *pbCannotLook = CInstallFolder::IsAccessDenied(nError);
    } else if (entry.kind == Kind::kLink && nSlash != std::string::npos) {
      strWhy = "\"" + strPart + "\" is a symbolic link";
    } else if (entry.kind == Kind::kSpecial) {
      strWhy = (nSlash == std::string::npos ? std::string("it") : "\"" + strPart + "\"") +
               " is a FIFO, socket or device";
    }
    // A missing folder or a file in the way: nothing beyond can be reached.
    if (!strWhy.empty() || nSlash == std::string::npos || entry.kind != Kind::kFolder) break;
  }
  if (strWhy.empty()) return true;
  if (pReason != nullptr) *pReason = strWhy;
  return false;
}

CReplaceJournal::CReplaceJournal() : m_nFolderError(m_folder.Open()) {}

CReplaceJournal::~CReplaceJournal() {
  try {
    std::string strError;
    if (m_state == State::kBegun) RollBack(strError);
    if (m_state == State::kCommitted) Finish(strError);
  } catch (...) {
    // Whatever could not be put back now is put back at the next start.
  }
}

void CReplaceJournal::AddTarget(const std::string& strTarget) {
  if (!m_mapTargets.emplace(strTarget, m_arrEntries.size()).second) return;
  Entry entry;
  entry.strTarget = strTarget;
  entry.strBackup = BackupName(strTarget);
  CInstallFolder::Entry found;
  entry.bExisted = m_folder.Stat(strTarget, found) != 0 || found.kind != Kind::kMissing ? TRUE : FALSE;
  m_arrEntries.push_back(entry);

  // The folders on the way that the copy will create, outer ones first.
  for (size_t nSlash = strTarget.find('/'); nSlash != std::string::npos;
       nSlash = strTarget.find('/', nSlash + 1)) {
    const std::string strFolder = strTarget.substr(0, nSlash);
    if (m_folder.Stat(strFolder, found) != 0 || found.kind != Kind::kMissing) continue;
    if (m_setAddedFolders.insert(strFolder).second) m_arrAddedFolders.push_back(strFolder);
  }
}

bool CReplaceJournal::Begin(std::string& strError) {
  if (m_nFolderError != 0) {
    strError = Describe(".", m_nFolderError);
    return false;
  }
  CInstallFolder::Entry journal;
  CInstallFolder::Entry committed;
  if (m_folder.Stat(kJournalName, journal) != 0 || m_folder.Stat(kCommittedJournalName, committed) != 0 ||
      journal.kind != Kind::kMissing || committed.kind != Kind::kMissing) {
    strError = "an interrupted update has not been put right yet";
    return false;
  }
  // A backup or copy name that is taken already would be taken for the
  // target's previous or new version if the run stopped half-way. Both names
  // are the updater's own; no item can have them.
  for (const auto& entry : m_arrEntries) {
    for (const std::string& strName : {entry.strBackup, CopyTempName(entry.strTarget)}) {
      if (const int nError = RemoveIfThere(m_folder, strName); nError != 0) {
        strError = Describe(strName, nError);
        return false;
      }
    }
  }
  if (!WriteDurably(m_folder, kJournalName, FormatJournal(m_arrEntries, m_arrAddedFolders), strError))
    return false;
  m_arrBackedUp.assign(m_arrEntries.size(), false);
  m_arrInstalled.assign(m_arrEntries.size(), false);
  m_state = State::kBegun;
  NotifyReplaceStep("journal");
  return true;
}

bool CReplaceJournal::BackUp(std::string& strTarget, std::string& strError) {
  int nStep = 0;
  std::vector<std::string> arrTouched;
  for (const auto& entry : m_arrEntries) {
    CInstallFolder::Entry target;
    strTarget = entry.strTarget;
    if (const int nError = m_folder.Stat(entry.strTarget, target); nError != 0) {
      strError = CInstallFolder::ErrorText(nError);
      return false;
    }
    // A folder is not replaced (its copy fails); nothing to keep.
    if (!entry.bExisted || target.kind == Kind::kMissing || target.kind == Kind::kFolder) continue;
    if (target.kind == Kind::kSpecial) {
      strError = "it is a FIFO, socket or device";
      return false;
    }
    // A file that a running program holds could be neither replaced nor, with
    // a second name, cleaned up after: refused before it gets one.
    if (const int nHeld = m_folder.CheckNotHeld(entry.strTarget); nHeld != 0) {
      strError = CInstallFolder::ErrorText(nHeld);
      return false;
    }
    // Begin cleared the backup's name; whatever stands there since is refused (EEXIST).
    // A second name for the file costs neither time nor space; where the file
    // system has none, a copy does.
    const int nError = m_folder.Link(entry.strTarget, entry.strBackup);
    if (nError != 0 && !CInstallFolder::IsLinkUnsupported(nError)) {
      strError = CInstallFolder::ErrorText(nError);
      return false;
    }
    if (nError != 0) {
      // Copied under the copy's name and renamed once whole: a backup's name
      // never holds part of a file, which a rollback would put in place.
      const std::string strCopy = CopyTempName(entry.strTarget);
      CFile in;
      CFile out;
      int nCopyError = m_folder.OpenForReading(entry.strTarget, in);
      if (nCopyError == 0) nCopyError = m_folder.Create(strCopy, target.nMode & 0777, out, &target, true);
      if (nCopyError != 0) {
        strError = CInstallFolder::ErrorText(nCopyError);
        return false;
      }
      const bool bCopied = CopyFileContents(in, out, TRUE, &strError);
      out.Abort();
      if (bCopied) nCopyError = m_folder.Rename(strCopy, entry.strBackup);
      if (!bCopied || nCopyError != 0) {
        m_folder.Remove(strCopy);
        if (bCopied) strError = CInstallFolder::ErrorText(nCopyError);
        return false;
      }
    }
    m_arrBackedUp[static_cast<size_t>(&entry - m_arrEntries.data())] = true;
    arrTouched.push_back(Folder(entry.strTarget));
    NotifyReplaceStep("backup", ++nStep);
  }
  // Every backup is on disk before the first target is replaced.
  SyncFolders(m_folder, arrTouched);
  return true;
}

bool CReplaceJournal::Install(const std::string& strSource, const CInstallFolder::FileId* pSource,
                              const std::string& strTarget, std::string& strError) {
  auto fail = [&](int nError) {
    strError = CInstallFolder::ErrorText(nError);
    return false;
  };
  CFile in;
  if (const int nError = m_folder.OpenForReading(strSource, in, pSource); nError != 0) return fail(nError);

  CInstallFolder::Entry target;
  if (const int nError = m_folder.Stat(strTarget, target); nError != 0) return fail(nError);
  UINT nMode = 0644;
  const CInstallFolder::Entry* pOwner = nullptr;
  switch (target.kind) {
    case Kind::kFolder:
      return fail(CInstallFolder::kIsAFolder);
    case Kind::kSpecial:
      return fail(CInstallFolder::kNotAFile);
    case Kind::kFile:
      // A file marked as not to be changed is refused, whoever runs the copy.
      if ((target.nMode & 0222) == 0 || !target.bWritable) return fail(CInstallFolder::kReadOnly);
      if (m_folder.MayHandOnOwner(strTarget, target)) {
        nMode = target.nMode & 07777 & ~06000u;
        pOwner = &target;
      }
      break;
    case Kind::kLink:  // a link's owner and mode say nothing of the file it names
      break;
    case Kind::kMissing:
      break;
  }

  // The folders on the way, made where missing.
  for (size_t nSlash = strTarget.find('/'); nSlash != std::string::npos;
       nSlash = strTarget.find('/', nSlash + 1)) {
    const std::string strFolder = strTarget.substr(0, nSlash);
    CInstallFolder::Entry folder;
    int nError = m_folder.Stat(strFolder, folder);
    if (nError == 0 && folder.kind == Kind::kMissing) nError = m_folder.MakeFolder(strFolder);
    if (nError == 0 && folder.kind == Kind::kLink) nError = CInstallFolder::kLinkOnTheWay;
    if (nError == 0 && folder.kind != Kind::kMissing && folder.kind != Kind::kFolder)
      nError = CInstallFolder::kNotAFolder;
    if (nError != 0) return fail(nError);
  }

  const std::string strTemp = CopyTempName(strTarget);
  CFile out;
  // Begin cleared the name; whatever stands there since is refused (EEXIST).
  int nError = m_folder.Create(strTemp, nMode, out, pOwner);
  if (nError != 0) return fail(nError);
  // Made durable before the commit; until then the backups count.
  if (!CopyFileContents(in, out, SyncsEachFile() ? TRUE : FALSE, &strError)) {
    out.Abort();
    m_folder.Remove(strTemp);
    return false;
  }
  out.Abort();
  if (nError = m_folder.Rename(strTemp, strTarget); nError != 0) {
    m_folder.Remove(strTemp);
    return fail(nError);
  }
  m_arrInstalledFolders.push_back(Folder(strTarget));
  if (const auto it = m_mapTargets.find(strTarget); it != m_mapTargets.end())
    m_arrInstalled[it->second] = true;
  return true;
}

bool CReplaceJournal::SyncsEachFile() const {
  return !CInstallFolder::kSyncsFileSystems || m_arrEntries.size() <= kSyncEachFileUpTo;
}

bool CReplaceJournal::Commit(std::string& strError) {
  // Every new file is in place on disk before the commit counts. Many files:
  // one sync per file system instead of one per file. A few: each was synced
  // as it was copied (large ones went straight to the disk, so that costs
  // little), and a sync of the whole file system would also write out the
  // downloads still in the cache, a second copy of everything.
  std::sort(m_arrInstalledFolders.begin(), m_arrInstalledFolders.end());
  m_arrInstalledFolders.erase(std::unique(m_arrInstalledFolders.begin(), m_arrInstalledFolders.end()),
                              m_arrInstalledFolders.end());
  if (SyncsEachFile()) {
    SyncFolders(m_folder, m_arrInstalledFolders);
  } else if (const int nError = m_folder.SyncFileSystems(m_arrInstalledFolders); nError != 0) {
    strError = "the new files cannot be written to the disk: " + CInstallFolder::ErrorText(nError);
    return false;
  }
  if (const int nError = m_folder.Rename(kJournalName, kCommittedJournalName); nError != 0) {
    strError = Describe(kJournalName, nError);
    return false;
  }
  m_folder.SyncFolder("");
  m_state = State::kCommitted;
  NotifyReplaceStep("commit");
  return true;
}

bool CReplaceJournal::Finish(std::string& strError) {
  m_state = State::kDone;
  return RemoveBackups(m_folder, m_arrEntries, kCommittedJournalName, false, strError);
}

bool CReplaceJournal::RollBack(std::string& strError) {
  const RunSteps steps{m_arrBackedUp, m_arrInstalled};
  const bool bBack =
      RestoreEntries(m_folder, m_arrEntries, m_arrAddedFolders, kJournalName, &steps, strError);
  m_state = State::kDone;
  return bBack;
}

RecoveryResult RecoverInterruptedReplacement(std::string& strError) {
  CInstallFolder folder;
  if (const int nError = folder.Open(); nError != 0) {
    strError = CInstallFolder::ErrorText(nError);
    return RecoveryResult::kNoFolder;
  }
  // A journal that was being written never counted.
  RemoveIfThere(folder, kJournalDraftName);

  RecoveryResult result = RecoveryResult::kNothing;
  for (const char* pszName : {kCommittedJournalName, kJournalName}) {
    CInstallFolder::Entry found;
    if (folder.Stat(pszName, found) == 0 && found.kind == Kind::kMissing) continue;
    // Only a journal this user wrote is followed: in a folder where others may
    // add files, one of theirs would have the updater replace or remove files
    // they cannot touch themselves.
    if (found.kind == Kind::kFile && !CInstallFolder::IsOwnFile(found)) {
      strError = std::string(pszName) +
                 " belongs to another user or others may change it, so it is not followed; nothing was "
                 "restored or removed. If another user's update was interrupted, run the updater as that "
                 "user to put it right; otherwise " +
                 kByHand;
      return RecoveryResult::kFailed;
    }
    std::string strText;
    JournalRecords journal;
    std::string strWhy;
    if (!ReadJournal(folder, pszName, strText, strError)) return RecoveryResult::kFailed;
    if (!ParseJournal(strText, journal, strWhy)) {
      strError = std::string(pszName) + " is damaged (" + strWhy + "), so it is not followed; " + kByHand;
      return RecoveryResult::kFailed;
    }
    if (!CheckEntries(folder, journal.arrEntries, journal.arrFolders, strWhy)) {
      strError = std::string(pszName) + " cannot be followed safely (" + strWhy +
                 "); nothing was restored or removed. " + kByHand;
      return RecoveryResult::kFailed;
    }
    if (std::strcmp(pszName, kCommittedJournalName) == 0) {
      if (!RemoveBackups(folder, journal.arrEntries, pszName, true, strError)) {
        strError += "; put that right, then run again to finish";
        return RecoveryResult::kTidyFailed;
      }
      result = RecoveryResult::kFinished;
    } else {
      if (!RestoreEntries(folder, journal.arrEntries, journal.arrFolders, pszName, nullptr, strError)) {
        strError += "; put that right, then run again: the next run goes on putting the files back";
        return RecoveryResult::kFailed;
      }
      result = RecoveryResult::kRestored;
    }
  }
  return result;
}

namespace {

ReplaceStepObserver& StepObserver() {
  static ReplaceStepObserver observer;
  return observer;
}

}  // namespace

void SetReplaceStepObserver(ReplaceStepObserver observer) {
  StepObserver() = std::move(observer);
}

void NotifyReplaceStep(const char* pszStep, int n) {
  const ReplaceStepObserver& observer = StepObserver();
  if (!observer) return;
  observer(n > 0 ? (std::string(pszStep) + "-" + std::to_string(n)).c_str() : pszStep);
}
