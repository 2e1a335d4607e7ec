#pragma once
// Runs a program as its own process with a time limit, capturing what it
// writes. The child is killed when the limit passes, so no test can hang on it.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <functional>
#include <string>
#include <utility>
#include <vector>

extern char** environ;

namespace qvntest {

struct ProcessResult {
  int nExit = -1;          // exit status, or -signal when it was killed
  bool bTimedOut = false;  // the time limit passed and the child was killed
  std::string strOut;
  std::string strErr;
};

struct ProcessOptions {
  std::string strCwd;                                       // empty: the test's own
  std::vector<std::pair<std::string, std::string>> arrEnv;  // added or replaced variables
  std::vector<std::string> arrUnset;                        // variables taken away
  int nTimeoutSeconds = 60;
  // When set, asked every few milliseconds while the child runs; once it
  // answers true the child is sent nSignal (once).
  std::function<bool()> fnSignalWhen{};
  int nSignal = SIGINT;
};

inline ProcessResult RunProcess(const std::vector<std::string>& arrArgs, const ProcessOptions& options = {}) {
  // Everything the child needs is built before fork: between fork and exec
  // only async-signal-safe calls are made.
  std::vector<std::string> arrEnvText;
  for (char** p = environ; *p != nullptr; ++p) {
    const std::string strVar = *p;
    const std::string strName = strVar.substr(0, strVar.find('='));
    bool bDrop = false;
    for (const auto& u : options.arrUnset) bDrop = bDrop || u == strName;
    for (const auto& kv : options.arrEnv) bDrop = bDrop || kv.first == strName;
    if (!bDrop) arrEnvText.push_back(strVar);
  }
  for (const auto& kv : options.arrEnv) arrEnvText.push_back(kv.first + "=" + kv.second);
  std::vector<char*> arrEnvp;
  for (auto& s : arrEnvText) arrEnvp.push_back(s.data());
  arrEnvp.push_back(nullptr);
  std::vector<std::string> arrArgCopy = arrArgs;
  std::vector<char*> arrArgv;
  for (auto& s : arrArgCopy) arrArgv.push_back(s.data());
  arrArgv.push_back(nullptr);

  ProcessResult result;
  int fdOut[2];
  int fdErr[2];
  if (pipe2(fdOut, O_CLOEXEC) != 0 || pipe2(fdErr, O_CLOEXEC) != 0) return result;
  const pid_t pid = fork();
  if (pid == 0) {
    dup2(fdOut[1], 1);
    dup2(fdErr[1], 2);
    const int fdNull = open("/dev/null", O_RDONLY);
    if (fdNull >= 0) dup2(fdNull, 0);
    if (!options.strCwd.empty() && chdir(options.strCwd.c_str()) != 0) _exit(126);
    execve(arrArgv[0], arrArgv.data(), arrEnvp.data());
    _exit(127);
  }
  close(fdOut[1]);
  close(fdErr[1]);

  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(options.nTimeoutSeconds);
  bool bOutOpen = true;
  bool bErrOpen = true;
  bool bSignalled = false;
  char buf[65536];
  while (bOutOpen || bErrOpen) {
    const auto now = std::chrono::steady_clock::now();
    if (now >= deadline) {
      kill(pid, SIGKILL);
      result.bTimedOut = true;
      break;
    }
    pollfd fds[2] = {{bOutOpen ? fdOut[0] : -1, POLLIN, 0}, {bErrOpen ? fdErr[0] : -1, POLLIN, 0}};
    int nWait =
        static_cast<int>(std::chrono::duration_cast<std::chrono::milliseconds>(deadline - now).count()) + 1;
    if (options.fnSignalWhen && !bSignalled) {
      if (options.fnSignalWhen()) {
        kill(pid, options.nSignal);
        bSignalled = true;
      } else {
        nWait = std::min(nWait, 10);
      }
    }
    if (poll(fds, 2, nWait) < 0) continue;
    for (int i = 0; i < 2; ++i) {
      if (fds[i].fd < 0 || fds[i].revents == 0) continue;
      const ssize_t n = read(fds[i].fd, buf, sizeof buf);
      if (n > 0) {
        (i == 0 ? result.strOut : result.strErr).append(buf, static_cast<size_t>(n));
      } else {
        (i == 0 ? bOutOpen : bErrOpen) = false;
      }
    }
  }
  close(fdOut[0]);
  close(fdErr[0]);
  int nStatus = 0;
  waitpid(pid, &nStatus, 0);
  result.nExit = WIFEXITED(nStatus) ? WEXITSTATUS(nStatus) : -WTERMSIG(nStatus);
  return result;
}

}  // namespace qvntest
