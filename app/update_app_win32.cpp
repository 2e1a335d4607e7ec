// The window front end on Windows: Windows Sockets first, then the main dialog
// until it is closed.
#include "app/cli.h"
#include "app/update_app.h"
#include "app/window_win32.h"
#include "res/resource.h"

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
