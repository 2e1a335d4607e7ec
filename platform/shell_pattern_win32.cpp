// Windows has no fnmatch: the same rules, written out.
#include "platform/shell_pattern.h"

namespace {

// Matches the bracket expression at p (just after '[') against c. Returns the
// position after its ']', or nullptr when there is no ']' (then '[' is literal).
const char* MatchBracket(const char* p, unsigned char c, bool& bMatched) {
  bool bNegate = false;
  if (*p == '!' || *p == '^') {
    bNegate = true;
    ++p;
  }
  bool bIn = false;
  bool bFirst = true;
  while (*p && (*p != ']' || bFirst)) {
    bFirst = false;
    unsigned char lo = static_cast<unsigned char>(*p);
    if (lo == '\\' && p[1]) lo = static_cast<unsigned char>(*++p);
    ++p;
    unsigned char hi = lo;
    if (*p == '-' && p[1] && p[1] != ']') {
      ++p;
      if (*p == '\\' && p[1]) ++p;
      hi = static_cast<unsigned char>(*p++);
    }
    if (lo <= c && c <= hi) bIn = true;
  }
  if (*p != ']') return nullptr;
  bMatched = bIn != bNegate;
  return p + 1;
}

bool Match(const char* p, const char* s) {
  while (*p) {
    switch (*p) {
      case '?':
        if (!*s) return false;
        ++p;
        ++s;
        break;
      case '*':
        while (*p == '*') ++p;
        if (!*p) return true;
        for (;; ++s) {
          if (Match(p, s)) return true;
          if (!*s) return false;
        }
      case '[': {
        if (!*s) return false;
        bool bMatched = false;
        if (const char* pAfter = MatchBracket(p + 1, static_cast<unsigned char>(*s), bMatched)) {
          if (!bMatched) return false;
          p = pAfter;
          ++s;
          break;
        }
        if (*s != '[') return false;
        ++p;
        ++s;
        break;
      }
      case '\\':
        if (p[1]) ++p;
        [[fallthrough]];
      default:
        if (*p != *s) return false;
        ++p;
        ++s;
        break;
    }
  }
  return !*s;
}

}  // namespace

bool MatchesShellPattern(const std::string& strPattern, const std::string& strName) {
  return Match(strPattern.c_str(), strName.c_str());
}
