// qvnpack keygen, build --sign and verify as processes, and what the real
// minisign and sha256sum make of their output.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <string>
#include <vector>

#include "support/programs.h"
#include "support/signing.h"
#include "support/temp_dir.h"

namespace {

namespace fs = std::filesystem;
using qvntest::ProcessResult;
using qvntest::ReadFile;
using qvntest::TempDir;
using qvntest::WriteFile;
using ::testing::HasSubstr;

class SignTest : public ::testing::Test {
 protected:
  SignTest() {
    WriteFile(Src() / "Engine.dll", qvntest::PatternData(30000, 3));
    WriteFile(Src() / "Data/Empty.cfg", "");
    WriteFile(Src() / "ReadMe.txt", std::string(2000, 'r'));
  }
  fs::path Src() const { return m_temp.Path() / "release"; }
  fs::path Out() const { return m_temp.Path() / "updates"; }
  ProcessResult Build(const std::string& strKey, std::vector<std::string> arrExtra = {}) {
    std::vector<std::string> arrArgs = {"build", Src().string(), Out().string(), "--version",
                                        "1.2",   "--sign",       strKey};
    arrArgs.insert(arrArgs.end(), arrExtra.begin(), arrExtra.end());
    return qvntest::RunQvnpack(arrArgs);
  }
  static ProcessResult Sha256Check(const fs::path& dir, const fs::path& list) {
    qvntest::ProcessOptions options;
    options.strCwd = dir.string();
    return qvntest::RunProcess({"/usr/bin/sha256sum", "--strict", "-c", list.string()}, options);
  }

