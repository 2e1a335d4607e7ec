// Linked into qvnupdate-testhooks, the updater the tests stop half-way: at
// start-up, before main(), the environment variable QVN_TEST_CRASH_AT names
// the step of the replacement where the process stops (see StopAtReplaceStep).
// The shipped qvnupdate has no such hook.
#include <cstdlib>

#include "support/stop_at_step.h"

namespace {

const bool g_bHookInstalled = [] {
  const char* pszWanted = std::getenv("QVN_TEST_CRASH_AT");
  if (pszWanted != nullptr) qvntest::StopAtReplaceStep(pszWanted);
  return pszWanted != nullptr;
}();

}  // namespace
