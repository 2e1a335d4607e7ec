// The download phase against a real server on 127.0.0.1, in a temporary
// current directory.
#include "phases/download.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <filesystem>

#include "support/local_server.h"
#include "support/phase_fixture.h"
#include "support/raw_server.h"

namespace {

using qvntest::ItemsOf;
using qvntest::ReadFile;
using ::testing::ElementsAre;
using ::testing::MatchesRegex;

class DownloadTest : public qvntest::PhaseTest {
 protected:
  int Run(const CUpdateInfo& info, const std::string& strUrl = "") {
    CInternetSession session;
    return DownloadFiles(view, session, info, *CHttpUrl::Parse(strUrl.empty() ? server.Url() : strUrl));
  }

  qvntest::LocalHttpServer server;
};

// --- Progress ---------------------------------------------------------------

TEST_F(DownloadTest, CaptionsRangesAndStepsFollowTheBlocksOfEachItem) {
  const std::string str8192 = qvntest::PatternData(8192, 2);
  const std::string str10000 = qvntest::PatternData(10000, 3);
  server.Serve("/Updates/empty.bin", "");
  server.Serve("/Updates/eight.bin", str8192);
  server.Serve("/Updates/ten.bin", str10000);
  server.Start();
  const CUpdateInfo info = ItemsOf({{"empty.bin", 0}, {"eight.bin", 8192}, {"ten.bin", 10000}});

  ASSERT_EQ(Run(info), 1);

  // Overall: blocks + 1 per item = 1 + 3 + 4; every read is one step.
  EXPECT_EQ(view.Events("overall bar ").front(), "0 of 0..8");
  EXPECT_EQ(view.Events("overall bar ").back(), "7 of 0..8");
  EXPECT_THAT(view.Events("overall caption "),
              ElementsAre("Downloading File 1 of 3", "Downloading File 2 of 3", "Downloading File 3 of 3"));
  EXPECT_THAT(
      view.Events("current caption "),
      ElementsAre(
          "Downloading File empty.bin (0 bytes)", "Downloading File empty.bin (0 of 0 bytes)",
          "Downloading File eight.bin (8192 bytes)", "Downloading File eight.bin (4096 of 8192 bytes)",
          "Downloading File eight.bin (8192 of 8192 bytes)",
          "Downloading File eight.bin (8192 of 8192 bytes)", "Downloading File ten.bin (10000 bytes)",
          "Downloading File ten.bin (4096 of 10000 bytes)", "Downloading File ten.bin (8192 of 10000 bytes)",
          "Downloading File ten.bin (10000 of 10000 bytes)"));
  // The current bar: range, reset, then one step per read, except that a
  // full bar stays full (8192 bytes take three reads, the last one empty,
  // whose step would start the bar again from empty; the next item's range
  // then finds it full).
  EXPECT_THAT(view.Events("current bar "),
              ElementsAre("0 of 0..0", "0 of 0..0",                            // empty.bin
                          "0 of 0..2", "0 of 0..2", "1 of 0..2", "2 of 0..2",  // eight.bin
                          "2 of 0..3", "0 of 0..3", "1 of 0..3", "2 of 0..3", "3 of 0..3"));
  EXPECT_THAT(view.m_arrStatus,
              ElementsAre(MatchesRegex("Downloaded File empty\\.bin - [0-9]+ second\\(s\\)"),
                          MatchesRegex("Downloaded File eight\\.bin - [0-9]+ second\\(s\\)"),
                          MatchesRegex("Downloaded File ten\\.bin - [0-9]+ second\\(s\\)")));
  EXPECT_EQ(ReadFile("QVNUPD1.TMP"), "");
  EXPECT_TRUE(ReadFile("QVNUPD2.TMP") == str8192);
  EXPECT_TRUE(ReadFile("QVNUPD3.TMP") == str10000);
}

TEST_F(DownloadTest, AnEmptyListSetsTheOverallRangeOnly) {
  server.Start();
  EXPECT_EQ(Run(CUpdateInfo{}), 1);
  EXPECT_THAT(view.m_arrEvents, ElementsAre("overall bar 0 of 0..0", "overall bar 0 of 0..0"));
}

TEST_F(DownloadTest, AnEarlierTemporaryFileIsTruncatedAndRewritten) {
  qvntest::WriteFile("QVNUPD1.TMP", std::string(50000, 'o'));
  server.Serve("/Updates/a.txt", "new");
  server.Start();
  ASSERT_EQ(Run(ItemsOf({{"a.txt", 3}})), 1);
  EXPECT_EQ(ReadFile("QVNUPD1.TMP"), "new");
}

TEST_F(DownloadTest, ItemsInSubfoldersAreFetchedFromTheMatchingPath) {
  server.Serve("/Updates/bin/lib.so", "library");
  server.Start();
  ASSERT_EQ(Run(ItemsOf({{"bin/lib.so", 7}})), 1);
  EXPECT_EQ(ReadFile("QVNUPD1.TMP"), "library");
}

// --- Error answers ----------------------------------------------------------

TEST_F(DownloadTest, AnErrorAnswerStopsThePhaseAndIsNeverStored) {
  for (int nStatus : {401, 404, 500, 302}) {
    SCOPED_TRACE(nStatus);
    qvntest::LocalHttpServer s;
    s.Serve("/Updates/a.txt", "first");
    s.Serve("/Updates/b.txt", "<html>error page</html>", nStatus);
    s.Serve("/Updates/c.txt", "third");
    s.Start();
    qvntest::RecordingReporter v;
    CInternetSession session;
    EXPECT_EQ(DownloadFiles(v, session, ItemsOf({{"a.txt", 5}, {"b.txt", 5}, {"c.txt", 5}}),
                            *CHttpUrl::Parse(s.Url())),
              0);
    EXPECT_EQ(v.m_arrStatus.back(), "Unable to open remote file b.txt - ABORTING");
    EXPECT_EQ(v.m_arrStatus.size(), 2u);
    EXPECT_EQ(ReadFile("QVNUPD1.TMP"), "first");
    EXPECT_FALSE(std::filesystem::exists("QVNUPD2.TMP"));  // its temporary file is removed
    EXPECT_THAT(s.Requests(), ElementsAre("/Updates/a.txt", "/Updates/b.txt"));
  }
}

TEST_F(DownloadTest, ATemporaryFileThatCannotBeCreatedStopsThePhase) {
  std::filesystem::create_directory("QVNUPD1.TMP");
  server.Serve("/Updates/a.txt", "x");
  server.Start();
  EXPECT_EQ(Run(ItemsOf({{"a.txt", 1}})), 0);
  EXPECT_THAT(view.m_arrStatus, ElementsAre("Unable to open local file QVNUPD1.TMP - ABORTING"));
  EXPECT_TRUE(server.Requests().empty());
}

TEST_F(DownloadTest, ABodyThatBreaksOffThrowsInsteadOfFinishing) {
  qvntest::RawServer raw([](const std::string&) {
    return qvntest::RawServer::Reply{qvntest::RawServer::Head(200, "Content-Length: 9000\r\n") + "short"};
  });
  EXPECT_THROW(Run(ItemsOf({{"a.txt", 9000}}), raw.Url()), CInternetException);
  EXPECT_TRUE(view.m_arrStatus.empty());
}

// --- Names ------------------------------------------------------------------

TEST_F(DownloadTest, UnsafeNamesStopTheUpdateBeforeAnythingIsFetched) {
  server.Serve("/Updates/good.txt", "x");
  server.Start();
  const struct {
    qvntest::ManifestItem item;
    const char* pszShown;
  } cases[] = {
      {{"", 0}, "\"\""},
      {{"/etc/passwd", 1}, "\"/etc/passwd\""},
      {{"C:x.dll", 1}, "\"C:x.dll\""},
      {{"../x.dll", 1}, "\"../x.dll\""},
      {{"bin/../../x.dll", 1}, "\"bin/../../x.dll\""},
      {{"bin\\x.dll", 1}, "\"bin\\x.dll\""},
      {{"x\ny.dll", 1}, "\"x\\x0Ay.dll\""},
      {{"z", 1, true}, "\"z\": installed as \"\""},              // the suffix cut leaves nothing
      {{"a/..z", 1, true}, "\"a/..z\": installed as \"a/..\""},  // or a ".." component
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.item.strName);
    qvntest::RecordingReporter v;
    CInternetSession session;
    EXPECT_EQ(DownloadFiles(v, session, ItemsOf({{"good.txt", 1}, c.item}), *CHttpUrl::Parse(server.Url())),
              0);
    ASSERT_EQ(v.m_arrStatus.size(), 1u);
    EXPECT_THAT(v.m_arrStatus[0], ::testing::StartsWith(std::string("Unsafe file name ") + c.pszShown));
    EXPECT_THAT(v.m_arrStatus[0], ::testing::EndsWith(" - ABORTING"));
  }
  EXPECT_TRUE(server.Requests().empty());
  EXPECT_FALSE(std::filesystem::exists("QVNUPD1.TMP"));
}

