// qvnpack lint run as a process on manifests in a temporary folder.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <thread>
#include <vector>

namespace {

namespace fs = std::filesystem;

struct LintRun {
  int nExit = -1;
  std::string strOut;
  std::string strErr;
};

std::string ReadAll(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

class LintTest : public testing::Test {
 protected:
  void SetUp() override {
    std::string strTemplate = (fs::temp_directory_path() / "qvnlint-XXXXXX").string();
    ASSERT_NE(mkdtemp(strTemplate.data()), nullptr);
    m_dir = strTemplate;
  }
  void TearDown() override {
    std::error_code ec;
    fs::remove_all(m_dir, ec);
  }

  std::string Write(const std::string& strName, const std::string& strData) {
    const fs::path path = m_dir / strName;
    std::ofstream(path, std::ios::binary).write(strData.data(), static_cast<std::streamsize>(strData.size()));
    return path.string();
  }

  // Runs qvnpack with args; output goes to files so that the child can never
  // block on a full pipe, and the child is killed after 30 seconds.
  LintRun Qvnpack(std::vector<std::string> args) {
    args.insert(args.begin(), QVN_BIN_DIR "/qvnpack");
    std::vector<char*> argv;
    for (std::string& s : args) argv.push_back(s.data());
    argv.push_back(nullptr);
    const std::string strOut = (m_dir / "stdout").string();
    const std::string strErr = (m_dir / "stderr").string();
    const pid_t pid = fork();
    if (pid == 0) {
      const int fdOut = open(strOut.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
      const int fdErr = open(strErr.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
      if (fdOut < 0 || fdErr < 0 || dup2(fdOut, 1) < 0 || dup2(fdErr, 2) < 0) _exit(126);
      execv(argv[0], argv.data());
      _exit(127);
    }
    LintRun run;
    if (pid < 0) return run;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    int nStatus = 0;
    while (waitpid(pid, &nStatus, WNOHANG) == 0) {
      if (std::chrono::steady_clock::now() > deadline) {
        kill(pid, SIGKILL);
        waitpid(pid, &nStatus, 0);
        ADD_FAILURE() << "qvnpack did not finish within 30 seconds";
        return run;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    run.nExit = WIFEXITED(nStatus) ? WEXITSTATUS(nStatus) : -1;
    run.strOut = ReadAll(strOut);
    run.strErr = ReadAll(strErr);
    return run;
  }

  fs::path m_dir;
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
  const LintRun run = Qvnpack({"lint", "--json", Write("UpdateInfo.txt", kWorkedManifest)});
  EXPECT_EQ(run.nExit, 0);
  EXPECT_EQ(run.strOut,
            "{\"version\": \"1.2.0.5\", \"reboot\": false, \"numberItems\": 2, \"numberRegItems\": 0, "
            "\"items\": [{\"name\": \"Engine.dll.crz\", \"size\": 9216, \"location\": \"Program\", "
            "\"replace\": 1, \"compressed\": true}, {\"name\": \"ReadMe.txt\", \"size\": 1502, "
            "\"location\": \"\", \"replace\": 1, \"compressed\": false}], \"selfVersion\": \"1.0.0.2\", "
            "\"selfName\": \"Updater.exe\", \"selfCompressed\": false, \"section\": 4, \"corrupt\": false, "
            "\"itemError\": false, \"messages\": [], \"curItem\": 1}\n");
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
  const LintRun run = Qvnpack({"lint", Write("faulty.txt", strManifest), "--json"});
  EXPECT_EQ(run.nExit, 1);
  EXPECT_EQ(run.strOut,
            "{\"version\": \"2.0\", \"reboot\": false, \"numberItems\": 4294967295, \"numberRegItems\": 3, "
            "\"items\": [{\"name\": \"Caf\xC3\xA9 \\\"x\\\"\\\\y.dll\", \"size\": 4294967295, "
            "\"location\": \"\\u0009na\xC3\xAFve\", \"replace\": 0, \"compressed\": false}], "
            "\"selfVersion\": \"\", \"selfName\": \"\xC3\xBF\\u0001\", \"selfCompressed\": false, "
            "\"section\": 3, \"corrupt\": true, \"itemError\": true, \"messages\": ["
            "\"Possible File Corruption: Unheaded Version Info\", \"Got Name and No File Specified.\", "
            "\"Unrecognizable line:garbage \xC3\xA9\"], \"curItem\": 0}\n");
}

TEST_F(LintTest, JsonOfAnEmptyFile) {
  const LintRun run = Qvnpack({"lint", "--json", Write("empty.txt", "")});
  EXPECT_EQ(run.nExit, 0);
  EXPECT_EQ(
      run.strOut,
      "{\"version\": \"\", \"reboot\": false, \"numberItems\": 0, \"numberRegItems\": 0, \"items\": [], "
      "\"selfVersion\": \"\", \"selfName\": \"\", \"selfCompressed\": false, \"section\": -1, "
      "\"corrupt\": false, \"itemError\": false, \"messages\": [], \"curItem\": null}\n");
}

TEST_F(LintTest, LoneCarriageReturnsAreDroppedAsTheUpdaterDoes) {
  // "\r" alone ends no line: the two lines join, the joined line reads as a
  // header, and the version on it is lost.
  const LintRun run = Qvnpack({"lint", "--json", Write("cr.txt", "[GENERAL]\rVERSION: 1\n")});
  EXPECT_EQ(run.nExit, 0);
  EXPECT_NE(run.strOut.find("\"section\": 1,"), std::string::npos) << run.strOut;
  EXPECT_NE(run.strOut.find("\"version\": \"\","), std::string::npos) << run.strOut;
}

// ---- Text output ---------------------------------------------------------------------

TEST_F(LintTest, TextShowsVersionItemsAndNoDiagnostic) {
  const LintRun run = Qvnpack({"lint", Write("UpdateInfo.txt", kWorkedManifest)});
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
  const LintRun run = Qvnpack({"lint", Write("bad.txt",
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
  const LintRun run = Qvnpack({"lint", Write("big.txt", strManifest)});
  EXPECT_EQ(run.nExit, 0);  // notes are no diagnostics
  EXPECT_NE(run.strOut.find("the updater refuses manifests larger than 1 MiB"), std::string::npos);
}

// ---- Exit statuses and errors ---------------------------------------------------------

TEST_F(LintTest, UnreadableFilesExitWithTwoAndSayWhy) {
  const LintRun missing = Qvnpack({"lint", (m_dir / "missing.txt").string()});
  EXPECT_EQ(missing.nExit, 2);
  EXPECT_EQ(missing.strOut, "");
  EXPECT_NE(missing.strErr.find("missing.txt"), std::string::npos) << missing.strErr;
  EXPECT_NE(missing.strErr.find("No such file or directory"), std::string::npos) << missing.strErr;

  const LintRun folder = Qvnpack({"lint", "--json", m_dir.string()});
  EXPECT_EQ(folder.nExit, 2);
  EXPECT_EQ(folder.strOut, "");
  EXPECT_NE(folder.strErr.find("Is a directory"), std::string::npos) << folder.strErr;
}

TEST_F(LintTest, WrongArgumentsExitWithTwo) {
  const std::string strFile = Write("UpdateInfo.txt", kWorkedManifest);
  for (const std::vector<std::string>& args : std::vector<std::vector<std::string>>{
           {"lint"}, {"lint", "--json"}, {"lint", strFile, strFile}, {"lint", "--jsn", strFile}}) {
    const LintRun run = Qvnpack(args);
    EXPECT_EQ(run.nExit, 2) << args.back();
    EXPECT_EQ(run.strOut, "");
    EXPECT_NE(run.strErr.find("qvnpack --help"), std::string::npos) << run.strErr;
  }
}

TEST_F(LintTest, DoubleDashAllowsAFileNamedLikeAnOption) {
  Write("--json", kWorkedManifest);
  const LintRun run = Qvnpack({"lint", "--json", "--", (m_dir / "--json").string()});
  EXPECT_EQ(run.nExit, 0);
  EXPECT_NE(run.strOut.find("\"version\": \"1.2.0.5\""), std::string::npos);
}

}  // namespace
