// The window running real updates against a local HTTP server on 127.0.0.1,
// in a temporary installation folder.
#include <httplib.h>

#include <QApplication>
#include <QImage>
#include <QLabel>
#include <QListWidget>
#include <QMessageBox>
#include <QProgressBar>
#include <QPushButton>
#include <QRegularExpression>
#include <QSignalSpy>
#include <QTest>
#include <chrono>
#include <condition_variable>
#include <map>
#include <mutex>

#include "app/update_app.h"
#include "app/window.h"
#include "platform/exception.h"
#include "res/resource.h"
#include "support/local_server.h"
#include "support/raw_server.h"
#include "support/temp_dir.h"
#include "support/update_fixture.h"
#include "window_test_support.h"

namespace {

using qvntest::Control;

// The window with a fault injected into one report: once the installed
// version has been reported, the update fails as given. Exceptions with no
// text of their own, and running out of memory, do not happen on demand.
class FaultyWindow : public CUpdateDlg {
 public:
  FaultyWindow(const UpdateSettings& settings, std::function<void()> fnFail)
      : CUpdateDlg(settings), m_fnFail(std::move(fnFail)) {}
  void AddStatus(std::string strLine) override {
    const bool bFail = strLine.rfind("Current Version", 0) == 0;
    CUpdateDlg::AddStatus(std::move(strLine));
    if (bFail) m_fnFail();
  }

 private:
  std::function<void()> m_fnFail;
};

// An update server on a free loopback port. One payload can be held back
// part-way ("gated") until the test lets it go, so that a test can look at the
// window in the middle of a download.
class TestServer {
 public:
  TestServer() {
    m_server.set_keep_alive_max_count(1);
    m_server.Get(R"(/.*)", [this](const httplib::Request& req, httplib::Response& res) { Answer(req, res); });
    m_running.Start(m_server);
  }
  ~TestServer() {
    OpenGate();
    m_running.Stop();
  }

  void Serve(const std::string& strPath, std::string strBody, int nStatus = 200) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_replies[strPath] = {nStatus, std::move(strBody)};
  }
  // strPath's body stops after nBytes until OpenGate (or 20 seconds pass).
  void HoldBack(const std::string& strPath, size_t nBytes) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_strGated = strPath;
    m_nHoldAt = nBytes;
    m_bGateOpen = false;
  }
  void OpenGate() {
    {
      std::lock_guard<std::mutex> lock(m_mutex);
      m_bGateOpen = true;
    }
    m_cv.notify_all();
  }
  int Count(const std::string& strPath) const {
    std::lock_guard<std::mutex> lock(m_mutex);
    int n = 0;
    for (const auto& s : m_arrRequests) n += s == strPath ? 1 : 0;
    return n;
  }
  std::string Url() const { return "http://127.0.0.1:" + std::to_string(m_running.Port()); }

 private:
  void Answer(const httplib::Request& req, httplib::Response& res) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_arrRequests.push_back(req.path);
    const auto it = m_replies.find(req.path);
    if (it == m_replies.end()) {
      res.status = 404;
      res.set_content("not here\n", "text/plain");
      return;
    }
    res.status = it->second.first;
    if (req.path != m_strGated) {
      res.set_content(it->second.second, "application/octet-stream");
      return;
    }
    auto pBody = std::make_shared<std::string>(it->second.second);
    res.set_content_provider(pBody->size(), "application/octet-stream",
                             [this, pBody](size_t nOffset, size_t, httplib::DataSink& sink) {
                               if (nOffset >= m_nHoldAt) {
                                 std::unique_lock<std::mutex> gate(m_mutex);
                                 m_cv.wait_for(gate, std::chrono::seconds(20),
                                               [this] { return m_bGateOpen; });
                               }
                               const size_t nEnd = nOffset < m_nHoldAt ? m_nHoldAt : pBody->size();
                               return sink.write(pBody->data() + nOffset, nEnd - nOffset);
                             });
  }

  httplib::Server m_server;
  qvntest::ServerThread m_running;
  mutable std::mutex m_mutex;
  std::condition_variable m_cv;
  std::map<std::string, std::pair<int, std::string>> m_replies;
  std::vector<std::string> m_arrRequests;
  std::string m_strGated;
  size_t m_nHoldAt = 0;
  bool m_bGateOpen = true;
};

