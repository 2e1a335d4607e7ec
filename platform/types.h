#pragma once
// The fixed-width types the updater's records and results are written in.
//
// On Windows they are the system's own (<windows.h> first, so that it can be
// included before or after this header, <wininet.h> too); elsewhere stand-ins
// of the same sizes, kept in namespace qvn, so that they never collide with a
// system's, and used at global scope like the system's.
#ifdef _WIN32
#include <windows.h>
#else
#include <cstdint>

namespace qvn {

using BOOL = std::int32_t;  // yes/no values and success results: non-zero means yes
inline constexpr BOOL TRUE = 1;
inline constexpr BOOL FALSE = 0;

using BYTE = std::uint8_t;
using WORD = std::uint16_t;
using DWORD = std::uint32_t;
using LONG = std::int32_t;
using UINT = std::uint32_t;
using ULONGLONG = std::uint64_t;

}  // namespace qvn

using qvn::BOOL;
using qvn::BYTE;
using qvn::DWORD;
using qvn::FALSE;
using qvn::LONG;
using qvn::TRUE;
using qvn::UINT;
using qvn::ULONGLONG;
using qvn::WORD;
#endif

static_assert(sizeof(BOOL) == 4 && sizeof(BYTE) == 1 && sizeof(WORD) == 2 && sizeof(DWORD) == 4 &&
                  sizeof(LONG) == 4 && sizeof(UINT) == 4 && sizeof(ULONGLONG) == 8,
              "the records are written in these sizes on every system");
