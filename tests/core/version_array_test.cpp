#include "core/version_array.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

std::vector<WORD> Parts(const std::string& str) {
  CVersionArray version;
  version.FromString(str);
  return version.GetParts();
}

int CompareParts(const std::vector<WORD>& a, const std::vector<WORD>& b) {
  CVersionArray va;
  CVersionArray vb;
  // Built through FromString so that the arrays are what the updater would hold.
  auto join = [](const std::vector<WORD>& parts) {
    std::string str;
    for (std::size_t i = 0; i < parts.size(); ++i) str += (i ? "." : "") + std::to_string(parts[i]);
    return str;
  };
  if (!a.empty()) va.FromString(join(a));
  if (!b.empty()) vb.FromString(join(b));
  return va.Compare(vb);
}

struct ParseCase {
  const char* text;
  std::vector<WORD> parts;
};

void ExpectParts(const std::vector<ParseCase>& cases) {
  for (const ParseCase& c : cases) {
    EXPECT_EQ(Parts(c.text), c.parts) << "version text \"" << c.text << "\"";
  }
}

// Every dot ends a part: k dots give k + 1 parts, empty parts are 0.
TEST(VersionArrayFromString, EveryDotEndsAPart) {
  ExpectParts({
      {"1.0.0.2", {1, 0, 0, 2}},
      {"", {0}},
      {"1..2", {1, 0, 2}},
      {"1.2.", {1, 2, 0}},
      {".", {0, 0}},
      {"...", {0, 0, 0, 0}},
      {"7", {7}},
      {"1.0.0.2.0", {1, 0, 0, 2, 0}},
  });
}

// A part is read as atoi reads it: leading white space, a sign, digits up to
// the first non-digit; nothing after the digits counts; no digits is 0.
TEST(VersionArrayFromString, PartsReadAsAtoiReads) {
  ExpectParts({
      {"1,0,0,2", {1}},
      {"1, 0, 0, 2", {1}},
      {" 3.4", {3, 4}},
      {"\t\n\v\f\r 5. 6", {5, 6}},
      {"2b.1", {2, 1}},
      {"b2.1", {0, 1}},
      {"+7.+8", {7, 8}},
      {"+-7", {0}},
      {"- 7", {0}},
      {"1 2.3", {1, 3}},
      {"v1.0", {0, 0}},
      {"0012.0x10", {12, 0}},
      {"1.0 beta", {1, 0}},
      {"1.2.3-rc1", {1, 2, 3}},
  });
}

// The value is reduced modulo 65536, negative values included, and a part
// with more digits than any integer holds still has a defined value.
TEST(VersionArrayFromString, ValuesReducedModulo65536) {
  ExpectParts({
      {"-1", {65535}},
      {"65535", {65535}},
      {"65536", {0}},
      {"70000", {4464}},
      {"-65536", {0}},
      {"-65537", {65535}},
      {"4294967296", {0}},                // 2^32
      {"4294967297", {1}},                // 2^32 + 1
      {"99999999999999999999", {65535}},  // 10^20 is a multiple of 2^16
      {"-99999999999999999999", {1}},
      {"100000000000000000000000000000007", {7}},
  });
}

// FromString appends; it does not replace what is there.
TEST(VersionArrayFromString, Appends) {
  CVersionArray version;
  version.FromString("1.2");
  version.FromString("3");
  EXPECT_EQ(version.GetParts(), (std::vector<WORD>{1, 2, 3}));
  EXPECT_EQ(version.GetSize(), 3u);
  EXPECT_EQ(version.GetAt(2), 3);
  EXPECT_EQ(version.ToString(), "1.2.3");
}

struct CompareCase {
  std::vector<WORD> a;
  std::vector<WORD> b;
  int result;
};

void ExpectCompare(const std::vector<CompareCase>& cases) {
  for (const CompareCase& c : cases) {
    EXPECT_EQ(CompareParts(c.a, c.b), c.result)
        << "A has " << c.a.size() << " parts, B has " << c.b.size() << " parts";
  }
}

// The first differing part decides, by its numeric value: A[i] - B[i].
TEST(VersionArrayCompare, FirstDifferingPartDecides) {
  ExpectCompare({
      {{1, 0, 0, 3}, {1, 0, 0, 2}, 1},
      {{1, 0, 0, 2}, {1, 0, 0, 2}, 0},
      {{2}, {10}, -8},
      {{10}, {2}, 8},
      {{0}, {0}, 0},
      {{1, 2, 0}, {1, 1, 99}, 1},
      {{65535}, {0}, 65535},
      {{0}, {65535}, -65535},
      {{3, 0}, {2, 65535, 65535}, 1},
  });
}

// When one is a proper prefix of the other, the longer one is newer,
// whatever its further parts hold.
TEST(VersionArrayCompare, LongerPrefixIsNewer) {
  ExpectCompare({
      {{1, 0}, {1, 0, 0}, -1},
      {{1, 0, 0}, {1, 0}, 1},
      {{1, 0, 0, 2, 0}, {1, 0, 0, 2}, 1},
      {{1, 0, 0, 2}, {1, 0, 0, 2, 65535}, -1},
      {{}, {0}, -1},
      {{0}, {}, 1},
  });
}

// Two empty arrays are equal.
TEST(VersionArrayCompare, BothEmptyAreEqual) {
  CVersionArray a;
  CVersionArray b;
  EXPECT_EQ(a.Compare(b), 0);
  EXPECT_EQ(a.GetSize(), 0u);
}

// How the updater's decision comes out on texts a server and a product give.
TEST(VersionArrayCompare, FromTexts) {
  struct Case {
    const char* available;
    const char* installed;
    int result;
  };
  const Case cases[] =
      {
          {"1.2.0.5", "1.0.0.2", 2}, {"1.0.0.2", "1.0.0.2", 0},
          {"1.0.0.2", "", 1},         // nothing installed reads as the single part 0
          {"1.0.0.2", "1,0,0,2", 1},  // commas read as the single part 1
          {"1", "1,0,0,2", 0},       {"2", "1,0,0,2", 1},
          {"-1", "65535", 0},        {"1.0.0.10", "1.0.0.9", 1},
      };
  for (const Case& c : cases) {
    CVersionArray available;
    CVersionArray installed;
    available.FromString(c.available);
    installed.FromString(c.installed);
    EXPECT_EQ(available.Compare(installed), c.result) << c.available << " against " << c.installed;
  }
}

}  // namespace
