#pragma once
// The application object of the window front end: starts the network layer,
// runs the main window until it is closed, and gives the process its exit code.
#include <string>

#include "platform/types.h"
#include "session/session.h"

class CUpdateApp {
 public:
  // settings.strProductExe is replaced by m_strProductExe.
  explicit CUpdateApp(const UpdateSettings& settings);
  virtual ~CUpdateApp() = default;
  CUpdateApp(const CUpdateApp&) = delete;
  CUpdateApp& operator=(const CUpdateApp&) = delete;

  // Starts the network layer; when that fails, says so in a message box and
  // shows no window. Otherwise runs the main window modally until it closes.
  // Needs a QApplication where the window is Qt's. Always FALSE: nothing runs
  // after the window.
  virtual BOOL InitInstance();
  // The process's exit code.
  virtual int ExitInstance() { return m_nExitCode; }

  int m_nExitCode = 0;
  // The product executable whose version the update compares; a bare name.
  std::string m_strProductExe = "Quorvane.exe";

 protected:
  // FALSE when the network layer cannot be started. Tests override it to
  // reach the failure path, which a working machine never takes.
  virtual BOOL InitNetworkLayer();

  UpdateSettings m_settings;
};
