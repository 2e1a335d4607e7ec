// Placeholder until the window lands.
#include <cstdio>

#include "app/cli.h"

int RunWindow(int&, char**, const UpdateSettings&) {
  std::fprintf(stderr, "qvnupdate: the window is not built yet; use --console\n");
  return 2;
}
