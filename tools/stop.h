#pragma once
// Ctrl-C and SIGTERM for the commands that write through temporary files:
// the work ends at the next chunk and the temporary files are removed on the
// way out, instead of the process ending with them left behind.
#include <stdexcept>

// From now on a stop signal is noted rather than ending the process.
void CatchStops();

// Throws CStopped when a stop signal has come.
void StopIfAsked();

// The exit status of a command that was stopped, as a shell reports Ctrl-C.
inline constexpr int kStoppedStatus = 130;

class CStopped : public std::runtime_error {
 public:
  CStopped() : std::runtime_error("stopped") {}
};
