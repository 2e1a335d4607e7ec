// qvnpack version and qvnpack vercmp run as processes, on the PE fixtures of
// tests/data/pe and on executables made by scripts/make-product-exe.
#include <gtest/gtest.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "support/programs.h"
#include "support/temp_dir.h"

namespace {

using qvntest::RunQvnpack;

const std::string kPeDir = QVN_TEST_DATA_DIR "/pe/";

// "version FILE" prints the ProductVersion of the first translation exactly
// as stored, exit 0; an empty line and exit 1 when none can be read, with the
// reason on stderr.
TEST(QvnpackVersion, PrintsProductVersion) {
  struct Case {
    const char* file;
    const char* out;
    int exit;
  };
  const Case cases[] = {
      {"plain", "1.0.0.2\n", 0},      {"commas", "1,0,0,2\n", 0},      {"two_translations", "2.0.0.0\n", 0},
      {"german", "3.1.4.1\n", 0},     {"upper_key", "1.0.0.3\n", 0},   {"trailing_blanks", "1.0.0.2  \n", 0},
      {"named_resource", "4.0\n", 0}, {"no_product_version", "\n", 1}, {"no_translation", "\n", 1},
      {"no_version", "\n", 1},        {"truncated", "\n", 1},
  };
  for (const char* bits : {"32", "64"}) {
    for (const Case& c : cases) {
      const std::string strFile = kPeDir + c.file + "-" + bits + ".exe";
      const qvntest::ProcessResult r = RunQvnpack({"version", strFile});
      EXPECT_EQ(r.strOut, c.out) << strFile;
      EXPECT_EQ(r.nExit, c.exit) << strFile << ": " << r.strErr;
      if (c.exit != 0) {
        EXPECT_NE(r.strErr.find(strFile), std::string::npos) << "the message names the file: " << r.strErr;
      } else {
        EXPECT_EQ(r.strErr, "");
      }
    }
  }
}

// Each reason a version cannot be read is told apart for the user.
TEST(QvnpackVersion, SaysWhyNoVersion) {
  struct Case {
    std::string file;
    const char* reason;
  };
  const Case cases[] = {
      {kPeDir + "no_version-32.exe", "has no version resource"},
      {kPeDir + "no_translation-64.exe", "has no translation table"},
      {kPeDir + "no_product_version-32.exe", "has no ProductVersion"},
      {kPeDir + "not-pe.txt", "is not a Windows executable"},
      {kPeDir + "truncated-64.exe", "truncated or damaged"},
      {kPeDir + "missing.exe", "cannot be opened"},
  };
  for (const Case& c : cases) {
    const qvntest::ProcessResult r = RunQvnpack({"version", c.file});
    EXPECT_EQ(r.strOut, "\n");
    EXPECT_EQ(r.nExit, 1);
    EXPECT_NE(r.strErr.find(c.reason), std::string::npos) << c.file << ": " << r.strErr;
  }
}

// "vercmp A B" prints Compare of A against B, arguments taken as they stand.
TEST(QvnpackVercmp, PrintsComparison) {
  struct Case {
    const char* a;
    const char* b;
    const char* out;
  };
  const Case cases[] = {
      {"-1", "65535", "0\n"},  // a leading "-" is a version, not an option
      {"1.0.0.3", "1.0.0.2", "1\n"},
      {"1.0.0.2", "1.0.0.2", "0\n"},
      {"1.0", "1.0.0", "-1\n"},
      {"1.0.0", "1.0", "1\n"},
      {"2", "10", "-8\n"},
      {"0", "65535", "-65535\n"},
      {"", "", "0\n"},
      {"1.0.0.2", "1,0,0,2", "1\n"},
      {"--help", "0", "0\n"},
      {"99999999999999999999", "65535", "0\n"},
  };
  for (const Case& c : cases) {
    const qvntest::ProcessResult r = RunQvnpack({"vercmp", c.a, c.b});
    EXPECT_EQ(r.strOut, c.out) << "vercmp '" << c.a << "' '" << c.b << "'";
    EXPECT_EQ(r.nExit, 0) << r.strErr;
  }
}

// Wrong argument counts are usage errors: exit 2, a message, nothing on stdout.
TEST(QvnpackVersionCommands, WrongArgumentCounts) {
  const std::vector<std::vector<std::string>> cases = {
      {"version"},
      {"version", kPeDir + "plain-32.exe", kPeDir + "plain-64.exe"},
      {"vercmp"},
      {"vercmp", "1"},
      {"vercmp", "1", "2", "3"},
  };
  for (const auto& args : cases) {
    const qvntest::ProcessResult r = RunQvnpack(args);
    EXPECT_EQ(r.nExit, 2) << args[0] << " with " << args.size() - 1 << " arguments";
    EXPECT_EQ(r.strOut, "");
    EXPECT_NE(r.strErr.find("qvnpack --help"), std::string::npos) << r.strErr;
  }
}

// scripts/make-product-exe makes an executable that reads back with the given
// version, 32-bit and 64-bit, odd characters included.
TEST(MakeProductExe, VersionReadsBack) {
  if (::access("/usr/bin/i686-w64-mingw32-ld", X_OK) != 0 ||
      ::access("/usr/bin/x86_64-w64-mingw32-ld", X_OK) != 0) {
    GTEST_SKIP() << "mingw-w64 binutils are not installed (scripts/install-deps installs them)";
  }
  qvntest::TempDir dir;
  struct Case {
    const char* version;
    const char* bits;
  };
  const Case cases[] = {
      {"1.2.0.5", "32"},
      {"1.0.0.2", "64"},
      {"2.0 \"beta\" \\ build 7 ", "32"},
      {"", "64"},
  };
  for (const Case& c : cases) {
    const std::string strExe = dir / "Quorvane.exe";
    const qvntest::ProcessResult made = qvntest::MakeProductExe(c.version, strExe, c.bits);
    ASSERT_EQ(made.nExit, 0) << made.strErr;
    const qvntest::ProcessResult r = RunQvnpack({"version", strExe});
    EXPECT_EQ(r.strOut, std::string(c.version) + "\n");
    EXPECT_EQ(r.nExit, c.version[0] ? 0 : 1) << r.strErr;
  }
}

}  // namespace
