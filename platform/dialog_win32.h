#pragma once
// The updater's main window on Windows, as the Win32 side of it: the dialog of
// template IDD_QVNUPDATE_DIALOG (res/qvnupdate.rc) with its captions and bars,
// the status list, Start and Exit, the About box (IDD_ABOUTBOX) in the system
// menu and the icon drawn while minimised. What the buttons do is the front
// end's (app/window_win32.cpp); this face shows it no system type.
//
// Texts are UTF-8; one that is not (a manifest written in a single-byte code
// page) is taken in the system's ANSI code page. Controls are named by their
// resource ids (res/resource.h).
#include <functional>
#include <memory>
#include <string>

class CUpdateDialog {
 public:
  enum class Icon { None, Stop, Exclamation, Information };

  // What the front end hears, always on the dialog's thread.
  struct Events {
    std::function<void()> onInit;          // the controls exist
    std::function<void()> onStart;         // Start was clicked
    std::function<void(int nId)> onClose;  // Exit, Escape, the close box (IDCANCEL) or Enter (IDOK)
    std::function<void()> onTimer;         // the timer of SetTimer
    std::function<void()> onEnded;         // what PostEnded sent has arrived
    std::function<bool()> isBusy;          // the busy cursor is shown over the window
  };

  explicit CUpdateDialog(Events events);
  ~CUpdateDialog();
  CUpdateDialog(const CUpdateDialog&) = delete;
  CUpdateDialog& operator=(const CUpdateDialog&) = delete;

  // Runs the dialog modally until End; returns End's nId, or -1 when the
  // dialog could not be created.
  int Run();

  // On the dialog's thread.
  void End(int nId);
  std::string GetText(int nId) const;
  void SetText(int nId, const std::string& strText);
  // An empty range (nUpper <= nLower) draws an empty bar.
  void SetBar(int nId, int nLower, int nUpper, int nPos);
  void AddStatus(const std::string& strLine);  // added and selected
  void ResetStatus();
  // A disabled Start cannot keep the focus: it moves on to Exit, and comes
  // back when Start is enabled again.
  void SetStartEnabled(bool bEnabled);
  void SetTimer(unsigned nIntervalMs);
  void KillTimer();
  bool AskYesNo(const std::string& strText);  // No is the default answer
  void ShowMessage(const std::string& strText, Icon icon);

  // From any thread. Runs fn on the dialog's thread and waits for it (at once
  // when called there); does nothing once the dialog has gone.
  void RunOnDialogThread(const std::function<void()>& fn);
  // Has onEnded called on the dialog's thread, without waiting.
  void PostEnded();

 private:
  struct Impl;
  std::unique_ptr<Impl> m_p;
};

// Before any window.
void StartCommonControls();
// Windows Sockets 1.1, which every sockets layer gives; false when it cannot
// be had. StopSockets after a true.
bool StartSockets();
void StopSockets();
// A message box over no window: string nStringId of the program's string table.
void ShowResourceMessage(unsigned nStringId, CUpdateDialog::Icon icon);
