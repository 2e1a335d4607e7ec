// The replacement's journal, in-process: a failure puts back every file it
// touched, and whatever a run that died leaves behind is put right by the
// next one. A run "dies" in a child process that ends with _exit, so that no
// destructor tidies up, or is killed by the system.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <functional>

#include "phases/download.h"
#include "phases/replace.h"
#include "phases/replace_journal.h"
#include "phases/temp_file_name.h"
#include "phases/update_lock.h"
#include "platform/copy_file.h"
#include "platform/http_client.h"
#include "reliability/installation.h"
#include "session/session.h"
#include "support/phase_fixture.h"
#include "support/raw_server.h"
#include "support/stop_at_step.h"

namespace {

using qvntest::HiddenFiles;
using qvntest::Releases;
using qvntest::WriteFile;
using ::testing::ElementsAre;

// Runs fn in a child process that ends without any clean-up, as a killed
// process would; returns its wait status.
int InChild(const std::function<void()>& fn) {
  std::fflush(nullptr);
  const pid_t pid = fork();
  if (pid == 0) {
    fn();
    _exit(0);
  }
  int nStatus = 0;
  waitpid(pid, &nStatus, 0);
  return nStatus;
}

class JournalTest : public qvntest::PhaseTest {
 protected:
  JournalTest() {
    Releases::InstallOld(dir.Path());
    // What the download and the expansion leave for the replacement.
    const auto payloads = Releases::Payloads();
    const auto order = Releases::ItemOrder();
    for (size_t i = 0; i < order.size(); ++i) {
      WriteFile(FormatTempFileName(static_cast<int>(i + 1), FALSE), payloads.at(order[i]));
    }
    WriteFile("QVNUPDU1.TMP", Releases::kNewEngine);
  }

  static CUpdateInfo Info() {
    std::vector<qvntest::ManifestItem> arrItems;
    for (const auto& strName : Releases::ItemOrder()) {
      arrItems.push_back({strName, 0, strName.find(".crz") != std::string::npos});
    }
    return qvntest::ItemsOf(arrItems);
  }
  static std::vector<std::string> Targets() {
    return {"Engine.dll", "ReadMe.txt", "plugins/new/Extra.dll", "Docs/Guide.txt"};
  }

