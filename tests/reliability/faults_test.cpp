// Faults injected into whole updates: qvnupdate --console runs as a process in
// a temporary installation folder against servers on 127.0.0.1, and after
// every fault the folder must hold, byte for byte, the old release or the new
// one: never a mix, never a file of ours left over.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <atomic>
#include <functional>
#include <optional>
#include <thread>

#include "phases/replace_journal.h"
#include "reliability/installation.h"
#include "support/raw_server.h"

namespace {

using qvntest::IsRelease;
using qvntest::Lines;
using qvntest::ProcessResult;
using qvntest::RawServer;
using qvntest::Releases;
using qvntest::WithoutSeconds;
using ::testing::HasSubstr;

// A fault for one path of the server; nothing for a path served as published.
using Fault = std::function<std::optional<RawServer::Reply>(const std::string& strPath)>;

RawServer::Reply Whole(const std::string& strBody) {
  return {RawServer::Head(200, RawServer::LengthHeader(strBody.size())) + strBody};
}

// The new release, as published, except where the fault says otherwise.
RawServer::Handler ReleaseServer(Fault fault = {}) {
  return [fault, payloads = Releases::Payloads(),
          strManifest = Releases::Manifest()](const std::string& strHead) {
    const std::string strPath = RawServer::PathOf(strHead);
    if (fault) {
      if (auto reply = fault(strPath)) return *reply;
    }
    if (strPath == "/Updates/UpdateInfo.txt") return Whole(strManifest);
    const auto it = payloads.find(strPath.substr(std::string("/Updates/").size()));
    if (it == payloads.end()) return RawServer::Reply{RawServer::Head(404, "Content-Length: 0\r\n")};
    return Whole(it->second);
  };
}

// A fault on one payload only.
Fault On(const std::string& strName, RawServer::Reply reply) {
  return [strName, reply](const std::string& strPath) -> std::optional<RawServer::Reply> {
    if (strPath == "/Updates/" + strName) return reply;
    return std::nullopt;
  };
}

const std::vector<std::string> kUpdateLines = {
    "Attempting to connection to server",
    "Current Version of Quorvane.exe is 1.0.0.2",
    "Available Version of Quorvane.exe is 1.0.0.3",
    "Downloaded File Engine.dll.crz - N second(s)",
    "Downloaded File ReadMe.txt - N second(s)",
    "Downloaded File plugins/new/Extra.dll - N second(s)",
    "Downloaded File Docs/Guide.txt - N second(s)",
    "Uncompressed QVNUPDU1.TMP",
    "Replacing Files",
    "Copying QVNUPDU1.TMP to Engine.dll",
    "Copying QVNUPD2.TMP to ReadMe.txt",
    "Copying QVNUPD3.TMP to plugins/new/Extra.dll",
    "Copying QVNUPD4.TMP to Docs/Guide.txt",
    "Update Completed!",
};

class FaultTest : public ::testing::Test {
 protected:
  FaultTest() { Releases::InstallOld(dir.Path()); }

  ProcessResult Update(const std::string& strUrl,
                       std::vector<std::pair<std::string, std::string>> arrEnv = {}) {
    return qvntest::RunUpdater(dir.Path(), strUrl, std::move(arrEnv));
  }
  std::string Unreachable() const {
    return "http://127.0.0.1:" + std::to_string(qvntest::ClosedLoopbackPort());
  }
  // Starts again from the old release.
  void Reinstall() {
    for (const auto& e : std::filesystem::directory_iterator(dir.Path())) {
      std::filesystem::permissions(e.path(), std::filesystem::perms::owner_all,
                                   std::filesystem::perm_options::add);
      std::filesystem::remove_all(e.path());
    }
    Releases::InstallOld(dir.Path());
  }