TEST_F(DownloadTest, NamesArePercentEncodedWhereAUrlCannotHoldThem) {
  qvntest::RawServer raw(
      [](const std::string&) { return qvntest::RawServer::Reply{qvntest::RawServer::Head(200) + "ok"}; });
  ASSERT_EQ(Run(ItemsOf({{"My File #1?\xE9.txt", 2}, {"sub/a%41.txt", 2}}), raw.Url()), 1);
  ASSERT_EQ(raw.RequestHeads().size(), 2u);
  EXPECT_THAT(raw.RequestHeads()[0],
              ::testing::StartsWith("GET /Updates/My%20File%20%231%3F%E9.txt HTTP/1.0\r\n"));
  EXPECT_THAT(raw.RequestHeads()[1], ::testing::StartsWith("GET /Updates/sub/a%41.txt HTTP/1.0\r\n"));
}

TEST(PayloadUrl, JoinsServerFolderAndEncodedName) {
  EXPECT_EQ(PayloadUrl(*CHttpUrl::Parse("http://h:8080"), "a b.txt").GetText(),
            "http://h:8080/Updates/a%20b.txt");
  EXPECT_EQ(PayloadUrl(*CHttpUrl::Parse("https://h"), "Engine.dll.crz").GetFullText(),
            "https://h:443/Updates/Engine.dll.crz");
}

}  // namespace