  // A replacement that stops for good after nCopies copies (commit after all
  // of them when bCommit), leaving its journal and backups behind.
  static void ReplaceAndDie(size_t nCopies, bool bCommit = false) {
    CReplaceJournal journal;
    for (const auto& strTarget : Targets()) journal.AddTarget(strTarget);
    std::string strTarget;
    std::string strError;
    if (!journal.Begin(strError) || !journal.BackUp(strTarget, strError)) _exit(3);
    for (size_t i = 0; i < nCopies; ++i) {
      const int nItem = static_cast<int>(i + 1);
      if (!qvn::CopyFileA(FormatTempFileName(nItem, i == 0), Targets()[i], FALSE)) _exit(4);
    }
    if (bCommit && !journal.Commit(strError)) _exit(5);
    _exit(0);  // no destructor runs: as if the power went
  }
};

// --- A replacement that runs its course -------------------------------------

TEST_F(JournalTest, AGoodReplacementLeavesTheNewReleaseAndNothingOfItsOwn) {
  ASSERT_EQ(ReplaceFiles(view, Info()), 1);
  EXPECT_THAT(view.m_arrStatus,
              ElementsAre("Replacing Files", "Copying QVNUPDU1.TMP to Engine.dll",
                          "Copying QVNUPD2.TMP to ReadMe.txt", "Copying QVNUPD3.TMP to plugins/new/Extra.dll",
                          "Copying QVNUPD4.TMP to Docs/Guide.txt"));
  EXPECT_TRUE(qvntest::IsRelease(dir.Path(), "new"));
  std::string strError;
  EXPECT_EQ(RecoverInterruptedReplacement(strError), RecoveryResult::kNothing);
}

// --- A copy fails: everything goes back ---------------------------------------

TEST_F(JournalTest, AFailedCopyPutsBackEveryFileAndRemovesWhatItAdded) {
  const struct {
    const char* pszCase;
    std::function<void()> fault;
    const char* pszLine;
  } cases[] = {
      {"the last target is read-only", [] { chmod("Docs/Guide.txt", 0444); },
       "Unable to copy QVNUPD4.TMP to Docs/Guide.txt: Permission denied - ABORTING"},
      {"a source in the middle is gone", [] { std::filesystem::remove("QVNUPD3.TMP"); },
       "Unable to copy QVNUPD3.TMP to plugins/new/Extra.dll: No such file or directory - ABORTING"},
      {"a file stands where a folder must be made", [] { WriteFile("plugins", "not a folder"); },
       "Unable to copy QVNUPD3.TMP to plugins/new/Extra.dll: Not a directory - ABORTING"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.pszCase);
    qvntest::TempDir other;
    Releases::InstallOld(other.Path());
    const auto before = qvntest::Tree(other.Path());
    for (const auto& e : std::filesystem::directory_iterator(dir.Path())) {
      if (e.path().filename().string().rfind("QVNUPD", 0) == 0) {
        std::filesystem::copy_file(e.path(), other.Path() / e.path().filename());
      }
    }
    qvntest::ScopedCurrentDir inOther(other.Path());
    c.fault();
    const auto faulty = qvntest::Tree(other.Path());
    qvntest::CountFault();
    qvntest::RecordingReporter v;
    EXPECT_EQ(ReplaceFiles(v, Info()), 0);
    EXPECT_EQ(v.m_arrStatus.back(), c.pszLine);
    EXPECT_EQ(qvntest::Tree(other.Path()), faulty);  // as before the replacement, fault included
    EXPECT_THAT(HiddenFiles(other.Path()), ElementsAre());
  }
}

// A file that takes a backup's name while the replacement runs (another user
// of a shared folder) is not the run's backup: nothing of it is put in place.
TEST_F(JournalTest, AFileThatTakesABackupsNameIsNeverPutInPlace) {
  const auto before = qvntest::Tree(dir.Path());
  SetReplaceStepObserver([](const char* pszStep) {
    if (std::string(pszStep) == "journal") WriteFile(".ReadMe.txt.qvnupdate-old", "planted");
  });
  qvntest::CountFault();
  EXPECT_EQ(ReplaceFiles(view, Info()), 0);
  SetReplaceStepObserver(nullptr);
  EXPECT_EQ(view.m_arrStatus.back(),
            "Unable to keep the previous version of ReadMe.txt: File exists - ABORTING");
  auto after = qvntest::Tree(dir.Path());
  EXPECT_EQ(after.erase(".ReadMe.txt.qvnupdate-old"), 1u);
  EXPECT_EQ(after, before);
}

// A file someone puts where the update would add one, before the run
// reached it, is theirs: the rollback of a later failure leaves it.
TEST_F(JournalTest, ARollBackLeavesAloneWhatTheRunDidNotReplace) {
  SetReplaceStepObserver([](const char* pszStep) {
    if (std::string(pszStep) != "journal") return;
    std::filesystem::create_directories("plugins/new");
    WriteFile("plugins/new/Extra.dll", "theirs");
  });
  std::filesystem::remove("QVNUPD2.TMP");
  qvntest::CountFault();
  EXPECT_EQ(ReplaceFiles(view, Info()), 0);
  SetReplaceStepObserver(nullptr);
  EXPECT_EQ(qvntest::ReadFile("plugins/new/Extra.dll"), "theirs");
  std::filesystem::remove_all("plugins");
  EXPECT_TRUE(qvntest::IsRelease(dir.Path(), "old"));
  EXPECT_THAT(HiddenFiles(dir.Path()), ElementsAre());
}

TEST_F(JournalTest, AFileNamedTwiceGetsItsFirstVersionBack) {
  const CUpdateInfo info =
      qvntest::Items({{"ReadMe.txt", false}, {"ReadMe.txt", false}, {"Missing.txt", false}});
  std::filesystem::remove("QVNUPD3.TMP");
  qvntest::CountFault();
  EXPECT_EQ(ReplaceFiles(view, info), 0);
  EXPECT_TRUE(qvntest::IsRelease(dir.Path(), "old"));
}

// --- A run that dies: the next start puts it right ----------------------------

TEST_F(JournalTest, ARunThatDiesBeforeItsCommitIsUndoneAtTheNextStart) {
  for (size_t nCopies = 0; nCopies <= Targets().size(); ++nCopies) {
    SCOPED_TRACE(nCopies);
    qvntest::CountFault();
    ASSERT_EQ(InChild([nCopies] { ReplaceAndDie(nCopies); }), 0);
    ASSERT_FALSE(HiddenFiles(dir.Path()).empty());
    std::string strError;
    EXPECT_EQ(RecoverInterruptedReplacement(strError), RecoveryResult::kRestored) << strError;
    EXPECT_TRUE(qvntest::IsRelease(dir.Path(), "old"));
    EXPECT_EQ(RecoverInterruptedReplacement(strError), RecoveryResult::kNothing);
  }
}

TEST_F(JournalTest, ARunThatDiesAfterItsCommitKeepsTheNewRelease) {
  qvntest::CountFault();
  ASSERT_EQ(InChild([] { ReplaceAndDie(Targets().size(), true); }), 0);
  std::string strError;
  EXPECT_EQ(RecoverInterruptedReplacement(strError), RecoveryResult::kFinished) << strError;
  EXPECT_TRUE(qvntest::IsRelease(dir.Path(), "new"));
}

TEST_F(JournalTest, ARunKilledHalfWayThroughACopyLeavesNoHalfWrittenFile) {
  // The system kills a process that writes past its file size limit: here in
  // the middle of the first installed file's copy.
  qvntest::CountFault();
  const int nStatus = InChild([] {
    rlimit limit{64 * 1024, 64 * 1024};
    setrlimit(RLIMIT_FSIZE, &limit);
    qvntest::RecordingReporter v;
    ReplaceFiles(v, Info());
  });
  ASSERT_TRUE(WIFSIGNALED(nStatus) && WTERMSIG(nStatus) == SIGXFSZ) << nStatus;
  const auto hidden = HiddenFiles(dir.Path());
  EXPECT_TRUE(std::any_of(hidden.begin(), hidden.end(), [](const std::string& s) {
    return s == CopyTempName("Engine.dll");
  })) << "no half-written copy was left to clean up";
  std::string strError;
  EXPECT_EQ(RecoverInterruptedReplacement(strError), RecoveryResult::kRestored) << strError;
  EXPECT_TRUE(qvntest::IsRelease(dir.Path(), "old"));
}

TEST_F(JournalTest, ARecoveryThatIsKilledIsTakenUpAgain) {
  qvntest::CountFault();
  ASSERT_EQ(InChild([] { ReplaceAndDie(3); }), 0);
  for (const char* pszStep : {"restore-1", "restore-3"}) {
    qvntest::CountFault();
    const int nStatus = InChild([pszStep] {
      qvntest::StopAtReplaceStep(pszStep);
      std::string strError;
      RecoverInterruptedReplacement(strError);
    });
    ASSERT_TRUE(WIFSIGNALED(nStatus) && WTERMSIG(nStatus) == SIGKILL) << pszStep;
  }
  std::string strError;
  EXPECT_EQ(RecoverInterruptedReplacement(strError), RecoveryResult::kRestored) << strError;
  EXPECT_TRUE(qvntest::IsRelease(dir.Path(), "old"));
}

// --- A journal that is not one of ours ----------------------------------------

TEST(Journal, ADamagedOrForeignJournalIsRefusedAndNothingIsTouched) {
  qvntest::TempDir outer;
  const std::filesystem::path folder = outer.Path() / "Quorvane";
  Releases::InstallOld(folder);
  WriteFile(outer.Path() / "outside.txt", "outside");
  qvntest::ScopedCurrentDir cwd(folder);
  const struct {
    std::string strJournal;
    const char* pszWhy;
  } cases[] = {
      {"", "it is incomplete"},
      {"not a journal\n", "line 1 cannot be read"},
      {"qvnupdate-journal 1\nfile 1 ReadMe.txt .ReadMe.txt.qvnupdate-old\n", "it is incomplete"},
      {"qvnupdate-journal 1\nfile 0 ../outside.txt ../.outside.txt.qvnupdate-old\nend\n",
       "line 2 cannot be read"},
      {"qvnupdate-journal 1\nfile 0 /etc/passwd /etc/.passwd.qvnupdate-old\nend\n", "line 2 cannot be read"},
      {"qvnupdate-journal 1\nfile 1 ReadMe.txt Engine.dll\nend\n", "line 2 cannot be read"},
      {"qvnupdate-journal 1\nfolder ..\nend\n", "line 2 cannot be read"},
      {"qvnupdate-journal 1\nfile 2 ReadMe.txt .ReadMe.txt.qvnupdate-old\nend\n", "line 2 cannot be read"},
      {"qvnupdate-journal 1\nend\nfile 0 ReadMe.txt .ReadMe.txt.qvnupdate-old\n", "line 3 cannot be read"},
      {"qvnupdate-journal 1\nfile 0 Read%4 .ReadMe.txt.qvnupdate-old\nend\n", "line 2 cannot be read"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.strJournal);
    WriteFile(kJournalName, c.strJournal);
    const auto before = qvntest::Tree(folder);
    std::string strError;
    EXPECT_EQ(RecoverInterruptedReplacement(strError), RecoveryResult::kFailed);
    EXPECT_THAT(strError, ::testing::StartsWith(std::string(".qvnupdate-journal is damaged (") + c.pszWhy +
                                                "), so it is not followed; the installation may hold files "
                                                "of both versions: each hidden .NAME.qvnupdate-old"));
    EXPECT_EQ(qvntest::Tree(folder), before);
    EXPECT_EQ(qvntest::ReadFile(outer.Path() / "outside.txt"), "outside");
  }
  // A well-formed journal that others may have written is not followed either.
  WriteFile(kJournalName, "qvnupdate-journal 1\nfile 0 ReadMe.txt .ReadMe.txt.qvnupdate-old\nend\n");
  const auto before = qvntest::Tree(folder);
  for (const bool bOtherUser : {false, true}) {
    if (bOtherUser && geteuid() != 0) continue;
    chmod(kJournalName, bOtherUser ? 0600 : 0620);
    if (bOtherUser) {
      ASSERT_EQ(chown(kJournalName, 65534, 65534), 0);
    }
    std::string strError;
    EXPECT_EQ(RecoverInterruptedReplacement(strError), RecoveryResult::kFailed);
    EXPECT_THAT(strError, ::testing::HasSubstr("belongs to another user or others may change it"));
    EXPECT_EQ(qvntest::Tree(folder), before);
  }
  // Nor is a backup another user put at its name, in a folder open to all,
  // while the run was down: it would take the place of a file they cannot touch.
  if (geteuid() == 0) {
    chown(kJournalName, 0, 0);
    chmod(kJournalName, 0600);
    WriteFile(".ReadMe.txt.qvnupdate-old", "planted");
    ASSERT_EQ(chown(".ReadMe.txt.qvnupdate-old", 65534, 65534), 0);
    const auto planted = qvntest::Tree(folder);
    std::string strError;
    EXPECT_EQ(RecoverInterruptedReplacement(strError), RecoveryResult::kFailed);
    EXPECT_THAT(strError, ::testing::HasSubstr("its backup belongs to another user"));
    EXPECT_EQ(qvntest::Tree(folder), planted);
  }
}

TEST_F(JournalTest, NamesWithBlanksAndOtherBytesSurviveTheJournal) {
  const std::string strName = "My Files/caf\xE9 100%.txt";
  WriteFile(strName, "old");
  WriteFile("QVNUPD9.TMP", "new");
  ASSERT_EQ(InChild([&strName] {
              CReplaceJournal journal;
              journal.AddTarget(strName);
              journal.AddTarget("Another Folder/added file.txt");
              std::string strTarget;
              std::string strError;
              if (!journal.Begin(strError) || !journal.BackUp(strTarget, strError)) _exit(3);
              qvn::CopyFileA("QVNUPD9.TMP", strName, FALSE);
              qvn::CopyFileA("QVNUPD9.TMP", "Another Folder/added file.txt", FALSE);
              _exit(0);
            }),
            0);
  std::string strError;
  EXPECT_EQ(RecoverInterruptedReplacement(strError), RecoveryResult::kRestored) << strError;
  EXPECT_EQ(qvntest::ReadFile(strName), "old");
  EXPECT_FALSE(std::filesystem::exists("Another Folder"));
}

// --- Names that would land on the updater's own files --------------------------

TEST(UpdaterFileNames, AreRefusedBeforeAnythingIsFetched) {
  const struct {
    const char* pszName;
    bool bCompressed;
    const char* pszLine;  // null: allowed
  } cases[] = {
      {".qvnupdate-journal", false,
       "Unsafe file name \".qvnupdate-journal\": the name is kept for the updater's own files - ABORTING"},
      {".qvnupdate.lock", false,
       "Unsafe file name \".qvnupdate.lock\": the name is kept for the updater's own files - ABORTING"},
      {"bin/.a.dll.qvnupdate-old", false,
       "Unsafe file name \"bin/.a.dll.qvnupdate-old\": the name is kept for the updater's own files - "
       "ABORTING"},
      {"QVNUPD2.TMP", false,
       "Unsafe file name \"QVNUPD2.TMP\": the name is one of the updater's temporary files - ABORTING"},
      {"QVNUPDU12.TMP", false,
       "Unsafe file name \"QVNUPDU12.TMP\": the name is one of the updater's temporary files - ABORTING"},
      {"QVNUPD1.TMP.crz", true,
       "Unsafe file name \"QVNUPD1.TMP.crz\": installed as \"QVNUPD1.TMP\", the name is one of the updater's "
       "temporary files - ABORTING"},
      {"bin/QVNUPD2.TMP", false, nullptr},  // not beside the temporary files
      {"QVNUPD.TMP", false, nullptr},
      {"QVNUPDX1.TMP", false, nullptr},
      {"qvnupdate.txt", false, nullptr},
      {"conf/.qvnupdaterc", false,
       "Unsafe file name \"conf/.qvnupdaterc\": the name is kept for the updater's own files - ABORTING"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.pszName);
    qvntest::RecordingReporter v;
    EXPECT_EQ(CheckItemNames(v, qvntest::Items({{c.pszName, c.bCompressed}})),
              c.pszLine == nullptr ? TRUE : FALSE);
    if (c.pszLine != nullptr) {
      EXPECT_THAT(v.m_arrStatus, ElementsAre(c.pszLine));
    }
  }
}

// --- One updater per folder -----------------------------------------------------

TEST_F(JournalTest, OnlyOneUpdaterHoldsTheFolderAndItsLockGoesWithIt) {
  CUpdateLock first;
  std::string strError;
  ASSERT_TRUE(first.Acquire(strError)) << strError;
  CUpdateLock second;
  EXPECT_FALSE(second.Acquire(strError));
  EXPECT_EQ(strError, "Another update is already running in this folder (process " +
                          std::to_string(getpid()) + "). Wait until it has finished, then try again.");
  first.Release();
  EXPECT_FALSE(std::filesystem::exists(kLockFileName));
  EXPECT_TRUE(second.Acquire(strError)) << strError;
  second.Release();

  // A holder that dies leaves its file, which locks nothing.
  ASSERT_EQ(InChild([] {
              CUpdateLock lock;
              std::string s;
              if (!lock.Acquire(s)) _exit(3);
              _exit(0);
            }),
            0);
  EXPECT_TRUE(std::filesystem::exists(kLockFileName));
  EXPECT_TRUE(first.Acquire(strError)) << strError;
}

// --- The session -------------------------------------------------------------------

TEST_F(JournalTest, TheSessionPutsBackAnInterruptedReplacementBeforeItConnects) {
  ASSERT_EQ(InChild([] { ReplaceAndDie(2); }), 0);
  UpdateSettings settings;
  settings.serverUrl = *CHttpUrl::Parse("http://127.0.0.1:" + std::to_string(qvntest::ClosedLoopbackPort()));
  EXPECT_THROW(RunUpdate(view, settings), CInternetException);
  EXPECT_THAT(view.m_arrEvents, ElementsAre("reset", "status Restored the files of an interrupted update",
                                            "status Attempting to connection to server"));
  EXPECT_TRUE(qvntest::IsRelease(dir.Path(), "old"));

  view.m_arrEvents.clear();
  EXPECT_THROW(RunUpdate(view, settings), CInternetException);
  EXPECT_THAT(view.m_arrEvents, ElementsAre("reset", "status Attempting to connection to server"));
}

TEST_F(JournalTest, TheSessionStopsAtAJournalItCannotUse) {
  WriteFile(kJournalName, "qvnupdate-journal 1\n");
  UpdateSettings settings;
  settings.serverUrl = *CHttpUrl::Parse("http://127.0.0.1:" + std::to_string(qvntest::ClosedLoopbackPort()));
  // An error, not a refusal: what the folder holds is not what it held.
  EXPECT_THROW(RunUpdate(view, settings), CException);
  EXPECT_THAT(
      view.m_arrStatus,
      ElementsAre(::testing::AllOf(
          ::testing::StartsWith("Unable to restore the files of an interrupted update: "
                                ".qvnupdate-journal is damaged (it is incomplete), so it is not followed; "),
          ::testing::EndsWith("then remove the journal to go on - ABORTING"))));
  EXPECT_FALSE(std::filesystem::exists(kLockFileName));
}

TEST_F(JournalTest, ASecondSessionInTheSameFolderIsRefusedBeforeItShowsAnything) {
  CUpdateLock lock;
  std::string strError;
  ASSERT_TRUE(lock.Acquire(strError));
  const auto before = qvntest::Tree(dir.Path());
  UpdateSettings settings;
  settings.serverUrl = *CHttpUrl::Parse("http://127.0.0.1:" + std::to_string(qvntest::ClosedLoopbackPort()));
  try {
    RunUpdate(view, settings);
    FAIL() << "a second update ran";
  } catch (const CException& e) {
    EXPECT_THAT(e.GetErrorMessage(),
                ::testing::StartsWith("Another update is already running in this folder"));
  }
  EXPECT_TRUE(view.m_arrEvents.empty());
  EXPECT_EQ(qvntest::Tree(dir.Path()), before);
}

}  // namespace
