#pragma once
// Names of the temporary files through which the phases hand items on:
// "QVNUPD<n>.TMP" holds an item as downloaded, "QVNUPDU<n>.TMP" the expanded
// contents of a compressed one, where n is the item's position in the
// manifest's list plus one (counting only the items the update moves, when
// unchanged ones are left out). They lie in the current directory and stay there
// after the update; the next update truncates and rewrites them.
#include <cstddef>
#include <string>

// Room for the longest name, "QVNUPDU" + 10 digits + ".TMP", and its NUL.
inline constexpr std::size_t kTempFileNameSize = 24;

// Writes the name for item number nItem into pszBuffer (kTempFileNameSize
// bytes at least): the expanded file's when bExpanded is non-zero.
void FormatTempFileName(char* pszBuffer, int nItem, int bExpanded);

std::string FormatTempFileName(int nItem, int bExpanded);
