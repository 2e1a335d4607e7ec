// The console's progress lines: readable units, and lines that never outgrow
// the terminal (a longer line would wrap and break the redraw in place).
#include "app/console_progress.h"

#include <gtest/gtest.h>

namespace {

TEST(ConsoleProgress, SizesAndTimesInReadableUnits) {
  const std::pair<ULONGLONG, const char*> sizes[] = {
      {0, "0 B"},           {1023, "1023 B"},        {1024, "1.0 KiB"},
      {1048575, "1.0 MiB"},  // not "1024.0 KiB"
      {1572864, "1.5 MiB"}, {5ULL << 30, "5.0 GiB"}, {3ULL << 40, "3.0 TiB"}};
  for (const auto& [n, psz] : sizes) EXPECT_EQ(FormatBytes(n), psz) << n;
  EXPECT_EQ(FormatDuration(7), "0:07");
  EXPECT_EQ(FormatDuration(750), "12:30");
  EXPECT_EQ(FormatDuration(3723), "1:02:03");
}

TEST(ConsoleProgress, ALineShowsDoneOfTotalRateAndTimeLeftWithinTheWidth) {
  const ProgressLineData data{"Engine.dll.crz", 1 << 20, 4 << 20, 512 * 1024};
  EXPECT_EQ(ProgressLine(data, 100),
            "Engine.dll.crz  1.0 MiB of 4.0 MiB  [#######.......................]  512.0 KiB/s  0:06 left");
  for (size_t nColumns : {100u, 60u, 41u, 20u}) {
    EXPECT_LE(ProgressLine({std::string(200, 'n'), 1, 2, 3}, nColumns).size(), nColumns - 1) << nColumns;
  }
  // An unknown size: no bar, no time left.
  EXPECT_EQ(ProgressLine({"a", 2048, 0, 1024}, 80), "a  2.0 KiB  1.0 KiB/s");
  EXPECT_EQ(TransferSummary(2, 3 << 20, 2), "downloaded 2 files, 3.0 MiB in 0:02 (1.5 MiB/s)");
}

}  // namespace
