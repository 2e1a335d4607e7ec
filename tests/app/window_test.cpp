// The window without a network: its layout, texts, keyboard, About box, icon,
// start-up, and how it shows what an update reports from another thread.
#include "app/window.h"

#include <QApplication>
#include <QFontMetrics>
#include <QImage>
#include <QLabel>
#include <QListWidget>
#include <QMenu>
#include <QMessageBox>
#include <QProgressBar>
#include <QPushButton>
#include <QSignalSpy>
#include <QTest>
#include <atomic>
#include <thread>

#include "app/about.h"
#include "app/update_app.h"
#include "app/window_support.h"
#include "res/resource.h"
#include "support/process.h"
#include "window_test_support.h"

namespace {

using qvntest::Control;

// Dialog units to pixels, worked out here from the font on its own: a quarter
// of the average letter width across, an eighth of the line height down.
QRect ExpectedRect(const QFont& font, const DialogRect& rc) {
  const QFontMetrics fm(font);
  const int nAverage =
      (fm.horizontalAdvance("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz") / 26 + 1) / 2;
  const int nHeight = fm.height();
  auto scale = [](int v, int nBase, int nDiv) { return (v * nBase + nDiv / 2) / nDiv; };
  return QRect(scale(rc.x, nAverage, 4), scale(rc.y, nHeight, 8), scale(rc.cx, nAverage, 4),
               scale(rc.cy, nHeight, 8));
}

// The widgets that Tab visits, in order, starting at `pFirst`.
QList<QWidget*> TabChain(QWidget* pFirst) {
  QList<QWidget*> chain;
  QWidget* p = pFirst;
  do {
    if ((p->focusPolicy() & Qt::TabFocus) && p->isEnabled()) chain.append(p);
    p = p->nextInFocusChain();
  } while (p != pFirst && chain.size() < 50);
  return chain;
}

// A session lookalike on its own thread: reports exactly as an update would,
// through the window's reporting interface.
class ReportingThread {
 public:
  explicit ReportingThread(std::function<void()> fn) : m_thread(std::move(fn)) {}
  ~ReportingThread() { Join(); }
  void Join() {
    if (m_thread.joinable()) m_thread.join();
  }

 private:
  std::thread m_thread;
};

// Waits, processing events, until the flag is set; bounded.
bool WaitFor(const std::atomic<bool>& flag, int nMillis = 10000) {
  QElapsedTimer clock;
  clock.start();
  while (!flag.load() && clock.elapsed() < nMillis) QTest::qWait(5);
  return flag.load();
}

class FailingNetworkApp : public CUpdateApp {
 public:
  using CUpdateApp::CUpdateApp;

 protected:
  BOOL InitNetworkLayer() override { return FALSE; }
};

}  // namespace

class TestWindow : public QObject {
  Q_OBJECT

 private slots:
  // --- What the window shows when it opens ---
  void OpensWithTheLayoutsTexts() {
    CUpdateDlg dlg(UpdateSettings{});
    QCOMPARE(dlg.windowTitle(), QString("Quorvane Update Provider"));
    QCOMPARE(Control<QPushButton>(&dlg, IDCANCEL)->text(), QString("Exit"));
    QCOMPARE(Control<QPushButton>(&dlg, IDC_START)->text(), QString("Start"));
    QCOMPARE(Control<QLabel>(&dlg, IDC_STATIC_CURRENT)->text(), QString("Current Progress"));
    QCOMPARE(Control<QLabel>(&dlg, IDC_STATIC_OVERALL)->text(), QString("Overall Progress"));
    QCOMPARE(Control<QLabel>(&dlg, IDC_STATIC)->text(),
             QString("Press Start to check for updates. Requires Internet Connection. Make sure Quorvane "
                     "is not running."));
    QCOMPARE(Control<QListWidget>(&dlg, IDC_LIST_STATUS)->count(), 0);
    for (int nId : {IDC_PROGRESS_CURRENT, IDC_PROGRESS_OVERALL}) {
      QCOMPARE(Control<QProgressBar>(&dlg, nId)->value(), 0);
      QVERIFY(!Control<QProgressBar>(&dlg, nId)->isTextVisible());
    }
    // The reporter's own captions start with the same texts.
    QCOMPARE(dlg.m_staticCurrent.GetWindowText(), std::string("Current Progress"));
    QCOMPARE(dlg.m_staticOverall.GetWindowText(), std::string("Overall Progress"));
    QVERIFY(!dlg.windowIcon().isNull());
  }

