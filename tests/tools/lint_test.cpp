// qvnpack lint run as a process on manifests in a temporary folder.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "support/programs.h"
#include "support/temp_dir.h"

namespace {

using qvntest::ProcessResult;
using qvntest::RunQvnpack;

class LintTest : public testing::Test {
 protected:
  std::string Write(const std::string& strName, const std::string& strData) {
    qvntest::WriteFile(m_temp.Path() / strName, strData);
    return m_temp / strName;
  }
  qvntest::TempDir m_temp;
};

// The example manifest of the publisher's guide, as a Windows server sends
// it: CRLF line ends and no line feed after the last line.
const char kWorkedManifest[] =
    "[GENERAL]\r\nVERSION: 1.2.0.5\r\nREBOOT: N\r\n"
    "[FILES]\r\nNUMBERITEMS: 2\r\n"
    "ITEM: 1\r\nNAME: Engine.dll.crz\r\nSIZE: 9216\r\nLOCATION: Program\r\nREPLACE: Y\r\nCOMPRESSED: Y\r\n"
    "ITEM: 2\r\nNAME: ReadMe.txt\r\nSIZE: 1502\r\nREPLACE: Y\r\nCOMPRESSED: N\r\n"
    "[REGISTRY]\r\nNUMBERITEMS: 0\r\n"
    "[SELF]\r\nSVERSION: 1.0.0.2\r\nSNAME: Updater.exe\r\nSCOMPRESSED: N";

// ---- JSON output ------------------------------------------------------------------

TEST_F(LintTest, JsonOfTheWorkedManifest) {
  const ProcessResult run = RunQvnpack({"lint", "--json", Write("UpdateInfo.txt", kWorkedManifest)});
  EXPECT_EQ(run.nExit, 0);
  EXPECT_EQ(run.strOut,
            "{\"version\": \"1.2.0.5\", \"reboot\": false, \"numberItems\": 2, \"numberRegItems\": 0, "
            "\"items\": [{\"name\": \"Engine.dll.crz\", \"size\": 9216, \"location\": \"Program\", "
            "\"replace\": 1, \"compressed\": true}, {\"name\": \"ReadMe.txt\", \"size\": 1502, "
            "\"location\": \"\", \"replace\": 1, \"compressed\": false}], \"selfVersion\": \"1.0.0.2\", "
            "\"selfName\": \"Updater.exe\", \"selfCompressed\": false, \"section\": 4, \"corrupt\": false, "
            "\"itemError\": false, \"messages\": [], \"curItem\": 1, \"errors\": []}\n");
  EXPECT_EQ(run.strErr, "");
}

TEST_F(LintTest, JsonOfAManifestWithFaultsAndLatin1Text) {
  const std::string strManifest =
      "VERSION: 2.0\n"  // before any header
      "[FILES]\n"
      "NAME: orphan\n"     // no item yet
      "NUMBERITEMS: -1\n"  // unsigned: 4294967295
      "ITEM: 7\n"
      "NAME: Caf\xE9 \"x\"\\y.dll\n"  // Latin-1 byte, quote, backslash
      "SIZE: -1\n"
      "LOCATION:\tna\xC3\xAFve\n"  // valid UTF-8 stays as it is, tab escaped
      "REPLACE: always\n"
      "[SELF]\n"
      "SNAME: \xFF\x01\n"
      "[REGISTRY]\n"
      "NUMBERITEMS: 3\n"
      "garbage \xE9\n";
  const ProcessResult run = RunQvnpack({"lint", Write("faulty.txt", strManifest), "--json"});
  EXPECT_EQ(run.nExit, 1);
  EXPECT_EQ(
      run.strOut.rfind(
          "{\"version\": \"2.0\", \"reboot\": false, \"numberItems\": 4294967295, \"numberRegItems\": 3, "
          "\"items\": [{\"name\": \"Caf\xC3\xA9 \\\"x\\\"\\\\y.dll\", \"size\": 4294967295, "
          "\"location\": \"\\u0009na\xC3\xAFve\", \"replace\": 0, \"compressed\": false}], "
          "\"selfVersion\": \"\", \"selfName\": \"\xC3\xBF\\u0001\", \"selfCompressed\": false, "
          "\"section\": 3, \"corrupt\": true, \"itemError\": true, \"messages\": ["
          "\"Possible File Corruption: Unheaded Version Info\", \"Got Name and No File Specified.\", "
          "\"Unrecognizable line:garbage \xC3\xA9\"], \"curItem\": 0, \"errors\": [",
          0),
      0u)
      << run.strOut;
  EXPECT_NE(
      run.strOut.find("\"item #1 \\\"Caf\xC3\xA9 \\\"x\\\"\\\\y.dll\\\": SIZE \\\"-1\\\" is not a number"),
      std::string::npos)
      << run.strOut;
}

TEST_F(LintTest, JsonOfAnEmptyFile) {
  const ProcessResult run = RunQvnpack({"lint", "--json", Write("empty.txt", "")});
  EXPECT_EQ(run.nExit, 1);  // no version
  EXPECT_EQ(
      run.strOut,
      "{\"version\": \"\", \"reboot\": false, \"numberItems\": 0, \"numberRegItems\": 0, \"items\": [], "
      "\"selfVersion\": \"\", \"selfName\": \"\", \"selfCompressed\": false, \"section\": -1, "
      "\"corrupt\": false, \"itemError\": false, \"messages\": [], \"curItem\": null, \"errors\": [\"no "
      "version is given; the updater reads it as 0 and never installs this update\"]}\n");
}

TEST_F(LintTest, LoneCarriageReturnsAreDroppedAsTheUpdaterDoes) {
  // "\r" alone ends no line: the two lines join, the joined line reads as a
  // header, and the version on it is lost.
  const ProcessResult run = RunQvnpack({"lint", "--json", Write("cr.txt", "[GENERAL]\rVERSION: 1\n")});
  EXPECT_EQ(run.nExit, 1);
  EXPECT_NE(run.strOut.find("\"section\": 1,"), std::string::npos) << run.strOut;
  EXPECT_NE(run.strOut.find("\"version\": \"\","), std::string::npos) << run.strOut;
}

// ---- Text output ---------------------------------------------------------------------

TEST_F(LintTest, TextShowsVersionItemsAndNoDiagnostic) {
  const ProcessResult run = RunQvnpack({"lint", Write("UpdateInfo.txt", kWorkedManifest)});
  EXPECT_EQ(run.nExit, 0);
  for (const char* pszExpected :
       {"Version:      \"1.2.0.5\"", "2 listed, 2 declared", "#1 \"Engine.dll.crz\"",
        "size 9216 bytes, compressed yes, replace Y (1), location \"Program\"", "#2 \"ReadMe.txt\"",
        "size 1502 bytes, compressed no, replace Y (1), location \"\"",
        "version \"1.0.0.2\", name \"Updater.exe\", compressed no", "Diagnostics:  none"}) {
    EXPECT_NE(run.strOut.find(pszExpected), std::string::npos) << pszExpected << "\n" << run.strOut;
  }
  EXPECT_EQ(run.strOut.find("Notes:"), std::string::npos) << run.strOut;
}

TEST_F(LintTest, TextListsEveryDiagnosticAndNotesWhatTheUpdaterRefuses) {
  const ProcessResult run =
      RunQvnpack({"lint", Write("bad.txt",
                                "[FILES]\nNUMBERITEMS: 2\nITEM: 1\nNAME: ../evil.dll\n"
                                "ITEM: 3\nSIZE: 12 \n[GENERAL]\nSIZE: 1\nREBOOT: y\n")});
  EXPECT_EQ(run.nExit, 1);
  for (const char* pszExpected :
       {"Version:      \"\"", "Reboot:       yes", "1 listed, 2 declared", "#1 \"../evil.dll\"",
        "size 12 bytes", "Diagnostics:  2 (structural faults: yes, item errors: yes)",
        "  File Item 3 not within range.\n", "  Possible File Corruption: Invalid SIZE Spec.\n",
        "no version is given", "NUMBERITEMS declares 2 file items, but 1 are listed",
        "item #1 \"../evil.dll\": the updater refuses this name: the name has a \"..\" part"}) {
    EXPECT_NE(run.strOut.find(pszExpected), std::string::npos) << pszExpected << "\n" << run.strOut;
  }
}

TEST_F(LintTest, TextNotesAnOversizedManifest) {
  std::string strManifest = "[GENERAL]\nVERSION: 1.0\n";
  strManifest.append(1024 * 1024, '\n');
  const ProcessResult run = RunQvnpack({"lint", Write("big.txt", strManifest)});
  EXPECT_EQ(run.nExit, 1);
  EXPECT_NE(run.strOut.find("the updater refuses manifests larger than 1 MiB"), std::string::npos);
  // Its whole size is told, though only as much as the updater reads is read:
  // a file without end is no different.
  EXPECT_NE(run.strOut.find("the file has 1048599 bytes"), std::string::npos) << run.strOut;
  const ProcessResult endless = RunQvnpack({"lint", "/dev/zero"});
  EXPECT_EQ(endless.nExit, 1);
  EXPECT_NE(endless.strOut.find("the updater refuses manifests larger than 1 MiB"), std::string::npos);
}

// What the parser reads without a diagnostic but every updater refuses or
// misreads: an error each, exit status 1; what it reads as written passes.
TEST_F(LintTest, ErrorsForWhatBreaksOrMisleadsTheUpdater) {
  struct Case {
    const char* general;  // the [GENERAL] lines
    const char* item;     // the lines of the one item
    const char* error;    // the error's first words; null for none
  };
  const Case cases[] = {
      {"VERSION: 1.2.0.5", "NAME: ../x", "item #1 \"../x\": the updater refuses this name"},
      {"VERSION: 1.2.0.5", "NAME: QVNUPD1.TMP",
       "item #1 \"QVNUPD1.TMP\": the updater refuses the installed name"},
      {"VERSION: 1.2.0.5", "NAME: sub/.qvnupdate-journal",
       "item #1 \"sub/.qvnupdate-journal\": the updater refuses the installed name"},
      {"VERSION: 1.2.0.5", "NAME: QVNUPD1.TMP.crz\nCOMPRESSED: Y",
       "item #1 \"QVNUPD1.TMP.crz\": the updater refuses the installed name"},
      {"VERSION: 1.2.0.5", "NAME: ReadMe.txt\nCOMPRESSED: Y",
       "item #1 \"ReadMe.txt\": it is marked compressed, but"},
      {"VERSION: 1.2.0.5", "NAME: a.dll\nSIZE: abc",
       "item #1 \"a.dll\": SIZE \"abc\" is not a number; the updater reads it as 0"},
      {"VERSION: 1.2.0.5", "NAME: a.dll\nSIZE: -1", "item #1 \"a.dll\": SIZE \"-1\" is not a number"},
      {"VERSION: 1.2.0.5", "NAME: a.dll\nSIZE: 4294967306",
       "item #1 \"a.dll\": SIZE 4294967306 is more than 4294967295; the updater reads it as 10"},
      {"VERSION: 1.2.0.5", "NAME: a.dll\nSIZE: 12kB", "item #1 \"a.dll\": SIZE \"12kB\" is not a number"},
      {"REBOOT: N", "NAME: a.dll", "no version is given"},
      {"VERSION: v2.0", "NAME: a.dll", "the version \"v2.0\" is not one the updater reads as written"},
      {"VERSION: 1.x", "NAME: a.dll", "the version \"1.x\" is not one"},
      {"VERSION: 1.70000", "NAME: a.dll", "the version \"1.70000\" is not one"},
      {"VERSION: 1..2", "NAME: a.dll", "the version \"1..2\" is not one"},
      // Read as written.
      {"VERSION: 65535.0.1", "NAME: a.dll\nSIZE: 4294967295", nullptr},
      {"VERSION: 7", "NAME: a.dll.crz\nSIZE: 12 \nCOMPRESSED: Y", nullptr},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.item);
    const std::string strFile = Write("case.txt", "[GENERAL]\n" + std::string(c.general) +
                                                      "\n[FILES]\nNUMBERITEMS: 1\nITEM: 1\n" + c.item + "\n");
    const ProcessResult text = RunQvnpack({"lint", strFile});
    const ProcessResult json = RunQvnpack({"lint", "--json", strFile});
    EXPECT_EQ(text.nExit, c.error ? 1 : 0) << text.strOut;
    EXPECT_EQ(json.nExit, text.nExit);
    if (c.error) {
      EXPECT_NE(text.strOut.find("Errors:       1 ("), std::string::npos) << text.strOut;
      EXPECT_NE(text.strOut.find("\n  " + std::string(c.error)), std::string::npos) << text.strOut;
      EXPECT_NE(json.strOut.find("\"errors\": [\""), std::string::npos) << json.strOut;
    } else {
      EXPECT_NE(text.strOut.find("Errors:       none"), std::string::npos) << text.strOut;
      EXPECT_NE(json.strOut.find("\"errors\": []}"), std::string::npos) << json.strOut;
    }
  }
  // A declared count that does not match.
  const ProcessResult count = RunQvnpack(
      {"lint", Write("count.txt", "[GENERAL]\nVERSION: 1\n[FILES]\nNUMBERITEMS: 3\nITEM: 1\nNAME: a\n")});
  EXPECT_EQ(count.nExit, 1);
  EXPECT_NE(count.strOut.find("  NUMBERITEMS declares 3 file items, but 1 are listed"), std::string::npos);
  // Two items installed as one file.
  const ProcessResult twice =
      RunQvnpack({"lint", Write("twice.txt",
                                "[GENERAL]\nVERSION: 1\n[FILES]\nNUMBERITEMS: 2\nITEM: 1\n"
                                "NAME: a.txt\nITEM: 2\nNAME: A.TXT.crz\nCOMPRESSED: Y\n")});
  EXPECT_EQ(twice.nExit, 1);
  EXPECT_NE(twice.strOut.find("  item #2 \"A.TXT.crz\": it installs \"A.TXT\", as item #1 \"a.txt\" does"),
            std::string::npos)
      << twice.strOut;
  const ProcessResult folder =
      RunQvnpack({"lint", Write("folder.txt",
                                "[GENERAL]\nVERSION: 1\n[FILES]\nNUMBERITEMS: 2\nITEM: 1\nNAME: Data\n"
                                "ITEM: 2\nNAME: data/x.txt\n")});
  EXPECT_EQ(folder.nExit, 1);
  EXPECT_NE(
      folder.strOut.find("  item #1 \"Data\": it installs the file \"Data\" where item #2 \"data/x.txt\" "
                         "needs a folder"),
      std::string::npos)
      << folder.strOut;
  // A byte-order mark, which some editors write unasked.
  const ProcessResult bom =
      RunQvnpack({"lint", Write("bom.txt", "\xEF\xBB\xBF[GENERAL]\nVERSION: 1\n[FILES]\nNUMBERITEMS: 0\n")});
  EXPECT_EQ(bom.nExit, 1);
  EXPECT_NE(bom.strOut.find("  the file starts with a UTF-8 byte-order mark"), std::string::npos)
      << bom.strOut;
}

