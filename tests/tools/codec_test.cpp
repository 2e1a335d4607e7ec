// qvnpack compress and qvnpack expand run as processes on real files.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <string>
#include <vector>

#include "compress/codec_test_util.h"
#include "support/process.h"
#include "support/programs.h"
#include "support/temp_dir.h"

namespace fs = std::filesystem;

namespace {

using qvntest::RunQvnpack;

const std::string kGoldenDir = QVN_TEST_DATA_DIR "/compress/";

std::string AsString(const Bytes& b) {
  return std::string(b.begin(), b.end());
}

// --- Round trips, and the exact bytes of the format

TEST(QvnpackCodec, CompressThenExpandGivesTheFileBack) {
  qvntest::TempDir dir;
  Bytes mixed = MakeText(200000, 1);
  const Bytes bin = MakeBinary(200000, 2);
  mixed.insert(mixed.end(), bin.begin(), bin.end());
  const std::string inputs[] = {"",
                                "a",
                                AsString(MakeText(1023, 3)),
                                AsString(MakeText(1024, 3)),
                                AsString(MakeRandom(1025, 4)),
                                AsString(mixed)};
  for (const std::string& data : inputs) {
    qvntest::WriteFile(dir / "in", data);
    auto r = RunQvnpack({"compress", dir / "in", dir / "in.crz"});
    ASSERT_EQ(r.nExit, 0) << r.strErr;
    EXPECT_EQ(r.strErr, "");
    r = RunQvnpack({"expand", dir / "in.crz", dir / "out"});
    ASSERT_EQ(r.nExit, 0) << r.strErr;
    EXPECT_EQ(qvntest::ReadFile(dir / "out"), data) << data.size() << " bytes";
    // One thread or several: the same file, the same data.
    r = RunQvnpack({"compress", "--threads", "1", dir / "in", dir / "in1.crz"});
    ASSERT_EQ(r.nExit, 0) << r.strErr;
    EXPECT_EQ(qvntest::ReadFile(dir / "in1.crz"), qvntest::ReadFile(dir / "in.crz"));
    r = RunQvnpack({"expand", dir / "in.crz", dir / "out1", "--threads=1"});
    ASSERT_EQ(r.nExit, 0) << r.strErr;
    EXPECT_EQ(qvntest::ReadFile(dir / "out1"), data) << data.size() << " bytes";
  }
}

TEST(QvnpackCodec, OutputMatchesTheCheckedInFiles) {
  qvntest::TempDir dir;
  qvntest::WriteFile(dir / "text", AsString(MakeText(5000, 1)));
  auto r = RunQvnpack({"compress", dir / "text", dir / "text.crz"});
  ASSERT_EQ(r.nExit, 0) << r.strErr;
  EXPECT_EQ(qvntest::ReadFile(dir / "text.crz"), qvntest::ReadFile(kGoldenDir + "text5000.crz"));

  r = RunQvnpack({"expand", kGoldenDir + "binary20000.crz", dir / "binary"});
  ASSERT_EQ(r.nExit, 0) << r.strErr;
  EXPECT_EQ(qvntest::ReadFile(dir / "binary"), AsString(MakeBinary(20000, 2)));
}

TEST(QvnpackCodec, ReplacesAnExistingOutputKeepingItsPermissions) {
  qvntest::TempDir dir;
  qvntest::WriteFile(dir / "in", "abc");
  qvntest::WriteFile(dir / "in.crz", std::string(5000, 'x'));
  std::filesystem::permissions(dir / "in.crz",
                               std::filesystem::perms::owner_read | std::filesystem::perms::owner_write);
  ASSERT_EQ(RunQvnpack({"compress", dir / "in", dir / "in.crz"}).nExit, 0);
  EXPECT_EQ(qvntest::ReadFile(dir / "in.crz"), AsString(Hex("03 00 61 62 63")));
  EXPECT_EQ(std::filesystem::status(dir / "in.crz").permissions(),
            std::filesystem::perms::owner_read | std::filesystem::perms::owner_write);
}

// A link as OUT leads to the file written, and the link stays. One to the
// process's own output (as /dev/stdout is) writes there, after what the shell
// put before it and before what comes after.
TEST(QvnpackCodec, WritesWhereALinkLeads) {
  qvntest::TempDir dir;
  qvntest::WriteFile(dir / "in", "abc");
  const std::string strCrz = AsString(Hex("03 00 61 62 63"));
  fs::create_directory(dir / "elsewhere");
  fs::create_symlink(dir / "elsewhere/file.crz", dir / "link");
  ASSERT_EQ(RunQvnpack({"compress", dir / "in", dir / "link"}).nExit, 0);
  EXPECT_EQ(qvntest::ReadFile(dir / "elsewhere/file.crz"), strCrz);
  EXPECT_TRUE(fs::is_symlink(dir / "link"));

  fs::create_symlink("/proc/self/fd/1", dir / "stdout");
  qvntest::WriteFile(dir / "got", "before\n");
  const auto r =
      qvntest::RunProcess({"/bin/sh", "-c", R"({ echo one; "$1" compress "$2" "$3"; echo two; } >>"$4")",
                           "sh", QVN_BIN_DIR "/qvnpack", dir / "in", dir / "stdout", dir / "got"});
  EXPECT_EQ(r.nExit, 0) << r.strErr;
  EXPECT_EQ(qvntest::ReadFile(dir / "got"), "before\none\n" + strCrz + "two\n");
  EXPECT_TRUE(fs::is_symlink(dir / "stdout"));
}

// A pipe (as /dev/null or /dev/stdout would be) is written to and stays a
// pipe: a file renamed over it would take its place.
TEST(QvnpackCodec, WritesIntoAPipeInsteadOfReplacingIt) {
  qvntest::TempDir dir;
  const std::string data = AsString(MakeText(5000, 6));
  qvntest::WriteFile(dir / "in", data);
  ASSERT_EQ(RunQvnpack({"compress", dir / "in", dir / "in.crz"}).nExit, 0);
  ASSERT_EQ(mkfifo((dir / "pipe").c_str(), 0600), 0);
  // The reader gives up in time, so a run that never opens the pipe fails instead of hanging.
  const auto r = qvntest::RunProcess(
      {"/bin/sh", "-c", R"(timeout 20 cat "$1" >"$2" & "$3" expand "$4" "$1"; s=$?; wait; exit $s)", "sh",
       dir / "pipe", dir / "got", QVN_BIN_DIR "/qvnpack", dir / "in.crz"});
  EXPECT_EQ(r.nExit, 0) << r.strErr;
  EXPECT_TRUE(qvntest::ReadFile(dir / "got") == data) << "the pipe's reader got other bytes";
  EXPECT_TRUE(fs::is_fifo(dir / "pipe"));
}

// --- Failures: a message naming the file, status 1, and OUT left alone

TEST(QvnpackCodec, FailuresLeaveNoPartialOutput) {
  qvntest::TempDir dir;
  Bytes damaged(Hex("10 80"));  // a compressed block of 16 bytes that expand to nothing sensible
  damaged.resize(2 + 16, 0x00);
  Bytes good = MakeText(5000, 5);
  qvntest::WriteFile(dir / "text", AsString(good));
  ASSERT_EQ(RunQvnpack({"compress", dir / "text", dir / "text.crz"}).nExit, 0);
  std::string crz = qvntest::ReadFile(dir / "text.crz");
  crz.resize(crz.size() - 5);  // the last block cut short
  qvntest::WriteFile(dir / "cut.crz", crz);
  qvntest::WriteFile(dir / "damaged.crz", AsString(damaged));
  qvntest::WriteFile(dir / "toolong.crz", AsString(Hex("FF 07 00")));
  fs::create_directory(dir / "folder");

  struct Case {
    std::vector<std::string> args;
    std::string message;  // part of the message on stderr
  };
  const Case cases[] = {
      {{"expand", dir / "missing.crz", dir / "out"},
       "Cannot open " + (dir / "missing.crz") + ": No such file"},
      {{"compress", dir / "missing", dir / "out"}, "Cannot open " + (dir / "missing") + ": No such file"},
      {{"compress", dir / "folder", dir / "out"}, "Cannot open " + (dir / "folder")},
      {{"expand", dir / "damaged.crz", dir / "out"},
       "Cannot read " + (dir / "damaged.crz") + ": the compressed data is damaged"},
      {{"expand", dir / "cut.crz", dir / "out"}, "the compressed data is damaged"},
      {{"expand", dir / "toolong.crz", dir / "out"}, "more than 1024"},
      {{"compress", dir / "text", dir / "nowhere/out"}, "Cannot create " + (dir / "nowhere/out")},
      {{"expand", dir / "text.crz", dir / "folder"}, dir / "folder"},
  };
  for (const Case& c : cases) {
    qvntest::WriteFile(dir / "out", "keep me");
    const auto r = RunQvnpack(c.args);
    EXPECT_EQ(r.nExit, 1) << c.args[0] << " " << c.args[1];
    EXPECT_NE(r.strErr.find(c.message), std::string::npos) << r.strErr;
    EXPECT_EQ(r.strErr.rfind("qvnpack: ", 0), 0u) << r.strErr;
    EXPECT_EQ(qvntest::ReadFile(dir / "out"), "keep me");
    for (const auto& entry : fs::directory_iterator(dir.Path())) {
      EXPECT_EQ(entry.path().filename().string().find(".qvnpack-"), std::string::npos) << entry.path();
    }
  }
}

TEST(QvnpackCodec, WrongArgumentsAreAUsageError) {
  for (const std::vector<std::string>& args :
       {std::vector<std::string>{"compress"}, {"compress", "a"}, {"expand", "a", "b", "c"}}) {
    const auto r = RunQvnpack(args);
    EXPECT_EQ(r.nExit, 2);
    EXPECT_NE(r.strErr.find("IN OUT"), std::string::npos) << r.strErr;
  }
  qvntest::TempDir dir;
  qvntest::WriteFile(dir / "text", "hello\n");
  for (const std::vector<std::string>& args : std::vector<std::vector<std::string>>{
           {"compress", dir / "text", dir / "./text"}, {"expand", dir / "text", ""}}) {
    const auto r = RunQvnpack(args);
    EXPECT_EQ(r.nExit, 2) << r.strErr;
    EXPECT_EQ(qvntest::ReadFile(dir / "text"), "hello\n");
  }
  for (const char* pszThreads : {"0", "65", "two", ""}) {
    const auto r = RunQvnpack({"expand", "a", "b", "--threads", pszThreads});
    EXPECT_EQ(r.nExit, 2);
    EXPECT_NE(r.strErr.find("--threads must be a number from 1 to 64"), std::string::npos) << r.strErr;
  }
}

}  // namespace
