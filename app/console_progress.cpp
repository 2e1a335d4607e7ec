#include "app/console_progress.h"

#include <fmt/format.h>

#include <algorithm>
#include <cmath>

std::string FormatBytes(ULONGLONG nBytes) {
  if (nBytes < 1024) return fmt::format("{} B", nBytes);
  static constexpr const char* kUnits[] = {"KiB", "MiB", "GiB", "TiB"};
  double dValue = static_cast<double>(nBytes) / 1024;
  size_t nUnit = 0;
  // 1023.96 KiB would print as "1024.0 KiB"; it is the next unit's 1.0.
  while (dValue >= 1023.95 && nUnit + 1 < std::size(kUnits)) {
    dValue /= 1024;
    ++nUnit;
  }
  return fmt::format("{:.1f} {}", dValue, kUnits[nUnit]);
}

std::string FormatDuration(double dSeconds) {
  const auto nTotal = static_cast<unsigned long long>(std::max(0.0, std::round(dSeconds)));
  const unsigned long long nHours = nTotal / 3600;
  const unsigned long long nMinutes = nTotal / 60 % 60;
  const unsigned long long nSecs = nTotal % 60;
  if (nHours > 0) return fmt::format("{}:{:02}:{:02}", nHours, nMinutes, nSecs);
  return fmt::format("{}:{:02}", nMinutes, nSecs);
}

std::string ProgressLine(const ProgressLineData& data, size_t nColumns) {
  const size_t nWidth = nColumns > 1 ? nColumns - 1 : 0;
  std::string strAmount = FormatBytes(data.nDone);
  if (data.nTotal > 0) strAmount += " of " + FormatBytes(data.nTotal);
  std::string strTail;
  if (data.dRate > 0) {
    strTail += "  " + FormatBytes(static_cast<ULONGLONG>(data.dRate)) + "/s";
    if (data.nTotal > data.nDone) {
      strTail += "  " + FormatDuration(static_cast<double>(data.nTotal - data.nDone) / data.dRate) + " left";
    }
  }

  // The label takes at most a third of the line and at least its first
  // characters; the bar takes what is left, up to 30 marks.
  constexpr size_t kMinBar = 10;
  constexpr size_t kMaxBar = 30;
  std::string strLabel = data.strLabel;
  const size_t nFixed = 2 + strAmount.size() + strTail.size();
  const size_t nLabelMax = std::max<size_t>(nWidth / 3, 8);
  if (strLabel.size() > nLabelMax) strLabel = strLabel.substr(0, nLabelMax - 3) + "...";
  std::string strBar;
  if (data.nTotal > 0 && nWidth > strLabel.size() + nFixed + 4 + kMinBar) {
    const size_t nBar = std::min(kMaxBar, nWidth - strLabel.size() - nFixed - 4);
    const auto nFilled =
        static_cast<size_t>(static_cast<double>(std::min(data.nDone, data.nTotal)) / data.nTotal * nBar);
    strBar = "  [" + std::string(nFilled, '#') + std::string(nBar - nFilled, '.') + "]";
  }
  std::string strLine = strLabel + "  " + strAmount + strBar + strTail;
  if (strLine.size() > nWidth) strLine.resize(nWidth);
  return strLine;
}

std::string TransferSummary(int nFiles, ULONGLONG nBytes, double dSeconds) {
  std::string strText = fmt::format("downloaded {} file{}, {} in {}", nFiles, nFiles == 1 ? "" : "s",
                                    FormatBytes(nBytes), FormatDuration(dSeconds));
  if (dSeconds > 0) strText += fmt::format(" ({}/s)", FormatBytes(static_cast<ULONGLONG>(nBytes / dSeconds)));
  return strText;
}
