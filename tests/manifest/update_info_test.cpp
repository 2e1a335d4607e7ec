#include "manifest/update_info.h"

#include <gtest/gtest.h>

#include <initializer_list>
#include <string>
#include <vector>

#include "manifest/line_splitter.h"

namespace {

using Messages = std::vector<std::string>;

void ParseAll(CUpdateInfo& info, std::initializer_list<const char*> lines) {
  for (const char* pszLine : lines) info.ParseLine(pszLine);
}

// A record in [FILES] with a declared count of 2 and item 1 open.
void OpenOneItem(CUpdateInfo& info) {
  ParseAll(info, {"[FILES]", "NUMBERITEMS: 2", "ITEM: 1"});
}

void ExpectClean(const CUpdateInfo& info) {
  EXPECT_EQ(info.m_arrMessages, Messages{});
  EXPECT_FALSE(info.m_bCorrupt);
  EXPECT_FALSE(info.m_bItemError);
}

CUpdateInfo ParseBody(const std::string& strBody) {
  CUpdateInfo info;
  for (const std::string& strLine : SplitLines(strBody)) info.ParseLine(strLine);
  return info;
}

const char kWorkedManifest[] =
    "[GENERAL]\n"
    "VERSION: 1.2.0.5\n"
    "REBOOT: N\n"
    "[FILES]\n"
    "NUMBERITEMS: 2\n"
    "ITEM: 1\n"
    "NAME: Engine.dll.crz\n"
    "SIZE: 9216\n"
    "LOCATION: Program\n"
    "REPLACE: Y\n"
    "COMPRESSED: Y\n"
    "ITEM: 2\n"
    "NAME: ReadMe.txt\n"
    "SIZE: 1502\n"
    "REPLACE: Y\n"
    "COMPRESSED: N\n"
    "[REGISTRY]\n"
    "NUMBERITEMS: 0\n"
    "[SELF]\n"
    "SVERSION: 1.0.0.2\n"
    "SNAME: Updater.exe\n"
    "SCOMPRESSED: N\n";

void ExpectWorkedRecord(const CUpdateInfo& info) {
  EXPECT_EQ(info.m_strVersion, "1.2.0.5");
  EXPECT_FALSE(info.m_bReboot);
  EXPECT_EQ(info.m_nNumberItems, 2u);
  EXPECT_EQ(info.m_nNumberRegItems, 0u);
  ASSERT_EQ(info.m_arrItems.size(), 2u);
  const CUpdateFileItem& first = *info.m_arrItems[0];
  EXPECT_EQ(first.m_strName, "Engine.dll.crz");
  EXPECT_EQ(first.m_nSize, 9216u);
  EXPECT_EQ(first.m_strLocation, "Program");
  EXPECT_EQ(first.m_nReplace, 1);
  EXPECT_TRUE(first.m_bCompressed);
  const CUpdateFileItem& second = *info.m_arrItems[1];
  EXPECT_EQ(second.m_strName, "ReadMe.txt");
  EXPECT_EQ(second.m_nSize, 1502u);
  EXPECT_EQ(second.m_strLocation, "");
  EXPECT_EQ(second.m_nReplace, 1);
  EXPECT_FALSE(second.m_bCompressed);
  EXPECT_EQ(info.m_strSelfVersion, "1.0.0.2");
  EXPECT_EQ(info.m_strSelfName, "Updater.exe");
  EXPECT_FALSE(info.m_bSelfCompressed);
  ExpectClean(info);
  EXPECT_EQ(info.m_nSection, SECTION_SELF);
  EXPECT_EQ(info.m_pCurItem, info.m_arrItems[1].get());
}

// ---- The record as constructed --------------------------------------------

TEST(UpdateInfoRecord, StartsEmpty) {
  const CUpdateInfo info;
  EXPECT_EQ(info.m_strVersion, "");
  EXPECT_FALSE(info.m_bReboot);
  EXPECT_EQ(info.m_nNumberItems, 0u);
  EXPECT_EQ(info.m_nNumberRegItems, 0u);
  EXPECT_TRUE(info.m_arrItems.empty());
  EXPECT_EQ(info.m_nSection, SECTION_NONE);
  EXPECT_EQ(info.m_nSection, -1);
  ExpectClean(info);
  EXPECT_EQ(info.m_pCurItem, nullptr);
  EXPECT_EQ(info.m_strSelfVersion, "");
  EXPECT_EQ(info.m_strSelfName, "");
  EXPECT_FALSE(info.m_bSelfCompressed);
}

TEST(UpdateInfoRecord, AnItemWithoutItsKeysKeepsItsInitialValues) {
  CUpdateInfo info;
  OpenOneItem(info);
  ASSERT_EQ(info.m_arrItems.size(), 1u);
  const CUpdateFileItem& item = *info.m_arrItems[0];
  EXPECT_EQ(item.m_strName, "");
  EXPECT_EQ(item.m_nReplace, 1);
  EXPECT_FALSE(item.m_bCompressed);
  EXPECT_EQ(item.m_nSize, 0u);
  EXPECT_EQ(item.m_strLocation, "");
}

TEST(UpdateInfoRecord, RemoveAllItemsAlsoForgetsTheCurrentItem) {
  CUpdateInfo info;
  OpenOneItem(info);
  info.RemoveAllItems();
  EXPECT_TRUE(info.m_arrItems.empty());
  EXPECT_EQ(info.m_pCurItem, nullptr);
  // A later item key must not write through a dangling pointer.
  EXPECT_TRUE(info.ParseLine("NAME: a.dll"));
  EXPECT_EQ(info.m_arrMessages, Messages{"Got Name and No File Specified."});
}

TEST(UpdateInfoRecord, MovingKeepsTheCurrentItemPointingIntoTheList) {
  CUpdateInfo source;
  OpenOneItem(source);
  CUpdateInfo target(std::move(source));
  ASSERT_EQ(target.m_arrItems.size(), 1u);
  EXPECT_EQ(target.m_pCurItem, target.m_arrItems[0].get());
  target.ParseLine("NAME: moved.dll");
  EXPECT_EQ(target.m_arrItems[0]->m_strName, "moved.dll");
  EXPECT_EQ(source.m_pCurItem, nullptr);  // NOLINT(bugprone-use-after-move): the state is specified

  CUpdateInfo assigned;
  assigned = std::move(target);
  EXPECT_EQ(assigned.m_pCurItem, assigned.m_arrItems[0].get());
}

// ---- Short lines ------------------------------------------------------------

TEST(ParseLineShort, LinesUnderThreeCharactersChangeNothing) {
  for (const char* pszLine : {"", "a", "[F", "::", "\r\n", "Y:"}) {
    CUpdateInfo info;
    EXPECT_TRUE(info.ParseLine(pszLine)) << pszLine;
    ExpectClean(info);
    EXPECT_EQ(info.m_nSection, SECTION_NONE);
  }
}

// ---- Section headers -----------------------------------------------------------

TEST(ParseLineHeaders, EachHeaderSelectsItsSection) {
  const std::pair<const char*, LONG> cases[] = {
      {"[GENERAL]", SECTION_GENERAL},
      {"[FILES]", SECTION_FILES},
      {"[REGISTRY]", SECTION_REGISTRY},
      {"[SELF]", SECTION_SELF},
  };
  for (const auto& [pszLine, nSection] : cases) {
    CUpdateInfo info;
    EXPECT_TRUE(info.ParseLine(pszLine));
    EXPECT_EQ(info.m_nSection, nSection) << pszLine;
    ExpectClean(info);
  }
}

TEST(ParseLineHeaders, HeadersAreSearchedInFixedOrderAnywhereInTheLine) {
  CUpdateInfo info;
  EXPECT_TRUE(info.ParseLine("[FILES] NAME: x"));  // the rest of a header line is ignored
  EXPECT_EQ(info.m_nSection, SECTION_FILES);
  EXPECT_TRUE(info.ParseLine("[FILES][GENERAL]"));
  EXPECT_EQ(info.m_nSection, SECTION_GENERAL);
  EXPECT_TRUE(info.ParseLine("[x] [SELF] [REGISTRY]"));
  EXPECT_EQ(info.m_nSection, SECTION_REGISTRY);
  ExpectClean(info);
}

TEST(ParseLineHeaders, HeaderMustStartTheLineAndMatchCase) {
  CUpdateInfo info;
  EXPECT_FALSE(info.ParseLine(" [FILES]"));
  EXPECT_FALSE(info.ParseLine("[files]"));
  EXPECT_EQ(info.m_nSection, SECTION_NONE);
  EXPECT_EQ(info.m_arrMessages, (Messages{"Unrecognizable line: [FILES]", "Unrecognizable line:[files]"}));
  EXPECT_TRUE(info.m_bCorrupt);
  EXPECT_FALSE(info.m_bItemError);
}

TEST(ParseLineHeaders, AHeaderDoesNotEndTheCurrentItem) {
  CUpdateInfo info;
  ParseAll(info, {"[FILES]", "NUMBERITEMS: 1", "ITEM: 1", "[SELF]", "[FILES]", "NAME: a.dll"});
  ASSERT_EQ(info.m_arrItems.size(), 1u);
  EXPECT_EQ(info.m_arrItems[0]->m_strName, "a.dll");
  ExpectClean(info);
}

// ---- Lines that are not key lines -------------------------------------------

TEST(ParseLineUnknown, ALineWithoutColonIsUnrecognizable) {
  CUpdateInfo info;
  EXPECT_FALSE(info.ParseLine("[MISC]"));
  EXPECT_FALSE(info.ParseLine("VERSION 1.0"));
  EXPECT_EQ(info.m_arrMessages, (Messages{"Unrecognizable line:[MISC]", "Unrecognizable line:VERSION 1.0"}));
  EXPECT_TRUE(info.m_bCorrupt);
  EXPECT_FALSE(info.m_bItemError);
}

TEST(ParseLineUnknown, ALineWithColonButNoKeyIsUnrecognized) {
  CUpdateInfo info;
  EXPECT_FALSE(info.ParseLine("[MISC]: 1"));
  EXPECT_FALSE(info.ParseLine("version: 1.0"));  // keys match with exact case
  EXPECT_FALSE(info.ParseLine("VERSION : 1.0"));
  EXPECT_EQ(info.m_arrMessages, (Messages{"Unrecognized String:[MISC]: 1", "Unrecognized String:version: 1.0",
                                          "Unrecognized String:VERSION : 1.0"}));
  EXPECT_TRUE(info.m_bCorrupt);
  EXPECT_EQ(info.m_strVersion, "");
}

TEST(ParseLineUnknown, AFaultyLineLeavesSectionAndItemAlone) {
  CUpdateInfo info;
  OpenOneItem(info);
  CUpdateFileItem* pItem = info.m_pCurItem;
  info.ParseLine("garbage");
  info.ParseLine("gar: bage");
  EXPECT_EQ(info.m_nSection, SECTION_FILES);
  EXPECT_EQ(info.m_pCurItem, pItem);
  info.ParseLine("NAME: after.dll");
  EXPECT_EQ(pItem->m_strName, "after.dll");
}

// ---- The text value ------------------------------------------------------------

TEST(ParseLineValue, TextValueRules) {
  const std::pair<std::string, std::string> cases[] = {
      {"NAME:a.dll", "a.dll"},
      {"NAME:   a.dll  ", "a.dll  "},  // trailing spaces stay
      {"NAME:\ta.dll", "\ta.dll"},     // tabs are not skipped
      {"NAME:   ", " "},               // spaces only: the last one stays
      {"NAME: ", " "},
      {"NAME:", ""},                 // nothing after the colon
      {"NAME: a.dll\r\n", "a.dll"},  // line end left on by the caller
      {"NAME: a.dll\n", "a.dll"},
      {"NAME: a.dll\r", "a.dll"},
      {"NAME:   \r\n", ""},
      {"NAME: a\rb\nc", "a"},    // cut at the first LF, then at the first CR
      {"NAME: a:b:c", "a:b:c"},  // further colons stay
      {"NAME: x  \t", "x  \t"},
  };
  for (const auto& [strLine, strName] : cases) {
    CUpdateInfo info;
    OpenOneItem(info);
    EXPECT_TRUE(info.ParseLine(strLine));
    EXPECT_EQ(info.m_arrItems[0]->m_strName, strName) << strLine;
    ExpectClean(info);
  }
}

TEST(ParseLineValue, TheValueStartsAfterTheFirstColonOfTheLine) {
  CUpdateInfo info;
  OpenOneItem(info);
  info.ParseLine("LOCATION: C:\\Data");
  EXPECT_EQ(info.m_arrItems[0]->m_strLocation, "C:\\Data");
  // The key may sit after the first colon: the value still starts after it.
  info.ParseLine("X: NAME: y");
  EXPECT_EQ(info.m_arrItems[0]->m_strName, "NAME: y");
}

// ---- The number value -----------------------------------------------------------

TEST(ParseLineNumber, SizesFollowTheNumberRule) {
  const std::pair<const char*, ULONGLONG> cases[] = {
      {"SIZE: 12abc", 12},
      {"SIZE: abc", 0},
      {"SIZE:", 0},
      {"SIZE: 4294967295", 4294967295u},
      {"SIZE: -1", 4294967295u},  // 32-bit, then unsigned
      {"SIZE: 4294967296", 0},    // wraps modulo 2^32
      {"SIZE: 4294967297", 1},
      {"SIZE: 99999999999999999999", 1661992959u},  // 10^20 mod 2^32
      {"SIZE: +17", 17},
      {"SIZE:\t 42", 42},  // leading white space, tabs included
      {"SIZE: - 5", 0},    // the sign must touch the digits
      {"SIZE: --5", 0},
      {"SIZE: 007", 7},
      {"SIZE: 1.5e3", 1},
  };
  for (const auto& [pszLine, nSize] : cases) {
    CUpdateInfo info;
    OpenOneItem(info);
    info.ParseLine(pszLine);
    EXPECT_EQ(info.m_arrItems[0]->m_nSize, nSize) << pszLine;
    ExpectClean(info);
  }
}

TEST(ParseLineNumber, CountsAreUnsigned32Bit) {
  CUpdateInfo info;
  ParseAll(info, {"[FILES]", "NUMBERITEMS: -1", "[REGISTRY]", "NUMBERITEMS: 4294967298"});
  EXPECT_EQ(info.m_nNumberItems, 4294967295u);
  EXPECT_EQ(info.m_nNumberRegItems, 2u);
  ExpectClean(info);
}

// ---- Flags and replace letters -------------------------------------------------

TEST(ParseLineFlags, OnlyAFirstYSetsAFlagAndNothingClearsIt) {
  CUpdateInfo info;
  ParseAll(info, {"[GENERAL]", "REBOOT: N", "REBOOT: yes"});
  EXPECT_TRUE(info.m_bReboot);
  info.ParseLine("REBOOT: N");
  EXPECT_TRUE(info.m_bReboot);

  CUpdateInfo other;
  ParseAll(other, {"[GENERAL]", "REBOOT: true", "REBOOT:", "REBOOT:  Y", "[SELF]", "SCOMPRESSED: no"});
  EXPECT_TRUE(other.m_bReboot);  // leading spaces are skipped before the first character
  EXPECT_FALSE(other.m_bSelfCompressed);
  other.ParseLine("SCOMPRESSED: y");
  other.ParseLine("SCOMPRESSED: N");
  EXPECT_TRUE(other.m_bSelfCompressed);
  ExpectClean(other);
}

TEST(ParseLineFlags, ACompressedItemStaysCompressed) {
  CUpdateInfo info;
  OpenOneItem(info);
  info.ParseLine("COMPRESSED: Y");
  info.ParseLine("COMPRESSED: N");
  EXPECT_TRUE(info.m_arrItems[0]->m_bCompressed);
}

TEST(ParseLineFlags, ReplaceLetters) {
  const std::pair<std::vector<const char*>, LONG> cases[] = {
      {{"REPLACE: Y"}, 1},
      {{"REPLACE: y"}, 1},
      {{"REPLACE: no"}, -1},
      {{"REPLACE: N"}, -1},
      {{"REPLACE: always"}, 0},
      {{"REPLACE: A"}, 0},
      {{"REPLACE: no", "REPLACE: X"}, -1},  // any other letter leaves the mode
      {{"REPLACE: a", "REPLACE:"}, 0},
      {{"REPLACE: a", "REPLACE: Yes"}, 1},
  };
  for (const auto& [lines, nReplace] : cases) {
    CUpdateInfo info;
    OpenOneItem(info);
    for (const char* pszLine : lines) EXPECT_TRUE(info.ParseLine(pszLine));
    EXPECT_EQ(info.m_arrItems[0]->m_nReplace, nReplace) << lines.back();
    ExpectClean(info);
  }
}

// ---- Key search order ---------------------------------------------------------------

TEST(ParseLineKeys, KeysAreFoundAnywhereInTheLine) {
  CUpdateInfo info;
  OpenOneItem(info);
  info.ParseLine("FILENAME: a.dll");
  EXPECT_EQ(info.m_arrItems[0]->m_strName, "a.dll");
  info.ParseLine("FILESIZE: 77");
  EXPECT_EQ(info.m_arrItems[0]->m_nSize, 77u);
  ExpectClean(info);
}

TEST(ParseLineKeys, PrefixedSelfKeysAreNotTakenForTheirShortForms) {
  CUpdateInfo info;
  ParseAll(info, {"[SELF]", "SVERSION: 9.9", "SNAME: up.exe", "SCOMPRESSED: Y"});
  EXPECT_EQ(info.m_strSelfVersion, "9.9");
  EXPECT_EQ(info.m_strSelfName, "up.exe");
  EXPECT_TRUE(info.m_bSelfCompressed);
  EXPECT_EQ(info.m_strVersion, "");
  ExpectClean(info);
}

TEST(ParseLineKeys, TheEarlierKeyInTheFixedOrderWins) {
  CUpdateInfo info;
  OpenOneItem(info);
  // NAME: comes before SIZE: and LOCATION: in the search order, wherever it stands.
  info.ParseLine("SIZE: 5 NAME: n");
  EXPECT_EQ(info.m_arrItems[0]->m_strName, "5 NAME: n");
  EXPECT_EQ(info.m_arrItems[0]->m_nSize, 0u);
  // VERSION: comes before every item key: this is a misplaced version line.
  info.ParseLine("NAME: VERSION: 3");
  EXPECT_EQ(info.m_strVersion, "VERSION: 3");
  EXPECT_EQ(info.m_arrMessages, Messages{"Possible File Corruption: Unheaded Version Info"});
}

TEST(ParseLineKeys, EachKeyIsSearchedBeforeTheNextOne) {
  // Every line holds two neighbours of the search order, the later one first;
  // the earlier one must win. The value still starts after the first colon.
  CUpdateInfo info;
  ParseAll(info, {"[GENERAL]", "REBOOT: Y VERSION: 3"});
  EXPECT_EQ(info.m_strVersion, "Y VERSION: 3");
  EXPECT_FALSE(info.m_bReboot);
  ParseAll(info, {"NUMBERITEMS: Y REBOOT: N"});
  EXPECT_TRUE(info.m_bReboot);
  ParseAll(info, {"[FILES]", "ITEM: 9 NUMBERITEMS: 3"});
  EXPECT_EQ(info.m_nNumberItems, 9u);
  EXPECT_TRUE(info.m_arrItems.empty());
  ParseAll(info, {"NAME: 1 ITEM: x"});
  ASSERT_EQ(info.m_arrItems.size(), 1u);
  CUpdateFileItem& item = *info.m_arrItems[0];
  ParseAll(info, {"SIZE: 1 NAME: n"});
  EXPECT_EQ(item.m_strName, "1 NAME: n");
  ParseAll(info, {"SIZE: 7", "LOCATION: l SIZE: 5"});
  EXPECT_EQ(item.m_nSize, 0u);
  ParseAll(info, {"REPLACE: N LOCATION: l"});
  EXPECT_EQ(item.m_strLocation, "N LOCATION: l");
  ParseAll(info, {"COMPRESSED: A REPLACE: Y"});
  EXPECT_EQ(item.m_nReplace, 0);
  EXPECT_FALSE(item.m_bCompressed);
  ExpectClean(info);
}

// ---- Keys outside their section ------------------------------------------------

struct MisplacedCase {
  const char* pszLine;
  const char* pszMessage;
};

// Every key that belongs to [FILES] or [SELF], written where it does not belong.
const MisplacedCase kMisplacedOutsideFilesAndRegistry[] = {
    {"NUMBERITEMS: 3", "Possible File Corruption: Invalid NumberItems Spec."},
    {"ITEM: 1", "Possible File Corruption: Invalid ITEM: Spec."},
    {"NAME: a.dll", "Possible File Corruption: Invalid NAME Spec."},
    {"SIZE: 10", "Possible File Corruption: Invalid SIZE Spec."},
    {"LOCATION: x", "Possible File Corruption: Invalid LOCATION Spec."},
    {"REPLACE: N", "Possible File Corruption: Invalid REPLACE: Spec."},
    {"COMPRESSED: Y", "Possible File Corruption: Invalid COMPRESSED Spec."},
};
const MisplacedCase kMisplacedOutsideSelf[] = {
    {"SVERSION: 1.0", "Possible File Corruption: Invalid SVERSION Spec."},
    {"SNAME: u.exe", "Possible File Corruption: Invalid SNAME Spec."},
    {"SCOMPRESSED: Y", "Possible File Corruption: Invalid SCOMPRESSED Spec."},
};

void ExpectMisplaced(const std::vector<const char*>& setup, const MisplacedCase& c) {
  CUpdateInfo info;
  for (const char* pszLine : setup) info.ParseLine(pszLine);
  const LONG nSection = info.m_nSection;
  const DWORD nItems = info.m_nNumberItems;
  const std::size_t nListed = info.m_arrItems.size();
  EXPECT_TRUE(info.ParseLine(c.pszLine)) << c.pszLine;
  EXPECT_EQ(info.m_arrMessages, Messages{c.pszMessage}) << c.pszLine;
  EXPECT_TRUE(info.m_bCorrupt);
  EXPECT_FALSE(info.m_bItemError);
  EXPECT_EQ(info.m_nSection, nSection);
  EXPECT_EQ(info.m_nNumberItems, nItems);
  EXPECT_EQ(info.m_nNumberRegItems, 0u);
  EXPECT_EQ(info.m_arrItems.size(), nListed);
  EXPECT_EQ(info.m_strSelfVersion, "");
  EXPECT_EQ(info.m_strSelfName, "");
  EXPECT_FALSE(info.m_bSelfCompressed);
  for (const auto& pItem : info.m_arrItems) {
    EXPECT_EQ(pItem->m_strName, "");
    EXPECT_EQ(pItem->m_nSize, 0u);
    EXPECT_EQ(pItem->m_nReplace, 1);
  }
}

TEST(ParseLineMisplaced, FileKeysOutsideFilesAndRegistry) {
  for (const auto& setup : std::vector<std::vector<const char*>>{
           {}, {"[GENERAL]"}, {"[SELF]"}, {"[FILES]", "NUMBERITEMS: 1", "ITEM: 1", "[GENERAL]"}}) {
    for (const MisplacedCase& c : kMisplacedOutsideFilesAndRegistry) ExpectMisplaced(setup, c);
  }
}

TEST(ParseLineMisplaced, SelfKeysOutsideSelf) {
  for (const auto& setup :
       std::vector<std::vector<const char*>>{{}, {"[GENERAL]"}, {"[FILES]"}, {"[REGISTRY]"}}) {
    for (const MisplacedCase& c : kMisplacedOutsideSelf) ExpectMisplaced(setup, c);
  }
}

TEST(ParseLineMisplaced, VersionAndRebootTakeEffectAllTheSame) {
  for (const char* pszSection : {"", "[FILES]", "[REGISTRY]", "[SELF]"}) {
    CUpdateInfo info;
    info.ParseLine(pszSection);
    EXPECT_TRUE(info.ParseLine("VERSION: 2.0"));
    EXPECT_TRUE(info.ParseLine("REBOOT: Y"));
    EXPECT_EQ(info.m_strVersion, "2.0");
    EXPECT_TRUE(info.m_bReboot);
    EXPECT_EQ(info.m_arrMessages, (Messages{"Possible File Corruption: Unheaded Version Info",
                                            "Possible File Corruption: Unheaded Reboot Spec."}))
        << pszSection;
    EXPECT_TRUE(info.m_bCorrupt);
    EXPECT_FALSE(info.m_bItemError);
  }
}

TEST(ParseLineMisplaced, RegistryIgnoresItemKeysSilently) {
  CUpdateInfo info;
  OpenOneItem(info);
  info.ParseLine("[REGISTRY]");
  for (const char* pszLine :
       {"ITEM: 1", "ITEM: 99", "NAME: r", "SIZE: 5", "LOCATION: HKLM", "REPLACE: N", "COMPRESSED: Y"}) {
    EXPECT_TRUE(info.ParseLine(pszLine)) << pszLine;
  }
  ExpectClean(info);
  ASSERT_EQ(info.m_arrItems.size(), 1u);
  EXPECT_EQ(info.m_arrItems[0]->m_strName, "");
  EXPECT_EQ(info.m_arrItems[0]->m_nReplace, 1);
  EXPECT_FALSE(info.m_arrItems[0]->m_bCompressed);
  EXPECT_EQ(info.m_nNumberItems, 2u);
}

// ---- Items -------------------------------------------------------------------------

TEST(ParseLineItems, ItemNumbersMustLieWithinTheDeclaredCount) {
  CUpdateInfo info;
  ParseAll(info, {"[FILES]", "ITEM: 1"});  // no count declared yet
  EXPECT_TRUE(info.m_arrItems.empty());
  ParseAll(info, {"NUMBERITEMS: 2", "ITEM: 0", "ITEM: 3", "ITEM: -1", "ITEM: x"});
  EXPECT_TRUE(info.m_arrItems.empty());
  EXPECT_EQ(info.m_pCurItem, nullptr);
  EXPECT_EQ(info.m_arrMessages, (Messages{"File Item 1 not within range.", "File Item 0 not within range.",
                                          "File Item 3 not within range.", "File Item -1 not within range.",
                                          "File Item 0 not within range."}));
  EXPECT_TRUE(info.m_bItemError);
  EXPECT_FALSE(info.m_bCorrupt);
}

TEST(ParseLineItems, TheRangeTestIsUnsigned) {
  CUpdateInfo info;
  // -1 declares 4294967295 items, so every nonzero item number fits, -5 included.
  ParseAll(info, {"[FILES]", "NUMBERITEMS: -1", "ITEM: -5", "ITEM: 4294967297"});
  EXPECT_EQ(info.m_arrItems.size(), 2u);
  ExpectClean(info);
}

TEST(ParseLineItems, ItemsEnterTheListInLineOrderAndMayRepeat) {
  CUpdateInfo info;
  ParseAll(info, {"[FILES]", "NUMBERITEMS: 2", "ITEM: 2", "NAME: two", "ITEM: 1", "NAME: one", "ITEM: 1",
                  "ITEM: 1", "ITEM: 1"});
  ASSERT_EQ(info.m_arrItems.size(), 5u);  // more than the declared count
  EXPECT_EQ(info.m_arrItems[0]->m_strName, "two");
  EXPECT_EQ(info.m_arrItems[1]->m_strName, "one");
  EXPECT_EQ(info.m_pCurItem, info.m_arrItems[4].get());
  ExpectClean(info);
}

TEST(ParseLineItems, AnOutOfRangeItemLeavesThePreviousItemCurrent) {
  CUpdateInfo info;
  ParseAll(info, {"[FILES]", "NUMBERITEMS: 1", "ITEM: 1", "NAME: first", "ITEM: 7", "NAME: renamed"});
  ASSERT_EQ(info.m_arrItems.size(), 1u);
  EXPECT_EQ(info.m_arrItems[0]->m_strName, "renamed");
  EXPECT_EQ(info.m_arrMessages, Messages{"File Item 7 not within range."});
}

TEST(ParseLineItems, ItemKeysWithoutAnItem) {
  CUpdateInfo info;
  info.ParseLine("[FILES]");
  for (const char* pszLine : {"NAME: a.dll", "SIZE: 1", "LOCATION: x", "REPLACE: N", "COMPRESSED: Y"}) {
    EXPECT_TRUE(info.ParseLine(pszLine)) << pszLine;
  }
  EXPECT_EQ(info.m_arrMessages,
            (Messages{"Got Name and No File Specified.", "Got Size and No File Specified.",
                      "Got Location and no File Specified.", "Got REPLACE and no File Specified.",
                      "Got Compression and No File Specified."}));
  EXPECT_TRUE(info.m_bItemError);
  EXPECT_FALSE(info.m_bCorrupt);
  EXPECT_TRUE(info.m_arrItems.empty());
}

TEST(ParseLineItems, FlagsAndMessagesAccumulate) {
  CUpdateInfo info;
  ParseAll(info,
           {"junk", "[FILES]", "ITEM: 1", "NAME: x", "[FILES]", "NUMBERITEMS: 1", "ITEM: 1", "NAME: y"});
  EXPECT_TRUE(info.m_bCorrupt);
  EXPECT_TRUE(info.m_bItemError);
  EXPECT_EQ(info.m_arrMessages, (Messages{"Unrecognizable line:junk", "File Item 1 not within range.",
                                          "Got Name and No File Specified."}));
  ASSERT_EQ(info.m_arrItems.size(), 1u);
  EXPECT_EQ(info.m_arrItems[0]->m_strName, "y");
}

// ---- Whole manifests as the server sends them ------------------------------------

TEST(ParseManifest, WorkedManifestWithLineFeeds) {
  ExpectWorkedRecord(ParseBody(kWorkedManifest));
}

TEST(ParseManifest, WorkedManifestWithCarriageReturnLineFeeds) {
  std::string strBody;
  for (const char c : std::string(kWorkedManifest)) {
    if (c == '\n') strBody += '\r';
    strBody += c;
  }
  ExpectWorkedRecord(ParseBody(strBody));
}

TEST(ParseManifest, WorkedManifestWithoutFinalLineFeed) {
  std::string strBody = kWorkedManifest;
  strBody.pop_back();
  ExpectWorkedRecord(ParseBody(strBody));
}

TEST(ParseManifest, WorkedManifestFedLineByLineWithLineEndsLeftOn) {
  // A caller that does not strip line ends gets the same record.
  CUpdateInfo info;
  std::string strLine;
  for (const char c : std::string(kWorkedManifest)) {
    if (c == '\n') {
      info.ParseLine(strLine + "\r\n");
      strLine.clear();
    } else {
      strLine += c;
    }
  }
  ExpectWorkedRecord(info);
}

TEST(ParseManifest, BlankLinesAndMixedLineEndsAreHarmless) {
  const CUpdateInfo info =
      ParseBody("\r\n\n[GENERAL]\r\n\r\nVERSION: 3.1\n\n[FILES]\rNUMBERITEMS: 1\nITEM: 1\r\r\n");
  // The lone carriage return after [FILES] is dropped, which joins the two
  // lines: the header wins and NUMBERITEMS is lost, so ITEM: 1 is out of range.
  EXPECT_EQ(info.m_strVersion, "3.1");
  EXPECT_EQ(info.m_nSection, SECTION_FILES);
  EXPECT_TRUE(info.m_arrItems.empty());
  EXPECT_EQ(info.m_arrMessages, Messages{"File Item 1 not within range."});
}

}  // namespace
