#include "manifest/item_name.h"

#include <gtest/gtest.h>

#include <string>
#include <string_view>
#include <vector>

namespace {

struct NameCase {
  std::string strName;
  const char* pszReason;  // null: the name is safe
};

const NameCase kNames[] = {
    // Plain names and subfolders are fine
    {"Engine.dll.crz", nullptr},
    {"ReadMe.txt", nullptr},
    {"bin/plugins/a.dll", nullptr},
    {"a b.txt", nullptr},
    {"...", nullptr},
    {"..a", nullptr},
    {"a..", nullptr},
    {".hidden", nullptr},
    {"caf\xE9.txt", nullptr},
    {"50%.txt", nullptr},
    {"ab:c", nullptr},  // only a letter and a colon at the start make a drive
    {"1:x", nullptr},
    // Empty
    {"", "the name is empty"},
    // Absolute paths and drive letters
    {"/etc/passwd", "the name is an absolute path"},
    {"/", "the name is an absolute path"},
    {"C:", "the name begins with a drive letter"},
    {"c:a.dll", "the name begins with a drive letter"},
    {"Z:/x", "the name begins with a drive letter"},
    // Leaving the folder
    {"..", "the name has a \"..\" part, which leads out of the folder"},
    {"../a.dll", "the name has a \"..\" part, which leads out of the folder"},
    {"bin/../../a.dll", "the name has a \"..\" part, which leads out of the folder"},
    {"bin/..", "the name has a \"..\" part, which leads out of the folder"},
    // Backslashes (a separator on Windows) and control bytes
    {"..\\a.dll", "the name contains a backslash"},
    {"bin\\a.dll", "the name contains a backslash"},
    {"a\tb", "the name contains a control character"},
    {"a\x7F", "the name contains a control character"},
    {std::string("a\0b", 3), "the name contains a control character"},
    {"a.dll\r", "the name contains a control character"},
    // Empty and "." parts
    {"a//b", "the name has an empty folder name (\"//\" or a final \"/\")"},
    {"bin/", "the name has an empty folder name (\"//\" or a final \"/\")"},
    {".", "the name has a \".\" part"},
    {"./a.dll", "the name has a \".\" part"},
    {"a/./b", "the name has a \".\" part"},
};

TEST(ItemName, SafetyTable) {
  for (const NameCase& c : kNames) {
    std::string strReason = "stale";
    EXPECT_EQ(IsSafeItemName(c.strName, &strReason), c.pszReason == nullptr) << c.strName;
    EXPECT_EQ(strReason, c.pszReason == nullptr ? "" : c.pszReason) << c.strName;
    EXPECT_EQ(IsSafeItemName(c.strName, nullptr), c.pszReason == nullptr) << c.strName;
  }
}

TEST(ItemName, UrlEncodingTable) {
  const std::pair<std::string, std::string> cases[] = {
      // Kept as they are
      {"Engine.dll.crz", "Engine.dll.crz"},
      {"bin/a.dll", "bin/a.dll"},
      {"50%.txt", "50%.txt"},
      {"a+b&c=d;e,f(g)~'!*@$:", "a+b&c=d;e,f(g)~'!*@$:"},
      {"", ""},
      // Encoded, upper-case hex
      {"a b", "a%20b"},
      {"a#b?c", "a%23b%3Fc"},
      {"caf\xE9", "caf%E9"},
      {"\xFF\x80", "%FF%80"},
      {"\x01\x1F\x7F", "%01%1F%7F"},
      {std::string("a\0", 2), "a%00"},
  };
  for (const auto& [strName, strEncoded] : cases) EXPECT_EQ(EncodeUrlPath(strName), strEncoded) << strName;
}

TEST(ItemName, PathPartsKeepEmptyParts) {
  using Parts = std::vector<std::string_view>;
  const std::pair<std::string, Parts> cases[] = {
      {"a.dll", {"a.dll"}},
      {"bin/plugins/a.dll", {"bin", "plugins", "a.dll"}},
      {"", {""}},
      {"/", {"", ""}},
      {"a//b", {"a", "", "b"}},
      {"bin/", {"bin", ""}},
  };
  for (const auto& [strName, parts] : cases) EXPECT_EQ(PathParts(strName), parts) << strName;
}

TEST(ItemName, PercentEncodingEscapesWhatItIsTold) {
  const auto Controls = [](unsigned char b) { return b < 0x20; };
  EXPECT_EQ(PercentEncode("a\nb\x1F c", Controls), "a%0Ab%1F c");
  EXPECT_EQ(PercentEncode(std::string_view("\0%", 2), Controls), "%00%");
  EXPECT_EQ(PercentEncode("", Controls), "");
  EXPECT_EQ(PercentEncode("\xAB", [](unsigned char) { return true; }), "%AB");
}

}  // namespace
