#pragma once
// The command line and the console, in UTF-8 on every system.
#include <string>
#include <vector>

// On Windows argv is in the ANSI code page, which cannot hold every name:
// the arguments are taken from the wide command line instead.
std::vector<std::string> CommandLineArguments(int argc, char** argv);

// Makes the console show the UTF-8 the program writes: a Windows console reads
// output in its own code page. The console's code page is restored at exit.
void UseUtf8Console();
