#pragma once
// What the console front end needs of the terminal and of the process's
// signals, apart from the logic that uses it.
#include <atomic>
#include <chrono>
#include <cstddef>

// True when progress may be drawn on standard error: it is a terminal that
// takes control sequences (TERM is not "dumb"), and standard output (the
// status lines) does not go into a pipe, whose reader would show the lines
// late, where the redrawn progress then covers them.
bool CanDrawProgress();

// The width of the terminal on standard error in columns; 0 when unknown.
std::size_t StderrColumns();

// A monotonic time, as cheaply as the system tells it: it moves in steps of a
// few milliseconds, plenty to pace redraws, at a fraction of the exact
// clock's cost, which a call per transferred block would feel.
std::chrono::nanoseconds CoarseNow();

// From now on, Ctrl-C (SIGINT) and a polite kill (SIGTERM) set *pbStop instead
// of ending the process, so that an update stops cleanly between blocks, and
// a reader of standard output that goes away (SIGPIPE) ends nothing.
void CatchStopSignals(std::atomic<bool>* pbStop);

// Lets go of the console when it was made for this process alone (a console
// program started from Explorer gets a console window of its own), so that
// no empty console window stays beside the program's window. A console
// shared with a shell stays. Nothing to do outside Windows.
void LeaveOwnConsole();
