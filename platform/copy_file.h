#pragma once
// The file copy that installs an updated file.
#include <string>

#include "platform/types.h"

class CFile;

// In our namespace: called with C strings, the global name would be Win32's
// own CopyFileA.
namespace qvn {

// Copies strExistingFile to strNewFile so that strNewFile is never left
// half-written: the bytes go to a hidden temporary file beside the target
// (".<name>.XXXXXX"), which is flushed to disk and then renamed over the
// target in one step. An interruption leaves either the old file or the new
// one, whole. Folders missing on the way to the target are created. An
// existing target keeps its permission bits; a new one gets the source's.
//
// With bFailIfExists an existing target is an error. A target that is
// read-only (no write permission bit set) is refused too, whoever runs the
// copy, since it is marked as not to be changed.
//
// Returns TRUE on success. On failure returns FALSE, leaves the target as it
// was, removes the temporary file, and puts the system's reason (e.g.
// "Permission denied") in *pReason when pReason is not null.
BOOL CopyFileA(const std::string& strExistingFile, const std::string& strNewFile, BOOL bFailIfExists,
               std::string* pReason = nullptr);

}  // namespace qvn

// Copies every byte of source (open for reading, at its start) into target
// (open for writing, empty) and, with bSync, makes them durable on the disk
// (without: the caller syncs many files at once later). Returns FALSE with the
// system's reason in *pReason on failure; both files stay open.
BOOL CopyFileContents(CFile& source, CFile& target, BOOL bSync, std::string* pReason = nullptr);
