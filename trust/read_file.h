#pragma once
// Reads a small file whole: keys, signatures, sum lists.
#include <cstdint>
#include <string>

// False, with the reason, when the file cannot be read or is larger than nMax.
bool ReadSmallFile(const std::string& strPath, std::uint64_t nMax, std::string& strText,
                   std::string& strError);
