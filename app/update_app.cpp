#include "app/update_app.h"

#include <QApplication>
#include <QMessageBox>
#include <cstdio>
#include <cstdlib>
#include <cstring>
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

// A display that is named but cannot be reached (a stale DISPLAY after ssh
// or sudo) is known only once Qt tries it, and Qt then ends the program with
// abort(): while the application starts, its fatal message becomes ours.
QtMessageHandler g_fnQtHandler = nullptr;

void OnStartupMessage(QtMsgType type, const QMessageLogContext& context, const QString& strMessage) {
  if (type == QtFatalMsg) {
    // A platform chosen by hand that Qt cannot load is named as such, not
    // taken for a display out of reach.
    const char* pszPlatform = std::getenv("QT_QPA_PLATFORM");
    const char* pszDisplay = std::getenv("DISPLAY");
    const std::string strWhy =
        pszPlatform != nullptr && *pszPlatform != '\0'
            ? std::string("the Qt platform '") + pszPlatform + "' (QT_QPA_PLATFORM) could not be started"
            : std::string("no display could be reached (DISPLAY=") +
                  (pszDisplay != nullptr ? pszDisplay : "") + ")";
    std::fprintf(stderr,
                 "qvnupdate: the window cannot be shown: %s; use 'qvnupdate --console' to update without a "
                 "window\n",
                 strWhy.c_str());
    std::fflush(stderr);
    std::_Exit(2);
  }
  // "Could not load the Qt platform plugin", said before the fatal message,
  // would send the user to reinstall a program that is whole.
  if (context.category != nullptr && std::strcmp(context.category, "qt.qpa.plugin") == 0) return;
  if (g_fnQtHandler != nullptr) {
    g_fnQtHandler(type, context, strMessage);
  } else {
    std::fprintf(stderr, "%s\n", qPrintable(qFormatLogMessage(type, context, strMessage)));
  }
}

}  // namespace

int RunWindow(int& argc, char** argv, const UpdateSettings& settings) {
  if (!HaveDisplay()) {
    std::fprintf(stderr,
                 "qvnupdate: no display to show the window on (neither DISPLAY nor WAYLAND_DISPLAY "
                 "is set); use 'qvnupdate --console' to update without a window\n");
    return 2;
  }
  g_fnQtHandler = qInstallMessageHandler(OnStartupMessage);
  QApplication app(argc, argv);
  qInstallMessageHandler(g_fnQtHandler);
  QCoreApplication::setApplicationVersion(QString::fromUtf8(kVersionFileVersion));
  QGuiApplication::setDesktopFileName(QStringLiteral("qvnupdate"));
  QApplication::setWindowIcon(AppIcon());

  CUpdateApp theApp(settings);
  theApp.InitInstance();
  return theApp.ExitInstance();
}