  void ControlsSitWhereTheLayoutPutsThem() {
    CUpdateDlg dlg(UpdateSettings{});
    const DialogTemplate& tmpl = MainDialogTemplate();
    QCOMPARE(dlg.font().pointSize(), 8);
    const QRect client = ExpectedRect(dlg.font(), DialogRect{0, 0, tmpl.cx, tmpl.cy});
    QCOMPARE(dlg.size(), client.size());
    QCOMPARE(dlg.minimumSize(), dlg.maximumSize());  // fixed, like a dialog frame

    QList<QRect> placed;
    for (const DialogControl& control : tmpl.controls) {
      auto* pWidget = Control<QWidget>(&dlg, control.nId);
      QVERIFY2(pWidget != nullptr, qPrintable(QString::number(control.nId)));
      QCOMPARE(pWidget->geometry(), ExpectedRect(dlg.font(), control.rc));
      QVERIFY(QRect(QPoint(0, 0), client.size()).contains(pWidget->geometry()));
      for (const QRect& other : placed) QVERIFY(!other.intersects(pWidget->geometry()));
      placed.append(pWidget->geometry());
    }
    // Spot checks in pixels for the font the tests run with, so that a
    // conversion wrong in both places still shows: Start sits above Exit at the
    // list's top, right of the list.
    auto* pStart = Control<QWidget>(&dlg, IDC_START);
    auto* pExit = Control<QWidget>(&dlg, IDCANCEL);
    auto* pList = Control<QWidget>(&dlg, IDC_LIST_STATUS);
    QCOMPARE(pStart->y(), pList->y());
    QCOMPARE(pStart->x(), pExit->x());
    QVERIFY(pStart->geometry().bottom() < pExit->y());
    QVERIFY(pList->geometry().right() < pStart->x());
    QCOMPARE(pExit->geometry().bottom() - pList->geometry().bottom(), 0);
  }

  void EveryTextFitsItsControl() {
    CUpdateDlg dlg(UpdateSettings{});
    const QFontMetrics fm(dlg.font());
    for (int nId : {IDC_STATIC_CURRENT, IDC_STATIC_OVERALL}) {
      auto* pLabel = Control<QLabel>(&dlg, nId);
      QVERIFY(fm.horizontalAdvance(pLabel->text()) <= pLabel->width());
      QVERIFY(fm.height() <= pLabel->height() + 1);
    }
    auto* pIntro = Control<QLabel>(&dlg, IDC_STATIC);
    QVERIFY2(pIntro->heightForWidth(pIntro->width()) <= pIntro->height() + 2,
             qPrintable(QString("needs %1 pixels, has %2")
                            .arg(pIntro->heightForWidth(pIntro->width()))
                            .arg(pIntro->height())));
    for (int nId : {IDC_START, IDCANCEL}) {
      auto* pButton = Control<QPushButton>(&dlg, nId);
      QVERIFY(fm.horizontalAdvance(pButton->text()) < pButton->width());
    }
  }

  // --- Keyboard ---
  void ExitIsTheFirstTabStopAndHoldsTheFocus() {
    CUpdateDlg dlg(UpdateSettings{});
    auto* pExit = Control<QPushButton>(&dlg, IDCANCEL);
    auto* pList = Control<QListWidget>(&dlg, IDC_LIST_STATUS);
    auto* pStart = Control<QPushButton>(&dlg, IDC_START);
    dlg.show();
    QVERIFY(QTest::qWaitForWindowActive(&dlg));
    QCOMPARE(QApplication::focusWidget(), pExit);
    QCOMPARE(TabChain(pExit), (QList<QWidget*>{pExit, pList, pStart}));
    // Neither bars nor texts take the focus.
    for (int nId : {IDC_PROGRESS_CURRENT, IDC_PROGRESS_OVERALL, IDC_STATIC_CURRENT, IDC_STATIC_OVERALL}) {
      QCOMPARE(Control<QWidget>(&dlg, nId)->focusPolicy(), Qt::NoFocus);
    }
    // No default button: nothing is drawn as the one Enter presses.
    QVERIFY(!pExit->isDefault() && !pStart->isDefault());
  }

