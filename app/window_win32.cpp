// The updater's main window on Windows: what the dialog of
// platform/dialog_win32.h does as the update's reporter.
//
// Why the update runs on a thread of its own rather than inside Start's click
// handler, pumping messages between status lines: the update blocks where the
// window cannot reach it (resolving and connecting, a slow server up to the
// stall limit, copying a large file), and a window that is only serviced
// between status lines freezes there, Exit included. On its own thread the
// update may block as long as it likes; the dialog's thread keeps running the
// dialog's own message loop and nothing else. The two meet only through
// messages to the dialog:
//   - AddStatus, ResetStatus and MessageBox are sent (RunOnDialogThread), so they
//     are done on the dialog's thread, and a line is on screen and a message
//     has been seen when they return. The dialog's thread never waits for the
//     update while it runs (it learns of the end from a posted message), so a
//     sent message always finds it pumping, even inside a message box.
//   - Caption and bar changes are only recorded, under a lock; the dialog
//     draws the latest state from a timer every kRedrawIntervalMs, so the
//     update never waits for them and a fast download does not flood the
//     window, whatever the block size.
//
// While an update runs, Start is disabled, and every way of closing the window
// (Exit, Escape, Enter, the close box, the system menu) first asks whether to
// stop the update. A stop is never a cut: the update stops at its next block
// and cleans up after itself (partial files removed, replaced files put back),
// and the window closes once it has.
#include <atomic>
#include <cstdio>
#include <functional>
#include <mutex>
#include <string>
#include <thread>

#include "app/cli.h"
#include "app/session_outcome.h"
#include "app/update_app.h"
#include "phases/reporter.h"
#include "platform/dialog_win32.h"
#include "platform/types.h"
#include "res/resource.h"
#include "session/session.h"

namespace {

CUpdateDialog::Icon DialogIcon(CUpdateReporter::Icon icon) {
  switch (icon) {
    case CUpdateReporter::Icon::Stop:
      return CUpdateDialog::Icon::Stop;
    case CUpdateReporter::Icon::Exclamation:
      return CUpdateDialog::Icon::Exclamation;
    case CUpdateReporter::Icon::Information:
      return CUpdateDialog::Icon::Information;
    case CUpdateReporter::Icon::None:
      break;
  }
  return CUpdateDialog::Icon::None;
}

}  // namespace

class CUpdateDlg : public CUpdateReporter {
 public:
  explicit CUpdateDlg(const UpdateSettings& settings);
  // Waits for a running update to end (asking it to stop): a window that has
  // closed takes no more reports, so the update then ends at once.
  ~CUpdateDlg() override;
  CUpdateDlg(const CUpdateDlg&) = delete;
  CUpdateDlg& operator=(const CUpdateDlg&) = delete;

  // Runs the dialog modally until it is closed; -1 when it could not be shown.
  int DoModal() { return m_dialog.Run(); }

  // The reporting interface; callable from the dialog's thread or the update's.
  void AddStatus(std::string strLine) override;
  void ResetStatus() override;
  void MessageBox(const std::string& strText, Icon icon) override;
  void AddDetail(const std::string& strText) override { m_notes.AddDetail(strText); }
  bool IsCancelled() const override { return m_bStopAsked.load(); }

 private:
  struct BarState {
    int nLower = 0;
    int nUpper = 100;
    int nPos = 0;
    bool operator==(const BarState&) const = default;
  };
  struct ControlState {
    std::string strCurrent;
    std::string strOverall;
    BarState current;
    BarState overall;
  };

  void OnInit();
  void OnStart();
  void OnClose(int nId);
  void OnUpdateEnded();
  // During an update: asks whether to stop it, and if so asks the update to
  // stop and the window to close once it has. Returns at once either way.
  void AskToStop();
  void SetUpdateRunning(bool bRunning);

  // Called by the captions and bars after every change, on the changing thread.
  void MirrorControls();
  void ApplyPending();  // draws the recorded captions and bars if they changed

  UpdateSettings m_settings;
  CUpdateDialog m_dialog;

  bool m_bRunning = false;
  std::atomic<bool> m_bStopAsked{false};  // read by the update's thread
  bool m_bCloseWhenStopped = false;
  std::thread m_thread;
  UpdateOutcome m_outcome;  // written by the update's thread before it posts its end
  CEndNotes m_notes;        // the update's thread's own while it runs

  // Shared with the update's thread.
  std::mutex m_mutex;
  ControlState m_pending;   // latest caption and bar state
  bool m_bPending = false;  // m_pending not drawn yet
  ControlState m_shown;     // what the controls show

  static constexpr unsigned kRedrawIntervalMs = 40;
};

CUpdateDlg::CUpdateDlg(const UpdateSettings& settings)
    : m_settings(settings),
      m_dialog({[this] { OnInit(); }, [this] { OnStart(); }, [this](int nId) { OnClose(nId); },
                [this] { ApplyPending(); }, [this] { OnUpdateEnded(); }, [this] { return m_bRunning; }}) {
  m_staticCurrent.m_onChange = [this] { MirrorControls(); };
  m_staticOverall.m_onChange = [this] { MirrorControls(); };
  m_progressCurrent.m_onChange = [this] { MirrorControls(); };
  m_progressOverall.m_onChange = [this] { MirrorControls(); };
}

CUpdateDlg::~CUpdateDlg() {
  if (m_thread.joinable()) {
    m_bStopAsked = true;
    m_thread.join();
  }
  m_staticCurrent.m_onChange = nullptr;
  m_staticOverall.m_onChange = nullptr;
  m_progressCurrent.m_onChange = nullptr;
  m_progressOverall.m_onChange = nullptr;
}

