// Signed updates mend what is broken: --repair fetches only the installed
// files that are missing or damaged, and a download that the network broke
// off is continued by the next run with a range request, then checked whole.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "reliability/installation.h"
#include "support/local_server.h"
#include "support/raw_server.h"
#include "support/signing.h"

namespace {

using qvntest::RawServer;
using qvntest::TempDir;
using Files = std::map<std::string, std::string>;
using ::testing::Contains;
using ::testing::HasSubstr;
using ::testing::Not;

const qvntest::MinisignKey& Key() {
  static const qvntest::MinisignKey key;
  return key;
}

TEST(Repair, FetchesAndReplacesOnlyTheMissingAndDamagedFiles) {
  // The installed release (1.0.0.2) as its server publishes it.
  Files installed;
  for (const auto& [strName, strWhat] : qvntest::Releases::OldTree()) {
    if (strWhat.rfind("file ", 0) == 0) installed[strName] = strWhat.substr(5);
  }
  Files files = {{"Engine.dll", installed["Engine.dll"]},
                 {"ReadMe.txt", installed["ReadMe.txt"]},
                 {"Docs/Guide.txt", installed["Docs/Guide.txt"]}};
  files["UpdateInfo.txt"] =
      qvntest::MakeManifest("1.0.0.2", {{"Engine.dll", files["Engine.dll"].size()},
                                        {"ReadMe.txt", files["ReadMe.txt"].size()},
                                        {"Docs/Guide.txt", files["Docs/Guide.txt"].size()}});
  files["INSTALLED.SHA256SUMS"] = qvntest::Sha256Sums(installed);
  files = qvntest::SignedUpdate(files, Key());
  qvntest::LocalHttpServer server;
  for (const auto& [strName, strData] : files) server.Serve("/Updates/" + strName, strData);
  server.Start();

  TempDir dir;
  qvntest::Releases::InstallOld(dir.Path());
  qvntest::WriteFile(dir.Path() / "ReadMe.txt", "Quorvane 1.0.0.X\n");  // damaged, same size
  std::filesystem::remove(dir.Path() / "Docs/Guide.txt");

  // Only a signed list tells a damaged file from a good one.
  const auto refused = qvntest::RunUpdater(dir.Path(), server.Url(), {}, {"--repair"});
  EXPECT_EQ(refused.nExit, 2);
  EXPECT_THAT(refused.strErr, HasSubstr("--repair needs a public key"));
  EXPECT_TRUE(server.Requests().empty());

  const auto r = qvntest::RunUpdater(dir.Path(), server.Url(), {}, {"--repair", "--pubkey", Key().Pub()});
  EXPECT_EQ(r.nExit, 0) << r.strErr;
  EXPECT_EQ(qvntest::WithoutSeconds(r.strOut),
            (std::vector<std::string>{
                "Attempting to connection to server", "Signature verified (key ID " + Key().Id() + ")",
                "Current Version of Quorvane.exe is 1.0.0.2", "Available Version of Quorvane.exe is 1.0.0.2",
                "Repairing Quorvane.exe 1.0.0.2", "Unchanged File Engine.dll",
                "Downloaded File ReadMe.txt - N second(s)", "Downloaded File Docs/Guide.txt - N second(s)",
                "Replacing Files", "Copying QVNUPD1.TMP to ReadMe.txt",
                "Copying QVNUPD2.TMP to Docs/Guide.txt", "Repair Completed!"}));
  EXPECT_THAT(server.Requests(), Not(Contains("/Updates/Engine.dll")));
  EXPECT_TRUE(qvntest::IsRelease(dir.Path(), "old"));
}

// How the server answers the second run's request for the file the first run lost half of.
enum class Second { kHonoursRange, kIgnoresRange, kPartialDamaged, kWrongRange };

struct ResumeCase {
  const char* pszName;
  Second second;
  size_t nRequests;        // for the cut file, over both runs
  bool bNoLength = false;  // the first answer has no Content-Length and ends early, as if whole
};

TEST(Resume, ACutDownloadIsContinuedAndCheckedWhole) {
  const ResumeCase kCases[] = {
      {"a server that honours the range: the rest is fetched", Second::kHonoursRange, 2},
      {"a server that ignores it (200): the whole again", Second::kIgnoresRange, 2},
      {"a partial that is not the file's start: fails its hash, fetched again whole", Second::kPartialDamaged,
       3},
      {"a 206 from another byte than the one asked for: refused, fetched again whole", Second::kWrongRange,
       3},
      {"a first answer without a length that closes early: kept as cut", Second::kHonoursRange, 2, true},
  };
  Files files = qvntest::Releases::Payloads();
  files["UpdateInfo.txt"] = qvntest::Releases::Manifest();
  files = qvntest::SignedUpdate(files, Key());
  const std::string strCut = "plugins/new/Extra.dll";
  const std::string& strBody = files[strCut];
  constexpr size_t nHalf = 20000;
  const std::string strPartial = ".qvnupdate-part-" + Sha256Hex(strBody);

  for (const ResumeCase& c : kCases) {
    SCOPED_TRACE(c.pszName);
    int nRun = 1;
    RawServer server([&](const std::string& strHead) {
      const std::string strName = RawServer::PathOf(strHead).substr(sizeof "/Updates/" - 1);
      if (files.count(strName) == 0)
        return RawServer::Reply{RawServer::Head(404, RawServer::LengthHeader(0))};
      const std::string& strData = files[strName];
      const std::string strWhole = RawServer::Head(200, RawServer::LengthHeader(strData.size()));
      if (strName != strCut) return RawServer::Reply{strWhole, strData};
      // The first run loses the connection half-way, after its answer has begun.
      if (nRun == 1 && c.bNoLength)
        return RawServer::Reply{RawServer::Head(200, ""), strData.substr(0, nHalf)};
      if (nRun == 1) return RawServer::Reply{strWhole, strData.substr(0, nHalf), 4096, 20};
      const size_t nAt = strHead.find("Range: bytes=");
      if (nAt == std::string::npos || c.second == Second::kIgnoresRange)
        return RawServer::Reply{strWhole, strData};
      const size_t nFrom = c.second == Second::kWrongRange ? 0 : std::stoul(strHead.substr(nAt + 13));
      return RawServer::Reply{
          RawServer::Head(206, RawServer::LengthHeader(strData.size() - nFrom) + "Content-Range: bytes " +
                                   std::to_string(nFrom) + "-" + std::to_string(strData.size() - 1) + "/" +
                                   std::to_string(strData.size()) + "\r\n"),
          strData.substr(nFrom)};
    });
    TempDir dir;
    qvntest::Releases::InstallOld(dir.Path());
    const auto first = qvntest::RunUpdater(dir.Path(), server.Url(), {}, {"--pubkey", Key().Pub()});
    EXPECT_EQ(first.nExit, 2) << first.strOut;
    EXPECT_EQ(qvntest::ReadFile(dir.Path() / "ReadMe.txt"), "Quorvane 1.0.0.2\n");
    // Kept: hidden, private, the whole blocks received.
    const auto partial = dir.Path() / strPartial;
    ASSERT_TRUE(std::filesystem::exists(partial)) << first.strOut << first.strErr;
    const size_t nKept = std::filesystem::file_size(partial);
    EXPECT_TRUE(nKept > 0 && nKept <= nHalf && qvntest::ReadFile(partial) == strBody.substr(0, nKept))
        << nKept;
    if (qvntest::WindowsUpdater() == nullptr) {  // Windows keeps it private by its access list instead
      EXPECT_EQ(std::filesystem::status(partial).permissions(),
                std::filesystem::perms::owner_read | std::filesystem::perms::owner_write);
    }
    if (c.second == Second::kPartialDamaged) qvntest::WriteFile(partial, std::string(nKept, 'x'));
    // A partial kept for a file that no release wants any more goes.
    const std::string strStale = ".qvnupdate-part-" + Sha256Hex("an older release's file");
    qvntest::WriteFile(dir.Path() / strStale, "an older");
    qvntest::WriteFile(dir.Path() / ".qvnupdate-parts",
                       qvntest::ReadFile(dir.Path() / ".qvnupdate-parts") + strStale.substr(16) + "\n");

    nRun = 2;
    const auto second = qvntest::RunUpdater(dir.Path(), server.Url(), {}, {"--pubkey", Key().Pub()});
    EXPECT_EQ(second.nExit, 0) << second.strOut << second.strErr;
    EXPECT_TRUE(qvntest::IsRelease(dir.Path(), "new"));  // no partial, no record left either
    std::vector<std::string> arrHeads;
    for (const auto& strHead : server.RequestHeads()) {
      if (RawServer::PathOf(strHead) == "/Updates/" + strCut) arrHeads.push_back(strHead);
    }
    ASSERT_EQ(arrHeads.size(), c.nRequests);
    EXPECT_THAT(arrHeads[0], Not(HasSubstr("Range:")));
    EXPECT_THAT(arrHeads[1], HasSubstr("\r\nRange: bytes=" + std::to_string(nKept) + "-\r\n"));
    if (c.nRequests == 3) {
      EXPECT_THAT(arrHeads[2], Not(HasSubstr("Range:")));
    }
  }
}

}  // namespace
