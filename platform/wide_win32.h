#pragma once
// Names and texts are UTF-8 throughout the program; the wide Win32 calls take
// UTF-16. These convert at that edge, and only there.
#include <string>

// False when strUtf8 is not valid UTF-8 (the name cannot exist then).
bool Utf8ToWide(const std::string& strUtf8, std::wstring& strWide);
// Unpaired surrogates become U+FFFD.
std::string WideToUtf8(const std::wstring& strWide);
// The system's own words for a Win32 error code, without the final period.
std::string SystemErrorText(unsigned long dwError);

// True when the file open in hFile was reached through a link at the last
// component of strPath rather than found under that name: Wine follows a
// link to a file even when asked to open the link itself, and shows it as a
// plain file. hFile is a HANDLE.
bool ReachedThroughLink(void* hFile, const std::wstring& strPath);
