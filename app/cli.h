#pragma once
// The two front ends of qvnupdate. Both return the process exit status.
#include "session/session.h"

// qvnupdate --console: one update in the current directory, status lines on stdout.
int RunConsole(const UpdateSettings& settings);

// qvnupdate with no mode: the window.
int RunWindow(int& argc, char** argv, const UpdateSettings& settings);
