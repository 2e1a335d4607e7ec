#pragma once
// Names as Windows, where the product is installed, takes them. It takes
// names that differ only in the case of their letters as one, for every
// script, not only A to Z.
#include <string>
#include <string_view>

// strName (UTF-8) with every letter in the case Windows compares names in:
// two names Windows takes as one fold to the same text. Bytes that are not
// UTF-8 are kept as they are.
std::string FoldNameCase(const std::string& strName);

// True when one part of a path names a Windows device (NUL, CON, COM1.log …),
// which Windows opens as the device whatever the folder or extension, for
// every program that does not write its paths as \\?\ ones.
bool IsWindowsDeviceName(std::string_view part);
