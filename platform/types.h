#pragma once
// The fixed-width types the updater's records and results are written in.
#include <cstdint>

using BOOL = std::int32_t;  // yes/no values and success results: non-zero means yes
inline constexpr BOOL TRUE = 1;
inline constexpr BOOL FALSE = 0;

using BYTE = std::uint8_t;
using WORD = std::uint16_t;
using DWORD = std::uint32_t;
using UINT = std::uint32_t;
using LONG = std::int32_t;
using ULONGLONG = std::uint64_t;
