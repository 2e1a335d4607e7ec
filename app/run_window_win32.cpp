// The window front end on Windows: not there yet. Until it is, qvnupdate
// without --console says so and how to update without it.
#include <cstdio>

#include "app/cli.h"

int RunWindow(int& argc, char** argv, const UpdateSettings& settings) {
  (void)argc;
  (void)argv;
  (void)settings;
  std::fprintf(stderr, "qvnupdate: this build has no window yet; run 'qvnupdate --console' to update.\n");
  return 2;
}