QStringList Lines(CUpdateDlg& dlg) {
  QStringList lines;
  auto* pList = Control<QListWidget>(&dlg, IDC_LIST_STATUS);
  for (int i = 0; i < pList->count(); ++i) lines << pList->item(i)->text();
  return lines;
}

// Presses Start and waits (bounded) for the update to end.
bool RunStart(CUpdateDlg& dlg) {
  QSignalSpy ended(&dlg, &CUpdateDlg::UpdateEnded);
  QTest::mouseClick(Control<QPushButton>(&dlg, IDC_START), Qt::LeftButton);
  return ended.wait(30000) || ended.count() > 0;
}

struct BarView {
  int nMax;
  int nValue;
  bool operator==(const BarView&) const = default;
};
BarView Bar(CUpdateDlg& dlg, int nId) {
  auto* pBar = Control<QProgressBar>(&dlg, nId);
  return {pBar->maximum(), pBar->value()};
}
QString Caption(CUpdateDlg& dlg, int nId) {
  return Control<QLabel>(&dlg, nId)->text();
}

// What the window shows when the installed version is the one offered.
const QStringList kUpToDateLines = {
    "Attempting to connection to server", "Current Version of Quorvane.exe is 1.0.0.2",
    "Available Version of Quorvane.exe is 1.0.0.2", "Quorvane.exe is up to date"};

// The text and icon of a message box the window opened.
struct ShownBox {
  QString strText;
  QMessageBox::Icon icon = QMessageBox::NoIcon;
};
// For a ModalWatcher: notes what a message box shows, then presses its OK.
std::function<void(QWidget*)> NoteAndPressOk(ShownBox& box) {
  return [&box](QWidget* p) {
    if (auto* pBox = qobject_cast<QMessageBox*>(p)) {
      box.strText = pBox->text();
      box.icon = pBox->icon();
    }
    qvntest::PressOk(p);
  };
}

// Where the picture of the window after an update goes.
QString WindowPicturePath() {
  const QByteArray path = qgetenv("QVN_WINDOW_PNG");
  return path.isEmpty() ? QStringLiteral(QVN_BUILD_DIR "/window.png") : QString::fromLocal8Bit(path);
}

}  // namespace

class TestWindowUpdate : public QObject {
  Q_OBJECT

 private slots:
  void init() {
    m_pDir = std::make_unique<qvntest::TempDir>();
    qvntest::InstallProductExe(m_pDir->Path());
    m_pCwd = std::make_unique<qvntest::ScopedCurrentDir>(m_pDir->Path());
    m_pServer = std::make_unique<TestServer>();
    m_settings.serverUrl = *CHttpUrl::Parse(m_pServer->Url());
    m_settings.nStallTimeout = 30;
  }
  void cleanup() {
    m_pServer.reset();
    m_pCwd.reset();
    m_pDir.reset();
  }

  void UpToDate() {
    m_pServer->Serve("/Updates/UpdateInfo.txt", qvntest::MakeManifest("1.0.0.2", {}));
    CUpdateDlg dlg(m_settings);
    dlg.show();
    QVERIFY(QTest::qWaitForWindowExposed(&dlg));
    QVERIFY(RunStart(dlg));
    QCOMPARE(Lines(dlg), kUpToDateLines);
    QCOMPARE(Control<QListWidget>(&dlg, IDC_LIST_STATUS)->currentRow(), 3);
    QCOMPARE(dlg.LastResult(), TRUE);
    // No phase ran: captions and bars are as the window opened.
    QCOMPARE(Caption(dlg, IDC_STATIC_CURRENT), QString("Current Progress"));
    QCOMPARE(Caption(dlg, IDC_STATIC_OVERALL), QString("Overall Progress"));
    QCOMPARE(Bar(dlg, IDC_PROGRESS_CURRENT).nValue, 0);
    QCOMPARE(Bar(dlg, IDC_PROGRESS_OVERALL).nValue, 0);
    QVERIFY(Control<QPushButton>(&dlg, IDC_START)->isEnabled());
  }

