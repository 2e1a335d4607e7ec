#include "platform/dialog_win32.h"

// <commctrl.h> and <winsock2.h> need <windows.h> first.
// clang-format off
#include <windows.h>
#include <commctrl.h>
#include <winsock2.h>
// clang-format on

#include <algorithm>
#include <atomic>
#include <vector>

#include "platform/wide_win32.h"
#include "res/resource.h"

namespace {

// Messages of the dialog to itself.
constexpr UINT WM_APP_RUN = WM_APP + 1;    // lParam: a std::function<void()>* to call
constexpr UINT WM_APP_ENDED = WM_APP + 2;  // PostEnded
constexpr UINT_PTR kTimer = 1;

UINT ToMessageBoxIcon(CUpdateDialog::Icon icon) {
  switch (icon) {
    case CUpdateDialog::Icon::Stop:
      return MB_ICONSTOP;
    case CUpdateDialog::Icon::Exclamation:
      return MB_ICONEXCLAMATION;
    case CUpdateDialog::Icon::Information:
      return MB_ICONINFORMATION;
    case CUpdateDialog::Icon::None:
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

void ShowBar(HWND hBar, int nLower, int nUpper, int nPos) {
  if (nUpper > nLower) {
    ::SendMessageW(hBar, PBM_SETRANGE32, static_cast<WPARAM>(nLower), static_cast<LPARAM>(nUpper));
    ::SendMessageW(hBar, PBM_SETPOS, static_cast<WPARAM>(nPos), 0);
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

// Text of the updater's core for display: UTF-8 as a rule; bytes that are not
// valid UTF-8 are taken in the system's ANSI code page.
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

}  // namespace

struct CUpdateDialog::Impl {
  explicit Impl(Events e) : events(std::move(e)) {}

  static INT_PTR CALLBACK DialogProc(HWND hDlg, UINT nMsg, WPARAM wParam, LPARAM lParam);
  INT_PTR OnMessage(UINT nMsg, WPARAM wParam, LPARAM lParam);
  BOOL OnInitDialog();
  BOOL OnPaint();
  HWND Item(int nId) const { return ::GetDlgItem(hWnd.load(), nId); }

  Events events;
  std::atomic<HWND> hWnd{nullptr};  // other threads send and post to it
  HICON hIcon = nullptr;            // the caption's, the taskbar's and the minimised window's
  HICON hIconSmall = nullptr;       // the caption's own small size
  bool bStartHadFocus = false;
};

CUpdateDialog::CUpdateDialog(Events events) : m_p(std::make_unique<Impl>(std::move(events))) {
  const HINSTANCE hInstance = ::GetModuleHandleW(nullptr);
  m_p->hIcon =
      static_cast<HICON>(::LoadImageW(hInstance, MAKEINTRESOURCEW(IDR_MAINFRAME), IMAGE_ICON,
                                      ::GetSystemMetrics(SM_CXICON), ::GetSystemMetrics(SM_CYICON), 0));
  m_p->hIconSmall =
      static_cast<HICON>(::LoadImageW(hInstance, MAKEINTRESOURCEW(IDR_MAINFRAME), IMAGE_ICON,
                                      ::GetSystemMetrics(SM_CXSMICON), ::GetSystemMetrics(SM_CYSMICON), 0));
}

CUpdateDialog::~CUpdateDialog() {
  if (m_p->hIcon != nullptr) ::DestroyIcon(m_p->hIcon);
  if (m_p->hIconSmall != nullptr) ::DestroyIcon(m_p->hIconSmall);
}

int CUpdateDialog::Run() {
  return static_cast<int>(::DialogBoxParamW(::GetModuleHandleW(nullptr),
                                            MAKEINTRESOURCEW(IDD_QVNUPDATE_DIALOG), nullptr, Impl::DialogProc,
                                            reinterpret_cast<LPARAM>(m_p.get())));
}

INT_PTR CALLBACK CUpdateDialog::Impl::DialogProc(HWND hDlg, UINT nMsg, WPARAM wParam, LPARAM lParam) {
  if (nMsg == WM_INITDIALOG) {
    auto* p = reinterpret_cast<Impl*>(lParam);
    ::SetWindowLongPtrW(hDlg, DWLP_USER, lParam);
    p->hWnd = hDlg;
    return p->OnInitDialog();
  }
  auto* p = reinterpret_cast<Impl*>(::GetWindowLongPtrW(hDlg, DWLP_USER));
  if (p == nullptr) return FALSE;
  const INT_PTR nResult = p->OnMessage(nMsg, wParam, lParam);
  if (nMsg == WM_NCDESTROY) p->hWnd = nullptr;
  return nResult;
}

INT_PTR CUpdateDialog::Impl::OnMessage(UINT nMsg, WPARAM wParam, LPARAM lParam) {
  switch (nMsg) {
    case WM_SYSCOMMAND:
      if ((static_cast<UINT>(wParam) & 0xFFF0) != IDM_ABOUTBOX) return FALSE;
      ShowAboutBox(hWnd);
      return TRUE;
    case WM_PAINT:
      return OnPaint();
    case WM_QUERYDRAGICON:
      return reinterpret_cast<INT_PTR>(hIcon);
    case WM_COMMAND:
      if (LOWORD(wParam) == IDC_START) {
        if (HIWORD(wParam) == BN_CLICKED) events.onStart();
      } else if (LOWORD(wParam) == IDOK || LOWORD(wParam) == IDCANCEL) {
        events.onClose(
            LOWORD(wParam));  // Enter while the focus is not on a push button; Exit, Escape, the close box
      }
      return TRUE;
    case WM_SETCURSOR:
      // The update runs, and the window still answers: the arrow with an hourglass.
      if (LOWORD(lParam) == HTCLIENT && events.isBusy()) {
        ::SetCursor(::LoadCursorW(nullptr, IDC_APPSTARTING));
        ::SetWindowLongPtrW(hWnd, DWLP_MSGRESULT, TRUE);
        return TRUE;
      }
      return FALSE;
    case WM_TIMER:
      if (wParam != kTimer) return FALSE;
      events.onTimer();
      return TRUE;
    case WM_APP_RUN:
      (*reinterpret_cast<const std::function<void()>*>(lParam))();
      return TRUE;
    case WM_APP_ENDED:
      events.onEnded();
      return TRUE;
  }
  return FALSE;
}

BOOL CUpdateDialog::Impl::OnInitDialog() {
  // The About item goes last in the system menu, after a separator.
  if (HMENU hMenu = ::GetSystemMenu(hWnd, FALSE); hMenu != nullptr) {
    if (const std::wstring strAbout = LoadResourceString(IDS_ABOUTBOX); !strAbout.empty()) {
      ::AppendMenuW(hMenu, MF_SEPARATOR, 0, nullptr);
      ::AppendMenuW(hMenu, MF_STRING, IDM_ABOUTBOX, strAbout.c_str());
    }
  }
  CenterDialog(hWnd);
  ::SendMessageW(hWnd, WM_SETICON, ICON_BIG, reinterpret_cast<LPARAM>(hIcon));
  ::SendMessageW(hWnd, WM_SETICON, ICON_SMALL,
                 reinterpret_cast<LPARAM>(hIconSmall != nullptr ? hIconSmall : hIcon));
  events.onInit();
  return TRUE;  // the dialog puts the focus on its first tab stop, Exit
}

BOOL CUpdateDialog::Impl::OnPaint() {
  if (!::IsIconic(hWnd)) return FALSE;  // the dialog paints itself
  // Minimised: the icon, centred; an odd margin gives its extra pixel to the
  // left and the top.
  PAINTSTRUCT ps;
  const HDC hDC = ::BeginPaint(hWnd, &ps);
  ::SendMessageW(hWnd, WM_ICONERASEBKGND, reinterpret_cast<WPARAM>(hDC), 0);
  const int cxIcon = ::GetSystemMetrics(SM_CXICON);
  const int cyIcon = ::GetSystemMetrics(SM_CYICON);
  RECT rc;
  ::GetClientRect(hWnd, &rc);
  const int x = (rc.right - rc.left - cxIcon + 1) / 2;
  const int y = (rc.bottom - rc.top - cyIcon + 1) / 2;
  ::DrawIcon(hDC, x, y, hIcon);
  ::EndPaint(hWnd, &ps);
  return TRUE;
}

void CUpdateDialog::End(int nId) {
  ::EndDialog(m_p->hWnd, nId);
}

std::string CUpdateDialog::GetText(int nId) const {
  return WideToUtf8(WindowText(m_p->Item(nId)));
}

void CUpdateDialog::SetText(int nId, const std::string& strText) {
  ::SetWindowTextW(m_p->Item(nId), FromAnsi(strText).c_str());
}

void CUpdateDialog::SetBar(int nId, int nLower, int nUpper, int nPos) {
  ShowBar(m_p->Item(nId), nLower, nUpper, nPos);
}

void CUpdateDialog::AddStatus(const std::string& strLine) {
  const HWND hList = m_p->Item(IDC_LIST_STATUS);
  const LRESULT nIndex =
      ::SendMessageW(hList, LB_ADDSTRING, 0, reinterpret_cast<LPARAM>(FromAnsi(strLine).c_str()));
  if (nIndex >= 0) ::SendMessageW(hList, LB_SETCURSEL, static_cast<WPARAM>(nIndex), 0);
}

void CUpdateDialog::ResetStatus() {
  ::SendMessageW(m_p->Item(IDC_LIST_STATUS), LB_RESETCONTENT, 0, 0);
}

void CUpdateDialog::SetStartEnabled(bool bEnabled) {
  const HWND hWnd = m_p->hWnd;
  const HWND hStart = m_p->Item(IDC_START);
  if (!bEnabled) {
    m_p->bStartHadFocus = ::GetFocus() == hStart;
    if (m_p->bStartHadFocus)
      ::SendMessageW(hWnd, WM_NEXTDLGCTL, reinterpret_cast<WPARAM>(m_p->Item(IDCANCEL)), TRUE);
    ::EnableWindow(hStart, FALSE);
  } else {
    ::EnableWindow(hStart, TRUE);
    if (m_p->bStartHadFocus) ::SendMessageW(hWnd, WM_NEXTDLGCTL, reinterpret_cast<WPARAM>(hStart), TRUE);
  }
}

void CUpdateDialog::SetTimer(unsigned nIntervalMs) {
  ::SetTimer(m_p->hWnd, kTimer, nIntervalMs, nullptr);
}

void CUpdateDialog::KillTimer() {
  ::KillTimer(m_p->hWnd, kTimer);
}

bool CUpdateDialog::AskYesNo(const std::string& strText) {
  return ::MessageBoxW(m_p->hWnd, FromAnsi(strText).c_str(), AppTitle().c_str(),
                       MB_YESNO | MB_ICONQUESTION | MB_DEFBUTTON2) == IDYES;
}

void CUpdateDialog::ShowMessage(const std::string& strText, Icon icon) {
  ::MessageBoxW(m_p->hWnd, FromAnsi(strText).c_str(), AppTitle().c_str(), MB_OK | ToMessageBoxIcon(icon));
}

void CUpdateDialog::RunOnDialogThread(const std::function<void()>& fn) {
  // On the dialog's own thread SendMessage calls the dialog directly; from
  // another it waits until the dialog's thread has run fn. A dialog that
  // has gone answers nothing, and fn is dropped.
  const HWND hWnd = m_p->hWnd;
  if (hWnd == nullptr) return;
  ::SendMessageW(hWnd, WM_APP_RUN, 0, reinterpret_cast<LPARAM>(&fn));
}

void CUpdateDialog::PostEnded() {
  ::PostMessageW(m_p->hWnd, WM_APP_ENDED, 0, 0);
}

void StartCommonControls() {
  INITCOMMONCONTROLSEX icc{sizeof(icc), ICC_STANDARD_CLASSES | ICC_PROGRESS_CLASS};
  ::InitCommonControlsEx(&icc);
}

bool StartSockets() {
  WSADATA wsaData;
  if (::WSAStartup(MAKEWORD(1, 1), &wsaData) != 0) return false;
  if (LOBYTE(wsaData.wVersion) != 1 || HIBYTE(wsaData.wVersion) != 1) {
    ::WSACleanup();
    return false;
  }
  return true;
}

void StopSockets() {
  ::WSACleanup();
}

void ShowResourceMessage(unsigned nStringId, CUpdateDialog::Icon icon) {
  ::MessageBoxW(nullptr, LoadResourceString(nStringId).c_str(), AppTitle().c_str(),
                MB_OK | ToMessageBoxIcon(icon));
}