  TempDir m_temp;
};

TEST_F(SignTest, KeygenWritesAPrivateKeyAndNeverOverwritesOne) {
  const fs::path keys = m_temp.Path() / "keys";
  const ProcessResult first = qvntest::RunQvnpack({"keygen", keys.string()});
  ASSERT_EQ(first.nExit, 0) << first.strErr;
  struct stat st {};
  ASSERT_EQ(stat((keys / "qvnpack.key").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
  const std::string strKey = ReadFile(keys / "qvnpack.key");

  const ProcessResult second = qvntest::RunQvnpack({"keygen", keys.string()});
  EXPECT_EQ(second.nExit, 1);
  EXPECT_THAT(second.strErr, HasSubstr("never overwritten"));
  EXPECT_EQ(ReadFile(keys / "qvnpack.key"), strKey);

  for (const char* pszCommand : {"keygen", "verify"}) {
    const ProcessResult help = qvntest::RunQvnpack({pszCommand, "--help"});
    EXPECT_EQ(help.nExit, 0) << pszCommand;
    EXPECT_THAT(help.strOut, HasSubstr(std::string("Usage: qvnpack ") + pszCommand)) << pszCommand;
  }
}

// Keys from both tools sign; minisign and sha256sum accept what was signed.
TEST_F(SignTest, ASignedBuildVerifiesWithMinisignSha256sumAndQvnpack) {
  const fs::path keys = m_temp.Path() / "keys";
  ASSERT_EQ(qvntest::RunQvnpack({"keygen", keys.string()}).nExit, 0);
  const qvntest::MinisignKey minisignKey;
  const std::vector<std::pair<std::string, std::string>> arrKeys = {
      {(keys / "qvnpack.key").string(), (keys / "qvnpack.pub").string()},
      {minisignKey.Secret(), minisignKey.Pub()}};
  for (const auto& [strSecret, strPub] : arrKeys) {
    SCOPED_TRACE(strSecret);
    const ProcessResult build = Build(strSecret, {"--expires", "30"});
    ASSERT_EQ(build.nExit, 0) << build.strErr;

    const ProcessResult minisign =
        qvntest::RunMinisign({"-V", "-p", strPub, "-m", (Out() / "SHA256SUMS").string()});
    EXPECT_EQ(minisign.nExit, 0) << minisign.strErr;
    EXPECT_THAT(minisign.strOut, HasSubstr("\texpires:"));

    const ProcessResult sums = Sha256Check(Out(), "SHA256SUMS");
    EXPECT_EQ(sums.nExit, 0) << sums.strOut << sums.strErr;
    EXPECT_THAT(ReadFile(Out() / "SHA256SUMS"), HasSubstr("  UpdateInfo.txt\n"));
    // The release itself is an up-to-date installation.
    const ProcessResult installed = Sha256Check(Src(), Out() / "INSTALLED.SHA256SUMS");
    EXPECT_EQ(installed.nExit, 0) << installed.strOut << installed.strErr;

    const ProcessResult verify = qvntest::RunQvnpack({"verify", Out().string(), "--pubkey", strPub});
    EXPECT_EQ(verify.nExit, 0) << verify.strErr;
    // When to sign again, in words.
    EXPECT_THAT(verify.strOut,
                ::testing::ContainsRegex(", the signature expires on 20[0-9-]+ [0-9:]+ UTC\n"));
  }
  // An unsigned build over a signed one takes the old signature away.
  ASSERT_EQ(qvntest::RunQvnpack({"build", Src().string(), Out().string(), "--version", "1.3"}).nExit, 0);
  EXPECT_FALSE(fs::exists(Out() / "SHA256SUMS.minisig"));
}

TEST_F(SignTest, APasswordIsAskedOnATerminalAndWhatCannotBeSignedIsRefused) {
  const fs::path protectedKey = m_temp.Path() / "protected.key";
  qvntest::RunProcess({"/bin/sh", "-c",
                       "printf 'pw\\npw\\n' | /usr/bin/minisign -G -p \"$0.pub\" -s \"$0\" >/dev/null 2>&1",
                       protectedKey.string()});
  ASSERT_TRUE(fs::exists(protectedKey));
  const ProcessResult password = Build(protectedKey.string());
  EXPECT_EQ(password.nExit, 1);
  EXPECT_THAT(password.strErr, HasSubstr("protected by a password and there is no terminal"));
  EXPECT_FALSE(fs::exists(Out()));

  // On a terminal the password is asked for; only the right one signs.
  for (const std::string strPassword : {"wrong", "pw"}) {
    const std::string strBuild = std::string(QVN_BIN_DIR "/qvnpack build ") + Src().string() + " " +
                                 Out().string() + " --version 1.2 --sign " + protectedKey.string();
    const ProcessResult typed = qvntest::RunProcess(
        {"/bin/sh", "-c", "printf '%s\\n' \"$0\" | script -qec \"$1\" /dev/null", strPassword, strBuild});
    if (strPassword == "wrong") {
      EXPECT_NE(typed.nExit, 0);
      EXPECT_THAT(typed.strOut, HasSubstr("the password is wrong"));
      EXPECT_FALSE(fs::exists(Out()));
    } else {
      EXPECT_EQ(typed.nExit, 0) << typed.strOut;
      EXPECT_EQ(qvntest::RunMinisign(
                    {"-V", "-p", protectedKey.string() + ".pub", "-m", (Out() / "SHA256SUMS").string()})
                    .nExit,
                0);
    }
  }
  fs::remove_all(Out());

  const qvntest::MinisignKey key;
  WriteFile(Src() / "SHA256SUMS", "the release's own file\n");
  const ProcessResult collision = Build(key.Secret());
  EXPECT_EQ(collision.nExit, 1);
  EXPECT_THAT(collision.strErr, HasSubstr("'SHA256SUMS' cannot be an update item of a signed build"));
  EXPECT_FALSE(fs::exists(Out()));
  fs::remove(Src() / "SHA256SUMS");

  // The secret key is never published: neither a copy in the release, nor a
  // link to it, nor the key in OUT.
  for (const bool bLink : {false, true}) {
    if (bLink) {
      fs::create_symlink(key.Secret(), Src() / "keys.bin");
    } else {
      fs::copy_file(key.Secret(), Src() / "keys.bin");
    }
    const ProcessResult copied = Build(key.Secret());
    EXPECT_EQ(copied.nExit, 1);
    EXPECT_THAT(copied.strErr, HasSubstr("'keys.bin' is a copy of the secret key"));
    fs::remove(Src() / "keys.bin");
  }
  fs::create_directories(Out());
  ASSERT_EQ(qvntest::RunQvnpack({"build", Src().string(), Out().string(), "--version", "1.1"}).nExit, 0);
  fs::copy_file(key.Secret(), Out() / "my.key");
  const ProcessResult inOut = Build((Out() / "my.key").string());
  EXPECT_EQ(inOut.nExit, 1);
  EXPECT_THAT(inOut.strErr, HasSubstr("lies in the output folder, which is published"));
}

}  // namespace