  void FullUpdateThenASecondPress() {
    const std::string strEngine = qvntest::PatternData(10000, 7);
    const std::string strEngineCrz = qvntest::Compress(strEngine);
    const std::string strReadMe = qvntest::PatternData(5000, 8);
    m_pServer->Serve("/Updates/UpdateInfo.txt",
                     qvntest::MakeManifest("1.0.0.3", {{"Engine.dll.crz", strEngineCrz.size(), true},
                                                       {"ReadMe.txt", strReadMe.size(), false}}));
    m_pServer->Serve("/Updates/Engine.dll.crz", strEngineCrz);
    m_pServer->Serve("/Updates/ReadMe.txt", strReadMe);

    CUpdateDlg dlg(m_settings);
    dlg.show();
    QVERIFY(QTest::qWaitForWindowExposed(&dlg));
    QVERIFY(RunStart(dlg));
    const QStringList lines = Lines(dlg);
    QCOMPARE(lines.size(), 10);
    QCOMPARE(lines.mid(0, 3),
             (QStringList{"Attempting to connection to server", "Current Version of Quorvane.exe is 1.0.0.2",
                          "Available Version of Quorvane.exe is 1.0.0.3"}));
    QVERIFY(QRegularExpression("^Downloaded File Engine\\.dll\\.crz - \\d+ second\\(s\\)$")
                .match(lines[3])
                .hasMatch());
    QVERIFY(
        QRegularExpression("^Downloaded File ReadMe\\.txt - \\d+ second\\(s\\)$").match(lines[4]).hasMatch());
    QCOMPARE(lines.mid(5), (QStringList{"Uncompressed QVNUPDU1.TMP", "Replacing Files",
                                        "Copying QVNUPDU1.TMP to Engine.dll",
                                        "Copying QVNUPD2.TMP to ReadMe.txt", "Update Completed!"}));
    auto* pList = Control<QListWidget>(&dlg, IDC_LIST_STATUS);
    QCOMPARE(pList->currentRow(), 9);
    QVERIFY(pList->viewport()->rect().intersects(pList->visualItemRect(pList->item(9))));
    QCOMPARE(dlg.LastResult(), TRUE);
    QCOMPARE(qvntest::ReadFile(m_pDir->Path() / "Engine.dll"), strEngine);
    QCOMPARE(qvntest::ReadFile(m_pDir->Path() / "ReadMe.txt"), strReadMe);

    // The expansion phase set the captions and bars last: 10000 bytes are three
    // blocks, one compressed file of one.
    const QString strCurrent = "Uncompressing File QVNUPDU1.TMP (10000 bytes)";
    const QString strOverall = "Uncompressing File 1 of 1";
    QCOMPARE(Caption(dlg, IDC_STATIC_CURRENT), strCurrent);
    QCOMPARE(Caption(dlg, IDC_STATIC_OVERALL), strOverall);
    QCOMPARE(Bar(dlg, IDC_PROGRESS_CURRENT), (BarView{3, 3}));
    QCOMPARE(Bar(dlg, IDC_PROGRESS_OVERALL), (BarView{1, 1}));

    // A picture for people to look at.
    const QString strPicture = WindowPicturePath();
    QVERIFY2(dlg.grab().save(strPicture, "PNG"), qPrintable(strPicture));
    QCOMPARE(QImage(strPicture).size(), dlg.size() * dlg.devicePixelRatio());

    // A second press empties the list first but leaves captions and bars as
    // the first update left them when no phase runs.
    m_pServer->Serve("/Updates/UpdateInfo.txt", qvntest::MakeManifest("1.0.0.2", {}));
    QVERIFY(RunStart(dlg));
    QCOMPARE(Lines(dlg), kUpToDateLines);
    QCOMPARE(Caption(dlg, IDC_STATIC_CURRENT), strCurrent);
    QCOMPARE(Caption(dlg, IDC_STATIC_OVERALL), strOverall);
    QCOMPARE(Bar(dlg, IDC_PROGRESS_CURRENT), (BarView{3, 3}));
    QCOMPARE(Bar(dlg, IDC_PROGRESS_OVERALL), (BarView{1, 1}));
  }