  void EscapeAndExitCloseTheWindow() {
    {
      CUpdateDlg dlg(UpdateSettings{});
      dlg.show();
      QVERIFY(QTest::qWaitForWindowExposed(&dlg));
      QTest::keyClick(&dlg, Qt::Key_Escape);
      QVERIFY(!dlg.isVisible());
      QCOMPARE(dlg.result(), int(QDialog::Rejected));
    }
    {
      CUpdateDlg dlg(UpdateSettings{});
      dlg.show();
      QVERIFY(QTest::qWaitForWindowExposed(&dlg));
      QTest::mouseClick(Control<QPushButton>(&dlg, IDCANCEL), Qt::LeftButton);
      QVERIFY(!dlg.isVisible());
    }
    {
      // Enter on a focused push button presses that button: here Exit.
      CUpdateDlg dlg(UpdateSettings{});
      dlg.show();
      QVERIFY(QTest::qWaitForWindowExposed(&dlg));
      QTest::keyClick(Control<QPushButton>(&dlg, IDCANCEL), Qt::Key_Return);
      QVERIFY(!dlg.isVisible());
    }
    {
      // Enter anywhere else ends the window as OK would.
      CUpdateDlg dlg(UpdateSettings{});
      dlg.show();
      QVERIFY(QTest::qWaitForWindowExposed(&dlg));
      auto* pList = Control<QListWidget>(&dlg, IDC_LIST_STATUS);
      pList->setFocus();
      QTest::keyClick(pList, Qt::Key_Return);
      QVERIFY(!dlg.isVisible());
      QCOMPARE(dlg.result(), int(QDialog::Accepted));
    }
  }

  // --- The About box ---
  void AboutBoxFollowsItsLayout() {
    CAboutDlg about;
    const DialogTemplate& tmpl = AboutDialogTemplate();
    QCOMPARE(about.windowTitle(), QString("About Updater"));
    QCOMPARE(about.size(), ExpectedRect(about.font(), DialogRect{0, 0, tmpl.cx, tmpl.cy}).size());
    QCOMPARE(Control<QLabel>(&about, IDC_STATIC)->text(), QString("Updater Version 1.0"));
    QCOMPARE(Control<QLabel>(&about, IDC_ABOUT_LINE2)->text(), QString("Remote Update Utility Program"));
    auto* pOk = Control<QPushButton>(&about, IDOK);
    QCOMPARE(pOk->text(), QString("OK"));
    QVERIFY(pOk->isDefault());
    QCOMPARE(pOk->geometry(), ExpectedRect(about.font(), tmpl.Find(IDOK)->rc));
    const QFontMetrics fm(about.font());
    for (int nId : {IDC_STATIC, IDC_ABOUT_LINE2}) {
      auto* pLabel = Control<QLabel>(&about, nId);
      QCOMPARE(pLabel->geometry(), ExpectedRect(about.font(), tmpl.Find(nId)->rc));
      QVERIFY2(fm.horizontalAdvance(pLabel->text()) <= pLabel->width(), qPrintable(pLabel->text()));
    }
    auto* pIcon = Control<QLabel>(&about, IDC_ABOUT_ICON);
    QCOMPARE(pIcon->pos(), ExpectedRect(about.font(), tmpl.Find(IDC_ABOUT_ICON)->rc).topLeft());
    QCOMPARE(pIcon->pixmap().size(), QSize(32, 32));

    about.show();
    QVERIFY(QTest::qWaitForWindowExposed(&about));
    QTest::keyClick(&about, Qt::Key_Return);  // OK is the default button
    QVERIFY(!about.isVisible());
    QCOMPARE(about.result(), int(QDialog::Accepted));
  }

