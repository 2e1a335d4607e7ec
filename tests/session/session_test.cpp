// One whole update, run in-process against a server on 127.0.0.1 and watched
// through a recording reporter.
#include "session/session.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <filesystem>

#include "platform/http_client.h"
#include "support/local_server.h"
#include "support/phase_fixture.h"
#include "support/raw_server.h"

namespace {

using qvntest::ReadFile;
using ::testing::ElementsAre;
using ::testing::MatchesRegex;

class SessionTest : public qvntest::PhaseTest {
 protected:
  SessionTest() { qvntest::InstallProductExe(dir.Path()); }

  // An address that is no http or https URL leaves the settings without a server.
  BOOL Run(const std::string& strUrl = "") {
    UpdateSettings settings;
    settings.serverUrl = CHttpUrl::Parse(strUrl.empty() ? server.Url() : strUrl).value_or(CHttpUrl());
    return RunUpdate(view, settings);
  }

  qvntest::LocalHttpServer server;
};

// --- Version check ----------------------------------------------------------

TEST_F(SessionTest, AnInstallationThatIsUpToDateGetsFourLinesAndNoPhase) {
  server.Serve("/Updates/UpdateInfo.txt", qvntest::MakeManifest("1.0.0.2", {{"a.txt", 1}}));
  server.Start();
  EXPECT_EQ(Run(), TRUE);
  EXPECT_THAT(view.m_arrEvents, ElementsAre("reset", "status Attempting to connection to server",
                                            "status Current Version of Quorvane.exe is 1.0.0.2",
                                            "status Available Version of Quorvane.exe is 1.0.0.2",
                                            "status Quorvane.exe is up to date"));
  EXPECT_THAT(server.Requests(), ElementsAre("/Updates/UpdateInfo.txt"));
}

TEST_F(SessionTest, VersionsCompareByTheirNumbers) {
  const struct {
    const char* pszAvailable;
    bool bUpdate;
  } cases[] = {
      {"1.0.0.3", true}, {"1.0.0.2.0", true}, {"1.0.0.10", true}, {"1.0.0.1", false}, {"1.0", false}};
  server.Serve("/Updates/a.txt", "a");
  server.Start();
  for (const auto& c : cases) {
    SCOPED_TRACE(c.pszAvailable);
    server.Serve("/Updates/UpdateInfo.txt", qvntest::MakeManifest(c.pszAvailable, {{"a.txt", 1}}));
    view.m_arrEvents.clear();
    EXPECT_EQ(Run(), TRUE);
    EXPECT_EQ(view.m_arrStatus.back(), c.bUpdate ? "Update Completed!" : "Quorvane.exe is up to date");
  }
}

TEST_F(SessionTest, AMissingProductExecutableReadsAsVersionZeroAndUpdates) {
  std::filesystem::remove("Quorvane.exe");
  server.Serve("/Updates/UpdateInfo.txt", qvntest::MakeManifest("1.0.0.2", {}));
  server.Start();
  EXPECT_EQ(Run(), TRUE);
  EXPECT_THAT(
      view.m_arrStatus,
      ElementsAre("Attempting to connection to server", "Current Version of Quorvane.exe is ",
                  "Available Version of Quorvane.exe is 1.0.0.2", "Replacing Files", "Update Completed!"));
}

// --- The whole road ---------------------------------------------------------

TEST_F(SessionTest, AnUpdateRunsThePhasesInOrderAndInstallsEveryFile) {
  const std::string strEngine = qvntest::PatternData(9216, 7);
  const std::string strReadMe = "Read me, version 3\r\n";
  server.Serve(
      "/Updates/UpdateInfo.txt",
      qvntest::MakeManifest("1.0.0.3", {{"Engine.dll.crz", qvntest::Compress(strEngine).size(), true},
                                        {"ReadMe.txt", strReadMe.size()}}));
  server.Serve("/Updates/Engine.dll.crz", qvntest::Compress(strEngine));
  server.Serve("/Updates/ReadMe.txt", strReadMe);
  server.Start();

  EXPECT_EQ(Run(), TRUE);
  EXPECT_THAT(
      view.m_arrStatus,
      ElementsAre("Attempting to connection to server", "Current Version of Quorvane.exe is 1.0.0.2",
                  "Available Version of Quorvane.exe is 1.0.0.3",
                  MatchesRegex("Downloaded File Engine\\.dll\\.crz - [0-9]+ second\\(s\\)"),
                  MatchesRegex("Downloaded File ReadMe\\.txt - [0-9]+ second\\(s\\)"),
                  "Uncompressed QVNUPDU1.TMP", "Replacing Files", "Copying QVNUPDU1.TMP to Engine.dll",
                  "Copying QVNUPD2.TMP to ReadMe.txt", "Update Completed!"));
  EXPECT_TRUE(ReadFile("Engine.dll") == strEngine);
  EXPECT_EQ(ReadFile("ReadMe.txt"), strReadMe);
  EXPECT_THAT(server.Requests(),
              ElementsAre("/Updates/UpdateInfo.txt", "/Updates/Engine.dll.crz", "/Updates/ReadMe.txt"));
}

// --- Refusals ---------------------------------------------------------------

TEST_F(SessionTest, AManifestAnsweredWithAnErrorEndsTheSessionWithTheMessageFirst) {
  server.Start();
  for (int nStatus : {401, 404, 500, 301}) {
    SCOPED_TRACE(nStatus);
    server.Serve("/Updates/UpdateInfo.txt", "VERSION: 9.9.9.9\r\n", nStatus);
    view.m_arrEvents.clear();
    EXPECT_EQ(Run(), FALSE);
    EXPECT_THAT(view.m_arrEvents, ElementsAre("reset", "status Attempting to connection to server",
                                              "message Unable to connect to server. Please try againt later.",
                                              "status Unable to connect to server"));
  }
}

TEST_F(SessionTest, AFailingPhaseEndsTheUpdateWithItsOwnLine) {
  server.Serve("/Updates/UpdateInfo.txt", qvntest::MakeManifest("1.0.0.3", {{"gone.txt", 4}}));
  server.Start();
  EXPECT_EQ(Run(), FALSE);
  EXPECT_EQ(view.m_arrStatus.back(), "Unable to open remote file gone.txt - ABORTING");
}

TEST_F(SessionTest, AServerThatCannotBeReachedIsAnErrorAfterTheFirstLine) {
  EXPECT_THROW(Run("http://127.0.0.1:" + std::to_string(qvntest::ClosedLoopbackPort())), CInternetException);
  EXPECT_THAT(view.m_arrStatus, ElementsAre("Attempting to connection to server"));
}

TEST_F(SessionTest, AnUnusableServerAddressEndsTheSessionAtOnce) {
  EXPECT_EQ(Run("ftp://127.0.0.1"), FALSE);
  EXPECT_THAT(view.m_arrStatus, ElementsAre("Attempting to connection to server"));
}

TEST_F(SessionTest, AManifestOfMoreThanAMebibyteIsRefused) {
  server.Serve("/Updates/UpdateInfo.txt", "VERSION: 9.0\n" + std::string(1100000, 'x'));
  server.Start();
  EXPECT_EQ(Run(), FALSE);
  EXPECT_THAT(view.m_arrStatus, ElementsAre("Attempting to connection to server",
                                            "Unable to use the update information: UpdateInfo.txt is larger "
                                            "than 1 MiB"));
}

}  // namespace
