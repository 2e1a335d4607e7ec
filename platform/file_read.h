#pragma once
// Reading a file that the updater did not make and must not be steered by.
#include <cstddef>
#include <functional>
#include <string>

#include "platform/types.h"

// Reads the regular file strPath from start to end, handing every piece to
// onData. FALSE when it is missing, is a symbolic link, is not a regular file
// (a FIFO or device is never waited on), or a read fails.
BOOL ReadRegularFile(const std::string& strPath, const std::function<void(const char*, std::size_t)>& onData);