  void AboutIsReachedFromF1AndTheContextMenu() {
    CUpdateDlg dlg(UpdateSettings{});
    dlg.show();
    QVERIFY(QTest::qWaitForWindowExposed(&dlg));

    QString strTitle;
    {
      qvntest::ModalWatcher watcher([&](QWidget* p) {
        strTitle = p->windowTitle();
        QTest::mouseClick(Control<QPushButton>(p, IDOK), Qt::LeftButton);
      });
      QTest::keyClick(&dlg, Qt::Key_F1);
      QTRY_VERIFY_WITH_TIMEOUT(watcher.Seen(), 10000);
    }
    QCOMPARE(strTitle, QString("About Updater"));

    std::unique_ptr<QMenu> pMenu(dlg.CreateContextMenu());
    QCOMPARE(pMenu->actions().size(), 1);
    QAction* pAbout = pMenu->actions().front();
    QCOMPARE(pAbout->text(), QString("&About Updater..."));
    strTitle.clear();
    {
      qvntest::ModalWatcher watcher([&](QWidget* p) { strTitle = p->windowTitle(); });
      pAbout->trigger();
      QTRY_VERIFY_WITH_TIMEOUT(watcher.Seen(), 10000);
    }
    QCOMPARE(strTitle, QString("About Updater"));
    QVERIFY(dlg.isVisible());  // the About box closes alone
  }

  // --- The icon ---
  void IconHasItsThreeSixteenColourImages() {
    const QIcon icon = AppIcon();
    QList<QSize> sizes = icon.availableSizes();
    std::sort(sizes.begin(), sizes.end(), [](QSize a, QSize b) { return a.width() < b.width(); });
    QCOMPARE(sizes, (QList<QSize>{QSize(16, 16), QSize(32, 32), QSize(48, 48)}));
    for (int nSize : {16, 32, 48}) {
      const QImage image(QStringLiteral(":/qvnupdate/icons/qvnupdate-%1.png").arg(nSize));
      QCOMPARE(image.size(), QSize(nSize, nSize));
      QVERIFY(image.colorCount() > 0 && image.colorCount() <= 16);
      // Transparent corners, a solid picture in the middle.
      QCOMPARE(qAlpha(image.pixel(0, 0)), 0);
      QCOMPARE(qAlpha(image.pixel(nSize - 1, nSize - 1)), 0);
      QCOMPARE(qAlpha(image.pixel(nSize / 2, nSize / 2)), 255);
    }
  }

  // --- Reports from an update's thread ---
  void ReportsFromAnotherThreadReachTheWindow() {
    CUpdateDlg dlg(UpdateSettings{});
    dlg.show();
    QVERIFY(QTest::qWaitForWindowExposed(&dlg));
    auto* pList = Control<QListWidget>(&dlg, IDC_LIST_STATUS);
    auto* pBarCurrent = Control<QProgressBar>(&dlg, IDC_PROGRESS_CURRENT);
    auto* pBarOverall = Control<QProgressBar>(&dlg, IDC_PROGRESS_OVERALL);
    pList->addItem("left over from before");

    std::atomic<bool> bLinesDone{false};
    std::atomic<bool> bGo{false};
    std::atomic<bool> bAllDone{false};
    ReportingThread worker([&] {
      dlg.ResetStatus();
      for (int i = 1; i <= 40; ++i) dlg.AddStatus("line " + std::to_string(i));
      bLinesDone = true;
      while (!bGo) std::this_thread::sleep_for(std::chrono::milliseconds(1));
      dlg.m_staticOverall.SetWindowText("Downloading File 1 of 1");
      dlg.m_staticCurrent.SetWindowText("<b>not bold</b> & \xE9t\xE9");  // markup stays text; Latin-1 bytes
      dlg.m_progressOverall.SetRange32(0, 7);
      dlg.m_progressOverall.SetStep(1);
      dlg.m_progressCurrent.SetRange32(0, 100000);
      dlg.m_progressCurrent.SetStep(1);
      for (int i = 0; i < 100000; ++i) dlg.m_progressCurrent.StepIt();  // far faster than any redraw
      for (int i = 0; i < 9; ++i) dlg.m_progressOverall.StepIt();       // wraps past 7 once
      dlg.AddStatus("last");
      bAllDone = true;
    });
    // AddStatus waits for the window: while the window handles no events, the
    // thread cannot get past its first line.
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    QVERIFY(!bLinesDone);
    QVERIFY(WaitFor(bLinesDone));
    QCOMPARE(pList->count(), 40);
    QCOMPARE(pList->item(0)->text(), QString("line 1"));
    bGo = true;
    QVERIFY(WaitFor(bAllDone));
    worker.Join();
    QTRY_COMPARE(pBarCurrent->value(), 100000);
    QCOMPARE(pList->count(), 41);
    QCOMPARE(pList->currentRow(), 40);
    QVERIFY(pList->item(40)->isSelected());
    QCOMPARE(pList->item(40)->text(), QString("last"));
    // The last line has been scrolled into view.
    QVERIFY(pList->viewport()->rect().intersects(pList->visualItemRect(pList->item(40))));
    QVERIFY(!pList->viewport()->rect().intersects(pList->visualItemRect(pList->item(0))));

    QCOMPARE(Control<QLabel>(&dlg, IDC_STATIC_OVERALL)->text(), QString("Downloading File 1 of 1"));
    QCOMPARE(Control<QLabel>(&dlg, IDC_STATIC_CURRENT)->text(),
             QString::fromUtf8("<b>not bold</b> & \u00E9t\u00E9"));
    QCOMPARE(Control<QLabel>(&dlg, IDC_STATIC_CURRENT)->textFormat(), Qt::PlainText);
    QCOMPARE(pBarCurrent->maximum(), 100000);
    // 9 steps on 0..7: 1..7, then past the end back to 0, then 1.
    QCOMPARE(pBarOverall->maximum(), 7);
    QCOMPARE(pBarOverall->value(), 1);
    QCOMPARE(dlg.m_progressOverall.GetPos(), 1);
  }

