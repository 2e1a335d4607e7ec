#include "phases/replace_journal.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <sstream>

#include "manifest/item_name.h"
#include "platform/copy_file.h"

namespace {

constexpr const char* kJournalHeader = "qvnupdate-journal 1";
// The journal is written here first and renamed into place, so that a journal
// is always whole.
constexpr const char* kJournalDraftName = ".qvnupdate-journal.new";
// A journal never comes near this; a larger file is not one of ours.
constexpr off_t kMaxJournalSize = 64 * 1024 * 1024;

bool Exists(const std::string& strPath, struct stat* pStat = nullptr) {
  struct stat st {};
  const bool bExists = ::lstat(strPath.c_str(), &st) == 0;
  if (pStat != nullptr) *pStat = st;
  return bExists;
}

std::string Folder(const std::string& strPath) {
  const std::string strParent = std::filesystem::path(strPath).parent_path().string();
  return strParent.empty() ? "." : strParent;
}

// Makes the entries of a folder (renames, new and removed names) durable.
// File systems that cannot do this report an error that changes nothing here.
void SyncFolder(const std::string& strFolder) {
  const int fd = ::open(strFolder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return;
  ::fsync(fd);
  ::close(fd);
}

std::string Describe(const std::string& strName, int nError) {
  return strName + ": " + std::strerror(nError);
}

// Names in the journal: every byte that could break a line or a field
// (blanks, control bytes, bytes from 0x80 up) and "%" as %XX.
std::string Encode(const std::string& str) {
  return PercentEncode(str, [](unsigned char b) { return b <= 0x20 || b >= 0x7F || b == '%'; });
}

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

bool Decode(const std::string& str, std::string& strOut) {
  strOut.clear();
  for (size_t i = 0; i < str.size(); ++i) {
    if (str[i] != '%') {
      strOut += str[i];
      continue;
    }
    if (i + 2 >= str.size()) return false;
    const int nHigh = HexValue(str[i + 1]);
    const int nLow = HexValue(str[i + 2]);
    if (nHigh < 0 || nLow < 0) return false;
    strOut += static_cast<char>(nHigh << 4 | nLow);
    i += 2;
  }
  return true;
}

// Writes strText to strName so that the file is on disk, whole, under its
// name when this returns true; never a part of it.
bool WriteDurably(const std::string& strName, const std::string& strText, std::string& strError) {
  const int fd = ::open(kJournalDraftName, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, 0600);
  if (fd < 0) {
    strError = Describe(kJournalDraftName, errno);
    return false;
  }
  int nError = 0;
  for (size_t nDone = 0; nDone < strText.size() && nError == 0;) {
    const ssize_t n = ::write(fd, strText.data() + nDone, strText.size() - nDone);
    if (n < 0 && errno != EINTR) nError = errno;
    if (n > 0) nDone += static_cast<size_t>(n);
  }
  if (nError == 0 && ::fsync(fd) != 0) nError = errno;
  if (::close(fd) != 0 && nError == 0) nError = errno;
  if (nError == 0 && ::rename(kJournalDraftName, strName.c_str()) != 0) nError = errno;
  if (nError != 0) {
    ::unlink(kJournalDraftName);
    strError = Describe(kJournalDraftName, nError);
    return false;
  }
  SyncFolder(".");
  return true;
}

// The hidden temporary files that the file copy leaves beside a target (or a
// backup made by copying) when it is stopped half-way: "." + name + "." + six
// letters or digits.
void RemoveCopyLeftovers(const std::string& strTarget) {
  const std::string strFolder = Folder(strTarget);
  const std::string strName = std::filesystem::path(strTarget).filename().string();
  DIR* pDir = ::opendir(strFolder.c_str());
  if (pDir == nullptr) return;
  bool bRemoved = false;
  while (const dirent* pEntry = ::readdir(pDir)) {
    const std::string strEntry = pEntry->d_name;
    if (strEntry.size() != strName.size() + 8 || strEntry[0] != '.' ||
        strEntry.compare(1, strName.size(), strName) != 0 || strEntry[strName.size() + 1] != '.') {
      continue;
    }
    if (!std::all_of(strEntry.end() - 6, strEntry.end(), [](unsigned char c) { return std::isalnum(c); })) {
      continue;
    }
    const std::string strPath = strFolder == "." ? strEntry : strFolder + "/" + strEntry;
    struct stat st {};
    if (Exists(strPath, &st) && S_ISREG(st.st_mode) && ::unlink(strPath.c_str()) == 0) bRemoved = true;
  }
  ::closedir(pDir);
  if (bRemoved) SyncFolder(strFolder);
}

// Puts every target back as it was before the update and removes the folders
// that the update added; the journal goes once all is back.
bool RestoreEntries(const std::vector<CReplaceJournal::Entry>& arrEntries,
                    const std::vector<std::string>& arrFolders, const std::string& strJournal,
                    std::string& strError) {
  bool bAllBack = true;
  int nStep = 0;
  for (auto it = arrEntries.rbegin(); it != arrEntries.rend(); ++it) {
    RemoveCopyLeftovers(it->strTarget);
    RemoveCopyLeftovers(it->strBackup);
    struct stat st {};
    if (it->bExisted) {
      // No backup: the target was never touched. A backup that is still the
      // target's second name: the same (rename would do nothing between two
      // names of one file and keep both).
      struct stat stBackup {};
      const bool bUntouched = Exists(it->strBackup, &stBackup) && Exists(it->strTarget, &st) &&
                              st.st_dev == stBackup.st_dev && st.st_ino == stBackup.st_ino;
      int nResult = 0;
      if (bUntouched) {
        nResult = ::unlink(it->strBackup.c_str());
      } else if (Exists(it->strBackup)) {
        nResult = ::rename(it->strBackup.c_str(), it->strTarget.c_str());
      }
      if (nResult != 0) {
        if (bAllBack) strError = Describe(it->strTarget, errno);
        bAllBack = false;
      }
    } else if (Exists(it->strTarget, &st) && !S_ISDIR(st.st_mode)) {
      if (::unlink(it->strTarget.c_str()) != 0 && errno != ENOENT) {
        if (bAllBack) strError = Describe(it->strTarget, errno);
        bAllBack = false;
      }
    }
    SyncFolder(Folder(it->strTarget));
    TestCrashPoint("restore", ++nStep);
  }
  for (auto it = arrFolders.rbegin(); it != arrFolders.rend(); ++it) {
    if (::rmdir(it->c_str()) == 0) SyncFolder(Folder(*it));
  }
  if (!bAllBack) return false;
  ::unlink(strJournal.c_str());
  SyncFolder(".");
  return true;
}

// After the commit: the new files stay, their backups go, then the journal.
bool RemoveBackups(const std::vector<CReplaceJournal::Entry>& arrEntries, const std::string& strJournal,
                   std::string& strError) {
  bool bAllGone = true;
  for (const auto& entry : arrEntries) {
    RemoveCopyLeftovers(entry.strTarget);
    RemoveCopyLeftovers(entry.strBackup);
    if (entry.bExisted && ::unlink(entry.strBackup.c_str()) != 0 && errno != ENOENT) {
      if (bAllGone) strError = Describe(entry.strBackup, errno);
      bAllGone = false;
    }
    SyncFolder(Folder(entry.strTarget));
  }
  TestCrashPoint("cleanup");
  if (!bAllGone) return false;
  ::unlink(strJournal.c_str());
  SyncFolder(".");
  return true;
}

std::string Serialize(const std::vector<CReplaceJournal::Entry>& arrEntries,
                      const std::vector<std::string>& arrFolders) {
  std::string strText = std::string(kJournalHeader) + "\n";
  for (const auto& strFolder : arrFolders) strText += "folder " + Encode(strFolder) + "\n";
  for (const auto& entry : arrEntries) {
    strText += std::string("file ") + (entry.bExisted ? "1 " : "0 ") + Encode(entry.strTarget) + " " +
               Encode(entry.strBackup) + "\n";
  }
  return strText + "end\n";
}

// Reads a journal back. Every name must be one the updater could have
// written: safe, inside the folder, and each backup the one its target gets.
bool Parse(const std::string& strText, std::vector<CReplaceJournal::Entry>& arrEntries,
           std::vector<std::string>& arrFolders, std::string& strWhy) {
  std::istringstream in(strText);
  std::string strLine;
  int nLine = 0;
  bool bEnded = false;
  while (std::getline(in, strLine)) {
    ++nLine;
    strWhy = "line " + std::to_string(nLine) + " cannot be read";
    if (bEnded) return false;
    if (nLine == 1) {
      if (strLine != kJournalHeader) return false;
      continue;
    }
    if (strLine == "end") {
      bEnded = true;
      continue;
    }
    std::istringstream fields(strLine);
    std::string strKind;
    std::string strRest;
    fields >> strKind;
    if (strKind == "folder") {
      std::string strFolder;
      if (!(fields >> strRest) || !Decode(strRest, strFolder) || !IsSafeItemName(strFolder, nullptr)) {
        return false;
      }
      arrFolders.push_back(strFolder);
    } else if (strKind == "file") {
      std::string strExisted;
      std::string strTarget;
      std::string strBackup;
      CReplaceJournal::Entry entry;
      if (!(fields >> strExisted >> strTarget >> strBackup) || (strExisted != "0" && strExisted != "1") ||
          !Decode(strTarget, entry.strTarget) || !Decode(strBackup, entry.strBackup) ||
          !IsSafeItemName(entry.strTarget, nullptr) || entry.strBackup != BackupName(entry.strTarget)) {
        return false;
      }
      entry.bExisted = strExisted == "1" ? TRUE : FALSE;
      arrEntries.push_back(entry);
    } else {
      return false;
    }
    if (fields >> strRest) return false;
  }
  strWhy = "it is incomplete";
  return nLine > 0 && bEnded;
}

bool ReadJournal(const std::string& strName, std::string& strText, std::string& strError) {
  const int fd = ::open(strName.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
  struct stat st {};
  if (fd < 0 || ::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || st.st_size > kMaxJournalSize) {
    strError = fd < 0 ? Describe(strName, errno) : strName + ": not a journal of this updater";
    if (fd >= 0) ::close(fd);
    return false;
  }
  strText.clear();
  char buffer[65536];
  for (;;) {
    const ssize_t n = ::read(fd, buffer, sizeof buffer);
    if (n == 0) break;
    if (n < 0) {
      if (errno == EINTR) continue;
      strError = Describe(strName, errno);
      ::close(fd);
      return false;
    }
    strText.append(buffer, static_cast<size_t>(n));
  }
  ::close(fd);
  return true;
}

bool IsTempFileName(const std::string& strName) {
  for (const char* pszPrefix : {"QVNUPDU", "QVNUPD"}) {
    const std::string strPrefix = pszPrefix;
    if (strName.size() <= strPrefix.size() + 4 || strName.compare(0, strPrefix.size(), strPrefix) != 0 ||
        strName.compare(strName.size() - 4, 4, ".TMP") != 0) {
      continue;
    }
    const auto digitsBegin = strName.begin() + static_cast<std::ptrdiff_t>(strPrefix.size());
    if (std::all_of(digitsBegin, strName.end() - 4, [](unsigned char c) { return std::isdigit(c); })) {
      return true;
    }
  }
  return false;
}

}  // namespace

std::string BackupName(const std::string& strTarget) {
  const std::filesystem::path target(strTarget);
  return (target.parent_path() / ("." + target.filename().string() + kBackupSuffix)).string();
}

bool IsUpdaterFileName(const std::string& strTarget, std::string* pReason) {
  for (const std::string_view part : PathParts(strTarget)) {
    if (part.starts_with(".qvnupdate") || part.ends_with(kBackupSuffix)) {
      if (pReason != nullptr) *pReason = "the name is kept for the updater's own files";
      return true;
    }
  }
  if (IsTempFileName(strTarget)) {
    if (pReason != nullptr) *pReason = "the name is one of the updater's temporary files";
    return true;
  }
  return false;
}

CReplaceJournal::~CReplaceJournal() {
  try {
    std::string strError;
    if (m_state == State::kBegun) RollBack(strError);
    if (m_state == State::kCommitted) Finish();
  } catch (...) {
    // Whatever could not be put back now is put back at the next start.
  }
}

void CReplaceJournal::AddTarget(const std::string& strTarget) {
  for (const auto& entry : m_arrEntries) {
    if (entry.strTarget == strTarget) return;
  }
  Entry entry;
  entry.strTarget = strTarget;
  entry.strBackup = BackupName(strTarget);
  entry.bExisted = Exists(strTarget) ? TRUE : FALSE;
  m_arrEntries.push_back(entry);

  // The folders on the way that the copy will create, outer ones first.
  for (size_t nSlash = strTarget.find('/'); nSlash != std::string::npos;
       nSlash = strTarget.find('/', nSlash + 1)) {
    const std::string strFolder = strTarget.substr(0, nSlash);
    struct stat st {};
    if (::lstat(strFolder.c_str(), &st) == 0 || errno != ENOENT) continue;
    if (std::find(m_arrAddedFolders.begin(), m_arrAddedFolders.end(), strFolder) == m_arrAddedFolders.end()) {
      m_arrAddedFolders.push_back(strFolder);
    }
  }
}

bool CReplaceJournal::Begin(std::string& strError) {
  if (Exists(kJournalName) || Exists(kCommittedJournalName)) {
    strError = "an interrupted update has not been put right yet";
    return false;
  }
  // A backup name that is taken already would be taken for the target's
  // previous version if the run stopped before the target was backed up.
  for (const auto& entry : m_arrEntries) {
    if (::unlink(entry.strBackup.c_str()) != 0 && errno != ENOENT && errno != ENOTDIR) {
      strError = Describe(entry.strBackup, errno);
      return false;
    }
  }
  if (!WriteDurably(kJournalName, Serialize(m_arrEntries, m_arrAddedFolders), strError)) return false;
  m_state = State::kBegun;
  TestCrashPoint("journal");
  return true;
}

bool CReplaceJournal::BackUp(std::string& strTarget, std::string& strError) {
  int nStep = 0;
  for (const auto& entry : m_arrEntries) {
    struct stat st {};
    // A folder is not replaced (its copy fails); nothing to keep.
    if (!entry.bExisted || !Exists(entry.strTarget, &st) || S_ISDIR(st.st_mode)) continue;
    strTarget = entry.strTarget;
    if (::unlink(entry.strBackup.c_str()) != 0 && errno != ENOENT) {
      strError = std::strerror(errno);
      return false;
    }
    // A second name for the file costs neither time nor space; where the file
    // system has none, a copy does.
    if (::linkat(AT_FDCWD, entry.strTarget.c_str(), AT_FDCWD, entry.strBackup.c_str(), 0) != 0) {
      const int nError = errno;
      if (nError != EPERM && nError != EXDEV && nError != EMLINK && nError != EOPNOTSUPP &&
          nError != ENOSYS) {
        strError = std::strerror(nError);
        return false;
      }
      if (!CopyFileA(entry.strTarget, entry.strBackup, TRUE, &strError)) return false;
    }
    SyncFolder(Folder(entry.strTarget));
    TestCrashPoint("backup", ++nStep);
  }
  return true;
}

bool CReplaceJournal::Commit(std::string& strError) {
  if (::rename(kJournalName, kCommittedJournalName) != 0) {
    strError = Describe(kJournalName, errno);
    return false;
  }
  SyncFolder(".");
  m_state = State::kCommitted;
  TestCrashPoint("commit");
  return true;
}

void CReplaceJournal::Finish() {
  std::string strError;
  RemoveBackups(m_arrEntries, kCommittedJournalName, strError);
  m_state = State::kDone;
}

bool CReplaceJournal::RollBack(std::string& strError) {
  const bool bBack = RestoreEntries(m_arrEntries, m_arrAddedFolders, kJournalName, strError);
  m_state = State::kDone;
  return bBack;
}

RecoveryResult RecoverInterruptedReplacement(std::string& strError) {
  // A journal that was being written never counted.
  ::unlink(kJournalDraftName);

  RecoveryResult result = RecoveryResult::kNothing;
  for (const char* pszName : {kCommittedJournalName, kJournalName}) {
    if (!Exists(pszName)) continue;
    std::string strText;
    std::vector<CReplaceJournal::Entry> arrEntries;
    std::vector<std::string> arrFolders;
    std::string strWhy;
    if (!ReadJournal(pszName, strText, strError)) return RecoveryResult::kFailed;
    if (!Parse(strText, arrEntries, arrFolders, strWhy)) {
      strError = std::string(pszName) + " is damaged (" + strWhy + "); remove it to go on";
      return RecoveryResult::kFailed;
    }
    if (std::strcmp(pszName, kCommittedJournalName) == 0) {
      if (!RemoveBackups(arrEntries, pszName, strError)) return RecoveryResult::kFailed;
      result = RecoveryResult::kFinished;
    } else {
      if (!RestoreEntries(arrEntries, arrFolders, pszName, strError)) return RecoveryResult::kFailed;
      result = RecoveryResult::kRestored;
    }
  }
  return result;
}

void TestCrashPoint(const char* pszStep, int n) {
  const char* pszWanted = std::getenv("QVN_TEST_CRASH_AT");
  if (pszWanted == nullptr) return;
  const std::string strStep = n > 0 ? std::string(pszStep) + "-" + std::to_string(n) : std::string(pszStep);
  if (strStep == pszWanted) ::raise(SIGKILL);
  if (strStep + "/int" == pszWanted) ::raise(SIGINT);
}
