#pragma once
// The updater's main window on Windows: the dialog of template
// IDD_QVNUPDATE_DIALOG (res/qvnupdate.rc) with an opening text, the captions
// and bars of the current file and of the whole phase, the status list, Start
// and Exit; and the About box (IDD_ABOUTBOX), reached from the system menu.
//
// Why the update runs on a thread of its own rather than inside Start's click
// handler, pumping messages between status lines: the update blocks where the
// window cannot reach it (resolving and connecting, a slow server up to the
// stall limit, copying a large file), and a window that is only serviced
// between status lines freezes there, Exit included. On its own thread the
// update may block as long as it likes; the dialog's thread keeps running the
// dialog's own message loop and nothing else. The two meet only through
// messages to the dialog:
//   - AddStatus, ResetStatus and MessageBox are sent (SendMessage), so they
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
// <commctrl.h> and <winsock2.h> need <windows.h> first.
// clang-format off
#include <windows.h>
#include <commctrl.h>
#include <winsock2.h>
// clang-format on

// The reporter's operations share their names with <windows.h>'s A/W macros;
// the window calls the wide functions by their own names.
#undef MessageBox
#undef SetWindowText
#undef GetWindowText

#include <atomic>
#include <functional>
#include <mutex>
#include <string>
#include <thread>

#include "app/session.h"
#include "app/session_outcome.h"
#include "phases/reporter.h"
#include "platform/types.h"

class CUpdateDlg : public CUpdateReporter {
 public:
  explicit CUpdateDlg(const UpdateSettings& settings);
  // Waits for a running update to end (asking it to stop): a window that has
  // closed takes no more reports, so the update then ends at once.
  ~CUpdateDlg() override;
  CUpdateDlg(const CUpdateDlg&) = delete;
  CUpdateDlg& operator=(const CUpdateDlg&) = delete;

  // Runs the dialog modally; returns how it ended (IDOK or IDCANCEL), or -1
  // when it could not be created.
  INT_PTR DoModal(HWND hParent = nullptr);

  // The reporting interface; callable from the dialog's thread or the update's.
  void AddStatus(std::string strLine) override;
  void ResetStatus() override;
  void MessageBox(const std::string& strText, Icon icon) override;
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

  static INT_PTR CALLBACK DialogProc(HWND hDlg, UINT nMsg, WPARAM wParam, LPARAM lParam);
  INT_PTR OnMessage(UINT nMsg, WPARAM wParam, LPARAM lParam);
  BOOL OnInitDialog();
  BOOL OnSysCommand(UINT nId);
  BOOL OnPaint();
  void OnCommand(int nId, int nCode);
  void OnStart();
  void OnUpdateEnded();
  // During an update: asks whether to stop it, and if so asks the update to
  // stop and the window to close once it has. Returns at once either way.
  void AskToStop();
  void SetUpdateRunning(bool bRunning);

  // Runs fn on the dialog's thread and waits for it; at once when called there.
  // Does nothing once the dialog has gone.
  void RunInWindow(const std::function<void()>& fn);
  // Called by the captions and bars after every change, on the changing thread.
  void MirrorControls();
  void ApplyPending();  // draws the recorded captions and bars if they changed
  void ShowMessage(const std::string& strText, Icon icon);

  HWND Item(int nId) const { return ::GetDlgItem(m_hWnd.load(), nId); }

  UpdateSettings m_settings;
  std::atomic<HWND> m_hWnd{nullptr};  // the update's thread posts to it
  HICON m_hIcon = nullptr;            // the caption's, the taskbar's and the minimised window's
  HICON m_hIconSmall = nullptr;       // the caption's own small size

  BOOL m_bRunning = FALSE;
  std::atomic<bool> m_bStopAsked{false};  // read by the update's thread
  bool m_bCloseWhenStopped = false;
  bool m_bStartHadFocus = false;
  std::thread m_thread;
  UpdateOutcome m_outcome;  // written by the update's thread before it posts its end

  // Shared with the update's thread.
  std::mutex m_mutex;
  ControlState m_pending;   // latest caption and bar state
  bool m_bPending = false;  // m_pending not drawn yet
  ControlState m_shown;     // what the controls show

  static constexpr UINT kRedrawIntervalMs = 40;
};

// The About box, modal over hParent.
void ShowAboutBox(HWND hParent);

// String nId of the program's string table; empty when it has none.
std::wstring LoadResourceString(UINT nId);

// The title of every message box: the program's file name without its
// extension, as the user sees it in Explorer.
std::wstring AppTitle();

// Text of the updater's core (status lines, captions, messages) for display:
// UTF-8 as a rule; bytes that are not valid UTF-8 (a manifest written in a
// single-byte code page) are taken in the system's ANSI code page.
std::wstring FromAnsi(const std::string& strText);
