#pragma once
// Reads a small file whole: keys, signatures, sum lists.
#include <cstdint>
#include <string>

#include "trust/minisign.h"

// False, with the reason, when the file cannot be read or is larger than nMax.
bool ReadSmallFile(const std::string& strPath, std::uint64_t nMax, std::string& strText,
                   std::string& strError);

// KEY as a command line gives it: the name of an existing .pub file, or the
// key itself. strKey gets the key's text. False, with the reason, when it is
// neither (a name with a slip of the keyboard is said to be no file).
bool ReadPublicKeyArgument(const std::string& strArgument, std::string& strKey, MinisignPublicKey& key,
                           std::string& strError);
