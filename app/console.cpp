// Placeholder until the console front end lands.
#include <cstdio>

#include "app/cli.h"

int RunConsole(const UpdateSettings&) {
  std::fprintf(stderr, "qvnupdate: the console front end is not built yet\n");
  return 2;
}