  void DuringAnUpdateTheWindowLivesAndClosesOnlyWhenTheUserSaysSo() {
    // 16 whole blocks and a part: the current bar ends full, the overall one a
    // step short of its share, as the download phase counts.
    const std::string strBig = qvntest::PatternData(66536, 9);
    m_pServer->Serve("/Updates/UpdateInfo.txt",
                     qvntest::MakeManifest("1.0.0.3", {{"Big.bin", strBig.size(), false}}));
    m_pServer->Serve("/Updates/Big.bin", strBig);
    m_pServer->HoldBack("/Updates/Big.bin", 32768);

    CUpdateDlg dlg(m_settings);
    dlg.show();
    QVERIFY(QTest::qWaitForWindowExposed(&dlg));
    auto* pStart = Control<QPushButton>(&dlg, IDC_START);
    auto* pExit = Control<QPushButton>(&dlg, IDCANCEL);
    QSignalSpy ended(&dlg, &CUpdateDlg::UpdateEnded);
    QTest::mouseClick(pStart, Qt::LeftButton);

    // Half of the file is in: the caption and the bars show it while the
    // transfer is still going.
    QTRY_COMPARE_WITH_TIMEOUT(Caption(dlg, IDC_STATIC_CURRENT),
                              QString("Downloading File Big.bin (32768 of 66536 bytes)"), 20000);
    QCOMPARE(Caption(dlg, IDC_STATIC_OVERALL), QString("Downloading File 1 of 1"));
    QCOMPARE(Bar(dlg, IDC_PROGRESS_CURRENT), (BarView{17, 8}));
    QCOMPARE(Bar(dlg, IDC_PROGRESS_OVERALL), (BarView{18, 8}));
    QVERIFY(dlg.IsUpdateRunning());
    QVERIFY(!dlg.grab().isNull());  // the window still paints

    // Start cannot start a second update...
    QVERIFY(!pStart->isEnabled());
    QTest::mouseClick(pStart, Qt::LeftButton);
    dlg.OnStart();
    // ...and every way of closing the window asks first; "No" keeps it open
    // and the update going.
    QVERIFY(pExit->isEnabled());
    {
      int nAsked = 0;
      qvntest::ModalWatcher watcher(
          [&nAsked](QWidget* p) { nAsked += p->objectName() == "confirmStop" ? 1 : 0; }, &dlg);
      watcher.SetRepeat(true);
      QTest::mouseClick(pExit, Qt::LeftButton);
      QTest::keyClick(&dlg, Qt::Key_Escape);
      QVERIFY(!dlg.close());
      dlg.reject();
      dlg.accept();
      QCOMPARE(nAsked, 5);
    }
    QVERIFY(dlg.isVisible());
    QVERIFY(dlg.IsUpdateRunning());
    QCOMPARE(m_pServer->Count("/Updates/UpdateInfo.txt"), 1);

    // The update ends while the question is open: the question goes, the
    // window stays with the outcome.
    {
      qvntest::ModalWatcher watcher(
          [this](QWidget* p) {
            m_pServer->OpenGate();
            QTRY_VERIFY_WITH_TIMEOUT(!p->isVisible(), 30000);
          },
          &dlg);
      QTest::mouseClick(pExit, Qt::LeftButton);
      QVERIFY(watcher.Seen());
    }
    QVERIFY(ended.count() == 1 || ended.wait(30000));
    QVERIFY(dlg.isVisible());
    QCOMPARE(Lines(dlg).last(), QString("Update Completed!"));
    QCOMPARE(qvntest::ReadFile(m_pDir->Path() / "Big.bin"), strBig);
    QCOMPARE(m_pServer->Count("/Updates/UpdateInfo.txt"), 1);
    QCOMPARE(m_pServer->Count("/Updates/Big.bin"), 1);
    QCOMPARE(Bar(dlg, IDC_PROGRESS_CURRENT), (BarView{17, 17}));
    QCOMPARE(Bar(dlg, IDC_PROGRESS_OVERALL), (BarView{18, 17}));

    // Once it is over, Exit works again.
    QVERIFY(pStart->isEnabled() && pExit->isEnabled());
    QTest::mouseClick(pExit, Qt::LeftButton);
    QVERIFY(!dlg.isVisible());
  }

