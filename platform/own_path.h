#pragma once
// Where the running program lives, and what a path names.
#include <string>

// The folder of the running program, without a trailing separator; empty when unknown.
std::string OwnDirectory();
// Whether strPath names a regular file (links followed).
bool IsRegularFile(const std::string& strPath);
