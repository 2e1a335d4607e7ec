// qvnpack build as a process: the manifest it writes, the files it sends, the
// names and folders it refuses, and an update from its output.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "support/local_server.h"
#include "support/process.h"
#include "support/programs.h"
#include "support/temp_dir.h"
#include "support/update_fixture.h"

namespace {

namespace fs = std::filesystem;
using qvntest::PatternData;
using qvntest::ProcessResult;
using qvntest::ReadFile;
using qvntest::TempDir;
using qvntest::WriteFile;

ProcessResult Build(std::vector<std::string> arrArgs) {
  arrArgs.insert(arrArgs.begin(), "build");
  return qvntest::RunQvnpack(arrArgs);
}

void MakeProductExe(const std::string& strVersion, const fs::path& path) {
  fs::create_directories(path.parent_path());
  const ProcessResult result = qvntest::MakeProductExe(strVersion, path.string());
  ASSERT_EQ(result.nExit, 0) << result.strErr;
}

std::string Text(int nLines, const std::string& strWord) {
  std::string str;
  for (int i = 0; i < nLines; ++i) str += strWord + " line " + std::to_string(i) + " of the release\r\n";
  return str;
}

std::vector<std::string> NamesIn(const std::string& strManifest) {
  std::vector<std::string> arrNames;
  std::istringstream in(strManifest);
  for (std::string strLine; std::getline(in, strLine);) {
    if (strLine.rfind("NAME: ", 0) == 0) arrNames.push_back(strLine.substr(6));
  }
  return arrNames;
}

// The block of manifest lines that describe the item sent as strSentName.
std::string ItemLines(const std::string& strManifest, const std::string& strSentName) {
  const size_t nName = strManifest.find("NAME: " + strSentName + "\n");
  if (nName == std::string::npos) return {};
  const size_t nEnd = strManifest.find("COMPRESSED: ", nName);
  return strManifest.substr(nName, strManifest.find('\n', nEnd) - nName);
}

class BuildTest : public ::testing::Test {
 protected:
  fs::path Src() const { return m_temp.Path() / "release"; }
  fs::path Out() const { return m_temp.Path() / "updates"; }

