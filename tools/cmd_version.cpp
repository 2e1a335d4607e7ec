// Placeholder until this command lands.
#include "tools/commands.h"

int CmdVersion(const Args&) {
  return UsageError("this command is not built yet");
}
int CmdVercmp(const Args&) {
  return UsageError("this command is not built yet");
}