  void ExitDuringAnUpdateStopsItCleanlyAndClosesTheWindow() {
    const std::string strBig = qvntest::PatternData(66536, 9);
    m_pServer->Serve("/Updates/UpdateInfo.txt",
                     qvntest::MakeManifest("1.0.0.3", {{"Big.bin", strBig.size(), false}}));
    m_pServer->Serve("/Updates/Big.bin", strBig);
    m_pServer->HoldBack("/Updates/Big.bin", 32768);
    const auto before = qvntest::Snapshot(m_pDir->Path());

    CUpdateDlg dlg(m_settings);
    dlg.show();
    QVERIFY(QTest::qWaitForWindowExposed(&dlg));
    QSignalSpy ended(&dlg, &CUpdateDlg::UpdateEnded);
    QTest::mouseClick(Control<QPushButton>(&dlg, IDC_START), Qt::LeftButton);
    QTRY_COMPARE_WITH_TIMEOUT(Caption(dlg, IDC_STATIC_CURRENT),
                              QString("Downloading File Big.bin (32768 of 66536 bytes)"), 20000);

    qvntest::ModalWatcher watcher(
        [](QWidget* p) {
          if (auto* pBox = qobject_cast<QMessageBox*>(p)) pBox->button(QMessageBox::Yes)->click();
        },
        &dlg);
    QTest::mouseClick(Control<QPushButton>(&dlg, IDCANCEL), Qt::LeftButton);
    QVERIFY(watcher.Seen());
    QVERIFY(ended.wait(30000) || ended.count() == 1);
    QCOMPARE(Lines(dlg).last(), QString("Update cancelled"));
    QCOMPARE(dlg.LastResult(), FALSE);
    QVERIFY(!dlg.isVisible());
    m_pServer->OpenGate();
    QCOMPARE(qvntest::Snapshot(m_pDir->Path()), before);  // no partial file, no lock
  }

  void AnErrorIsShownAndStartWorksAgain() {
    m_settings.serverUrl =
        *CHttpUrl::Parse("http://127.0.0.1:" + std::to_string(qvntest::ClosedLoopbackPort()));
    CUpdateDlg dlg(m_settings);
    dlg.show();
    QVERIFY(QTest::qWaitForWindowExposed(&dlg));
    for (int nPress = 0; nPress < 2; ++nPress) {
      ShownBox box;
      qvntest::ModalWatcher watcher(NoteAndPressOk(box), &dlg);
      QVERIFY(RunStart(dlg));
      QVERIFY(watcher.Seen());
      QCOMPARE(box.icon, QMessageBox::Critical);
      // The error's own words, naming what was being fetched.
      QVERIFY2(box.strText.contains("/Updates/UpdateInfo.txt"), qPrintable(box.strText));
      QVERIFY2(box.strText.contains("\n\nhint: check the server's address"), qPrintable(box.strText));
      QVERIFY(box.strText != CUpdateDlg::kNoErrorText);
      QCOMPARE(Lines(dlg), QStringList{"Attempting to connection to server"});
      QVERIFY(dlg.isVisible());
      QVERIFY(Control<QPushButton>(&dlg, IDC_START)->isEnabled());
      QCOMPARE(dlg.LastResult(), FALSE);
    }
  }