  void AnEmptyRangeShowsAnEmptyBar() {
    CUpdateDlg dlg(UpdateSettings{});
    auto* pBar = Control<QProgressBar>(&dlg, IDC_PROGRESS_CURRENT);
    dlg.m_progressCurrent.SetRange32(0, 0);
    dlg.m_progressCurrent.StepIt();
    // A 0..0 range would make the widget animate as busy; the bar stays empty.
    QVERIFY(pBar->maximum() > pBar->minimum());
    QCOMPARE(pBar->value(), pBar->minimum());
  }

  void MessagesFromAnotherThreadWaitForTheUser() {
    CUpdateDlg dlg(UpdateSettings{});
    dlg.show();
    QVERIFY(QTest::qWaitForWindowExposed(&dlg));
    std::atomic<bool> bReturned{false};
    bool bReturnedWhileShown = true;
    QString strText;
    QString strTitle;
    QMessageBox::Icon icon = QMessageBox::NoIcon;
    qvntest::ModalWatcher watcher(
        [&](QWidget* p) {
          QTest::qWait(50);  // give a wrongly non-blocking call time to return
          bReturnedWhileShown = bReturned.load();
          auto* pBox = qobject_cast<QMessageBox*>(p);
          if (pBox == nullptr) return;
          strText = pBox->text();
          strTitle = pBox->windowTitle();
          icon = pBox->icon();
          qvntest::PressOk(pBox);
        },
        &dlg);
    ReportingThread worker([&] {
      dlg.MessageBox("Unable to connect to server. Please try againt later.", CUpdateReporter::Icon::Stop);
      bReturned = true;
    });
    QVERIFY(WaitFor(bReturned));
    worker.Join();
    QVERIFY(watcher.Seen());
    QVERIFY(!bReturnedWhileShown);
    QCOMPARE(strText, QString("Unable to connect to server. Please try againt later."));
    QCOMPARE(strTitle, QCoreApplication::applicationName());
    QCOMPARE(icon, QMessageBox::Critical);
  }

