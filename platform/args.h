#pragma once
// The command line's arguments after the program name, in UTF-8.
#include <string>
#include <vector>

// On Windows argv is in the ANSI code page, which cannot hold every name:
// the arguments are taken from the wide command line instead.
std::vector<std::string> CommandLineArguments(int argc, char** argv);