  TempDir m_temp;
};

// The whole road: a release becomes an update directory, a web server serves
// it, and the updater brings an older installation to exactly the release.
TEST_F(BuildTest, AnUpdateFromTheOutputReproducesTheRelease) {
  MakeProductExe("1.2.0.5", Src() / "Quorvane.exe");
  WriteFile(Src() / "Engine.dll", Text(4000, "engine"));
  WriteFile(Src() / "Sounds/Click.wav", PatternData(20000, 7));
  WriteFile(Src() / "Data/Empty.cfg", "");
  WriteFile(Src() / "Data/zero.crz", "");
  WriteFile(Src() / "Data/Levels.crz", Text(300, "levels"));
  WriteFile(Src() / "Data/Table.dat", Text(200, "table"));
  WriteFile(Src() / "Data/Table.dat.crz", Text(100, "other table"));
  WriteFile(Src() / "Help/Read Me #1.txt", Text(50, "help"));
  WriteFile(Src() / "deep/a/b/c.txt", "c");

  const fs::path installed = m_temp.Path() / "installed";
  MakeProductExe("1.0.0.2", installed / "Quorvane.exe");
  WriteFile(installed / "Engine.dll", Text(1000, "old engine"));
  WriteFile(installed / "Data/Empty.cfg", "old settings");

  const ProcessResult build = Build({Src().string(), Out().string()});
  ASSERT_EQ(build.nExit, 0) << build.strErr;
  EXPECT_NE(build.strOut.find("Built " + Out().string() + ": version 1.2.0.5, 10 files, "), std::string::npos)
      << build.strOut;

  const std::string strManifest = ReadFile(Out() / "UpdateInfo.txt");
  // Items in byte order of the installed names; compressed ones carry .crz.
  const std::vector<std::string> arrExpected = {
      "Data/Empty.cfg",   "Data/Levels.crz.crz", "Data/Table.dat",          "Data/Table.dat.crz.crz",
      "Data/zero.crz",    "Engine.dll.crz",      "Help/Read Me #1.txt.crz", "Quorvane.exe.crz",
      "Sounds/Click.wav", "deep/a/b/c.txt",
  };
  EXPECT_EQ(NamesIn(strManifest), arrExpected);
  // A file whose .crz name another file of the release has is sent as it is.
  EXPECT_EQ(ItemLines(strManifest, "Data/Table.dat"),
            "NAME: Data/Table.dat\nSIZE: " + std::to_string(Text(200, "table").size()) +
                "\nREPLACE: Y\nCOMPRESSED: N");

  const ProcessResult lint = qvntest::RunQvnpack({"lint", (Out() / "UpdateInfo.txt").string()});
  EXPECT_EQ(lint.nExit, 0) << lint.strOut;

  qvntest::LocalHttpServer server;
  server.Server().set_mount_point("/Updates", Out().string());
  server.Start();
  const ProcessResult update = qvntest::RunUpdater(installed, server.Url());
  ASSERT_EQ(update.nExit, 0) << update.strOut << update.strErr;
  EXPECT_NE(update.strOut.find("Update Completed!"), std::string::npos) << update.strOut;
  EXPECT_TRUE(qvntest::Installed(installed) == qvntest::Installed(Src())) << update.strOut;

  // The installation now has the release's version: nothing more to do.
  const ProcessResult again = qvntest::RunUpdater(installed, server.Url());
  EXPECT_EQ(again.nExit, 0);
  EXPECT_NE(again.strOut.find("Quorvane.exe is up to date"), std::string::npos) << again.strOut;
}

TEST_F(BuildTest, WritesTheManifestExactly) {
  WriteFile(Src() / "b.txt", PatternData(100, 1));
  WriteFile(Src() / "A.txt", Text(100, "alpha"));
  WriteFile(Src() / "sub/c.dat", "");

  const ProcessResult build = Build({Src().string(), Out().string(), "--version", "3.1", "--reboot"});
  ASSERT_EQ(build.nExit, 0) << build.strErr;
  const auto nCompressed = fs::file_size(Out() / "A.txt.crz");
  EXPECT_LT(nCompressed, Text(100, "alpha").size());
  EXPECT_EQ(ReadFile(Out() / "UpdateInfo.txt"),
            "[GENERAL]\nVERSION: 3.1\nREBOOT: Y\n"
            "[FILES]\nNUMBERITEMS: 3\n"
            "ITEM: 1\nNAME: A.txt.crz\nSIZE: " +
                std::to_string(nCompressed) +
                "\nREPLACE: Y\nCOMPRESSED: Y\n"
                "ITEM: 2\nNAME: b.txt\nSIZE: 100\nREPLACE: Y\nCOMPRESSED: N\n"
                "ITEM: 3\nNAME: sub/c.dat\nSIZE: 0\nREPLACE: Y\nCOMPRESSED: N\n"
                "[REGISTRY]\nNUMBERITEMS: 0\n");
  // What is sent is what the release holds (the stored files byte for byte).
  EXPECT_EQ(ReadFile(Out() / "b.txt"), PatternData(100, 1));
  EXPECT_TRUE(fs::is_regular_file(Out() / "sub/c.dat"));
  EXPECT_FALSE(fs::exists(Out() / "A.txt"));
  // The summary: files, bytes in, bytes sent, time.
  const std::string strIn = std::to_string(Text(100, "alpha").size() + 100);
  const std::string strSent = std::to_string(nCompressed + 100);
  EXPECT_NE(build.strOut.find("3 files, " + strIn + " bytes in, " + strSent + " bytes sent"),
            std::string::npos)
      << build.strOut;
  // Payloads are readable by a web server running as another user.
  struct stat st;
  ASSERT_EQ(stat((Out() / "A.txt.crz").c_str(), &st), 0);
  EXPECT_TRUE(st.st_mode & S_IROTH);
}

TEST_F(BuildTest, StorePatternsSendFilesAsTheyAre) {
  for (const char* name : {"a.txt", "sub/b.txt", "sub/c.log", "d.log", "sub/deeper/e.txt"}) {
    WriteFile(Src() / name, Text(100, name));
  }
  const ProcessResult build = Build({Src().string(), Out().string(), "--version", "1.0", "--store", "*.txt",
                                     "--store=sub/*.log", "--store", "nothing*"});
  ASSERT_EQ(build.nExit, 0) << build.strErr;
  // "*.txt" has no folder in it, so it matches the file name in every folder;
  // "sub/*.log" matches the whole name.
  EXPECT_EQ(NamesIn(ReadFile(Out() / "UpdateInfo.txt")),
            (std::vector<std::string>{"a.txt", "d.log.crz", "sub/b.txt", "sub/c.log", "sub/deeper/e.txt"}));
  EXPECT_NE(build.strErr.find("warning: --store 'nothing*' matches no file"), std::string::npos)
      << build.strErr;
}

// Names the updater would refuse, or that the manifest could not carry, are
// refused before anything is written.
TEST_F(BuildTest, RefusesNamesTheUpdaterCouldNotUse) {
  struct Case {
    const char* name;
    const char* reason;
  };
  const Case cases[] = {
      {"back\\slash.dll", "'back\\slash.dll' cannot be an update item: "},
      {"line\nfeed.dll", "'line\\nfeed.dll' cannot be an update item: "},
      {"tab\there.dll", "'tab\\there.dll' cannot be an update item: "},
      {" leading.dll", "' leading.dll' cannot be an update item: it begins with a space"},
      {"100%.txt", "'100%.txt' cannot be an update item: it holds '%'"},
      {"myVERSION:2.dll",
       "'myVERSION:2.dll' cannot be an update item: the Windows updater refuses the "
       "installed name \"myVERSION:2.dll\": Windows allows no ':' in a name"},
      {"sub/ITEM: 3", "'sub/ITEM: 3' cannot be an update item: the Windows updater refuses"},
      {"what?/a.dll",
       "'what?/a.dll' cannot be an update item: the Windows updater refuses the installed name "
       "\"what?/a.dll\": Windows allows no '?' in a name"},
      {"dot./a.dll",
       "'dot./a.dll' cannot be an update item: the Windows updater refuses the installed name "
       "\"dot./a.dll\": Windows drops a dot or a space at the end of a name"},
      {"sub/Com1.log.txt",
       "'sub/Com1.log.txt' cannot be an update item: the Windows updater refuses the installed name "
       "\"sub/Com1.log.txt\": Windows reserves \"Com1\" for a device"},
      {"Latin\xE9.dll",
       "'Latin\xE9.dll' cannot be an update item: the Windows updater refuses the installed "
       "name \"Latin\xE9.dll\": it is not UTF-8 text"},
      {"Fine.dll", "'Fine.dll' and 'fine.dll' would be one file on Windows, which does not tell case apart"},
      {"FINE.DLL/a.txt", "'FINE.DLL' and 'fine.dll' would be one file on Windows"},
      {"lpt\xC2\xB9.txt",  // a superscript one
       "'lpt\xC2\xB9.txt' cannot be an update item: the Windows updater refuses the installed name "
       "\"lpt\xC2\xB9.txt\": Windows reserves \"lpt\xC2\xB9\" for a device"},
      {"UpdateInfo.txt",
       "'UpdateInfo.txt' cannot be an update item: it would take the place of the manifest"},
      // The updater's own files.
      {"QVNUPD1.TMP", "'QVNUPD1.TMP' cannot be an update item: the updater refuses the installed name"},
      {"sub/.qvnupdate-journal", "'sub/.qvnupdate-journal' cannot be an update item: the updater refuses"},
      {"a.dll.qvnupdate-old", "'a.dll.qvnupdate-old' cannot be an update item: the updater refuses"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    fs::remove_all(Src());
    WriteFile(Src() / "fine.dll", "fine");
    WriteFile(Src() / c.name, "data");
    const ProcessResult build = Build({Src().string(), Out().string(), "--version", "1.0"});
    EXPECT_EQ(build.nExit, 1);
    EXPECT_NE(build.strErr.find("qvnpack: " + std::string(c.reason)), std::string::npos) << build.strErr;
    EXPECT_NE(build.strErr.find("nothing was written to"), std::string::npos) << build.strErr;
    EXPECT_FALSE(fs::exists(Out()));
  }
  // Case beyond A to Z: "Été" and "éTÉ".
  fs::remove_all(Src());
  WriteFile(Src() / "\xC3\x89t\xC3\xA9.txt", "1");
  WriteFile(Src() / "\xC3\xA9T\xC3\x89.txt", "2");
  const ProcessResult accents = Build({Src().string(), Out().string(), "--version", "1.0"});
  EXPECT_EQ(accents.nExit, 1);
  EXPECT_NE(accents.strErr.find("would be one file on Windows"), std::string::npos) << accents.strErr;
}

TEST_F(BuildTest, RefusesWhatCannotBeInstalledAsAFile) {
  WriteFile(Src() / "fine.dll", "fine");
  ASSERT_EQ(mkfifo((Src() / "pipe").c_str(), 0600), 0);
  fs::create_directories(m_temp.Path() / "elsewhere");
  fs::create_directory_symlink(m_temp.Path() / "elsewhere", Src() / "folder-link");
  fs::create_symlink("fine.dll", Src() / "file-link");
  const ProcessResult build = Build({Src().string(), Out().string(), "--version", "1.0"});
  EXPECT_EQ(build.nExit, 1);
  EXPECT_NE(build.strErr.find("'pipe': not a regular file"), std::string::npos) << build.strErr;
  EXPECT_NE(build.strErr.find("'folder-link': a symbolic link to a folder or to nothing"), std::string::npos)
      << build.strErr;
  EXPECT_EQ(build.strErr.find("'file-link'"), std::string::npos) << build.strErr;
  EXPECT_FALSE(fs::exists(Out()));

  // A folder the publisher cannot read is not left out of the release.
  fs::remove(Src() / "pipe");
  fs::remove(Src() / "folder-link");
  fs::create_directories(Src() / "locked");
  WriteFile(Src() / "locked/inside.dll", "inside");
  fs::permissions(m_temp.Path(), fs::perms::all);
  for (const auto& e : fs::recursive_directory_iterator(m_temp.Path()))
    lchown(e.path().c_str(), 65534, 65534);
  fs::permissions(Src() / "locked", fs::perms::none);
  const ProcessResult unreadable = qvntest::RunProcess({"/usr/bin/setpriv", "--reuid=65534", "--regid=65534",
                                                        "--clear-groups", QVN_BIN_DIR "/qvnpack", "build",
                                                        Src().string(), Out().string(), "--version", "1.0"});
  EXPECT_EQ(unreadable.nExit, 1) << unreadable.strErr;
  EXPECT_NE(unreadable.strErr.find("cannot read the release folder '" + (Src() / "locked").string() + "'"),
            std::string::npos)
      << unreadable.strErr;
  EXPECT_FALSE(fs::exists(Out()));
}

// The version comes from --version, else from the release's Quorvane.exe;
// with neither there is no update to offer.
TEST_F(BuildTest, TakesTheVersionFromTheOptionOrTheProductExe) {
  WriteFile(Src() / "Engine.dll", "engine");
  ProcessResult build = Build({Src().string(), Out().string()});
  EXPECT_EQ(build.nExit, 1);
  EXPECT_NE(
      build.strErr.find("cannot tell the version of the release: it has no Quorvane.exe; give the version "
                        "with --version V"),
      std::string::npos)
      << build.strErr;
  EXPECT_FALSE(fs::exists(Out()));

  build = Build({Src().string(), Out().string(), "--version", "2.0.0.1"});
  ASSERT_EQ(build.nExit, 0) << build.strErr;
  EXPECT_EQ(ReadFile(Out() / "UpdateInfo.txt").rfind("[GENERAL]\nVERSION: 2.0.0.1\nREBOOT: N\n", 0), 0u);
  EXPECT_NE(build.strErr.find("warning: the release has no Quorvane.exe"), std::string::npos) << build.strErr;
  build = Build({Src().string(), Out().string(), "--version", "0"});
  EXPECT_NE(build.strErr.find("warning: the version '0' reads as 0"), std::string::npos) << build.strErr;

  MakeProductExe("1.2.0.5", Src() / "Quorvane.exe");
  build = Build({Src().string(), Out().string()});
  ASSERT_EQ(build.nExit, 0) << build.strErr;
  EXPECT_EQ(ReadFile(Out() / "UpdateInfo.txt").rfind("[GENERAL]\nVERSION: 1.2.0.5\n", 0), 0u);
  EXPECT_EQ(build.strErr, "");

  // An offered version above the product's own would be taken again and again.
  build = Build({Src().string(), Out().string(), "--version", "1.3"});
  ASSERT_EQ(build.nExit, 0) << build.strErr;
  EXPECT_EQ(ReadFile(Out() / "UpdateInfo.txt").rfind("[GENERAL]\nVERSION: 1.3\n", 0), 0u);
  EXPECT_NE(build.strErr.find("warning: the update offers 1.3 but its Quorvane.exe says 1.2.0.5"),
            std::string::npos)
      << build.strErr;
}

// A version the updater would read as another one, from --version or from
// Quorvane.exe, and a manifest the updater would refuse for its size, are
// refused before anything is written.
TEST_F(BuildTest, RefusesWhatTheUpdaterWouldMisreadBeforeWriting) {
  struct Case {
    const char* option;  // --version, or null to read Quorvane.exe
    const char* exe;     // Quorvane.exe's version, or null for none
    const char* reason;
  };
  const Case cases[] = {
      {"v2.0", nullptr, "the version 'v2.0' given with --version is not a version the updater reads"},
      {"1.x", nullptr, "the version '1.x' given with --version is not"},
      {"70000", nullptr, "the version '70000' given with --version is not"},
      {"1.2.", nullptr, "the version '1.2.' given with --version is not"},
      {nullptr, "2.0 beta", "the version '2.0 beta' of the release's Quorvane.exe is not"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.option ? c.option : c.exe);
    fs::remove_all(Src());
    WriteFile(Src() / "fine.dll", "fine");
    if (c.exe) MakeProductExe(c.exe, Src() / "Quorvane.exe");
    std::vector<std::string> args = {Src().string(), Out().string()};
    if (c.option) args.insert(args.end(), {"--version", c.option});
    const ProcessResult build = Build(args);
    EXPECT_EQ(build.nExit, 1);
    EXPECT_NE(build.strErr.find("qvnpack: " + std::string(c.reason)), std::string::npos) << build.strErr;
    EXPECT_FALSE(fs::exists(Out()));
  }
  for (const char* pszVersion : {"3", "65535.65535.0.0.1"}) {
    const ProcessResult build = Build({Src().string(), Out().string(), "--version", pszVersion});
    EXPECT_EQ(build.nExit, 0) << build.strErr;
  }

  // Long names make a manifest over 1 MiB out of a few hundred files.
  fs::remove_all(Src());
  fs::remove_all(Out());
  fs::path deep = Src();
  for (int i = 0; i < 15; ++i) deep /= std::string(250, static_cast<char>('a' + i));
  for (int i = 0; i < 300; ++i) WriteFile(deep / ("f" + std::to_string(i)), "x");
  const ProcessResult build = Build({Src().string(), Out().string(), "--version", "1.0"});
  EXPECT_EQ(build.nExit, 1);
  EXPECT_NE(build.strErr.find("the updater refuses manifests larger than 1 MiB (1048576 bytes); at most 2"),
            std::string::npos)
      << build.strErr;
  EXPECT_FALSE(fs::exists(Out()));
}

// OUT may be new, empty or an earlier build's; never SRC, inside it or around
// it, and never a folder with other things in it.
TEST_F(BuildTest, KeepsTheOutputFolderApartFromEverythingElse) {
  WriteFile(Src() / "Engine.dll", Text(100, "engine"));
  struct Case {
    fs::path out;
    int nExit;
    const char* reason;
  };
  WriteFile(m_temp.Path() / "foreign/keep.txt", "mine");
  WriteFile(m_temp.Path() / "killed/.qvnpack-a1B2c3", "half a payload");
  const Case cases[] = {
      {m_temp.Path() / "killed", 1, "(it holds files of a build that was killed, such as '.qvnpack-a1B2c3'"},
      {Src(), 2, "must lie outside the release folder"},
      {Src() / "updates", 2, "must lie outside the release folder"},
      {m_temp.Path(), 2, "must lie outside the release folder"},
      {m_temp.Path() / "foreign", 1, "is not empty and holds no UpdateInfo.txt"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.out.string());
    const ProcessResult build = Build({Src().string(), c.out.string(), "--version", "1.0"});
    EXPECT_EQ(build.nExit, c.nExit);
    EXPECT_NE(build.strErr.find(c.reason), std::string::npos) << build.strErr;
  }
  EXPECT_EQ(qvntest::Installed(Src()),
            (std::map<std::string, std::string>{{"Engine.dll", Text(100, "engine")}}));
  EXPECT_EQ(qvntest::Installed(m_temp.Path() / "foreign"),
            (std::map<std::string, std::string>{{"keep.txt", "mine"}}));
}

// Two builds into one folder would mix their files: the second is refused.
TEST_F(BuildTest, OneBuildAtATimeWritesAnOutputFolder) {
  WriteFile(Src() / "Engine.dll", Text(100, "engine"));
  fs::create_directories(Out());
  const int fd = open(Out().c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  ASSERT_EQ(flock(fd, LOCK_EX), 0);  // as a build that is running holds it
  const ProcessResult build = Build({Src().string(), Out().string(), "--version", "1.0"});
  close(fd);
  EXPECT_EQ(build.nExit, 1);
  EXPECT_NE(build.strErr.find("another build is writing into the output folder"), std::string::npos)
      << build.strErr;
  EXPECT_TRUE(fs::is_empty(Out()));
}

// Building again into the same folder replaces the update: what the earlier
// manifest listed and the new one does not is removed, nothing else.
TEST_F(BuildTest, RebuildingRemovesOnlyWhatTheEarlierManifestListed) {
  WriteFile(Src() / "Engine.dll", Text(100, "engine"));
  WriteFile(Src() / "old/Gone.dll", Text(100, "gone"));
  ASSERT_EQ(Build({Src().string(), Out().string(), "--version", "1.0"}).nExit, 0);
  ASSERT_TRUE(fs::exists(Out() / "Engine.dll.crz"));
  WriteFile(Out() / "notes.txt", "the publisher's own");
  WriteFile(Out() / ".qvnpack-x1Y2z3", "left by a killed build");

  fs::remove_all(Src() / "old");
  const ProcessResult build = Build({Src().string(), Out().string(), "--version", "1.1", "--store", "*.dll"});
  ASSERT_EQ(build.nExit, 0) << build.strErr;
  EXPECT_NE(build.strErr.find("warning: '.qvnpack-x1Y2z3' was left by a build that was killed"),
            std::string::npos)
      << build.strErr;
  fs::remove(Out() / ".qvnpack-x1Y2z3");
  EXPECT_EQ(qvntest::Installed(Out()), (std::map<std::string, std::string>{
                                           {"Engine.dll", Text(100, "engine")},
                                           {"UpdateInfo.txt", ReadFile(Out() / "UpdateInfo.txt")},
                                           {"notes.txt", "the publisher's own"},
                                       }));
  EXPECT_FALSE(fs::exists(Out() / "old"));
}

// A rebuild that fails while it makes the payloads (a file size limit, a
// stop) leaves the earlier build whole; one that succeeds may turn the earlier
// build's files into folders and its folders into files.
TEST_F(BuildTest, RebuildingIsAllOrNothingAndSwapsFilesAndFolders) {
  WriteFile(Src() / "a", "1");
  WriteFile(Src() / "z/c.txt", "2");
  ASSERT_EQ(Build({Src().string(), Out().string(), "--version", "1.0"}).nExit, 0);
  const auto before = qvntest::Snapshot(Out());

  fs::remove(Src() / "a");
  fs::remove_all(Src() / "z");
  WriteFile(Src() / "a/b", "3");
  WriteFile(Src() / "Z", "4");  // case aside, the folder "z" of the earlier build
  WriteFile(Src() / "big.bin", PatternData(200000));
  const std::vector<std::string> arrArgs = {Src().string(), Out().string(), "--version", "2.0"};
  std::vector<std::string> arrLimited = {
      "/bin/sh", "-c", R"(ulimit -f 100; trap '' XFSZ; exec "$@")", "sh", QVN_BIN_DIR "/qvnpack", "build"};
  arrLimited.insert(arrLimited.end(), arrArgs.begin(), arrArgs.end());
  const ProcessResult failed = qvntest::RunProcess(arrLimited);
  EXPECT_EQ(failed.nExit, 1);
  EXPECT_NE(failed.strErr.find("'big.bin': "), std::string::npos) << failed.strErr;
  EXPECT_NE(failed.strErr.find("nothing in it was changed"), std::string::npos) << failed.strErr;
  EXPECT_EQ(qvntest::Snapshot(Out()), before);

  // Stopped once the big file is being compressed: the same, with status 130.
  qvntest::ProcessOptions options;
  options.fnSignalWhen = [this] {
    std::error_code ec;
    for (const auto& e : fs::directory_iterator(Out(), ec)) {
      if (e.path().filename().string().rfind(".qvnpack-", 0) == 0 && e.file_size(ec) > 1000) return true;
    }
    return false;
  };
  WriteFile(Src() / "big.bin", Text(400000, "big"));
  std::vector<std::string> arrStopped = {QVN_BIN_DIR "/qvnpack", "build"};
  arrStopped.insert(arrStopped.end(), arrArgs.begin(), arrArgs.end());
  const ProcessResult stopped = qvntest::RunProcess(arrStopped, options);
  EXPECT_EQ(stopped.nExit, 130) << stopped.strErr;
  EXPECT_NE(stopped.strErr.find("was stopped; nothing in it was changed"), std::string::npos)
      << stopped.strErr;
  EXPECT_EQ(qvntest::Snapshot(Out()), before);
  WriteFile(Src() / "big.bin", PatternData(200000));

  const ProcessResult build = Build(arrArgs);
  ASSERT_EQ(build.nExit, 0) << build.strErr;
  // The update directory is whole, but installations could not take it.
  for (const char* pszSwap :
       {"'a' was a file and is a folder ('a')", "'z' was a folder and is a file ('Z')"}) {
    EXPECT_NE(build.strErr.find(std::string("warning: ") + pszSwap + " in this release"), std::string::npos)
        << build.strErr;
  }
  auto after = qvntest::Snapshot(Out());
  after.erase("UpdateInfo.txt");
  EXPECT_EQ(after,
            (std::map<std::string, std::string>{{"a/b", "3"}, {"Z", "4"}, {"big.bin", PatternData(200000)}}));
}

TEST_F(BuildTest, BadArgumentsAreUsageErrors) {
  WriteFile(Src() / "a.txt", "a");
  struct Case {
    std::vector<std::string> args;
    const char* reason;
  };
  const Case cases[] = {
      {{Src().string()}, "build takes a release folder SRC and an output folder OUT"},
      {{Src().string(), Out().string(), "extra"},
       "build takes a release folder SRC and an output folder OUT"},
      {{Src().string(), Out().string(), "--zip"}, "unknown option '--zip'"},
      {{Src().string(), Out().string(), "--version"}, "option '--version' needs a value"},
      {{Src().string(), Out().string(), "--version="}, "--version needs a version"},
      {{Src().string(), Out().string(), "--reboot=yes"}, "option '--reboot' takes no value"},
      // A slip of the options is not taken for a folder named "-o".
      {{Src().string(), "-o", Out().string()}, "unknown option '-o'"},
      {{"--", Src().string(), Out().string(), "-o"},
       "build takes a release folder SRC and an output folder OUT"},
      {{(m_temp.Path() / "nowhere").string(), Out().string(), "--version", "1"}, "no such folder"},
      {{(Src() / "a.txt").string(), Out().string(), "--version", "1"}, "it is not a folder"},
  };
  for (const Case& c : cases) {
    const ProcessResult build = Build(c.args);
    EXPECT_EQ(build.nExit, 2) << build.strErr;
    EXPECT_NE(build.strErr.find(c.reason), std::string::npos) << build.strErr;
  }
  EXPECT_FALSE(fs::exists(Out()));
}

}  // namespace
