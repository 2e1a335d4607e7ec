// qvnupdate --console run as a process in a temporary installation folder
// against servers on 127.0.0.1. After every failure the installed files must
// be exactly as they were.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

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

TEST_F(ConsoleTest, AMissingProductExecutableIsVersionNothingAndTheUpdateRuns) {
  std::filesystem::remove(dir / "Quorvane.exe");
  qvntest::LocalHttpServer server;
  ServeUpdate(server);
  server.Start();
  const ProcessResult r = Update(server.Url());
  EXPECT_EQ(r.nExit, 0) << r.strErr;
  auto arrLines = WithoutSeconds(r.strOut);
  ASSERT_EQ(arrLines.size(), kUpdateLines.size());
  EXPECT_EQ(arrLines[1], "Current Version of Quorvane.exe is ");
  EXPECT_EQ(arrLines.back(), "Update Completed!");
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
    EXPECT_EQ(r.strErr, "Unable to connect to server. Please try againt later.\n");
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
    EXPECT_EQ(r.strErr, kUnverified);
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
  EXPECT_EQ(r.nExit, 2);
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
  EXPECT_THAT(r.strErr, HasSubstr("Operation too slow"));
  ExpectNothingInstalled();
}

TEST_F(ConsoleTest, AnUnreachableServerIsAnErrorAfterTheFirstLine) {
  const ProcessResult r = Update("http://127.0.0.1:" + std::to_string(qvntest::ClosedLoopbackPort()));
  EXPECT_EQ(r.nExit, 2);
  EXPECT_EQ(r.strOut, "Attempting to connection to server\n");
  EXPECT_THAT(r.strErr, HasSubstr("Failed to connect to 127.0.0.1"));
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
  EXPECT_EQ(arrLines.back(), "Unable to copy QVNUPDU1.TMP to Engine.dll: Permission denied - ABORTING");
  ExpectNothingInstalled();
}

// --- Arguments --------------------------------------------------------------

TEST_F(ConsoleTest, BadArgumentsAreAUsageError) {
  const std::vector<std::vector<std::string>> cases = {{"--console", "--bogus"},
                                                       {"--console", "--server"},
                                                       {"--console", "--server", "ftp://127.0.0.1"},
                                                       {"--console", "--server", "not a url"},
                                                       {"--console", "--pubkey", "not a key"},
                                                       {"--console", "--pubkey"}};
  for (const auto& args : cases) {
    const ProcessResult r = Run(args);
    EXPECT_EQ(r.nExit, 2) << args.back();
    EXPECT_EQ(r.strOut, "");
    EXPECT_THAT(r.strErr, HasSubstr("qvnupdate --help")) << args.back();
  }
  const ProcessResult r = Update("http://127.0.0.1:1", {{"QVN_STALL_TIMEOUT", "soon"}});
  EXPECT_EQ(r.nExit, 2);
  EXPECT_THAT(r.strErr, HasSubstr("QVN_STALL_TIMEOUT"));
  ExpectNothingInstalled();
}

}  // namespace
