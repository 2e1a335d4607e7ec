// --store patterns: the Windows matcher must agree with fnmatch (no flags).
#include "platform/shell_pattern.h"

#include <gtest/gtest.h>

namespace {

struct Case {
  const char* pszPattern;
  const char* pszName;
  bool bMatches;
};

TEST(ShellPattern, MatchesAsFnmatchDoes) {
  const Case cases[] = {
      {"*.png", "Logo.png", true},
      {"*.png", "img/Logo.png", true},  // "*" crosses "/"
      {"*.png", "Logo.PNG", false},
      {"*.png", "Logo.png.bak", false},
      {"?", "a", true},
      {"?", "", false},
      {"??", "a", false},
      {"a*b*c", "aXbYc", true},
      {"a*b*c", "aXbY", false},
      {"*", "", true},
      {"", "", true},
      {"", "a", false},
      {"[abc]x", "bx", true},
      {"[!abc]x", "bx", false},
      {"[!abc]x", "dx", true},
      {"[^abc]x", "dx", true},
      {"[a-c]", "b", true},
      {"[a-c]", "d", false},
      {"[a-]", "-", true},
      {"[]]", "]", true},
      {"[!]]", "a", true},
      {"[!]]", "]", false},
      {"\\*", "*", true},
      {"\\*", "a", false},
      {"[", "[", true},
      {"[a", "[a", true},
      {"sub/*.dll", "sub/x.dll", true},
      {"sub/*.dll", "x.dll", false},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(MatchesShellPattern(c.pszPattern, c.pszName), c.bMatches)
        << "pattern \"" << c.pszPattern << "\", name \"" << c.pszName << "\"";
  }
}

}  // namespace
