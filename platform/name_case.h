#pragma once
// Windows, where the product is installed, takes names that differ only in
// the case of their letters as one, for every script, not only A to Z.
#include <string>

// strName (UTF-8) with every letter in the case Windows compares names in:
// two names Windows takes as one fold to the same text. Bytes that are not
// UTF-8 are kept as they are.
std::string FoldNameCase(const std::string& strName);
