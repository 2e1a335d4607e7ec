#pragma once
// What each system's file backend (file_posix.cpp, file_win32.cpp) gives the
// code shared by all of them.
#include <string>

#include "platform/types.h"

// The system's own words for an error code kept in CFileException::m_lOsError
// (errno on POSIX, GetLastError on Windows).
std::string OsErrorText(LONG lOsError);
