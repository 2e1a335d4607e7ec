#pragma once
// Files that the updater keeps for itself between runs, in the current
// directory: never reached through a symbolic link, never readable by others.
#include <string>

#include "platform/types.h"

// Opens strName for reading and writing, positioned at its start. With bCreate
// the file is created exclusively with mode 0600, and hidden on Windows (an
// existing file or link of that name fails); without it the file must exist
// as a regular file of this user that no one else may read or write. Returns
// the descriptor, to hand to a CFile; -1 with the reason in strError.
int OpenOwnFile(const std::string& strName, bool bCreate, std::string& strError);

// Removes strName, a plain name in the current directory, quietly: one
// already gone is no error, and one that cannot go stays for the next run.
// A link there goes (or, where the system would remove what it names instead,
// stays), never what it points to.
void RemoveOwnFile(const std::string& strName);