  void ErrorsWithoutTextAndLackOfMemory() {
    m_pServer->Serve("/Updates/UpdateInfo.txt", qvntest::MakeManifest("1.0.0.2", {}));
    struct Case {
      std::function<void()> fnFail;
      QMessageBox::Icon icon;
      QString strText;
    };
    const Case cases[] = {
        {[] { throw CException(""); }, QMessageBox::Critical, "Internal application error."},
        {[] { throw std::bad_alloc(); }, QMessageBox::Warning, "Out of memory."},
    };
    for (const Case& c : cases) {
      FaultyWindow dlg(m_settings, c.fnFail);
      dlg.show();
      QVERIFY(QTest::qWaitForWindowExposed(&dlg));
      ShownBox box;
      qvntest::ModalWatcher watcher(NoteAndPressOk(box), &dlg);
      QVERIFY(RunStart(dlg));
      QCOMPARE(box.strText, c.strText);
      QCOMPARE(box.icon, c.icon);
      // The lines written before the failure stay; the window stays usable.
      QCOMPARE(Lines(dlg).size(), 2);
      QVERIFY(dlg.isVisible());
      QVERIFY(Control<QPushButton>(&dlg, IDC_START)->isEnabled());
    }
  }

  void TheServersRefusalIsShownBeforeItsLine() {
    m_pServer->Serve("/Updates/UpdateInfo.txt", "go away\n", 401);
    CUpdateDlg dlg(m_settings);
    dlg.show();
    QVERIFY(QTest::qWaitForWindowExposed(&dlg));
    QString strText;
    QStringList linesWhileShown;
    qvntest::ModalWatcher watcher(
        [&](QWidget* p) {
          if (auto* pBox = qobject_cast<QMessageBox*>(p)) strText = pBox->text();
          linesWhileShown = Lines(dlg);
          qvntest::PressOk(p);
        },
        &dlg);
    QVERIFY(RunStart(dlg));
    QCOMPARE(strText, QString("Unable to connect to server. Please try againt later."));
    QCOMPARE(linesWhileShown, QStringList{"Attempting to connection to server"});
    QCOMPARE(Lines(dlg), (QStringList{"Attempting to connection to server", "Unable to connect to server"}));
    QCOMPARE(dlg.LastResult(), FALSE);
  }

  // The list ends on what failed; the box says why, once the update is over.
  void AFailedUpdateShowsItsCause() {
    m_pServer->Serve("/Updates/UpdateInfo.txt", qvntest::MakeManifest("1.0.0.3", {{"ReadMe.txt", 5, false}}));
    CUpdateDlg dlg(m_settings);
    dlg.show();
    QVERIFY(QTest::qWaitForWindowExposed(&dlg));
    ShownBox box;
    qvntest::ModalWatcher watcher(NoteAndPressOk(box), &dlg);
    QVERIFY(RunStart(dlg));
    QCOMPARE(Lines(dlg).last(), QString("Unable to open remote file ReadMe.txt - ABORTING"));
    QCOMPARE(box.icon, QMessageBox::Warning);
    QVERIFY2(box.strText.startsWith("The update did not complete.") &&
                 box.strText.contains("HTTP 404 for " + QString::fromStdString(m_pServer->Url()) +
                                      "/Updates/ReadMe.txt"),
             qPrintable(box.strText));
    QCOMPARE(dlg.LastResult(), FALSE);
  }

  void TheApplicationTakesTheServerItWasGiven() {
    m_pServer->Serve("/Updates/UpdateInfo.txt", qvntest::MakeManifest("1.0.0.2", {}));
    CUpdateApp app(m_settings);
    QStringList lines;
    qvntest::ModalWatcher watcher([&](QWidget* p) {
      auto* pDlg = qobject_cast<CUpdateDlg*>(p);
      if (pDlg == nullptr) return;
      if (RunStart(*pDlg)) lines = Lines(*pDlg);
      QTest::keyClick(pDlg, Qt::Key_Escape);
    });
    QCOMPARE(app.InitInstance(), FALSE);
    QVERIFY(watcher.Seen());
    QCOMPARE(lines.value(3), QString("Quorvane.exe is up to date"));
    QCOMPARE(m_pServer->Count("/Updates/UpdateInfo.txt"), 1);
  }

 private:
  std::unique_ptr<qvntest::TempDir> m_pDir;
  std::unique_ptr<qvntest::ScopedCurrentDir> m_pCwd;
  std::unique_ptr<TestServer> m_pServer;
  UpdateSettings m_settings;
};

int RunWindowUpdateTests(int argc, char** argv) {
  TestWindowUpdate tests;
  return QTest::qExec(&tests, argc, argv);
}

#include "window_update_test.moc"
