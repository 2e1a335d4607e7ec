// qvn_window_probe: reads the updater's window from outside, as any other
// program on the desktop could, for scripts/test-window-windows. It never
// clicks or types: the test does that through the X server, as a user would.
//
//   qvn_window_probe rect [ID]          the window's screen rectangle, or that of
//                                       its control ID: "x y width height"
//   qvn_window_probe wait TEXT SECONDS  waits until the update has ended (Start
//                                       is enabled again) with TEXT as the last
//                                       status line; prints the status lines
//   qvn_window_probe message SECONDS    waits for a message box over the window;
//                                       prints the rectangle of its OK button,
//                                       its caption and its text, a line each
//
// Both wait up to 30 seconds for the window to appear. Exit status: 0 done,
// 1 the window or the line did not come in time, 2 wrong arguments.
// clang-format off
#include <windows.h>
// clang-format on

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "platform/wide_win32.h"
#include "res/resource.h"

namespace {

constexpr wchar_t kDialogClass[] = L"#32770";
constexpr wchar_t kCaption[] = L"Quorvane Update Provider";

HWND WaitForWindow() {
  for (int i = 0; i < 300; ++i) {
    if (HWND hWnd = ::FindWindowW(kDialogClass, kCaption); hWnd != nullptr && ::IsWindowVisible(hWnd)) {
      return hWnd;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  std::fprintf(stderr, "qvn_window_probe: no window \"Quorvane Update Provider\" appeared\n");
  std::exit(1);
}

// The status list's lines; a window that does not answer within a second
// gives none this time.
std::vector<std::string> StatusLines(HWND hDlg) {
  std::vector<std::string> lines;
  const HWND hList = ::GetDlgItem(hDlg, IDC_LIST_STATUS);
  DWORD_PTR nCount = 0;
  if (!::SendMessageTimeoutW(hList, LB_GETCOUNT, 0, 0, SMTO_ABORTIFHUNG, 1000, &nCount)) return lines;
  for (DWORD_PTR i = 0; i < nCount; ++i) {
    DWORD_PTR nLength = 0;
    if (!::SendMessageTimeoutW(hList, LB_GETTEXTLEN, i, 0, SMTO_ABORTIFHUNG, 1000, &nLength)) break;
    std::wstring strLine(nLength + 1, L'\0');
    DWORD_PTR nGot = 0;
    if (!::SendMessageTimeoutW(hList, LB_GETTEXT, i, reinterpret_cast<LPARAM>(strLine.data()),
                               SMTO_ABORTIFHUNG, 1000, &nGot)) {
      break;
    }
    strLine.resize(nGot <= nLength ? nGot : nLength);
    lines.push_back(WideToUtf8(strLine));
  }
  return lines;
}

std::wstring WindowTextOf(HWND hWnd) {
  wchar_t szText[256] = {};
  ::GetWindowTextW(hWnd, szText, 256);
  return szText;
}

int PrintRect(HWND hWnd) {
  RECT rc;
  if (hWnd == nullptr || !::GetWindowRect(hWnd, &rc)) {
    std::fprintf(stderr, "qvn_window_probe: no such control\n");
    return 1;
  }
  std::printf("%ld %ld %ld %ld\n", rc.left, rc.top, rc.right - rc.left, rc.bottom - rc.top);
  return 0;
}

int Wait(const std::string& strText, int nSeconds) {
  const HWND hDlg = WaitForWindow();
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(nSeconds);
  std::vector<std::string> lines;
  for (;;) {
    lines = StatusLines(hDlg);
    const bool bIdle = ::IsWindowEnabled(::GetDlgItem(hDlg, IDC_START));
    if (bIdle && !lines.empty() && lines.back() == strText) break;
    if (!::IsWindow(hDlg) || std::chrono::steady_clock::now() > deadline) {
      std::fprintf(stderr, "qvn_window_probe: the update did not end with \"%s\" in %d s; the list holds:\n",
                   strText.c_str(), nSeconds);
      for (const std::string& strLine : lines) std::fprintf(stderr, "  %s\n", strLine.c_str());
      return 1;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
  }
  for (const std::string& strLine : lines) std::printf("%s\n", strLine.c_str());
  return 0;
}

int Message(int nSeconds) {
  const HWND hDlg = WaitForWindow();
  for (int i = 0; i < nSeconds * 10; ++i) {
    // A message box is a dialog of its own, owned by the window.
    for (HWND hBox = ::FindWindowExW(nullptr, nullptr, kDialogClass, nullptr); hBox != nullptr;
         hBox = ::FindWindowExW(nullptr, hBox, kDialogClass, nullptr)) {
      if (hBox == hDlg || ::GetWindow(hBox, GW_OWNER) != hDlg || !::IsWindowVisible(hBox)) continue;
      wchar_t szText[1024] = {};
      ::GetDlgItemTextW(hBox, 0xFFFF, szText, 1024);  // the text of a message box
      if (PrintRect(::GetDlgItem(hBox, IDOK)) != 0) return 1;
      std::printf("%s\n%s\n", WideToUtf8(WindowTextOf(hBox)).c_str(), WideToUtf8(szText).c_str());
      return 0;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  std::fprintf(stderr, "qvn_window_probe: no message box appeared in %d s\n", nSeconds);
  return 1;
}

}  // namespace

int main(int argc, char** argv) {
  const std::string strCommand = argc > 1 ? argv[1] : "";
  if (strCommand == "rect" && argc <= 3) {
    const HWND hDlg = WaitForWindow();
    return PrintRect(argc == 3 ? ::GetDlgItem(hDlg, std::atoi(argv[2])) : hDlg);
  }
  if (strCommand == "wait" && argc == 4) return Wait(argv[2], std::atoi(argv[3]));
  if (strCommand == "message" && argc == 3) return Message(std::atoi(argv[2]));
  std::fprintf(stderr, "Usage: qvn_window_probe rect [ID] | wait TEXT SECONDS | message SECONDS\n");
  return 2;
}
