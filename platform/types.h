#pragma once
// The fixed-width types the updater's records and results are written in.
#include <cstdint>

using BOOL = std::int32_t;  // yes/no values and success results: non-zero means yes
// <windows.h> makes TRUE and FALSE macros of the same values.
#ifndef TRUE
inline constexpr BOOL TRUE = 1;
#endif
#ifndef FALSE
inline constexpr BOOL FALSE = 0;
#endif

using BYTE = std::uint8_t;
using WORD = std::uint16_t;
#ifdef _WIN32
// The system's own types (32 bits there too), so that <windows.h> can stand beside.
using DWORD = unsigned long;
using LONG = long;
#else
using DWORD = std::uint32_t;
using LONG = std::int32_t;
#endif
using UINT = std::uint32_t;
using ULONGLONG = std::uint64_t;
