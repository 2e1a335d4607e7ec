#include "app/update_app.h"

#include <QApplication>
#include <QMessageBox>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "app/cli.h"
#include "app/window.h"
#include "app/window_support.h"
#include "platform/http_client.h"
#include "res/resource.h"
#include "res/version.h"

CUpdateApp::CUpdateApp(const UpdateSettings& settings) : m_settings(settings) {}

BOOL CUpdateApp::InitNetworkLayer() {
  return InitNetwork();
}

BOOL CUpdateApp::InitInstance() {
  if (!InitNetworkLayer()) {
    QMessageBox box(QMessageBox::Warning, QCoreApplication::applicationName(),
                    FromAnsi(LoadResString(IDP_SOCKETS_INIT_FAILED)), QMessageBox::Ok);
    box.setObjectName(QStringLiteral("startupMessage"));
    box.exec();
    return FALSE;
  }
  UpdateSettings settings = m_settings;
  settings.strProductExe = m_strProductExe;
  CUpdateDlg dlg(settings);
  dlg.setObjectName(QStringLiteral("mainWindow"));
  dlg.exec();
  return FALSE;
}

namespace {

// Qt cannot open a window without a display and would abort with a message
// about platform plugins; say what is wrong and what to do instead.
bool HaveDisplay() {
  for (const char* pszName : {"QT_QPA_PLATFORM", "DISPLAY", "WAYLAND_DISPLAY"}) {
    const char* pszValue = std::getenv(pszName);
    if (pszValue != nullptr && *pszValue != '\0') return true;
  }
  return false;
}

int UsageError(const std::string& strText) {
  std::fprintf(stderr, "qvnupdate: %s\nTry 'qvnupdate --help' for more information.\n", strText.c_str());
  return 2;
}

}  // namespace

int RunWindow(int& argc, char** argv, const UpdateSettings& settingsIn) {
  // The same checks as the console's, before any window opens: a server that
  // cannot be used is an error in the command, not something to find out by
  // pressing Start.
  UpdateSettings settings = settingsIn;
  DWORD dwService = 0;
  std::string strServer;
  std::string strObject;
  INTERNET_PORT nPort = 0;
  if (!AfxParseURL(settings.strServerUrl, dwService, strServer, strObject, nPort) ||
      (dwService != AFX_INET_SERVICE_HTTP && dwService != AFX_INET_SERVICE_HTTPS)) {
    return UsageError("the server must be an http:// or https:// URL, not '" + settings.strServerUrl + "'");
  }
  if (const char* pszStall = std::getenv("QVN_STALL_TIMEOUT"); pszStall != nullptr && *pszStall != '\0') {
    char* pEnd = nullptr;
    const long nSeconds = std::strtol(pszStall, &pEnd, 10);
    if (*pEnd != '\0' || nSeconds <= 0) {
      return UsageError(std::string("QVN_STALL_TIMEOUT must be a number of seconds, not '") + pszStall + "'");
    }
    settings.nStallTimeout = nSeconds;
  }
  if (!HaveDisplay()) {
    std::fprintf(stderr,
                 "qvnupdate: no display to show the window on (neither DISPLAY nor WAYLAND_DISPLAY "
                 "is set); use 'qvnupdate --console' to update without a window\n");
    return 2;
  }
  QApplication app(argc, argv);
  QCoreApplication::setApplicationVersion(QString::fromUtf8(kVersionFileVersion));
  QGuiApplication::setDesktopFileName(QStringLiteral("qvnupdate"));
  QApplication::setWindowIcon(AppIcon());

  CUpdateApp theApp(settings);
  theApp.InitInstance();
  return theApp.ExitInstance();
}