void CUpdateDlg::OnInit() {
  // The captions start with the template's texts; from here on the reporter's
  // captions and bars are the truth and the controls follow them.
  m_staticCurrent.SetWindowText(m_dialog.GetText(IDC_STATIC_CURRENT));
  m_staticOverall.SetWindowText(m_dialog.GetText(IDC_STATIC_OVERALL));
  m_shown = m_pending;
  m_shown.current.nUpper = m_shown.overall.nUpper = -1;  // draw the bars once
  ApplyPending();
}

void CUpdateDlg::OnClose(int nId) {
  if (m_bRunning) {  // never leave an update half done: stop it first
    AskToStop();
  } else {
    m_dialog.End(nId);
  }
}

void CUpdateDlg::OnStart() {
  if (m_bRunning) return;  // one update at a time
  m_bStopAsked = false;
  SetUpdateRunning(true);
  m_thread = std::thread([this] {
    m_outcome = RunUpdateCaught(*this, m_settings, m_notes);
    m_dialog.PostEnded();
  });
}

void CUpdateDlg::OnUpdateEnded() {
  if (m_thread.joinable()) m_thread.join();
  ApplyPending();  // the last captions and bars, without waiting for the timer
  // The error is shown while the update still counts as running, so that
  // Start works again once the user has read it.
  const EndMessage message = MessageAtEnd(m_outcome);
  if (!message.strText.empty()) m_dialog.ShowMessage(message.strText, DialogIcon(message.icon));
  SetUpdateRunning(false);
  if (m_bCloseWhenStopped) {
    m_bCloseWhenStopped = false;
    m_dialog.End(IDCANCEL);
  }
}

void CUpdateDlg::AskToStop() {
  if (m_bStopAsked) return;  // already stopping
  if (!m_dialog.AskYesNo("An update is running. Stop it and close the window?\n\n"
                         "Files it has already replaced are put back.")) {
    return;
  }
  // The update may have ended while the question was open: only the closing is left.
  if (!m_bRunning) {
    m_dialog.End(IDCANCEL);
    return;
  }
  m_bCloseWhenStopped = true;
  m_bStopAsked = true;
}

void CUpdateDlg::SetUpdateRunning(bool bRunning) {
  m_bRunning = bRunning;
  if (bRunning) {
    m_dialog.SetStartEnabled(false);
    m_dialog.SetTimer(kRedrawIntervalMs);
  } else {
    m_dialog.KillTimer();
    m_dialog.SetStartEnabled(true);
  }
}

void CUpdateDlg::AddStatus(std::string strLine) {
  m_dialog.RunOnDialogThread([this, &strLine] { m_dialog.AddStatus(strLine); });
}

void CUpdateDlg::ResetStatus() {
  m_dialog.RunOnDialogThread([this] { m_dialog.ResetStatus(); });
}

void CUpdateDlg::MessageBox(const std::string& strText, Icon icon) {
  m_notes.NoteBox();
  m_dialog.RunOnDialogThread([this, &strText, icon] { m_dialog.ShowMessage(strText, DialogIcon(icon)); });
}

void CUpdateDlg::MirrorControls() {
  ControlState state{
      m_staticCurrent.GetWindowText(),
      m_staticOverall.GetWindowText(),
      {m_progressCurrent.GetLower(), m_progressCurrent.GetUpper(), m_progressCurrent.GetPos()},
      {m_progressOverall.GetLower(), m_progressOverall.GetUpper(), m_progressOverall.GetPos()}};
  std::lock_guard<std::mutex> lock(m_mutex);
  m_pending = std::move(state);
  m_bPending = true;
}

void CUpdateDlg::ApplyPending() {
  ControlState latest;
  {
    std::lock_guard<std::mutex> lock(m_mutex);
    if (!m_bPending) return;
    latest = m_pending;
    m_bPending = false;
  }
  // Only what changed is drawn again, so that an unchanged caption does not flicker.
  if (latest.strCurrent != m_shown.strCurrent) m_dialog.SetText(IDC_STATIC_CURRENT, latest.strCurrent);
  if (latest.strOverall != m_shown.strOverall) m_dialog.SetText(IDC_STATIC_OVERALL, latest.strOverall);
  auto show = [this](int nId, const BarState& bar) {
    m_dialog.SetBar(nId, bar.nLower, bar.nUpper, bar.nPos);
  };
  if (!(latest.current == m_shown.current)) show(IDC_PROGRESS_CURRENT, latest.current);
  if (!(latest.overall == m_shown.overall)) show(IDC_PROGRESS_OVERALL, latest.overall);
  m_shown = std::move(latest);
}

// The window front end: Windows Sockets first, then the main dialog until it
// is closed.
CUpdateApp::CUpdateApp(const UpdateSettings& settings) : m_settings(settings) {}

BOOL CUpdateApp::InitNetworkLayer() {
  return StartSockets() ? TRUE : FALSE;
}

BOOL CUpdateApp::InitInstance() {
  if (!InitNetworkLayer()) {
    ShowResourceMessage(IDP_SOCKETS_INIT_FAILED, CUpdateDialog::Icon::Exclamation);
    return FALSE;
  }
  UpdateSettings settings = m_settings;
  settings.strProductExe = m_strProductExe;
  {
    CUpdateDlg dlg(settings);
    if (dlg.DoModal() == -1) {
      // No desktop to show it on (a service's session, say): a window that
      // never appeared is no success. The console, when there is one, says so.
      std::fputs("qvnupdate: the window cannot be shown here (no desktop); use --console\n", stderr);
      m_nExitCode = 2;
    }
  }
  StopSockets();
  return FALSE;
}

int RunWindow(int& argc, char** argv, const UpdateSettings& settings) {
  (void)argc;
  (void)argv;
  StartCommonControls();
  CUpdateApp theApp(settings);
  theApp.InitInstance();
  return theApp.ExitInstance();
}
