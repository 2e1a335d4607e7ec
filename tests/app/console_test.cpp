// qvnupdate --console run as a process in a temporary installation folder
// against servers on 127.0.0.1. After every failure the installed files must
// be exactly as they were.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <csignal>
#include <filesystem>

#include "support/local_server.h"
#include "support/nginx_server.h"
#include "support/programs.h"
#include "support/raw_server.h"
#include "support/temp_dir.h"
#include "support/tls_cert.h"
#include "support/update_fixture.h"

namespace {

using qvntest::ProcessResult;
using qvntest::RawServer;
using qvntest::ReadFile;
using qvntest::WithoutSeconds;
using ::testing::ElementsAre;
using ::testing::HasSubstr;

const std::string kEngine = qvntest::PatternData(20000, 11);
const std::string kReadMe = "Quorvane 1.0.0.3\nRead me.\n";
// An updater without a public key says once that what it installs is not verified.
const std::string kUnverified =
    "qvnupdate: warning: the update is not verified: this updater has no public key (give --pubkey KEY, or "
    "build it with -DQVN_PUBLIC_KEY=...), so it cannot tell where the files come from\n";

const std::string kConnectFailed =
    qvntest::SystemWords("Failed to connect to 127.0.0.1", "The attempt to connect to the server failed");

// The lines of a complete update of Engine.dll.crz and ReadMe.txt, with the
// seconds of each download as "N".
const std::vector<std::string> kUpdateLines = {
    "Attempting to connection to server",
    "Current Version of Quorvane.exe is 1.0.0.2",
    "Available Version of Quorvane.exe is 1.0.0.3",
    "Downloaded File Engine.dll.crz - N second(s)",
    "Downloaded File ReadMe.txt - N second(s)",
    "Uncompressed QVNUPDU1.TMP",
    "Replacing Files",
    "Copying QVNUPDU1.TMP to Engine.dll",
    "Copying QVNUPD2.TMP to ReadMe.txt",
    "Update Completed!",
};

class ConsoleTest : public ::testing::Test {
 protected:
  ConsoleTest() {
    qvntest::InstallProductExe(dir.Path());
    qvntest::WriteFile(dir.Path() / "Engine.dll", "engine 1.0.0.2");
    qvntest::WriteFile(dir.Path() / "ReadMe.txt", "read me 1.0.0.2");
    before = qvntest::Installed(dir.Path());
  }

  static std::string Manifest(const std::string& strVersion = "1.0.0.3") {
    return qvntest::MakeManifest(strVersion, {{"Engine.dll.crz", qvntest::Compress(kEngine).size(), true},
                                              {"ReadMe.txt", kReadMe.size()}});
  }
  void ServeUpdate(qvntest::LocalHttpServer& s) {
    s.Serve("/Updates/UpdateInfo.txt", Manifest());
    s.Serve("/Updates/Engine.dll.crz", qvntest::Compress(kEngine));
    s.Serve("/Updates/ReadMe.txt", kReadMe);
  }

  ProcessResult Run(const std::vector<std::string>& arrArgs) {
    return qvntest::RunQvnupdate(dir.Path(), arrArgs);
  }
  ProcessResult Update(const std::string& strUrl, qvntest::EnvList arrEnv = {}) {
    return qvntest::RunUpdater(dir.Path(), strUrl, std::move(arrEnv));
  }

  void ExpectNothingInstalled() { EXPECT_EQ(qvntest::Installed(dir.Path()), before); }

