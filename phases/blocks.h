#pragma once
// The unit in which the download and the expansion move data and count
// progress: one fixed buffer of this size per phase, one bar step per block.
#include <cstddef>

#include "platform/types.h"

inline constexpr std::size_t kTransferBlock = 4096;

// Blocks needed for n bytes: n / 4096 rounded up.
inline constexpr ULONGLONG Blocks(ULONGLONG n) {
  return (n + kTransferBlock - 1) / kTransferBlock;
}
