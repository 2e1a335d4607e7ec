#pragma once
// The updater's main window: an opening text, the captions and bars of the
// current file and of the whole phase, the status list, Start and Exit.
//
// Start runs one update (RunUpdate) on a thread of its own, and the window is
// the reporter that update talks to. Why a thread rather than pumping events
// from inside the update: the update blocks in places the window cannot reach
// (making a connection, waiting for a slow server up to the stall limit,
// copying a large file), and a window that only repaints between status lines
// or blocks freezes there. On its own thread the update may block as long as it
// likes while the window repaints, moves and shows every caption and bar change.
// Every report is carried to the window's thread:
//   - AddStatus, ResetStatus and MessageBox wait until the window has done them,
//     so a line is on screen, and a message has been seen, when they return;
//   - caption and bar changes are coalesced: the update never waits for them,
//     and the window draws the latest state at most every kRedrawIntervalMs,
//     whatever the block size.
//
// While an update runs, Start is disabled, and every way of closing the window
// (Exit, Escape, Enter, the close box) first asks whether to stop the update.
// A stop is never a cut: the update stops at its next block and cleans up
// after itself (partial files removed, replaced files put back), and the
// window closes once it has.
#include <QDialog>
#include <QElapsedTimer>
#include <QIcon>
#include <atomic>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <string>

#include "app/session_outcome.h"
#include "phases/reporter.h"
#include "platform/types.h"
#include "session/session.h"

class QLabel;
class QListWidget;
class QMenu;
class QProgressBar;
class QPushButton;
class QThread;

class CUpdateDlg : public QDialog, public CUpdateReporter {
  Q_OBJECT

 public:
  explicit CUpdateDlg(const UpdateSettings& settings, QWidget* pParent = nullptr);
  // Waits for a running update to end; its remaining reports are dropped.
  ~CUpdateDlg() override;

  // The reporting interface; callable from the window's thread or the update's.
  void AddStatus(std::string strLine) override;
  void ResetStatus() override;
  void MessageBox(const std::string& strText, Icon icon) override;
  void AddDetail(const std::string& strText) override { m_notes.AddDetail(strText); }
  bool IsCancelled() const override { return m_bStopAsked.load(); }

  BOOL IsUpdateRunning() const { return m_bRunning; }
  // Result of the last update that ended without an error; FALSE before any.
  BOOL LastResult() const { return m_bLastResult; }
  const QIcon& GetIcon() const { return m_hIcon; }

  // The context menu that stands in for the system menu, which desktops here
  // do not let a program extend. The caller owns it.
  QMenu* CreateContextMenu();

  // The text an error shows when it has none of its own.
  static constexpr const char* kNoErrorText = ::kNoErrorText;

 signals:
  // An update has ended and any error it raised has been shown.
  void UpdateEnded(BOOL bResult);

 public slots:
  // Starts an update, unless one is running.
  void OnStart();
  // Shows the About box.
  void OnAbout();

 protected:
  void done(int nResult) override;
  void closeEvent(QCloseEvent* pEvent) override;
  void keyPressEvent(QKeyEvent* pEvent) override;
  void contextMenuEvent(QContextMenuEvent* pEvent) override;

 private:
  struct BarState {
    int nLower = 0;
    int nUpper = 0;
    int nPos = 0;
  };
  struct ControlState {
    std::string strCurrent;
    std::string strOverall;
    BarState current;
    BarState overall;
  };
  using Outcome = UpdateOutcome;

  // Runs fn on the window's thread and waits for it; at once when called there.
  // Does nothing once the window is being destroyed.
  void RunInWindow(const std::function<void()>& fn);
  // Called by the captions and bars after every change, on the changing thread.
  void MirrorControls();
  void ApplyControls(const ControlState& state);
  void ApplyPending();  // shows m_pending if a redraw is still owed
  void ShowMessage(const std::string& strText, CUpdateReporter::Icon icon);
  Outcome RunSession();
  void OnUpdateEnded(const Outcome& outcome);
  void SetUpdateRunning(bool bRunning);
  // During an update: asks whether to stop it, and if so asks the update to
  // stop and the window to close once it has. Returns at once either way.
  void AskToStop();

  UpdateSettings m_settings;
  QIcon m_hIcon;
  QListWidget* m_listStatus = nullptr;
  QLabel* m_labelCurrent = nullptr;
  QProgressBar* m_barCurrent = nullptr;
  QLabel* m_labelOverall = nullptr;
  QProgressBar* m_barOverall = nullptr;
  QPushButton* m_buttonStart = nullptr;
  QPushButton* m_buttonExit = nullptr;

  BOOL m_bRunning = FALSE;
  std::atomic<bool> m_bStopAsked{false};  // read by the update's thread
  bool m_bCloseWhenStopped = false;
  // The question whether to stop, while it is open: an update that ends
  // meanwhile takes it away, as it no longer asks anything.
  QDialog* m_pStopQuestion = nullptr;
  BOOL m_bLastResult = FALSE;
  QThread* m_pThread = nullptr;
  CEndNotes m_notes;  // the update's thread's own while it runs
  QWidget* m_pFocusBeforeUpdate = nullptr;

  // Shared with the update's thread.
  std::mutex m_mutex;
  std::condition_variable m_cvDone;
  bool m_bDetached = false;     // the window is going away: drop every report
  ControlState m_pending;       // latest caption and bar state not yet shown
  bool m_bApplyPosted = false;  // a call to show m_pending is on its way
  QElapsedTimer m_redrawClock;  // since the captions and bars were last drawn
  static constexpr qint64 kRedrawIntervalMs = 40;
};
