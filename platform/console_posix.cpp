#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <csignal>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "platform/console.h"

namespace {

static_assert(std::atomic<bool>::is_always_lock_free, "the signal handler needs a lock-free flag");
std::atomic<bool>* g_pbStop = nullptr;

extern "C" void OnStopSignal(int) {
  if (g_pbStop != nullptr) g_pbStop->store(true);
}

}  // namespace

bool CanDrawProgress() {
  // A terminal that takes no control sequences (an editor's shell buffer).
  const char* pszTerm = std::getenv("TERM");
  if (pszTerm == nullptr || std::strcmp(pszTerm, "dumb") == 0) return false;
  struct stat st {};
  if (::fstat(STDOUT_FILENO, &st) == 0 && (S_ISFIFO(st.st_mode) || S_ISSOCK(st.st_mode))) return false;
  return ::isatty(STDERR_FILENO) == 1;
}

std::size_t StderrColumns() {
  winsize size{};
  return ::ioctl(STDERR_FILENO, TIOCGWINSZ, &size) == 0 ? size.ws_col : 0;
}

std::chrono::nanoseconds CoarseNow() {
  timespec ts{};
  ::clock_gettime(CLOCK_MONOTONIC_COARSE, &ts);
  return std::chrono::seconds(ts.tv_sec) + std::chrono::nanoseconds(ts.tv_nsec);
}

void CatchStopSignals(std::atomic<bool>* pbStop) {
  g_pbStop = pbStop;
  std::signal(SIGPIPE, SIG_IGN);
  std::signal(SIGINT, OnStopSignal);
  std::signal(SIGTERM, OnStopSignal);
}

void LeaveOwnConsole() {}