  qvntest::TempDir dir;
  std::map<std::string, std::string> before;
};

// --- Success ----------------------------------------------------------------

TEST_F(ConsoleTest, UpToDate) {
  qvntest::LocalHttpServer server;
  server.Serve("/Updates/UpdateInfo.txt", Manifest("1.0.0.2"));
  server.Start();
  const ProcessResult r = Update(server.Url());
  EXPECT_EQ(r.nExit, 0);
  EXPECT_EQ(r.strOut,
            "Attempting to connection to server\n"
            "Current Version of Quorvane.exe is 1.0.0.2\n"
            "Available Version of Quorvane.exe is 1.0.0.2\n"
            "Quorvane.exe is up to date\n");
  EXPECT_EQ(r.strErr, kUnverified);
  ExpectNothingInstalled();
}

TEST_F(ConsoleTest, AFullUpdateInstallsCompressedAndPlainItemsByteForByte) {
  qvntest::LocalHttpServer server;
  ServeUpdate(server);
  server.Start();
  const ProcessResult r = Update(server.Url() + "/");  // a trailing "/" is not doubled
  EXPECT_EQ(r.nExit, 0) << r.strErr;
  EXPECT_EQ(WithoutSeconds(r.strOut), kUpdateLines);
  EXPECT_EQ(r.strErr, kUnverified);  // no terminal: no progress display
  EXPECT_TRUE(ReadFile(dir / "Engine.dll") == kEngine);
  EXPECT_EQ(ReadFile(dir / "ReadMe.txt"), kReadMe);
  EXPECT_THAT(server.Requests(),
              ElementsAre("/Updates/UpdateInfo.txt", "/Updates/Engine.dll.crz", "/Updates/ReadMe.txt"));
}

TEST_F(ConsoleTest, AProductExecutableWithoutAVersionIsVersionNothingAndTheUpdateRuns) {
  const struct {
    const char* pszFixture;  // what stands as Quorvane.exe; null for nothing
    const char* pszWarning;
    bool bLink = false;  // a link to the fixture, elsewhere, stands there
  } cases[] = {
      {nullptr, "qvnupdate: warning: Quorvane.exe is not in this folder"},
      {"plain-32.exe", "qvnupdate: warning: Quorvane.exe is a symbolic link", true},
      {"", "qvnupdate: warning: Quorvane.exe cannot be opened: "},  // a folder of that name
      {"not-pe.txt",
       "qvnupdate: warning: Quorvane.exe is not a Windows executable (PE image), so its "
       "version reads as 0 and any update is taken"},
      {"no_product_version-32.exe",
       "qvnupdate: warning: Quorvane.exe has no ProductVersion in its version "
       "resource"},
  };
  qvntest::TempDir elsewhere;
  qvntest::LocalHttpServer server;
  ServeUpdate(server);
  server.Start();
  for (const auto& c : cases) {
    SCOPED_TRACE(c.pszWarning);
    // Wine shows a link as the file it leads to.
    if (c.bLink && qvntest::WindowsUpdater() != nullptr) continue;
    std::filesystem::remove_all(dir / "Quorvane.exe");
    const std::string strFixture = std::string(QVN_TEST_DATA_DIR "/pe/") + (c.pszFixture ? c.pszFixture : "");
    if (c.bLink) {
      std::filesystem::copy_file(strFixture, elsewhere / "Quorvane.exe",
                                 std::filesystem::copy_options::overwrite_existing);
      std::filesystem::create_symlink(elsewhere / "Quorvane.exe", dir / "Quorvane.exe");
    } else if (c.pszFixture != nullptr && *c.pszFixture == '\0') {
      std::filesystem::create_directory(dir / "Quorvane.exe");
    } else if (c.pszFixture != nullptr) {
      std::filesystem::copy_file(strFixture, dir / "Quorvane.exe");
    }
    const ProcessResult r = Update(server.Url());
    EXPECT_EQ(r.nExit, 0) << r.strErr;
    EXPECT_THAT(r.strErr, HasSubstr(c.pszWarning));
    auto arrLines = WithoutSeconds(r.strOut);
    ASSERT_EQ(arrLines.size(), kUpdateLines.size());
    EXPECT_EQ(arrLines[1], "Current Version of Quorvane.exe is ");
    EXPECT_EQ(arrLines.back(), "Update Completed!");
  }
}

// The version comes from Quorvane.exe beside the program when there is one,
// as Windows finds it; run from another folder, the update goes there.
TEST_F(ConsoleTest, AProductBesideTheProgramButNotHereIsWarnedOf) {
  if (qvntest::WindowsUpdater() != nullptr) GTEST_SKIP() << "the Linux program is copied";
  qvntest::TempDir program;
  std::filesystem::copy_file(QVN_BIN_DIR "/qvnupdate", program / "qvnupdate");
  std::filesystem::rename(dir / "Quorvane.exe", program / "Quorvane.exe");
  qvntest::LocalHttpServer server;
  server.Serve("/Updates/UpdateInfo.txt", Manifest("1.0.0.2"));
  server.Start();
  qvntest::ProcessOptions options;
  options.strCwd = dir.Path().string();
  const ProcessResult r =
      qvntest::RunProcess({program / "qvnupdate", "--console", "--server", server.Url()}, options);
  EXPECT_EQ(r.nExit, 0) << r.strErr;
  EXPECT_THAT(r.strErr, HasSubstr("qvnupdate: warning: the version is read from " +
                                  (program / "Quorvane.exe") + ", beside this program"));
}

TEST_F(ConsoleTest, AnUpdateThroughNginx) {
  if (!qvntest::NginxServer::Available()) GTEST_SKIP() << "nginx is not installed (scripts/install-deps)";
  qvntest::TempDir www;
  qvntest::WriteFile(www / "Updates/UpdateInfo.txt", Manifest());
  qvntest::WriteFile(www / "Updates/Engine.dll.crz", qvntest::Compress(kEngine));
  qvntest::WriteFile(www / "Updates/ReadMe.txt", kReadMe);
  qvntest::NginxServer nginx(www.Path());
  const ProcessResult r = Update(nginx.Url());
  EXPECT_EQ(r.nExit, 0) << r.strErr << nginx.ErrorLog();
  EXPECT_EQ(WithoutSeconds(r.strOut), kUpdateLines);
  EXPECT_TRUE(ReadFile(dir / "Engine.dll") == kEngine);
  EXPECT_EQ(ReadFile(dir / "ReadMe.txt"), kReadMe);
}

TEST_F(ConsoleTest, AnHttpsServerIsTrustedThroughTheGivenAuthorityOnly) {
  if (access("/usr/bin/openssl", X_OK) != 0) GTEST_SKIP() << "the openssl tool is not installed";
  qvntest::TempDir certDir;
  const qvntest::TlsCert cert = qvntest::MakeLoopbackCert(certDir.Path());
  httplib::SSLServer server(cert.strCert.c_str(), cert.strKey.c_str());
  const std::map<std::string, std::string> files = {{"/Updates/UpdateInfo.txt", Manifest()},
                                                    {"/Updates/Engine.dll.crz", qvntest::Compress(kEngine)},
                                                    {"/Updates/ReadMe.txt", kReadMe}};
  server.Get(R"(/.*)", [&files](const httplib::Request& req, httplib::Response& res) {
    const auto it = files.find(req.path);
    if (it == files.end()) {
      res.status = 404;
    } else {
      res.set_content(it->second, "application/octet-stream");
    }
  });
  const int nPort = server.bind_to_any_port("127.0.0.1");
  std::thread thread([&server] { server.listen_after_bind(); });
  const std::string strUrl = "https://127.0.0.1:" + std::to_string(nPort);

  const ProcessResult untrusted = Update(strUrl);
  EXPECT_EQ(untrusted.nExit, 2);
  EXPECT_EQ(untrusted.strOut, "Attempting to connection to server\n");
  EXPECT_THAT(untrusted.strErr,
              ::testing::StartsWith("qvnupdate: The server's certificate is not trusted: "));
  EXPECT_THAT(untrusted.strErr,
              HasSubstr("qvnupdate: hint: if the server's certificate comes from an authority"));
  ExpectNothingInstalled();

  const ProcessResult trusted = Run({"--console", "--server", strUrl, "--cacert", cert.strCert});
  EXPECT_EQ(trusted.nExit, 0) << trusted.strErr;
  EXPECT_EQ(WithoutSeconds(trusted.strOut), kUpdateLines);
  EXPECT_TRUE(ReadFile(dir / "Engine.dll") == kEngine);
  server.stop();
  thread.join();
}

// --- The server refuses -----------------------------------------------------

TEST_F(ConsoleTest, AManifestAnsweredWithAnErrorStopsWithTheMessage) {
  for (int nStatus : {401, 404}) {
    SCOPED_TRACE(nStatus);
    qvntest::LocalHttpServer server;
    server.Serve("/Updates/UpdateInfo.txt", "<html>VERSION: 9.9.9.9</html>", nStatus);
    server.Start();
    const ProcessResult r = Update(server.Url());
    EXPECT_EQ(r.nExit, 1);
    EXPECT_EQ(r.strOut, "Attempting to connection to server\nUnable to connect to server\n");
    EXPECT_THAT(r.strErr,
                ::testing::StartsWith("qvnupdate: Unable to connect to server. Please try againt later.\n"));
    ExpectNothingInstalled();
  }
}

TEST_F(ConsoleTest, APayloadAnsweredWithAnErrorStopsBeforeAnythingIsInstalled) {
  for (int nStatus : {401, 404}) {
    SCOPED_TRACE(nStatus);
    qvntest::LocalHttpServer server;
    ServeUpdate(server);
    server.Serve("/Updates/ReadMe.txt", "<html>no such file</html>", nStatus);
    server.Start();
    const ProcessResult r = Update(server.Url());
    EXPECT_EQ(r.nExit, 1);
    const auto arrLines = qvntest::Lines(r.strOut);
    ASSERT_FALSE(arrLines.empty());
    EXPECT_EQ(arrLines.back(), "Unable to open remote file ReadMe.txt - ABORTING");
    EXPECT_THAT(r.strErr, HasSubstr("HTTP " + std::to_string(nStatus)));
    EXPECT_THAT(r.strErr, HasSubstr(kUnverified));
    ExpectNothingInstalled();
  }
}

// --- The network fails ------------------------------------------------------

// A server that answers the manifest properly and the payloads as told.
RawServer::Handler ManifestThen(RawServer::Reply payload) {
  const std::string strManifest = qvntest::MakeManifest("1.0.0.3", {{"ReadMe.txt", 100000}});
  return [=](const std::string& strHead) {
    if (strHead.rfind("GET /Updates/UpdateInfo.txt ", 0) == 0) {
      return RawServer::Reply{RawServer::Head(200, RawServer::LengthHeader(strManifest.size())) +
                              strManifest};
    }
    return payload;
  };
}

TEST_F(ConsoleTest, ABodyThatBreaksOffIsAnErrorAndInstallsNothing) {
  RawServer server(
      ManifestThen({RawServer::Head(200, RawServer::LengthHeader(100000)) + std::string(30000, 'x')}));
  const ProcessResult r = Update(server.Url());
  EXPECT_EQ(r.nExit, 2);
  EXPECT_THAT(r.strErr, HasSubstr("transfer closed with 70000 bytes remaining to read"));
  EXPECT_THAT(r.strErr, HasSubstr(server.Url() + "/Updates/ReadMe.txt"));
  EXPECT_EQ(qvntest::Lines(r.strOut).size(), 3u);  // the connection and version lines only
  ExpectNothingInstalled();
}

TEST_F(ConsoleTest, ADroppedConnectionIsAnErrorAndInstallsNothing) {
  RawServer server(ManifestThen(
      {.strHead = RawServer::Head(200) + std::string(30000, 'x'), .ending = RawServer::Ending::Reset}));
  const ProcessResult r = Update(server.Url());
  // WinINet reads a reset at the end of a body without a length as its end;
  // the size the manifest gives then stops the file.
  EXPECT_EQ(r.nExit, qvntest::WindowsUpdater() != nullptr ? 1 : 2);
  EXPECT_NE(r.strErr, "");
  ExpectNothingInstalled();
}

TEST_F(ConsoleTest, AStalledServerFailsAfterTheStallLimit) {
  RawServer server(
      ManifestThen({.strHead = RawServer::Head(200, RawServer::LengthHeader(100000)) + std::string(5000, 'x'),
                    .ending = RawServer::Ending::Stall,
                    .nStallMillis = 30000}));
  const ProcessResult r = Update(server.Url(), {{"QVN_STALL_TIMEOUT", "1"}});
  EXPECT_EQ(r.nExit, 2);
  EXPECT_THAT(r.strErr, HasSubstr(qvntest::SystemWords("Operation too slow", "timed out")));
  ExpectNothingInstalled();
}

TEST_F(ConsoleTest, AnUnreachableServerIsAnErrorAfterTheFirstLine) {
  const ProcessResult r = Update("http://127.0.0.1:" + std::to_string(qvntest::ClosedLoopbackPort()));
  EXPECT_EQ(r.nExit, 2);
  EXPECT_EQ(r.strOut, "Attempting to connection to server\n");
  EXPECT_THAT(r.strErr, HasSubstr(kConnectFailed));
  ExpectNothingInstalled();
}

// --- The manifest or the installation is at fault ---------------------------

TEST_F(ConsoleTest, UnsafeNamesStopTheUpdateBeforeAnyDownload) {
  for (const char* pszName : {"../outside.txt", "/etc/passwd", "C:\\Windows\\evil.dll", "a/../../b"}) {
    SCOPED_TRACE(pszName);
    qvntest::LocalHttpServer server;
    server.Serve("/Updates/UpdateInfo.txt",
                 qvntest::MakeManifest("1.0.0.3", {{"ReadMe.txt", kReadMe.size()}, {pszName, 5}}));
    server.Serve("/Updates/ReadMe.txt", kReadMe);
    server.Start();
    const ProcessResult r = Update(server.Url());
    EXPECT_EQ(r.nExit, 1);
    const auto arrLines = qvntest::Lines(r.strOut);
    ASSERT_EQ(arrLines.size(), 4u);
    EXPECT_THAT(arrLines.back(), ::testing::StartsWith(std::string("Unsafe file name \"") + pszName + "\""));
    EXPECT_THAT(arrLines.back(), ::testing::EndsWith("- ABORTING"));
    EXPECT_THAT(server.Requests(), ElementsAre("/Updates/UpdateInfo.txt"));
    EXPECT_EQ(qvntest::Snapshot(dir.Path()), before);  // not even a temporary file
  }
}

TEST_F(ConsoleTest, AReadOnlyTargetStopsTheUpdateAndStaysAsItWas) {
  chmod((dir / "Engine.dll").c_str(), 0444);
  qvntest::LocalHttpServer server;
  ServeUpdate(server);
  server.Start();
  const ProcessResult r = Update(server.Url());
  EXPECT_EQ(r.nExit, 1);
  const auto arrLines = qvntest::Lines(r.strOut);
  ASSERT_FALSE(arrLines.empty());
  EXPECT_EQ(arrLines.back(), "Unable to copy QVNUPDU1.TMP to Engine.dll: " +
                                 qvntest::SystemWords("Permission denied", "the file is read-only") +
                                 " - ABORTING");
  ExpectNothingInstalled();
}

// --- Every failure says why on stderr ----------------------------------------

TEST_F(ConsoleTest, EveryFailureGivesItsCauseAndAHintForTheCommonMistakes) {
  // One server for every case; each case has a folder of its own on it.
  qvntest::LocalHttpServer server;
  for (const std::string strCase : {"/partial", "/short"}) {
    server.Serve(strCase + "/Updates/UpdateInfo.txt", Manifest());
    server.Serve(strCase + "/Updates/Engine.dll.crz", qvntest::Compress(kEngine));
  }
  server.Serve("/portal/Updates/UpdateInfo.txt", "<html><body>Please log in</body></html>\n");
  server.Serve("/part/Updates/UpdateInfo.txt", Manifest(), 206);
  server.Server().Get("/moved/Updates/UpdateInfo.txt", [](const httplib::Request&, httplib::Response& res) {
    res.set_redirect("https://updates.example/Updates/UpdateInfo.txt", 301);
  });
  server.Serve("/partial/Updates/ReadMe.txt", kReadMe, 206);
  server.Serve("/short/Updates/ReadMe.txt", "Quor");
  server.Start();
  const std::string strHttps = "https://127.0.0.1:" + std::to_string(server.Port());
  const std::string strClosed = "http://127.0.0.1:" + std::to_string(qvntest::ClosedLoopbackPort());
  struct Case {
    std::string strServer;
    int nExit;
    std::string strLastLine;             // of stdout; empty: not checked
    std::vector<std::string> arrCauses;  // lines of stderr that start so, in this order
  };
  const std::vector<Case> cases = {
      {server.Url() + "/missing",
       1,
       "Unable to connect to server",
       {"qvnupdate: the server answered HTTP 404 for " + server.Url() + "/missing/Updates/UpdateInfo.txt"}},
      {server.Url() + "/missing/Updates",
       1,
       "Unable to connect to server",
       {"qvnupdate: the server answered HTTP 404", "qvnupdate: hint: the server URL ends in /Updates"}},
      {server.Url() + "/portal",
       1,
       "Unable to connect to server",
       {"qvnupdate: " + server.Url() + "/portal/Updates/UpdateInfo.txt is not update information"}},
      {server.Url() + "/moved",
       1,
       "Unable to connect to server",
       {"qvnupdate: the server answered HTTP 301 for " + server.Url() +
        "/moved/Updates/UpdateInfo.txt, sending it on to https://updates.example/Updates/UpdateInfo.txt; "
        "redirects are not followed"}},
      {server.Url() + "/part",
       1,
       "Unable to connect to server",
       {"qvnupdate: the server answered HTTP 206 for " + server.Url() + "/part/Updates/UpdateInfo.txt"}},
      {server.Url() + "/partial",
       1,
       "Unable to open remote file ReadMe.txt - ABORTING",
       {"qvnupdate: the server answered HTTP 206 for " + server.Url() + "/partial/Updates/ReadMe.txt"}},
      {server.Url() + "/short",
       1,
       "Unable to open remote file ReadMe.txt - ABORTING",
       {"qvnupdate: " + server.Url() + "/short/Updates/ReadMe.txt is 4 bytes long, not the"}},
      {strHttps,
       2,
       "Attempting to connection to server",
       {"qvnupdate: Unable to make a secure connection: ",
        "qvnupdate: hint: the server may not speak https"}},
      {strClosed,
       2,
       "Attempting to connection to server",
       {"qvnupdate: " + kConnectFailed, "qvnupdate: hint: check the server's address"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.strServer);
    const ProcessResult r = Update(c.strServer);
    EXPECT_EQ(r.nExit, c.nExit) << r.strErr;
    const auto arrOut = qvntest::Lines(r.strOut);
    ASSERT_FALSE(arrOut.empty());
    EXPECT_EQ(arrOut.back(), c.strLastLine);
    auto arrErr = qvntest::Lines(r.strErr);
    auto it = arrErr.begin();
    for (const std::string& strCause : c.arrCauses) {
      it = std::find_if(it, arrErr.end(), [&](const std::string& s) { return s.starts_with(strCause); });
      EXPECT_NE(it, arrErr.end()) << "no line starting \"" << strCause << "\" in:\n" << r.strErr;
    }
    ExpectNothingInstalled();
  }
}

TEST_F(ConsoleTest, ATemporaryFileThatCannotBeCreatedGivesTheSystemsReason) {
  // Root may write anywhere; a folder standing where the file goes stops anyone.
  std::filesystem::create_directories(dir.Path() / "QVNUPD1.TMP" / "in-the-way");
  qvntest::LocalHttpServer server;
  ServeUpdate(server);
  server.Start();
  const ProcessResult r = Update(server.Url());
  EXPECT_EQ(r.nExit, 1);
  EXPECT_EQ(qvntest::Lines(r.strOut).back(), "Unable to open local file QVNUPD1.TMP - ABORTING");
  EXPECT_THAT(r.strErr, HasSubstr("qvnupdate: Cannot create QVNUPD1.TMP: " +
                                  qvntest::SystemWords("Is a directory", "it is a folder")));
}

// --- A clean stop -----------------------------------------------------------

TEST_F(ConsoleTest, SigintOrSigtermMidDownloadStopsCleanlyWithExit130) {
  // ReadMe.txt trickles in slowly enough to be caught half-way.
  const std::string strManifest = qvntest::MakeManifest("1.0.0.3", {{"ReadMe.txt", 1000000}});
  RawServer server([&](const std::string& strHead) {
    if (RawServer::PathOf(strHead) == "/Updates/UpdateInfo.txt") {
      return RawServer::Reply{RawServer::Head(200, RawServer::LengthHeader(strManifest.size())) +
                              strManifest};
    }
    return RawServer::Reply{.strHead = RawServer::Head(200, RawServer::LengthHeader(1000000)),
                            .strBody = std::string(1000000, 'x'),
                            .nChunk = 4096,
                            .nPauseMillis = 20};
  });
  for (int nSignal : {SIGINT, SIGTERM}) {
    SCOPED_TRACE(nSignal);
    const std::filesystem::path partial = dir / "QVNUPD1.TMP";
    qvntest::ProcessOptions options;
    options.nSignal = nSignal;
    // The file is there once the download has begun (its bytes may wait in memory).
    options.fnSignalWhen = [&] { return std::filesystem::exists(partial); };
    const ProcessResult r =
        qvntest::RunQvnupdate(dir.Path(), {"--console", "--server", server.Url()}, {}, options);
    EXPECT_EQ(r.nExit, 130) << r.strErr;
    const auto arrLines = qvntest::Lines(r.strOut);
    ASSERT_FALSE(arrLines.empty());
    EXPECT_EQ(arrLines.back(), "Update cancelled");
    // No partial file, no lock, no journal: the folder is as it was.
    for (const char* pszName : {"QVNUPD1.TMP", ".qvnupdate.lock", ".qvnupdate-journal"}) {
      EXPECT_FALSE(std::filesystem::exists(dir / pszName)) << pszName;
    }
    ExpectNothingInstalled();
  }
}

TEST_F(ConsoleTest, AStopDuringTheReplacementPutsTheInstalledFilesBack) {
  qvntest::LocalHttpServer server;
  ServeUpdate(server);
  server.Start();
  // Ctrl-C just after Engine.dll was replaced, and while the last file was
  // copied, with nothing left to replace but the update not yet committed.
  const std::pair<const char*, const char*> cases[] = {{"copy-1/int", "Copying QVNUPDU1.TMP to Engine.dll"},
                                                       {"copy-2/int", "Copying QVNUPD2.TMP to ReadMe.txt"}};
  for (const auto& [pszStop, pszLastCopy] : cases) {
    const ProcessResult r = Update(server.Url(), {{"QVN_TEST_CRASH_AT", pszStop}});
    EXPECT_EQ(r.nExit, 130) << pszStop << r.strErr;
    const auto arrLines = qvntest::Lines(r.strOut);
    ASSERT_GE(arrLines.size(), 2u);
    EXPECT_EQ(arrLines[arrLines.size() - 2], pszLastCopy);
    EXPECT_EQ(arrLines.back(), "Update cancelled");
    for (const char* pszName : {".qvnupdate.lock", ".qvnupdate-journal"}) {
      EXPECT_FALSE(std::filesystem::exists(dir / pszName)) << pszName;
    }
    ExpectNothingInstalled();
  }
}

// --- Progress on a terminal -------------------------------------------------

TEST_F(ConsoleTest, OnATerminalStderrShowsSizesAndASummaryWhileStdoutKeepsTheStatusLines) {
  if (access("/usr/bin/script", X_OK) != 0) GTEST_SKIP() << "script(1) is not installed";
  qvntest::LocalHttpServer server;
  ServeUpdate(server);
  server.Start();
  // script(1) gives the updater a terminal on stderr; stdout goes to a file,
  // or into a pipe, whose reader would print the lines late, under redrawn
  // progress that then covers them: no progress then.
  for (const char* pszStdout : {" >status.txt", " | cat >status.txt"}) {
    SCOPED_TRACE(pszStdout);
    qvntest::WriteFile(dir.Path() / "Engine.dll", "engine 1.0.0.2");
    qvntest::WriteFile(dir.Path() / "ReadMe.txt", "read me 1.0.0.2");
    const std::string strCommand = "cd '" + dir.Path().string() +
                                   "' && " QVN_BIN_DIR "/qvnupdate --console --server " + server.Url() +
                                   pszStdout;
    qvntest::ProcessOptions options;
    options.arrUnset = qvntest::kProxyVariables;
    options.arrEnv = {{"TERM", "xterm"}};  // a terminal that takes control sequences, wherever the test runs
    const ProcessResult r =
        qvntest::RunProcess({"/usr/bin/script", "-qec", strCommand, "/dev/null"}, options);
    ASSERT_EQ(r.nExit, 0) << r.strOut;
    EXPECT_EQ(WithoutSeconds(ReadFile(dir / "status.txt")), kUpdateLines);
    if (pszStdout[1] == '|') {
      EXPECT_THAT(r.strOut, ::testing::Not(HasSubstr("\x1b[")));
      continue;
    }
    // Sizes in readable units, done of total.
    EXPECT_THAT(r.strOut, ::testing::ContainsRegex("[0-9] (B|KiB) of [0-9.]+ (B|KiB)"));
    EXPECT_THAT(r.strOut, HasSubstr("qvnupdate: downloaded 2 files, "));
  }
}

// --- Arguments --------------------------------------------------------------

TEST_F(ConsoleTest, BadArgumentsAreAUsageError) {
  const std::vector<std::vector<std::string>> cases = {{"--console", "--bogus"},
                                                       {"--console", "--server"},
                                                       {"--console", "--server", "ftp://127.0.0.1:9"},
                                                       {"--console", "--server", "not a url"},
                                                       {"--console", "--server", "http://u:pw@127.0.0.1"},
                                                       {"--console", "--server", "http://127.0.0.1:?v=2"},
                                                       {"--console", "--pubkey", "keys/typo.pub"},
                                                       {"--console", "--pubkey"},
                                                       {"--console", "--cacert="},
                                                       {"--console", "--cacert", "keys/missing.pem"}};
  for (const auto& args : cases) {
    const ProcessResult r = Run(args);
    EXPECT_EQ(r.nExit, 2) << args.back();
    EXPECT_EQ(r.strOut, "");
    EXPECT_THAT(r.strErr, HasSubstr("qvnupdate --help")) << args.back();
  }
  EXPECT_THAT(Run({"--console", "--server", "http://u:pw@127.0.0.1"}).strErr,
              HasSubstr("(a user name or password in it is not supported)"));
  EXPECT_THAT(Run({"--console", "--server", "ftp://127.0.0.1:9"}).strErr, Not(HasSubstr("port")));
  EXPECT_THAT(Run({"--console", "--server", "http://127.0.0.1:8080?v=2"}).strErr,
              HasSubstr("cannot hold a query"));
  EXPECT_THAT(Run({"--console", "--pubkey", "keys/typo.pub"}).strErr,
              HasSubstr("--pubkey: there is no file 'keys/typo.pub', and as a key itself, "));
  // Too large a stall would overflow the clock and fail every transfer at once.
  for (const char* pszStall : {"soon", "9999999999", "99999999999999999999"}) {
    const ProcessResult r = Update("http://127.0.0.1:1", {{"QVN_STALL_TIMEOUT", pszStall}});
    EXPECT_EQ(r.nExit, 2) << pszStall;
    EXPECT_THAT(r.strErr, HasSubstr("QVN_STALL_TIMEOUT")) << pszStall;
  }
  ExpectNothingInstalled();
}

}  // namespace
