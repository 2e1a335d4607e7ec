#pragma once
// Stops the process at a step of the replacement, as a power cut or a Ctrl-C
// would there, so that the tests can check what the next run makes of it.
#include <csignal>
#include <string>

#include "phases/replace_journal.h"

namespace qvntest {

// strWanted names the step ("copy-1", see SetReplaceStepObserver): the process
// kills itself there (SIGKILL); with "/int" after the name ("copy-1/int") it
// interrupts itself (SIGINT) instead, as a user's Ctrl-C would.
inline void StopAtReplaceStep(const std::string& strWanted) {
  SetReplaceStepObserver([strWanted](const char* pszStep) {
    if (strWanted == pszStep) std::raise(SIGKILL);
    if (strWanted == std::string(pszStep) + "/int") std::raise(SIGINT);
  });
}

}  // namespace qvntest
