// Attacks from inside the installation folder, grouped by attack: an ordinary
// user owns the folder and plants links, FIFOs, a journal or a lock; root runs
// qvnupdate --console in it against a server on 127.0.0.1. Nothing outside the
// folder may change, nothing may hang, and the installation stays wholly old
// or becomes wholly new.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstring>
#include <functional>
#include <optional>
#include <thread>

#include "phases/replace_journal.h"
#include "reliability/installation.h"
#include "support/raw_server.h"

namespace {

namespace fs = std::filesystem;
using qvntest::IsRelease;
using qvntest::Lines;
using qvntest::ProcessResult;
using qvntest::RawServer;
using qvntest::Releases;
using qvntest::Tree;
using qvntest::WriteFile;
using ::testing::HasSubstr;

constexpr uid_t kNobody = 65534;  // the attacker

struct Stat {
  mode_t nMode;
  uid_t nOwner;
};
Stat StatOf(const fs::path& path) {
  struct stat st {};
  lstat(path.c_str(), &st);
  return {st.st_mode & 07777, st.st_uid};
}

class ConfinementTest : public ::testing::Test {
 protected:
  ConfinementTest() {
    Releases::InstallOld(dir.Path());
    WriteFile(outside.Path() / "victim", "root's own file\n");
    chmod((outside.Path() / "victim").c_str(), 0600);
    WriteFile(outside.Path() / "Docs/Guide.txt", "root's own guide\n");
    // The attacker reaches both; the updater runs as root.
    chmod(dir.Path().c_str(), 0755);
    chmod(outside.Path().c_str(), 0755);
    GiveAway();
    m_outside = Tree(outside.Path());
  }

  // The old release again, from scratch.
  void Reinstall() {
    for (const auto& e : fs::directory_iterator(dir.Path())) fs::remove_all(e.path());
    Releases::InstallOld(dir.Path());
    GiveAway();
  }

  // Everything in the installation to the attacker, as it would be theirs.
  void GiveAway() {
    lchown(dir.Path().c_str(), kNobody, kNobody);
    for (const auto& e : fs::recursive_directory_iterator(dir.Path()))
      lchown(e.path().c_str(), kNobody, kNobody);
  }

  // The new release as published, or with a reply of the caller's for one path.
  void Serve(std::function<std::optional<RawServer::Reply>(const std::string&)> fault = {}) {
    m_server.emplace([fault, payloads = Releases::Payloads()](const std::string& strHead) {
      const std::string strPath = RawServer::PathOf(strHead);
      if (fault) {
        if (auto reply = fault(strPath)) return *reply;
      }
      const std::string strBody = strPath == "/Updates/UpdateInfo.txt"     ? Releases::Manifest()
                                  : payloads.count(strPath.substr(9)) != 0 ? payloads.at(strPath.substr(9))
                                                                           : std::string();
      return RawServer::Reply{RawServer::Head(200, RawServer::LengthHeader(strBody.size())) + strBody};
    });
  }

  ProcessResult Update(bool bAsAttacker = false) {
    if (!m_server) Serve();
    if (!bAsAttacker) return qvntest::RunUpdater(dir.Path(), m_server->Url());
    qvntest::ProcessOptions options;
    options.strCwd = dir.Path().string();
    options.arrUnset = qvntest::kProxyVariables;
    return qvntest::RunProcess({"/usr/bin/setpriv", "--reuid=65534", "--regid=65534", "--clear-groups",
                                QVN_BIN_DIR "/qvnupdate", "--console", "--server", m_server->Url()},
                               options);
  }

  // Nothing outside the installation changed: not a byte, not a mode.
  void ExpectOutsideUntouched() {
    EXPECT_EQ(Tree(outside.Path()), m_outside);
    EXPECT_EQ(StatOf(outside.Path() / "victim").nMode, 0600u);
  }

