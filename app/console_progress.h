#pragma once
// The console's progress lines, in the manner of curl's: bytes done of the
// total in readable units, the rate, the time left and a bar, each line
// fitted to the terminal's width.
#include <string>

#include "platform/types.h"

// 512 B, 1.5 KiB, 20.0 MiB, 3.2 GiB: binary units, one decimal above bytes.
std::string FormatBytes(ULONGLONG nBytes);
// 0:07, 12:30, 1:02:03.
std::string FormatDuration(double dSeconds);

struct ProgressLineData {
  std::string strLabel;  // what the line is about: a file name, "File 2 of 5"
  ULONGLONG nDone = 0;   // bytes so far
  ULONGLONG nTotal = 0;  // 0 when unknown: no bar, no time left
  double dRate = 0;      // bytes a second; 0 when not yet known
};

// One line of at most nColumns - 1 characters (the last column would wrap on
// some terminals): "label  1.5 MiB of 4.0 MiB  [####....]  512 KiB/s  0:05 left".
// The bar shrinks first, then the label is cut, when the width is short.
std::string ProgressLine(const ProgressLineData& data, size_t nColumns);

// "downloaded 3 files, 4.5 MiB in 0:02 (2.2 MiB/s)"
std::string TransferSummary(int nFiles, ULONGLONG nBytes, double dSeconds);