// ---- Exit statuses and errors ---------------------------------------------------------

TEST_F(LintTest, UnreadableFilesExitWithTwoAndSayWhy) {
  const ProcessResult missing = RunQvnpack({"lint", m_temp / "missing.txt"});
  EXPECT_EQ(missing.nExit, 2);
  EXPECT_EQ(missing.strOut, "");
  EXPECT_NE(missing.strErr.find("missing.txt"), std::string::npos) << missing.strErr;
  EXPECT_NE(missing.strErr.find("No such file or directory"), std::string::npos) << missing.strErr;

  const ProcessResult folder = RunQvnpack({"lint", "--json", m_temp.Path().string()});
  EXPECT_EQ(folder.nExit, 2);
  EXPECT_EQ(folder.strOut, "");
  EXPECT_NE(folder.strErr.find("Is a directory"), std::string::npos) << folder.strErr;
}

TEST_F(LintTest, WrongArgumentsExitWithTwo) {
  const std::string strFile = Write("UpdateInfo.txt", kWorkedManifest);
  for (const std::vector<std::string>& args : std::vector<std::vector<std::string>>{
           {"lint"}, {"lint", "--json"}, {"lint", strFile, strFile}, {"lint", "--jsn", strFile}}) {
    const ProcessResult run = RunQvnpack(args);
    EXPECT_EQ(run.nExit, 2) << args.back();
    EXPECT_EQ(run.strOut, "");
    EXPECT_NE(run.strErr.find("qvnpack --help"), std::string::npos) << run.strErr;
  }
}

TEST_F(LintTest, EveryCommandAnswersHelp) {
  for (const char* pszCommand : {"lint", "build", "serve", "version", "vercmp", "compress", "expand"}) {
    for (const char* pszHelp : {"--help", "-h"}) {
      const ProcessResult run = RunQvnpack({pszCommand, pszHelp});
      EXPECT_EQ(run.nExit, 0) << pszCommand << run.strErr;
      EXPECT_EQ(run.strOut.rfind("Usage: qvnpack", 0), 0u) << pszCommand;
    }
  }
}

TEST_F(LintTest, DoubleDashAllowsAFileNamedLikeAnOption) {
  Write("--json", kWorkedManifest);
  const ProcessResult run = RunQvnpack({"lint", "--json", "--", m_temp / "--json"});
  EXPECT_EQ(run.nExit, 0);
  EXPECT_NE(run.strOut.find("\"version\": \"1.2.0.5\""), std::string::npos);
}

}  // namespace
