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

#include <algorithm>
#include <atomic>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "app/cli.h"
#include "app/session.h"
#include "app/session_outcome.h"
#include "app/update_app.h"
#include "phases/reporter.h"
#include "platform/types.h"
#include "platform/wide_win32.h"
#include "res/resource.h"

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

namespace {

// Messages of the dialog to itself.
constexpr UINT WM_APP_RUN = WM_APP + 1;    // lParam: a std::function<void()>* to call
constexpr UINT WM_APP_ENDED = WM_APP + 2;  // the update's thread has finished
constexpr UINT_PTR kRedrawTimer = 1;

UINT ToMessageBoxIcon(CUpdateReporter::Icon icon) {
  switch (icon) {
    case CUpdateReporter::Icon::Stop:
      return MB_ICONSTOP;
    case CUpdateReporter::Icon::Exclamation:
      return MB_ICONEXCLAMATION;
    case CUpdateReporter::Icon::Information:
      return MB_ICONINFORMATION;
    case CUpdateReporter::Icon::None:
      break;
  }
  return 0;
}

std::wstring WindowText(HWND hWnd) {
  std::wstring strText(static_cast<size_t>(::GetWindowTextLengthW(hWnd)) + 1, L'\0');
  strText.resize(
      static_cast<size_t>(::GetWindowTextW(hWnd, strText.data(), static_cast<int>(strText.size()))));
  return strText;
}

void ShowBar(HWND hBar, const auto& bar) {
  // An empty range draws an empty bar.
  if (bar.nUpper > bar.nLower) {
    ::SendMessageW(hBar, PBM_SETRANGE32, static_cast<WPARAM>(bar.nLower), static_cast<LPARAM>(bar.nUpper));
    ::SendMessageW(hBar, PBM_SETPOS, static_cast<WPARAM>(bar.nPos), 0);
  } else {
    ::SendMessageW(hBar, PBM_SETRANGE32, 0, 1);
    ::SendMessageW(hBar, PBM_SETPOS, 0, 0);
  }
}

// Centres a dialog over its owner, or on the screen when it has none, as
// dialogs open on Windows; always inside the screen's work area.
void CenterDialog(HWND hDlg) {
  const HWND hOwner = ::GetWindow(hDlg, GW_OWNER);
  MONITORINFO monitor{};
  monitor.cbSize = sizeof(monitor);
  if (!::GetMonitorInfoW(::MonitorFromWindow(hOwner != nullptr ? hOwner : hDlg, MONITOR_DEFAULTTONEAREST),
                         &monitor)) {
    return;
  }
  const RECT rcArea = monitor.rcWork;
  RECT rcCenter = rcArea;
  if (hOwner != nullptr && ::IsWindowVisible(hOwner) && !::IsIconic(hOwner))
    ::GetWindowRect(hOwner, &rcCenter);
  RECT rc;
  ::GetWindowRect(hDlg, &rc);
  const int cx = rc.right - rc.left;
  const int cy = rc.bottom - rc.top;
  int x = (rcCenter.left + rcCenter.right - cx) / 2;
  int y = (rcCenter.top + rcCenter.bottom - cy) / 2;
  x = std::max(std::min(x, static_cast<int>(rcArea.right) - cx), static_cast<int>(rcArea.left));
  y = std::max(std::min(y, static_cast<int>(rcArea.bottom) - cy), static_cast<int>(rcArea.top));
  ::SetWindowPos(hDlg, nullptr, x, y, 0, 0, SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
}

INT_PTR CALLBACK AboutDialogProc(HWND hDlg, UINT nMsg, WPARAM wParam, LPARAM) {
  switch (nMsg) {
    case WM_INITDIALOG:
      CenterDialog(hDlg);
      return TRUE;
    case WM_COMMAND:
      if (LOWORD(wParam) == IDOK || LOWORD(wParam) == IDCANCEL) {
        ::EndDialog(hDlg, LOWORD(wParam));
        return TRUE;
      }
      break;
  }
  return FALSE;
}

}  // namespace

std::wstring FromAnsi(const std::string& strText) {
  std::wstring strWide;
  if (Utf8ToWide(strText, strWide)) return strWide;
  const int nChars =
      ::MultiByteToWideChar(CP_ACP, 0, strText.data(), static_cast<int>(strText.size()), nullptr, 0);
  strWide.assign(static_cast<size_t>(nChars > 0 ? nChars : 0), L'\0');
  if (nChars > 0) {
    ::MultiByteToWideChar(CP_ACP, 0, strText.data(), static_cast<int>(strText.size()), strWide.data(),
                          nChars);
  }
  return strWide;
}

std::wstring LoadResourceString(UINT nId) {
  // With no buffer, LoadString gives the text where it lies in the resources.
  const wchar_t* pszText = nullptr;
  const int nLength =
      ::LoadStringW(::GetModuleHandleW(nullptr), nId, reinterpret_cast<wchar_t*>(&pszText), 0);
  return nLength > 0 && pszText != nullptr ? std::wstring(pszText, static_cast<size_t>(nLength))
                                           : std::wstring();
}

std::wstring AppTitle() {
  std::vector<wchar_t> path(MAX_PATH);
  for (;;) {
    const DWORD nLength = ::GetModuleFileNameW(nullptr, path.data(), static_cast<DWORD>(path.size()));
    if (nLength == 0) return L"qvnupdate";
    if (nLength < path.size()) {
      std::wstring strName(path.data(), nLength);
      strName.erase(0, strName.find_last_of(L"\\/") + 1);
      if (const size_t nDot = strName.rfind(L'.'); nDot != std::wstring::npos && nDot > 0)
        strName.erase(nDot);
      return strName;
    }
    path.resize(path.size() * 2);
  }
}

void ShowAboutBox(HWND hParent) {
  ::DialogBoxParamW(::GetModuleHandleW(nullptr), MAKEINTRESOURCEW(IDD_ABOUTBOX), hParent, AboutDialogProc, 0);
}

CUpdateDlg::CUpdateDlg(const UpdateSettings& settings) : m_settings(settings) {
  const HINSTANCE hInstance = ::GetModuleHandleW(nullptr);
  m_hIcon = static_cast<HICON>(::LoadImageW(hInstance, MAKEINTRESOURCEW(IDR_MAINFRAME), IMAGE_ICON,
                                            ::GetSystemMetrics(SM_CXICON), ::GetSystemMetrics(SM_CYICON), 0));
  m_hIconSmall =
      static_cast<HICON>(::LoadImageW(hInstance, MAKEINTRESOURCEW(IDR_MAINFRAME), IMAGE_ICON,
                                      ::GetSystemMetrics(SM_CXSMICON), ::GetSystemMetrics(SM_CYSMICON), 0));
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
  if (m_hIcon != nullptr) ::DestroyIcon(m_hIcon);
  if (m_hIconSmall != nullptr) ::DestroyIcon(m_hIconSmall);
}

INT_PTR CUpdateDlg::DoModal(HWND hParent) {
  return ::DialogBoxParamW(::GetModuleHandleW(nullptr), MAKEINTRESOURCEW(IDD_QVNUPDATE_DIALOG), hParent,
                           DialogProc, reinterpret_cast<LPARAM>(this));
}

INT_PTR CALLBACK CUpdateDlg::DialogProc(HWND hDlg, UINT nMsg, WPARAM wParam, LPARAM lParam) {
  if (nMsg == WM_INITDIALOG) {
    auto* pDlg = reinterpret_cast<CUpdateDlg*>(lParam);
    ::SetWindowLongPtrW(hDlg, DWLP_USER, lParam);
    pDlg->m_hWnd = hDlg;
    return pDlg->OnInitDialog();
  }
  auto* pDlg = reinterpret_cast<CUpdateDlg*>(::GetWindowLongPtrW(hDlg, DWLP_USER));
  if (pDlg == nullptr) return FALSE;
  const INT_PTR nResult = pDlg->OnMessage(nMsg, wParam, lParam);
  if (nMsg == WM_NCDESTROY) pDlg->m_hWnd = nullptr;
  return nResult;
}

INT_PTR CUpdateDlg::OnMessage(UINT nMsg, WPARAM wParam, LPARAM lParam) {
  switch (nMsg) {
    case WM_SYSCOMMAND:
      return OnSysCommand(static_cast<UINT>(wParam));
    case WM_PAINT:
      return OnPaint();
    case WM_QUERYDRAGICON:
      return reinterpret_cast<INT_PTR>(m_hIcon);
    case WM_COMMAND:
      OnCommand(LOWORD(wParam), HIWORD(wParam));
      return TRUE;
    case WM_SETCURSOR:
      // The update runs, and the window still answers: the arrow with an hourglass.
      if (m_bRunning && LOWORD(lParam) == HTCLIENT) {
        ::SetCursor(::LoadCursorW(nullptr, IDC_APPSTARTING));
        ::SetWindowLongPtrW(m_hWnd, DWLP_MSGRESULT, TRUE);
        return TRUE;
      }
      return FALSE;
    case WM_TIMER:
      if (wParam != kRedrawTimer) return FALSE;
      ApplyPending();
      return TRUE;
    case WM_APP_RUN:
      (*reinterpret_cast<const std::function<void()>*>(lParam))();
      return TRUE;
    case WM_APP_ENDED:
      OnUpdateEnded();
      return TRUE;
  }
  return FALSE;
}

BOOL CUpdateDlg::OnInitDialog() {
  // The About item goes last in the system menu, after a separator.
  if (HMENU hMenu = ::GetSystemMenu(m_hWnd, FALSE); hMenu != nullptr) {
    if (const std::wstring strAbout = LoadResourceString(IDS_ABOUTBOX); !strAbout.empty()) {
      ::AppendMenuW(hMenu, MF_SEPARATOR, 0, nullptr);
      ::AppendMenuW(hMenu, MF_STRING, IDM_ABOUTBOX, strAbout.c_str());
    }
  }
  CenterDialog(m_hWnd);
  ::SendMessageW(m_hWnd, WM_SETICON, ICON_BIG, reinterpret_cast<LPARAM>(m_hIcon));
  ::SendMessageW(m_hWnd, WM_SETICON, ICON_SMALL,
                 reinterpret_cast<LPARAM>(m_hIconSmall != nullptr ? m_hIconSmall : m_hIcon));

  // The captions start with the template's texts; from here on the reporter's
  // captions and bars are the truth and the controls follow them.
  m_staticCurrent.SetWindowText(WideToUtf8(WindowText(Item(IDC_STATIC_CURRENT))));
  m_staticOverall.SetWindowText(WideToUtf8(WindowText(Item(IDC_STATIC_OVERALL))));
  m_shown = m_pending;
  m_shown.current.nUpper = m_shown.overall.nUpper = -1;  // draw the bars once
  ApplyPending();
  return TRUE;  // the dialog puts the focus on its first tab stop, Exit
}

BOOL CUpdateDlg::OnSysCommand(UINT nId) {
  if ((nId & 0xFFF0) != IDM_ABOUTBOX) return FALSE;
  ShowAboutBox(m_hWnd);
  return TRUE;
}

BOOL CUpdateDlg::OnPaint() {
  if (!::IsIconic(m_hWnd)) return FALSE;  // the dialog paints itself
  // Minimised: the icon, centred; an odd margin gives its extra pixel to the
  // left and the top.
  PAINTSTRUCT ps;
  const HDC hDC = ::BeginPaint(m_hWnd, &ps);
  ::SendMessageW(m_hWnd, WM_ICONERASEBKGND, reinterpret_cast<WPARAM>(hDC), 0);
  const int cxIcon = ::GetSystemMetrics(SM_CXICON);
  const int cyIcon = ::GetSystemMetrics(SM_CYICON);
  RECT rc;
  ::GetClientRect(m_hWnd, &rc);
  const int x = (rc.right - rc.left - cxIcon + 1) / 2;
  const int y = (rc.bottom - rc.top - cyIcon + 1) / 2;
  ::DrawIcon(hDC, x, y, m_hIcon);
  ::EndPaint(m_hWnd, &ps);
  return TRUE;
}

void CUpdateDlg::OnCommand(int nId, int nCode) {
  switch (nId) {
    case IDC_START:
      if (nCode == BN_CLICKED) OnStart();
      break;
    case IDOK:           // Enter while the focus is not on a push button
    case IDCANCEL:       // Exit, Escape, the close box
      if (m_bRunning) {  // never leave an update half done: stop it first
        AskToStop();
      } else {
        ::EndDialog(m_hWnd, nId);
      }
      break;
  }
}

void CUpdateDlg::OnStart() {
  if (m_bRunning) return;  // one update at a time
  m_bStopAsked = false;
  SetUpdateRunning(true);
  m_thread = std::thread([this] {
    m_outcome = RunUpdateCaught(*this, m_settings);
    ::PostMessageW(m_hWnd, WM_APP_ENDED, 0, 0);
  });
}

void CUpdateDlg::OnUpdateEnded() {
  if (m_thread.joinable()) m_thread.join();
  ApplyPending();  // the last captions and bars, without waiting for the timer
  // The error is shown while the update still counts as running, so that
  // Start works again once the user has read it.
  if (m_outcome.bError) {
    ShowMessage(m_outcome.strError.empty() ? kNoErrorText : m_outcome.strError, m_outcome.icon);
  }
  SetUpdateRunning(false);
  if (m_bCloseWhenStopped) {
    m_bCloseWhenStopped = false;
    ::EndDialog(m_hWnd, IDCANCEL);
  }
}

void CUpdateDlg::AskToStop() {
  if (m_bStopAsked) return;  // already stopping
  const int nAnswer = ::MessageBoxW(m_hWnd,
                                    L"An update is running. Stop it and close the window?\n\n"
                                    L"Files it has already replaced are put back.",
                                    AppTitle().c_str(), MB_YESNO | MB_ICONQUESTION | MB_DEFBUTTON2);
  if (nAnswer != IDYES) return;
  // The update may have ended while the question was open: only the closing is left.
  if (!m_bRunning) {
    ::EndDialog(m_hWnd, IDCANCEL);
    return;
  }
  m_bCloseWhenStopped = true;
  m_bStopAsked = true;
}

void CUpdateDlg::SetUpdateRunning(bool bRunning) {
  m_bRunning = bRunning ? TRUE : FALSE;
  const HWND hStart = Item(IDC_START);
  if (bRunning) {
    // A disabled button cannot keep the focus: it moves on to Exit, and comes
    // back when the update has ended.
    m_bStartHadFocus = ::GetFocus() == hStart;
    if (m_bStartHadFocus)
      ::SendMessageW(m_hWnd, WM_NEXTDLGCTL, reinterpret_cast<WPARAM>(Item(IDCANCEL)), TRUE);
    ::EnableWindow(hStart, FALSE);
    ::SetTimer(m_hWnd, kRedrawTimer, kRedrawIntervalMs, nullptr);
  } else {
    ::KillTimer(m_hWnd, kRedrawTimer);
    ::EnableWindow(hStart, TRUE);
    if (m_bStartHadFocus) ::SendMessageW(m_hWnd, WM_NEXTDLGCTL, reinterpret_cast<WPARAM>(hStart), TRUE);
  }
}

void CUpdateDlg::RunInWindow(const std::function<void()>& fn) {
  // On the dialog's own thread SendMessage calls the dialog directly; from
  // the update's it waits until the dialog's thread has run fn. A dialog that
  // has gone answers nothing, and fn is dropped.
  const HWND hWnd = m_hWnd;
  if (hWnd == nullptr) return;
  ::SendMessageW(hWnd, WM_APP_RUN, 0, reinterpret_cast<LPARAM>(&fn));
}

void CUpdateDlg::AddStatus(std::string strLine) {
  RunInWindow([this, &strLine] {
    const HWND hList = Item(IDC_LIST_STATUS);
    const LRESULT nIndex =
        ::SendMessageW(hList, LB_ADDSTRING, 0, reinterpret_cast<LPARAM>(FromAnsi(strLine).c_str()));
    if (nIndex >= 0) ::SendMessageW(hList, LB_SETCURSEL, static_cast<WPARAM>(nIndex), 0);
  });
}

void CUpdateDlg::ResetStatus() {
  RunInWindow([this] { ::SendMessageW(Item(IDC_LIST_STATUS), LB_RESETCONTENT, 0, 0); });
}

void CUpdateDlg::MessageBox(const std::string& strText, Icon icon) {
  RunInWindow([this, &strText, icon] { ShowMessage(strText, icon); });
}

void CUpdateDlg::ShowMessage(const std::string& strText, Icon icon) {
  ::MessageBoxW(m_hWnd, FromAnsi(strText).c_str(), AppTitle().c_str(), MB_OK | ToMessageBoxIcon(icon));
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
  if (latest.strCurrent != m_shown.strCurrent) {
    ::SetWindowTextW(Item(IDC_STATIC_CURRENT), FromAnsi(latest.strCurrent).c_str());
  }
  if (latest.strOverall != m_shown.strOverall) {
    ::SetWindowTextW(Item(IDC_STATIC_OVERALL), FromAnsi(latest.strOverall).c_str());
  }
  if (!(latest.current == m_shown.current)) ShowBar(Item(IDC_PROGRESS_CURRENT), latest.current);
  if (!(latest.overall == m_shown.overall)) ShowBar(Item(IDC_PROGRESS_OVERALL), latest.overall);
  m_shown = std::move(latest);
}

// The window front end: Windows Sockets first, then the main dialog until it
// is closed.
CUpdateApp::CUpdateApp(const UpdateSettings& settings) : m_settings(settings) {}

BOOL CUpdateApp::InitNetworkLayer() {
  // Version 1.1, which every Windows Sockets layer gives; one that cannot
  // counts as failed.
  WSADATA wsaData;
  if (::WSAStartup(MAKEWORD(1, 1), &wsaData) != 0) return FALSE;
  if (LOBYTE(wsaData.wVersion) != 1 || HIBYTE(wsaData.wVersion) != 1) {
    ::WSACleanup();
    return FALSE;
  }
  return TRUE;
}

BOOL CUpdateApp::InitInstance() {
  if (!InitNetworkLayer()) {
    ::MessageBoxW(nullptr, LoadResourceString(IDP_SOCKETS_INIT_FAILED).c_str(), AppTitle().c_str(),
                  MB_OK | MB_ICONEXCLAMATION);
    return FALSE;
  }
  UpdateSettings settings = m_settings;
  settings.strProductExe = m_strProductExe;
  {
    CUpdateDlg dlg(settings);
    dlg.DoModal();
  }
  ::WSACleanup();
  return FALSE;
}

int RunWindow(int& argc, char** argv, const UpdateSettings& settings) {
  (void)argc;
  (void)argv;
  INITCOMMONCONTROLSEX icc{sizeof(icc), ICC_STANDARD_CLASSES | ICC_PROGRESS_CLASS};
  ::InitCommonControlsEx(&icc);

  CUpdateApp theApp(settings);
  theApp.InitInstance();
  return theApp.ExitInstance();
}
