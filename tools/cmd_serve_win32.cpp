// qvnpack serve is not built for Windows yet: its HTTP server library has no
// Windows build here. The command says so rather than being unknown.
#include <cstdio>

#include "tools/commands.h"

int CmdServe(const Args&) {
  std::fputs(
      "qvnpack: serve is available in the Linux build only; on Windows, copy the\n"
      "update directory to a web server's /Updates/ folder instead\n",
      stderr);
  return 2;
}
