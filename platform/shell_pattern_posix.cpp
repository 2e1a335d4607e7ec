#include <fnmatch.h>

#include "platform/shell_pattern.h"

bool MatchesShellPattern(const std::string& strPattern, const std::string& strName) {
  return ::fnmatch(strPattern.c_str(), strName.c_str(), 0) == 0;
}
