// The console on Windows: standard error is a console when it takes console
// modes, and Ctrl-C, Ctrl-Break and the closing of the console window reach
// the process as control events on a thread of their own.
#include <windows.h>

#include "platform/console.h"

namespace {

static_assert(std::atomic<bool>::is_always_lock_free, "the control handler needs a lock-free flag");
std::atomic<bool>* g_pbStop = nullptr;

BOOL WINAPI OnControlEvent(DWORD dwEvent) {
  switch (dwEvent) {
    case CTRL_C_EVENT:
    case CTRL_BREAK_EVENT:
    case CTRL_CLOSE_EVENT:
      if (g_pbStop == nullptr) return FALSE;
      g_pbStop->store(true);
      // Windows ends the process once the handler of a close returns: the
      // update gets the few seconds it grants to stop between blocks.
      if (dwEvent == CTRL_CLOSE_EVENT) ::Sleep(4000);
      return TRUE;
    default:
      return FALSE;
  }
}

}  // namespace

bool CanDrawProgress() {
  if (::GetFileType(::GetStdHandle(STD_OUTPUT_HANDLE)) == FILE_TYPE_PIPE) return false;
  const HANDLE hErr = ::GetStdHandle(STD_ERROR_HANDLE);
  DWORD dwMode = 0;
  if (!::GetConsoleMode(hErr, &dwMode)) return false;
  // The progress is redrawn with escape sequences, which a console shows as
  // they are unless asked to act on them; one that cannot gets no progress.
  return (dwMode & ENABLE_VIRTUAL_TERMINAL_PROCESSING) != 0 ||
         ::SetConsoleMode(hErr, dwMode | ENABLE_VIRTUAL_TERMINAL_PROCESSING) != 0;
}

std::size_t StderrColumns() {
  CONSOLE_SCREEN_BUFFER_INFO info{};
  if (!::GetConsoleScreenBufferInfo(::GetStdHandle(STD_ERROR_HANDLE), &info)) return 0;
  const int nColumns = info.srWindow.Right - info.srWindow.Left + 1;
  return nColumns > 0 ? static_cast<std::size_t>(nColumns) : 0;
}

std::chrono::nanoseconds CoarseNow() {
  return std::chrono::milliseconds(::GetTickCount64());
}

void CatchStopSignals(std::atomic<bool>* pbStop) {
  g_pbStop = pbStop;
  ::SetConsoleCtrlHandler(OnControlEvent, TRUE);
}

void LeaveOwnConsole() {
  DWORD arrProcesses[2] = {};
  if (::GetConsoleProcessList(arrProcesses, 2) == 1) ::FreeConsole();
}
