#pragma once
// The updater's own file names, and the installed name of an item: the rules
// that the updater applies and that qvnpack checks a release against, kept in
// one place that every platform builds.
#include <cstddef>
#include <string>

#include "manifest/update_info.h"

// The updater's own hidden files in the installation folder. None stays after
// a run that ends well.
inline constexpr const char* kJournalName = ".qvnupdate-journal";
inline constexpr const char* kCommittedJournalName = ".qvnupdate-committed";
// The journal is written under this name first and renamed into place, so
// that a journal is always whole.
inline constexpr const char* kJournalDraftName = ".qvnupdate-journal.new";
inline constexpr const char* kLockFileName = ".qvnupdate.lock";
// A backup is the target's own name, hidden, with this suffix: "bin/a.dll"
// is kept as "bin/.a.dll.qvnupdate-old".
inline constexpr const char* kBackupSuffix = ".qvnupdate-old";
// A new version is written beside its target under the target's own name,
// hidden, with this suffix, and renamed over the target when it is whole.
inline constexpr const char* kNewSuffix = ".qvnupdate-new";
// The hashes of the partial downloads kept, and the prefix of each partial.
inline constexpr const char* kPartsRecordName = ".qvnupdate-parts";
inline constexpr const char* kPartialPrefix = ".qvnupdate-part-";

// Room for the longest temporary file name, "QVNUPDU" + 10 digits + ".TMP", and its NUL.
inline constexpr std::size_t kTempFileNameSize = 24;

// The installed file's name for an item: its name as given, or for a
// compressed item its name less ".crz" (when ".crz" occurs anywhere in it,
// case-sensitively, the last four characters are cut; otherwise the last one).
std::string TargetFileName(const CUpdateFileItem& item);

// Where the previous version of strTarget is kept while it is replaced.
std::string BackupName(const std::string& strTarget);
// Where the new version of strTarget is written before it replaces it.
std::string CopyTempName(const std::string& strTarget);

// Writes the temporary file name for item number nItem, "QVNUPD<n>.TMP", into
// pszBuffer (kTempFileNameSize bytes at least): "QVNUPDU<n>.TMP", the expanded
// file's, when bExpanded is non-zero.
void FormatTempFileName(char* pszBuffer, int nItem, int bExpanded);
std::string FormatTempFileName(int nItem, int bExpanded);

// True when an item's installed name would land on one of the updater's own
// files: its temporary files "QVNUPD<n>.TMP"/"QVNUPDU<n>.TMP" in the folder
// itself (or a folder of that name on the way), its journal, lock, partials
// or backups anywhere; or when the hidden names the updater gives the file
// beside it would be too long for the file system. *pReason says which.
bool IsUpdaterFileName(const std::string& strTarget, std::string* pReason);