  void DestroyingTheWindowReleasesAWaitingThread() {
    // A report that arrives while the window goes away must not leave the
    // reporting thread waiting for ever.
    std::atomic<bool> bReturned{false};
    auto pDlg = std::make_unique<CUpdateDlg>(UpdateSettings{});
    ReportingThread worker([&] {
      pDlg->AddStatus("never shown");
      bReturned = true;
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(50));  // posted; no event has run
    pDlg.reset();
    worker.Join();
    QVERIFY(bReturned);
  }

  // --- Start-up ---
  void NetworkFailureShowsTheMessageAndNoWindow() {
    FailingNetworkApp app(UpdateSettings{});
    QString strText;
    bool bWindowOpen = false;
    qvntest::ModalWatcher watcher([&](QWidget* p) {
      if (auto* pBox = qobject_cast<QMessageBox*>(p)) strText = pBox->text();
      for (QWidget* pTop : QApplication::topLevelWidgets()) {
        bWindowOpen = bWindowOpen || qobject_cast<CUpdateDlg*>(pTop) != nullptr;
      }
      qvntest::PressOk(p);
    });
    QCOMPARE(app.InitInstance(), FALSE);
    QVERIFY(watcher.Seen());
    QCOMPARE(strText, QString("Windows sockets initialization failed."));
    QVERIFY(!bWindowOpen);
    QCOMPARE(app.ExitInstance(), 0);
  }

  void StartUpRunsTheWindowUntilItCloses() {
    CUpdateApp app(UpdateSettings{});
    QCOMPARE(app.m_strProductExe, std::string("Quorvane.exe"));
    QString strTitle;
    qvntest::ModalWatcher watcher([&](QWidget* p) {
      strTitle = p->windowTitle();
      QTest::keyClick(p, Qt::Key_Escape);
    });
    QCOMPARE(app.InitInstance(), FALSE);
    QVERIFY(watcher.Seen());
    QCOMPARE(strTitle, QString("Quorvane Update Provider"));
    QCOMPARE(app.ExitInstance(), 0);
  }

  // --- The program ---
  void WithoutADisplayTheProgramSaysSoInsteadOfAborting() {
    // None named, one named that cannot be reached, and a Qt platform that does not exist.
    const std::pair<const char*, const char*> cases[] = {
        {"", "no display"}, {":4095", "DISPLAY=:4095"}, {"bogus", "the Qt platform 'bogus'"}};
    for (const auto& [pszDisplay, pszWhy] : cases) {
      qvntest::ProcessOptions options;
      options.arrUnset = {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM"};
      if (*pszDisplay != '\0')
        options.arrEnv = {{*pszDisplay == ':' ? "DISPLAY" : "QT_QPA_PLATFORM", pszDisplay}};
      options.nTimeoutSeconds = 30;
      const qvntest::ProcessResult result = qvntest::RunProcess({QVN_BIN_DIR "/qvnupdate"}, options);
      QCOMPARE(result.nExit, 2);
      const QString strErr = QString::fromStdString(result.strErr);
      QVERIFY2(strErr.contains("--console") && strErr.contains(pszWhy), result.strErr.c_str());
    }
  }

  void AServerThatCannotBeUsedIsRefusedBeforeAnyWindow() {
    qvntest::ProcessOptions options;
    options.arrEnv = {{"QT_QPA_PLATFORM", "offscreen"}};
    options.nTimeoutSeconds = 30;
    const qvntest::ProcessResult result =
        qvntest::RunProcess({QVN_BIN_DIR "/qvnupdate", "--server", "ftp://127.0.0.1"}, options);
    QCOMPARE(result.nExit, 2);
    QCOMPARE(QString::fromStdString(result.strErr),
             QString("qvnupdate: the server must be an http:// or https:// URL, not 'ftp://127.0.0.1'\n"
                     "Try 'qvnupdate --help' for more information.\n"));
  }

  void VersionComesFromTheVersionBlock() {
    const qvntest::ProcessResult result = qvntest::RunProcess({QVN_BIN_DIR "/qvnupdate", "--version"});
    QCOMPARE(result.nExit, 0);
    QCOMPARE(QString::fromStdString(result.strOut), QString("QVNUpdate 1.1.0.0\n"));
  }
};

int main(int argc, char** argv) {
  QApplication app(argc, argv);
  TestWindow windowTests;
  int nFailed = QTest::qExec(&windowTests, argc, argv);
  nFailed += RunWindowUpdateTests(argc, argv);
  return nFailed == 0 ? 0 : 1;
}

#include "window_test.moc"
