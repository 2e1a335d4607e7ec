// Placeholder until this command lands.
#include "tools/commands.h"

int CmdLint(const Args&) {
  return UsageError("this command is not built yet");
}
