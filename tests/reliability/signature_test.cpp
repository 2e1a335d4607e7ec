// Signed updates, attack by attack: whatever a server or a mirror changes in a
// signed update directory, the updater with a public key refuses it with
// "Signature check failed" and leaves the installation as it was, and
// "qvnpack verify" refuses the same directory. Signatures come from the real
// minisign tool, prehashed and legacy.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <functional>
#include <map>
#include <string>
#include <vector>

#include "reliability/installation.h"
#include "support/local_server.h"
#include "support/signing.h"

namespace {

using qvntest::MinisignKey;
using qvntest::ProcessResult;
using qvntest::Releases;
using qvntest::TempDir;
using Files = std::map<std::string, std::string>;
using ::testing::HasSubstr;
using ::testing::StartsWith;

// The update directory of the next release, unsigned.
Files Release() {
  Files files = Releases::Payloads();
  files["UpdateInfo.txt"] = Releases::Manifest();
  return files;
}

const MinisignKey& Key() {
  static const MinisignKey key;
  return key;
}

// INSTALLED.SHA256SUMS of the next release.
std::string InstalledSums() {
  Files files;
  for (const auto& [strName, strWhat] : Releases::NewTree()) {
    if (strWhat.rfind("file ", 0) == 0) files[strName] = strWhat.substr(5);
  }
  return qvntest::Sha256Sums(files);
}

struct Served {
  ProcessResult update;
  ProcessResult verify;
  std::vector<std::string> arrRequests;
};

// Serves files as /Updates/, updates an old installation with the key, and
// checks the same files with qvnpack verify.
Served UpdateFrom(const Files& files, const std::string& strKey, const TempDir& installed,
                  const Files& installedAlready = {}) {
  Releases::InstallOld(installed.Path());
  qvntest::WriteFiles(installed.Path(), installedAlready);
  qvntest::LocalHttpServer server;
  for (const auto& [strName, strData] : files) server.Serve("/Updates/" + strName, strData);
  server.Start();
  Served served;
  served.update = qvntest::RunUpdater(installed.Path(), server.Url(), {}, {"--pubkey", strKey});
  served.arrRequests = server.Requests();
  TempDir dir;
  qvntest::WriteFiles(dir.Path(), files);
  served.verify = qvntest::RunQvnpack({"verify", dir.Path().string(), "--pubkey", strKey});
  return served;
}

// --- What a signature lets through ------------------------------------------

TEST(SignedUpdate, MinisignSignaturesPrehashedAndLegacyInstallTheRelease) {
  const std::vector<std::vector<std::string>> arrForms = {{}, {"-l"}};
  for (const auto& arrExtra : arrForms) {
    // The key as a .pub file, and as its base64 line.
    for (const std::string& strKey : {Key().Pub(), Key().Base64()}) {
      SCOPED_TRACE(arrExtra.empty() ? "prehashed" : "legacy");
      SCOPED_TRACE(strKey);
      TempDir installed;
      const Served served = UpdateFrom(qvntest::SignedUpdate(Release(), Key(), arrExtra), strKey, installed);
      EXPECT_EQ(served.update.nExit, 0) << served.update.strOut << served.update.strErr;
      const auto arrLines = qvntest::Lines(served.update.strOut);
      ASSERT_GE(arrLines.size(), 3u);
      EXPECT_EQ(arrLines[1], "Signature verified (key ID " + Key().Id() + ")");
      EXPECT_THAT(arrLines[2], StartsWith("Current Version of"));
      EXPECT_EQ(served.update.strErr, "");  // no warning: the update is verified
      EXPECT_TRUE(qvntest::IsRelease(installed.Path(), "new"));
      EXPECT_EQ(served.verify.nExit, 0) << served.verify.strErr;
    }
  }
}

// A file already as the release has it is neither fetched nor replaced.
TEST(SignedUpdate, AFileAlreadyInPlaceIsNeitherFetchedNorReplaced) {
  Files files = Release();
  files["INSTALLED.SHA256SUMS"] = InstalledSums();
  TempDir installed;
  const Served served = UpdateFrom(qvntest::SignedUpdate(files, Key()), Key().Pub(), installed,
                                   {{"ReadMe.txt", files["ReadMe.txt"]}});
  EXPECT_EQ(served.update.nExit, 0) << served.update.strErr;
  EXPECT_EQ(
      qvntest::WithoutSeconds(served.update.strOut),
      (std::vector<std::string>{
          "Attempting to connection to server", "Signature verified (key ID " + Key().Id() + ")",
          "Current Version of Quorvane.exe is 1.0.0.2", "Available Version of Quorvane.exe is 1.0.0.3",
          "Downloaded File Engine.dll.crz - N second(s)", "Unchanged File ReadMe.txt",
          "Downloaded File plugins/new/Extra.dll - N second(s)",
          "Downloaded File Docs/Guide.txt - N second(s)", "Uncompressed QVNUPDU1.TMP", "Replacing Files",
          "Copying QVNUPDU1.TMP to Engine.dll", "Copying QVNUPD2.TMP to plugins/new/Extra.dll",
          "Copying QVNUPD3.TMP to Docs/Guide.txt", "Update Completed!"}));
  EXPECT_THAT(served.arrRequests, ::testing::Not(::testing::Contains("/Updates/ReadMe.txt")));
  EXPECT_TRUE(qvntest::IsRelease(installed.Path(), "new"));
  EXPECT_EQ(served.verify.nExit, 0) << served.verify.strErr;
}

// What stands at a temporary name fails its item before the download, as it
// does without a key.
TEST(SignedUpdate, ATakenTemporaryNameFailsTheItemBeforeItsDownload) {
  TempDir installed;
  const Served served = UpdateFrom(qvntest::SignedUpdate(Release(), Key()), Key().Pub(), installed,
                                   {{"QVNUPD1.TMP/in-the-way", ""}});
  EXPECT_EQ(served.update.nExit, 1) << served.update.strErr;
  EXPECT_EQ(qvntest::Lines(served.update.strOut).back(), "Unable to open local file QVNUPD1.TMP - ABORTING");
  EXPECT_THAT(served.update.strErr, HasSubstr("qvnupdate: Cannot create QVNUPD1.TMP: "));
  EXPECT_THAT(served.arrRequests, ::testing::Not(::testing::Contains("/Updates/Engine.dll.crz")));
}

// --- What it stops ----------------------------------------------------------

struct Attack {
  const char* pszName;
  std::function<Files()> serve;  // what the attacker's server holds
  const char* pszFailure;        // what the status line says failed
};

std::string Flipped(std::string str, size_t nAt) {
  str[nAt] = static_cast<char>(str[nAt] ^ 0x20);
  return str;
}

Files SignedWith(std::function<void(Files&)> change, std::vector<std::string> arrExtra = {}) {
  Files files = Release();
  change(files);
  return qvntest::SignedUpdate(files, Key(), std::move(arrExtra));
}

const Attack kAttacks[] = {
    {"a tampered manifest",
     [] {
       Files files = qvntest::SignedUpdate(Release(), Key());
       files["UpdateInfo.txt"] =
           Flipped(files["UpdateInfo.txt"], files["UpdateInfo.txt"].find("REBOOT: N") + 8);
       return files;
     },
     "UpdateInfo.txt is not the one that was signed"},
    {"a tampered payload of the same size",
     [] {
       Files files = qvntest::SignedUpdate(Release(), Key());
       files["plugins/new/Extra.dll"] = Flipped(files["plugins/new/Extra.dll"], 40000);
       return files;
     },
     "plugins/new/Extra.dll is not the file that was signed"},
    {"a missing signature",
     [] {
       Files files = qvntest::SignedUpdate(Release(), Key());
       files.erase("SHA256SUMS.minisig");
       return files;
     },
     "the server has no SHA256SUMS.minisig (HTTP status 404)"},
    {"a foreign signature",
     [] {
       static const MinisignKey other;
       return qvntest::SignedUpdate(Release(), other);
     },
     "it was made with another key"},
    {"an altered trusted comment",
     [] {
       Files files = qvntest::SignedUpdate(Release(), Key(), {"-t", "timestamp:1\texpires:2000000000"});
       std::string& strSig = files["SHA256SUMS.minisig"];
       strSig.replace(strSig.find("expires:2") + 8, 1, "3");
       return files;
     },
     "the trusted comment is not the one that was signed"},
    {"an expired signature",
     [] {
       return qvntest::SignedUpdate(Release(), Key(), {"-t", "timestamp:1 expires:1000000000"});
     },
     "the signature expired on 2001-09-09 01:46 UTC (expires:1000000000); the publisher must sign the update "
     "again"},
    {"a payload of an older signed release under the newer manifest",
     [] {
       Files older = Release();
       older["ReadMe.txt"] = "Quorvane 1.0.0.1\nRead me.\n";  // as long as the new one
       older = qvntest::SignedUpdate(older, Key());
       Files files = qvntest::SignedUpdate(Release(), Key());
       files["ReadMe.txt"] = older["ReadMe.txt"];
       return files;
     },
     "ReadMe.txt is not the file that was signed"},
    {"a tampered INSTALLED.SHA256SUMS",
     [] {
       Files files = Release();
       files["INSTALLED.SHA256SUMS"] = InstalledSums();
       files = qvntest::SignedUpdate(files, Key());
       // It would mark the old ReadMe.txt as up to date.
       std::string& strSums = files["INSTALLED.SHA256SUMS"];
       const size_t nLine = strSums.find("  ReadMe.txt\n") - 64;
       strSums.replace(nLine, 64, Sha256Hex("Quorvane 1.0.0.2\n"));
       return files;
     },
     "INSTALLED.SHA256SUMS is not the file that was signed"},
    {"a signed INSTALLED.SHA256SUMS that cannot be read",
     [] {
       Files files = Release();
       files["INSTALLED.SHA256SUMS"] = InstalledSums() + "not a sum\n";
       return qvntest::SignedUpdate(files, Key());
     },
     "INSTALLED.SHA256SUMS was signed but cannot be read: "},
    {"an item left out of the signed list",
     [] {
       Files files = Release();
       std::string strSums = qvntest::Sha256Sums(files);
       const size_t nLine = strSums.find("  Docs/Guide.txt\n") - 64;
       strSums.erase(nLine, strSums.find('\n', nLine) + 1 - nLine);
       files["SHA256SUMS"] = strSums;
       files["SHA256SUMS.minisig"] = Key().Sign(strSums);
       return files;
     },
     "the item Docs/Guide.txt is not listed in SHA256SUMS"},
    {"endless data: a size of 0 is exact when signed",
     [] {
       return SignedWith([](Files& files) {
         std::string& strManifest = files["UpdateInfo.txt"];
         const std::string strSize = "SIZE: " + std::to_string(files["ReadMe.txt"].size());
         strManifest.replace(strManifest.find(strSize), strSize.size(), "SIZE: 0");
       });
     },
     "ReadMe.txt is not the size listed in the manifest (0 bytes)"},
    {"a payload sent whole, with its length, but shorter than signed: no partial is kept",
     [] {
       Files files = qvntest::SignedUpdate(Release(), Key());
       files["ReadMe.txt"].resize(4);
       return files;
     },
     "ReadMe.txt is not the size listed in the manifest"},
};

TEST(SignedUpdate, EveryAttackLeavesTheInstallationUnchanged) {
  for (const Attack& attack : kAttacks) {
    SCOPED_TRACE(attack.pszName);
    TempDir installed;
    const Served served = UpdateFrom(attack.serve(), Key().Pub(), installed);
    EXPECT_EQ(served.update.nExit, 1) << served.update.strErr;
    const auto arrLines = qvntest::Lines(served.update.strOut);
    ASSERT_FALSE(arrLines.empty());
    EXPECT_THAT(arrLines.back(), StartsWith("Signature check failed: "));
    EXPECT_THAT(arrLines.back(), HasSubstr(attack.pszFailure));
    EXPECT_TRUE(qvntest::IsRelease(installed.Path(), "old"));
    EXPECT_EQ(served.verify.nExit, 1) << served.verify.strOut;
    EXPECT_THAT(served.verify.strErr, HasSubstr("fails verification"));
  }
}

}  // namespace