  qvntest::TempDir dir;
};

// --- Success, for reference ------------------------------------------------------

TEST_F(FaultTest, WithoutAFaultTheNewReleaseIsInstalled) {
  RawServer server(ReleaseServer());
  const ProcessResult r = Update(server.Url());
  EXPECT_EQ(r.nExit, 0) << r.strErr;
  EXPECT_EQ(WithoutSeconds(r.strOut), kUpdateLines);
  EXPECT_TRUE(IsRelease(dir.Path(), "new"));
}

// --- The network fails ------------------------------------------------------------

TEST_F(FaultTest, AConnectionDroppedAnywhereInABodyInstallsNothing) {
  const std::string strExtra = Releases::kNewExtra;
  const std::string strName = "plugins/new/Extra.dll";
  for (size_t nOffset : {size_t{0}, size_t{1}, size_t{4095}, size_t{4096}, size_t{4097}, strExtra.size() / 2,
                         strExtra.size() - 1}) {
    const std::string strCut = strExtra.substr(0, nOffset);
    const struct {
      const char* pszHow;
      RawServer::Reply reply;
      int nExit;
    } cases[] = {
        // The length was announced: the break shows as a network error.
        {"closed", {RawServer::Head(200, RawServer::LengthHeader(strExtra.size())) + strCut}, 2},
        {"reset",
         {.strHead = RawServer::Head(200, RawServer::LengthHeader(strExtra.size())) + strCut,
          .ending = RawServer::Ending::Reset},
         2},
        // No length: the body looks complete, but is short of the manifest's size.
        {"closed without a length", {RawServer::Head(200) + strCut}, 1},
    };
    for (const auto& c : cases) {
      SCOPED_TRACE(std::string(c.pszHow) + " after " + std::to_string(nOffset) + " bytes");
      qvntest::CountFault();
      RawServer server(ReleaseServer(On(strName, c.reply)));
      const ProcessResult r = Update(server.Url());
      EXPECT_EQ(r.nExit, c.nExit) << r.strErr;
      if (c.nExit == 1) {
        EXPECT_EQ(Lines(r.strOut).back(), "Unable to open remote file plugins/new/Extra.dll - ABORTING");
      } else {
        EXPECT_THAT(r.strErr, HasSubstr(server.Url() + "/Updates/plugins/new/Extra.dll"));
      }
      EXPECT_TRUE(IsRelease(dir.Path(), "old"));
    }
  }
}

TEST_F(FaultTest, AManifestThatBreaksOffIsANetworkError) {
  const std::string strManifest = Releases::Manifest();
  qvntest::CountFault();
  RawServer server(ReleaseServer([&](const std::string& strPath) -> std::optional<RawServer::Reply> {
    if (strPath != "/Updates/UpdateInfo.txt") return std::nullopt;
    return RawServer::Reply{RawServer::Head(200, RawServer::LengthHeader(strManifest.size())) +
                            strManifest.substr(0, strManifest.size() / 2)};
  }));
  const ProcessResult r = Update(server.Url());
  EXPECT_EQ(r.nExit, 2);
  EXPECT_EQ(r.strOut, "Attempting to connection to server\n");
  EXPECT_TRUE(IsRelease(dir.Path(), "old"));
}

TEST_F(FaultTest, AServerThatStallsIsANetworkErrorAfterTheStallLimit) {
  for (const char* pszWhere : {"UpdateInfo.txt", "Docs/Guide.txt"}) {
    SCOPED_TRACE(pszWhere);
    qvntest::CountFault();
    RawServer server(
        ReleaseServer(On(pszWhere, {.strHead = RawServer::Head(200, RawServer::LengthHeader(100000)) + "x",
                                    .ending = RawServer::Ending::Stall,
                                    .nStallMillis = 20000})));
    const ProcessResult r = Update(server.Url(), {{"QVN_STALL_TIMEOUT", "1"}});
    EXPECT_EQ(r.nExit, 2);
    EXPECT_THAT(r.strErr, HasSubstr(qvntest::SystemWords("Operation too slow", "Operation timed out")));
    EXPECT_TRUE(IsRelease(dir.Path(), "old"));
  }
}

TEST_F(FaultTest, ATrickleBelowOneKibibyteASecondOrEndlessHeadersAreANetworkError) {
  const std::string strHeaderLine = "X-Pad: " + std::string(190, 'h') + "\r\n";
  struct Case {
    const char* pszWhat;
    RawServer::Reply reply;
    std::string strCause;
  } const cases[] = {
      // About 500 bytes a second, for ever.
      {"body",
       {.strHead = RawServer::Head(200),
        .strBody = std::string(200, 't'),
        .nPauseMillis = 400,
        .bEndless = true},
       "Less than 1024 bytes/sec transferred the last 2 seconds"},
      {"headers",
       {.strHead = "HTTP/1.0 200 OK\r\n", .strBody = strHeaderLine, .nPauseMillis = 400, .bEndless = true},
       qvntest::SystemWords("Operation too slow", "No complete answer from the server within 4 seconds")},
      {"headers without end",
       {.strHead = "HTTP/1.0 200 OK\r\n", .strBody = strHeaderLine, .bEndless = true},
       "Too large response headers"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.pszWhat);
    qvntest::CountFault();
    RawServer server(ReleaseServer(On("plugins/new/Extra.dll", c.reply)));
    const ProcessResult r = Update(server.Url(), {{"QVN_STALL_TIMEOUT", "2"}});
    EXPECT_EQ(r.nExit, 2);
    EXPECT_THAT(r.strErr, HasSubstr(c.strCause));
    EXPECT_TRUE(IsRelease(dir.Path(), "old"));
  }
}

// --- The server sends something else than it promised ------------------------------

TEST_F(FaultTest, EndlessDataIsCutOffAtTheSizeTheManifestGives) {
  qvntest::CountFault();
  RawServer server(ReleaseServer(
      On("plugins/new/Extra.dll",
         {.strHead = RawServer::Head(200), .strBody = qvntest::PatternData(65536, 5), .bEndless = true})));
  const ProcessResult r = Update(server.Url());
  EXPECT_EQ(r.nExit, 1);
  EXPECT_EQ(Lines(r.strOut).back(), "Unable to open remote file plugins/new/Extra.dll - ABORTING");
  EXPECT_FALSE(std::filesystem::exists(dir.Path() / "QVNUPD3.TMP"));  // not even the part up to the size
  EXPECT_TRUE(IsRelease(dir.Path(), "old"));
}

TEST_F(FaultTest, AnEndlessManifestIsRefusedAfterOneMebibyte) {
  qvntest::CountFault();
  RawServer server(ReleaseServer([](const std::string& strPath) -> std::optional<RawServer::Reply> {
    if (strPath != "/Updates/UpdateInfo.txt") return std::nullopt;
    return RawServer::Reply{.strHead = RawServer::Head(200),
                            .strBody = "VERSION: 9.9.9.9\r\n" + std::string(65536, ' '),
                            .bEndless = true};
  }));
  const ProcessResult r = Update(server.Url());
  EXPECT_EQ(r.nExit, 1);
  EXPECT_EQ(r.strOut,
            "Attempting to connection to server\n"
            "Unable to use the update information: UpdateInfo.txt is larger than 1 MiB\n");
  EXPECT_TRUE(IsRelease(dir.Path(), "old"));
}

TEST_F(FaultTest, AManifestCutShortBetweenItemsIsRefused) {
  qvntest::CountFault();
  const std::string strManifest = Releases::Manifest();
  RawServer server(ReleaseServer([&](const std::string& strPath) -> std::optional<RawServer::Reply> {
    if (strPath != "/Updates/UpdateInfo.txt") return std::nullopt;
    // No length: the end of the connection ends the answer.
    return RawServer::Reply{.strHead = RawServer::Head(200),
                            .strBody = strManifest.substr(0, strManifest.find("ITEM: 2"))};
  }));
  const ProcessResult r = Update(server.Url());
  EXPECT_EQ(r.nExit, 1);
  EXPECT_THAT(Lines(r.strOut).back(),
              testing::StartsWith("Unable to use the update information: UpdateInfo.txt lists 1 of the "));
  EXPECT_TRUE(IsRelease(dir.Path(), "old"));
}

TEST_F(FaultTest, ABodyLongerOrShorterThanItsSizeIsNotInstalled) {
  const std::string strGuide = Releases::Payloads().at("Docs/Guide.txt");
  for (const std::string& strBody :
       {strGuide + "!", strGuide.substr(0, strGuide.size() - 1), std::string()}) {
    SCOPED_TRACE(strBody.size());
    qvntest::CountFault();
    RawServer server(ReleaseServer(On("Docs/Guide.txt", Whole(strBody))));
    const ProcessResult r = Update(server.Url());
    EXPECT_EQ(r.nExit, 1) << r.strErr;
    EXPECT_EQ(Lines(r.strOut).back(), "Unable to open remote file Docs/Guide.txt - ABORTING");
    EXPECT_TRUE(IsRelease(dir.Path(), "old"));
  }
}

TEST_F(FaultTest, ADamagedCompressedFileInstallsNothing) {
  qvntest::CountFault();
  std::string strDamaged = Releases::Payloads().at("Engine.dll.crz");
  strDamaged[0] = '\xFF';  // a first block that claims a body longer than any block
  strDamaged[1] = '\xBF';
  RawServer server(ReleaseServer(On("Engine.dll.crz", Whole(strDamaged))));
  const ProcessResult r = Update(server.Url());
  EXPECT_EQ(r.nExit, 2);
  EXPECT_NE(r.strErr, "");
  EXPECT_THAT(Lines(r.strOut), ::testing::Not(::testing::Contains("Replacing Files")));
  EXPECT_TRUE(IsRelease(dir.Path(), "old"));
}

// --- The disk fills -------------------------------------------------------------------

// qvnupdate with a file size limit: a write past it fails as on a full disk
// ("File too large") instead of ending the process.
ProcessResult UpdateWithSizeLimit(const std::filesystem::path& folder, const std::string& strUrl,
                                  size_t nLimit) {
  qvntest::ProcessOptions options;
  options.strCwd = folder.string();
  options.arrUnset = qvntest::kProxyVariables;
  return qvntest::RunProcess(
      {"/bin/sh", "-c", "trap '' XFSZ; exec /usr/bin/prlimit --fsize=\"$0\" \"$@\"", std::to_string(nLimit),
       QVN_BIN_DIR "/qvnupdate", "--console", "--server", strUrl},
      options);
}

TEST_F(FaultTest, ADiskThatFillsDuringTheDownloadOrTheExpansionEndsTheUpdate) {
  const auto payloads = Releases::Payloads();
  const size_t nSent = payloads.at("Engine.dll.crz").size();
  size_t nLargestSent = 0;
  for (const auto& [strName, strBody] : payloads) nLargestSent = std::max(nLargestSent, strBody.size());
  ASSERT_LT(nLargestSent + 4096, Releases::kNewEngine.size())
      << "the engine must expand well past what is sent";
  const struct {
    const char* pszWhen;
    size_t nLimit;
    const char* pszFile;
  } cases[] = {
      {"download", nSent / 2, "QVNUPD1.TMP"},
      {"expansion", nLargestSent + 4096, "QVNUPDU1.TMP"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.pszWhen);
    qvntest::CountFault();
    RawServer server(ReleaseServer());
    const ProcessResult r = UpdateWithSizeLimit(dir.Path(), server.Url(), c.nLimit);
    EXPECT_EQ(r.nExit, 2) << r.strOut;
    EXPECT_THAT(r.strErr, HasSubstr(c.pszFile));
    EXPECT_THAT(r.strErr, HasSubstr("File too large"));
    EXPECT_TRUE(IsRelease(dir.Path(), "old"));
  }
}

TEST_F(FaultTest, ADiskThatFillsDuringTheReplacementPutsEverythingBack) {
  // A file system of its own, just large enough for the old release and the
  // downloaded and expanded files, but not for the copy of the engine.
  const auto Pages = [](size_t n) { return (n + 4095) / 4096 * 4096; };
  size_t nUsed = 0;
  for (const auto& e : std::filesystem::recursive_directory_iterator(dir.Path())) {
    if (e.is_regular_file()) nUsed += Pages(e.file_size());
  }
  for (const auto& [strName, strBody] : Releases::Payloads()) nUsed += Pages(strBody.size());
  nUsed += Pages(Releases::kNewEngine.size()) + 4 * 4096;  // the expansion; lock and journal
  const size_t nSize = nUsed + Pages(Releases::kNewEngine.size() / 2);

  qvntest::TempDir mount;
  qvntest::TempDir out;
  RawServer server(ReleaseServer());
  qvntest::ProcessOptions options;
  options.arrUnset = qvntest::kProxyVariables;
  const std::string strScript =
      "mount -t tmpfs -o size=$3 tmpfs \"$0\" 2>/dev/null || exit 99\n"
      "cp -a \"$1/.\" \"$0/\" && cd \"$0\" || exit 98\n"
      "shift 3\n"
      "\"$@\"\n"
      "rc=$?\n"
      "cp -a . \"$OUT/\"\n"
      "exit $rc\n";
  options.arrEnv = {{"OUT", out.Path().string()}};
  qvntest::CountFault();
  const ProcessResult r =
      qvntest::RunProcess({"/usr/bin/unshare", "--mount", "--propagation", "private", "/bin/sh", "-c",
                           strScript, mount.Path().string(), dir.Path().string(), "-", std::to_string(nSize),
                           QVN_BIN_DIR "/qvnupdate", "--console", "--server", server.Url()},
                          options);
  if (r.nExit == 99 || (r.nExit == 1 && r.strOut.empty())) {
    GTEST_SKIP() << "a small file system cannot be mounted here: " << r.strErr;
  }
  EXPECT_EQ(r.nExit, 1) << r.strErr;
  EXPECT_EQ(Lines(r.strOut).back(),
            "Unable to copy QVNUPDU1.TMP to Engine.dll: No space left on device - ABORTING");
  EXPECT_TRUE(IsRelease(out.Path(), "old"));
}

// --- The installation resists ------------------------------------------------------------

TEST_F(FaultTest, AReadOnlyFileInTheMiddleOfTheListPutsBackTheFilesBeforeIt) {
  chmod((dir / "ReadMe.txt").c_str(), 0444);
  qvntest::CountFault();
  RawServer server(ReleaseServer());
  const ProcessResult r = Update(server.Url());
  EXPECT_EQ(r.nExit, 1);
  const auto arrLines = WithoutSeconds(r.strOut);
  ASSERT_EQ(arrLines.size(), 12u);
  EXPECT_EQ(arrLines[9], "Copying QVNUPDU1.TMP to Engine.dll");
  EXPECT_EQ(arrLines[11], "Unable to copy QVNUPD2.TMP to ReadMe.txt: " +
                              qvntest::SystemWords("Permission denied", "the file is read-only") +
                              " - ABORTING");
  EXPECT_TRUE(IsRelease(dir.Path(), "old"));
}

// --- The process dies -------------------------------------------------------------------

TEST_F(FaultTest, KilledAtEveryStepOfTheReplacementTheNextRunMakesTheInstallationWhole) {
  RawServer server(ReleaseServer());
  const struct {
    const char* pszStep;
    const char* pszAfterRestart;  // the release that a restart finds
  } steps[] = {
      {"journal", "old"}, {"backup-1", "old"}, {"backup-2", "old"}, {"backup-3", "old"}, {"copy-1", "old"},
      {"copy-2", "old"},  {"copy-3", "old"},   {"copy-4", "old"},   {"commit", "new"},   {"cleanup", "new"},
  };
  for (const auto& step : steps) {
    SCOPED_TRACE(step.pszStep);
    Reinstall();
    qvntest::CountFault();
    const ProcessResult killed = Update(server.Url(), {{"QVN_TEST_CRASH_AT", step.pszStep}});
    ASSERT_EQ(killed.nExit, -SIGKILL) << killed.strErr;
    // The lock left behind is private: another user who could open it could hold it.
    struct stat st {};
    if (qvntest::WindowsUpdater() == nullptr && stat((dir.Path() / ".qvnupdate.lock").c_str(), &st) == 0) {
      EXPECT_EQ(st.st_mode & 07777, 0600u);
    }

    // The next run puts things right first, even when the server is away.
    const ProcessResult restart = Update(Unreachable());
    EXPECT_EQ(restart.nExit, 2);
    const bool bRestored = std::string(step.pszAfterRestart) == "old";
    EXPECT_EQ(restart.strOut, std::string(bRestored ? "Restored the files of an interrupted update\n"
                                                    : "Completed an interrupted update\n") +
                                  "Attempting to connection to server\n");
    EXPECT_TRUE(IsRelease(dir.Path(), step.pszAfterRestart));

    const ProcessResult again = Update(server.Url());
    EXPECT_EQ(again.nExit, 0) << again.strErr;
    EXPECT_EQ(WithoutSeconds(again.strOut), kUpdateLines);
    EXPECT_TRUE(IsRelease(dir.Path(), "new"));
  }
}

TEST_F(FaultTest, TheShippedUpdaterHasNoHookThatStopsItHalfWay) {
  RawServer server(ReleaseServer());
  qvntest::ProcessOptions options;
  options.strCwd = dir.Path().string();
  options.arrEnv = {{"QVN_TEST_CRASH_AT", "copy-1"}};
  options.arrUnset = qvntest::kProxyVariables;
  const ProcessResult r =
      qvntest::RunBuiltProgram("qvnupdate", {"--console", "--server", server.Url()}, options);
  EXPECT_EQ(r.nExit, 0) << r.strErr;
  EXPECT_EQ(WithoutSeconds(r.strOut), kUpdateLines);
  EXPECT_TRUE(IsRelease(dir.Path(), "new"));
}

TEST_F(FaultTest, KilledWhilePuttingFilesBackTheNextRunFinishesTheJob) {
  RawServer server(ReleaseServer());
  // Killed in the rollback after a failed copy, and killed in the recovery.
  const struct {
    const char* pszCase;
    std::function<void()> prepare;
    std::vector<std::pair<std::string, std::string>> arrFirst;
  } cases[] = {
      {"rollback",
       [this] { chmod((dir / "Docs/Guide.txt").c_str(), 0444); },
       {{"QVN_TEST_CRASH_AT", "restore-2"}}},
      {"recovery", [] {}, {{"QVN_TEST_CRASH_AT", "copy-3"}}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.pszCase);
    Reinstall();
    c.prepare();
    qvntest::CountFault();
    EXPECT_EQ(Update(server.Url(), c.arrFirst).nExit, -SIGKILL);
    qvntest::CountFault();
    EXPECT_EQ(Update(Unreachable(), {{"QVN_TEST_CRASH_AT", "restore-1"}}).nExit, -SIGKILL);
    const ProcessResult restart = Update(Unreachable());
    EXPECT_EQ(Lines(restart.strOut).front(), "Restored the files of an interrupted update");
    EXPECT_TRUE(IsRelease(dir.Path(), "old"));
  }
}

// --- Two updaters --------------------------------------------------------------------------

TEST_F(FaultTest, ASecondUpdaterInTheSameFolderIsRefusedAndChangesNothing) {
  // The first updater is held in the middle of a download for two seconds.
  RawServer server(ReleaseServer(On(
      "ReadMe.txt",
      {.strHead = RawServer::Head(200, RawServer::LengthHeader(Releases::Payloads().at("ReadMe.txt").size())),
       .strBody = Releases::Payloads().at("ReadMe.txt"),
       .nChunk = 10,
       .nPauseMillis = 1000})));
  ProcessResult first;
  std::thread thread([&] { first = Update(server.Url()); });
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  while (std::chrono::steady_clock::now() < deadline) {
    const auto paths = server.Paths();
    if (std::find(paths.begin(), paths.end(), "/Updates/ReadMe.txt") != paths.end()) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  const auto during = qvntest::Tree(dir.Path());
  qvntest::CountFault();
  const ProcessResult second = Update(server.Url());
  const auto after = qvntest::Tree(dir.Path());
  thread.join();

  EXPECT_EQ(second.nExit, 2);
  EXPECT_EQ(second.strOut, "");
  EXPECT_THAT(second.strErr,
              ::testing::MatchesRegex(
                  "qvnupdate: Another update is already running in this folder \\(process [0-9]+\\)"
                  "\\. Wait until it has finished, then try again\\.\n"));
  EXPECT_EQ(after, during);
  EXPECT_EQ(first.nExit, 0) << first.strErr;
  EXPECT_TRUE(IsRelease(dir.Path(), "new"));  // no lock file left either
}

}  // namespace