  qvntest::TempDir dir;
  qvntest::TempDir outside;
  std::map<std::string, std::string> m_outside;
  std::optional<RawServer> m_server;
};

// --- Whatever stands at a temporary name is removed, never followed or opened ---

TEST_F(ConfinementTest, WhateverStandsAtATemporaryNameIsReplacedNotFollowed) {
  const struct {
    const char* pszName;
    bool bFifo;
  } cases[] = {
      {"QVNUPD2.TMP", false}, {"QVNUPD1.TMP", true}, {"QVNUPDU1.TMP", false}, {"QVNUPDU1.TMP", true}};
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.pszName) + (c.bFifo ? " as a FIFO" : " as a link"));
    Reinstall();
    const fs::path planted = dir.Path() / c.pszName;
    if (c.bFifo) {
      ASSERT_EQ(mkfifo(planted.c_str(), 0666), 0);
    } else {
      fs::create_symlink(outside.Path() / "victim", planted);
    }
    qvntest::CountFault();
    const ProcessResult r = Update();
    EXPECT_EQ(r.nExit, 0) << r.strErr;
    EXPECT_TRUE(IsRelease(dir.Path(), "new"));
    EXPECT_TRUE(fs::is_regular_file(fs::symlink_status(planted)));
    EXPECT_EQ(StatOf(planted).nMode, 0600u);
    ExpectOutsideUntouched();
  }
}

TEST_F(ConfinementTest, AnInstalledFileThatIsALinkIsReplacedNotWrittenThrough) {
  fs::remove(dir.Path() / "Docs/Guide.txt");
  fs::create_symlink(outside.Path() / "Docs/Guide.txt", dir.Path() / "Docs/Guide.txt");
  qvntest::CountFault();
  const ProcessResult r = Update();
  EXPECT_EQ(r.nExit, 0) << r.strErr;
  EXPECT_TRUE(IsRelease(dir.Path(), "new"));
  ExpectOutsideUntouched();
}

// --- A name reached through a link, or not a file, stops the update at once ---

TEST_F(ConfinementTest, ATargetThroughALinkOrNotAFileStopsTheUpdateBeforeAnyDownload) {
  const struct {
    const char* pszCase;
    std::function<void(const fs::path&)> plant;
    const char* pszLine;
  } cases[] = {
      {"a new folder that is a link",
       [&](const fs::path& d) { fs::create_symlink(outside.Path(), d / "plugins"); },
       "Unsafe file name \"plugins/new/Extra.dll\": \"plugins\" is a symbolic link - ABORTING"},
      {"an existing folder swapped for a link",
       [&](const fs::path& d) {
         fs::remove_all(d / "Docs");
         fs::create_symlink(outside.Path() / "Docs", d / "Docs");
       },
       "Unsafe file name \"Docs/Guide.txt\": \"Docs\" is a symbolic link - ABORTING"},
      {"a FIFO as a target",
       [](const fs::path& d) { fs::remove(d / "ReadMe.txt"), mkfifo((d / "ReadMe.txt").c_str(), 0644); },
       "Unsafe file name \"ReadMe.txt\": it is a FIFO, socket or device - ABORTING"},
      {"a FIFO as a compressed item's target",
       [](const fs::path& d) { fs::remove(d / "Engine.dll"), mkfifo((d / "Engine.dll").c_str(), 0644); },
       "Unsafe file name \"Engine.dll.crz\": installed as \"Engine.dll\", it is a FIFO, socket or device - "
       "ABORTING"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.pszCase);
    qvntest::TempDir other;
    Releases::InstallOld(other.Path());
    c.plant(other.Path());
    const auto before = Tree(other.Path());
    Serve();
    qvntest::CountFault();
    const ProcessResult r = qvntest::RunUpdater(other.Path(), m_server->Url());
    EXPECT_EQ(r.nExit, 1) << r.strErr;
    EXPECT_EQ(Lines(r.strOut).back(), c.pszLine);
    EXPECT_THAT(m_server->Paths(), ::testing::ElementsAre("/Updates/UpdateInfo.txt"));
    EXPECT_EQ(Tree(other.Path()), before);
    ExpectOutsideUntouched();
  }
}

