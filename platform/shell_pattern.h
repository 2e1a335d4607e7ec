#pragma once
// Shell wildcard patterns ("*", "?", "[a-z]", "[!0-9]", "\\*"), matched byte
// by byte; "*" and "?" match "/" too, as fnmatch does without flags.
#include <string>

bool MatchesShellPattern(const std::string& strPattern, const std::string& strName);
