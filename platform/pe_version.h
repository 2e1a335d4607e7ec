#pragma once
// Reads the version resource of a Windows PE image (PE32 or PE32+) and
// queries values in it, standing in for GetFileVersionInfoSize,
// GetFileVersionInfo and VerQueryValue on systems that do not have them.
//
// Every offset and length in the file and in the block is checked: a
// truncated, malformed or hostile file is "no version", never a read outside
// the data. Nothing here throws except std::bad_alloc.
#include <cstddef>
#include <string>
#include <vector>

#include "platform/types.h"

// On Windows <winver.h> (through <windows.h>) makes macros of these names;
// ours take other arguments and must keep their own names wherever they are
// declared, defined or called.
#ifdef _WIN32
#include <winver.h>
#undef GetFileVersionInfoSize
#undef GetFileVersionInfo
#undef VerQueryValue
#endif

// Why a file's version block could not be had; kPeOk when it could.
enum class PeVersionStatus {
  kPeOk,
  kPeCannotOpen,         // missing, unreadable, or not a regular file
  kPeNotPe,              // no DOS header, PE signature or known optional header
  kPeNoVersionResource,  // a PE image without a version resource
  kPeMalformed,          // headers, resource directory or block out of bounds
};

// A short English description of a status, for messages ("is not a PE image").
const char* DescribePeVersionStatus(PeVersionStatus status);

// A version block is at most this long: its root length is a 16-bit count.
inline constexpr std::size_t kMaxVersionBlockSize = 0xFFFF;

// Reads the version block of the PE image `strFileName`: the resource of type
// 16 (RT_VERSION), its first name and its first language, cut to the length
// its root node gives. `block` is cleared unless the result is kPeOk.
PeVersionStatus ReadPeVersionBlock(const std::string& strFileName, std::vector<BYTE>& block);

// The size of the file's version block; 0 when the file cannot be found or
// read or has no (well-formed) version resource.
DWORD GetFileVersionInfoSize(const std::string& strFileName);

// Copies the file's version block into pData, which holds dwLen bytes. FALSE
// when the block cannot be read or does not fit.
BOOL GetFileVersionInfo(const std::string& strFileName, DWORD dwLen, void* pData);

// A value found in a version block.
struct VersionValue {
  const BYTE* pData = nullptr;  // into the block
  UINT nBytes = 0;              // byte length of the value, clipped to its node
  BOOL bText = FALSE;           // the node is a text node (wType 1): UTF-16LE characters
};

// Looks up strSubBlock ("\" for the root, "\VarFileInfo\Translation",
// "\StringFileInfo\040904b0\ProductVersion") in the block of cbBlock bytes.
// Keys are compared without regard to ASCII case. FALSE when the path does not
// exist or the block is malformed along the way.
BOOL VerQueryValue(const void* pBlock, std::size_t cbBlock, const std::string& strSubBlock,
                   VersionValue& value);

// As VerQueryValue, for a string value: the value's UTF-16LE text as UTF-8,
// exactly as stored (trailing blanks kept) up to its first NUL.
BOOL VerQueryString(const void* pBlock, std::size_t cbBlock, const std::string& strSubBlock,
                    std::string& strValue);
