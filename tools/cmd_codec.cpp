// Placeholder until this command lands.
#include "tools/commands.h"

int CmdCompress(const Args&) {
  return UsageError("this command is not built yet");
}
int CmdExpand(const Args&) {
  return UsageError("this command is not built yet");
}