TEST_F(ConfinementTest, ALinkPlantedDuringTheUpdateFailsItAndRollsBack) {
  for (const char* pszFolder : {"Docs", "plugins"}) {
    SCOPED_TRACE(pszFolder);
    // The last download is held for a few seconds while the link is planted.
    const std::string strGuide = Releases::Payloads().at("Docs/Guide.txt");
    Serve([&](const std::string& strPath) -> std::optional<RawServer::Reply> {
      if (strPath != "/Updates/Docs/Guide.txt") return std::nullopt;
      return RawServer::Reply{.strHead = RawServer::Head(200, RawServer::LengthHeader(strGuide.size())),
                              .strBody = strGuide,
                              .nChunk = 10,
                              .nPauseMillis = 500};
    });
    ProcessResult r;
    std::thread thread([&] { r = Update(); });
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (std::chrono::steady_clock::now() < deadline) {
      const auto paths = m_server->Paths();
      if (std::find(paths.begin(), paths.end(), "/Updates/Docs/Guide.txt") != paths.end()) break;
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    const fs::path link = dir.Path() / pszFolder;
    if (fs::exists(link)) fs::rename(link, dir.Path() / "moved");
    fs::create_symlink(outside.Path() / "Docs", link);
    thread.join();
    qvntest::CountFault();

    EXPECT_EQ(r.nExit, 1) << r.strErr;
    EXPECT_THAT(Lines(r.strOut).back(), HasSubstr("a folder on the way is a symbolic link - ABORTING"));
    ExpectOutsideUntouched();
    fs::remove(link);
    if (fs::exists(dir.Path() / "moved")) fs::rename(dir.Path() / "moved", link);
    EXPECT_TRUE(IsRelease(dir.Path(), "old"));
  }
}

// --- A crafted journal: refused, nothing restored or deleted ---

TEST_F(ConfinementTest, AJournalThatLeadsThroughALinkIsRefusedAndNothingIsTouched) {
  WriteFile(outside.Path() / ".victim.qvnupdate-old", "root's own backup\n");
  m_outside = Tree(outside.Path());
  fs::create_symlink(outside.Path(), dir.Path() / "evil");
  const struct {
    const char* pszJournal;
    const char* pszEntry;
  } cases[] = {
      {kJournalName, "file 0 evil/victim evil/.victim.qvnupdate-old"},           // would delete the victim
      {kJournalName, "file 1 evil/victim evil/.victim.qvnupdate-old"},           // would rename over it
      {kCommittedJournalName, "file 1 evil/victim evil/.victim.qvnupdate-old"},  // would delete the backup
      {kJournalName, "folder evil/Docs"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.pszEntry);
    WriteFile(dir.Path() / c.pszJournal, std::string("qvnupdate-journal 1\n") + c.pszEntry + "\nend\n");
    const auto before = Tree(dir.Path());
    qvntest::CountFault();
    const ProcessResult r = Update();
    EXPECT_EQ(r.nExit, 2) << r.strErr;
    EXPECT_THAT(
        Lines(r.strOut).back(),
        ::testing::MatchesRegex("Unable to restore the files of an interrupted update: .*\"evil\" is a "
                                "symbolic link.*nothing was restored or removed.* - ABORTING"));
    EXPECT_EQ(Tree(dir.Path()), before);
    ExpectOutsideUntouched();
    fs::remove(dir.Path() / c.pszJournal);
  }
}

// --- A lock that cannot be taken: the run stops, changing nothing ---

TEST_F(ConfinementTest, ALockThatCannotBeTakenStopsTheRunAndChangesNothing) {
  const fs::path lock = dir.Path() / kLockFileName;
  const struct {
    const char* pszCase;
    std::function<void()> plant;
    bool bAsAttacker;  // the updater runs as the ordinary user, who owns nothing here
    const char* pszReason;
  } cases[] = {
      {"a link", [&] { fs::create_symlink(outside.Path() / "victim", lock); }, false,
       ".qvnupdate.lock is a symbolic link"},
      {"a hard link", [&] { fs::create_hard_link(outside.Path() / "victim", lock); }, false,
       ".qvnupdate.lock has another name (a hard link); remove it to go on"},
      {"a FIFO", [&] { mkfifo(lock.c_str(), 0666); }, false, ".qvnupdate.lock is not a regular file"},
      {"a socket",
       [&] {
         sockaddr_un address{};
         address.sun_family = AF_UNIX;
         std::strncpy(address.sun_path, lock.c_str(), sizeof address.sun_path - 1);
         const int s = socket(AF_UNIX, SOCK_STREAM, 0);
         bind(s, reinterpret_cast<const sockaddr*>(&address), sizeof address);
         close(s);
       },
       false, ".qvnupdate.lock is not a regular file"},
      {"a folder", [&] { fs::create_directory(lock); }, false, ".qvnupdate.lock: Is a directory"},
      {"a stale lock the user cannot write to",
       [&] {
         WriteFile(lock, "1\n");
         chown(lock.c_str(), 0, 0);
         chown(dir.Path().c_str(), 0, 0);
       },
       true, ".qvnupdate.lock: Permission denied"},
      {"a folder the user cannot write to", [&] { chown(dir.Path().c_str(), 0, 0); }, true,
       ".qvnupdate.lock: Permission denied"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.pszCase);
    c.plant();
    const auto before = Tree(dir.Path());
    qvntest::CountFault();
    const ProcessResult r = Update(c.bAsAttacker);
    EXPECT_FALSE(r.bTimedOut);
    EXPECT_EQ(r.nExit, 2) << r.strErr;
    EXPECT_EQ(r.strOut, "");
    EXPECT_EQ(r.strErr, "qvnupdate: Unable to lock the installation folder " + dir.Path().string() + ": " +
                            c.pszReason + ". Nothing was changed.\n");
    EXPECT_EQ(Tree(dir.Path()), before);
    ExpectOutsideUntouched();
    fs::remove_all(lock);
    GiveAway();
  }
}

// A folder the user may enter and write to but not read: no interrupted
// update is blamed for it.
TEST_F(ConfinementTest, AFolderThatCannotBeReadStopsTheRunAndSaysSo) {
  GiveAway();
  chmod(dir.Path().c_str(), 0311);
  const auto before = Tree(dir.Path());
  const ProcessResult r = Update(true);
  chmod(dir.Path().c_str(), 0755);
  EXPECT_EQ(r.nExit, 2) << r.strErr;
  EXPECT_EQ(r.strErr,
            "qvnupdate: Unable to open the installation folder (the current folder): Permission denied. "
            "Nothing was changed.\n");
  EXPECT_EQ(Tree(dir.Path()), before);
  // Nor is the name blamed for a folder on its way that cannot be searched.
  chmod((dir.Path() / "Docs").c_str(), 0644);
  const ProcessResult inner = Update(true);
  chmod((dir.Path() / "Docs").c_str(), 0755);
  EXPECT_EQ(inner.nExit, 1) << inner.strErr;
  EXPECT_EQ(Lines(inner.strOut).back(),
            "Unable to reach \"Docs/Guide.txt\" in the installation folder: Permission denied - ABORTING");
  EXPECT_EQ(Tree(dir.Path()), before);
}

// --- Modes and owners: never more open than before, whatever the umask ---

TEST_F(ConfinementTest, ModesAreNeverMoreOpenAndOwnersAreKept) {
  chmod((dir.Path() / "Engine.dll").c_str(), 06755);
  chmod((dir.Path() / "ReadMe.txt").c_str(), 0640);
  // A folder where anyone may put a file: its owner is not handed on.
  lchown((dir.Path() / "Docs").c_str(), 0, 0);
  chmod((dir.Path() / "Docs").c_str(), 01777);
  chmod((dir.Path() / "Docs/Guide.txt").c_str(), 0666);
  // Nor when the file's folder was made there by its owner.
  fs::create_directories(dir.Path() / "plugins/new");
  WriteFile(dir.Path() / "plugins/new/Extra.dll", "planted");
  chmod((dir.Path() / "plugins").c_str(), 01777);
  chmod((dir.Path() / "plugins/new/Extra.dll").c_str(), 0666);
  lchown((dir.Path() / "plugins/new").c_str(), kNobody, kNobody);
  lchown((dir.Path() / "plugins/new/Extra.dll").c_str(), kNobody, kNobody);
  // Looks like a copy the updater left half-way, but is the user's own.
  WriteFile(dir.Path() / "Docs/.Guide.txt.a1b2c3", "mine\n");
  const mode_t nUmask = umask(0);
  const ProcessResult r = Update();
  umask(nUmask);
  EXPECT_EQ(r.nExit, 0) << r.strErr;

  const struct {
    const char* pszName;
    mode_t nMode;
    uid_t nOwner;
  } expected[] = {
      {"Engine.dll", 0755, kNobody},  // set-user-ID and set-group-ID dropped
      {"ReadMe.txt", 0640, kNobody},  {"Docs/Guide.txt", 0644, 0},        {"plugins", 01777, 0},
      {"plugins/new", 0755, kNobody}, {"plugins/new/Extra.dll", 0644, 0}, {"QVNUPD1.TMP", 0600, 0},
      {"QVNUPD4.TMP", 0600, 0},       {"QVNUPDU1.TMP", 0600, 0},
  };
  for (const auto& e : expected) {
    SCOPED_TRACE(e.pszName);
    const Stat st = StatOf(dir.Path() / e.pszName);
    EXPECT_EQ(st.nMode, e.nMode);
    EXPECT_EQ(st.nOwner, e.nOwner);
  }
  EXPECT_EQ(qvntest::ReadFile(dir.Path() / "Docs/.Guide.txt.a1b2c3"), "mine\n");
  fs::remove(dir.Path() / "Docs/.Guide.txt.a1b2c3");
  EXPECT_TRUE(IsRelease(dir.Path(), "new"));
}

// --- A failed download or expansion leaves no partial file ---

TEST_F(ConfinementTest, AFailedDownloadOrExpansionRemovesItsPartialFile) {
  std::string strDamaged = Releases::Payloads().at("Engine.dll.crz");
  strDamaged[0] = '\xFF';  // a first block that claims a body longer than any block
  const std::string strExtra = Releases::kNewExtra;
  const struct {
    const char* pszPath;
    RawServer::Reply reply;
    const char* pszPartial;
    const char* pszFinished;
  } cases[] = {
      {"/Updates/plugins/new/Extra.dll",
       {RawServer::Head(200, RawServer::LengthHeader(strExtra.size())) + strExtra.substr(0, 10000)},
       "QVNUPD3.TMP",
       "QVNUPD2.TMP"},
      {"/Updates/Engine.dll.crz",
       {RawServer::Head(200, RawServer::LengthHeader(strDamaged.size())) + strDamaged},
       "QVNUPDU1.TMP",
       "QVNUPD4.TMP"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.pszPath);
    for (const char* pszName : {"QVNUPD1.TMP", "QVNUPD2.TMP", "QVNUPD3.TMP", "QVNUPD4.TMP", "QVNUPDU1.TMP"}) {
      fs::remove(dir.Path() / pszName);
    }
    Serve([&](const std::string& strPath) -> std::optional<RawServer::Reply> {
      if (strPath == c.pszPath) return c.reply;
      return std::nullopt;
    });
    qvntest::CountFault();
    const ProcessResult r = Update();
    EXPECT_NE(r.nExit, 0);
    EXPECT_FALSE(fs::exists(fs::symlink_status(dir.Path() / c.pszPartial)));
    EXPECT_TRUE(fs::exists(dir.Path() / c.pszFinished));
    EXPECT_TRUE(IsRelease(dir.Path(), "old"));
  }
}

}  // namespace
