#pragma once
// A new file written whole, never over an existing one: keys and other files
// whose permissions matter from their first byte.
#include <string>

#include "platform/types.h"

// Creates strPath exclusively (never through a symbolic link) with the
// permission bits nMode, writes strData and flushes it to the disk. FALSE,
// with the reason, when the file exists or cannot be written; a file that
// was created but not written whole is removed.
BOOL WriteNewFile(const std::string& strPath, const std::string& strData, unsigned nMode,
                  std::string& strError);
