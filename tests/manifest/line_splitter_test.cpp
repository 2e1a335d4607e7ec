#include "manifest/line_splitter.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using Lines = std::vector<std::string>;

// Feeds strBody in chunks of nChunk bytes (the last may be shorter).
Lines SplitInChunks(const std::string& strBody, std::size_t nChunk) {
  Lines lines;
  CLineSplitter splitter;
  auto onLine = [&lines](const std::string& strLine) { lines.push_back(strLine); };
  for (std::size_t i = 0; i < strBody.size(); i += nChunk) {
    splitter.Feed(strBody.data() + i, std::min(nChunk, strBody.size() - i), onLine);
  }
  splitter.Finish(onLine);
  EXPECT_EQ(splitter.BytesFed(), strBody.size());
  return lines;
}

struct SplitCase {
  std::string strBody;
  Lines lines;
};

const SplitCase kCases[] = {
    // Line ends
    {"", {}},
    {"a\nb\n", {"a", "b"}},
    {"a\r\nb\r\n", {"a", "b"}},
    {"a\nb", {"a", "b"}},  // last line without line feed
    {"a\r\nb", {"a", "b"}},
    {"\n", {""}},
    {"\n\n", {"", ""}},
    {"a\n\nb", {"a", "", "b"}},
    {"\r\n\r\n", {"", ""}},
    // Carriage returns are dropped wherever they stand
    {"\r", {}},
    {"a\rb\n", {"ab"}},
    {"a\r\r\r\n", {"a"}},
    {"a\n\r", {"a"}},  // nothing but a carriage return after the last line feed: no line
    {"\ra\r", {"a"}},
    {"a\n\rb", {"a", "b"}},
    // Other bytes pass untouched
    {std::string("x\0y\n", 4), {std::string("x\0y", 3)}},
    {"\t \xE9\xFF\n", {"\t \xE9\xFF"}},
};

TEST(LineSplitter, WholeBody) {
  for (const SplitCase& c : kCases) EXPECT_EQ(SplitLines(c.strBody), c.lines) << '"' << c.strBody << '"';
}

TEST(LineSplitter, EveryChunkSizeGivesTheSameLines) {
  // Chunk size 1 splits every "\r\n" between its two bytes.
  for (const SplitCase& c : kCases) {
    for (std::size_t nChunk = 1; nChunk <= 4; ++nChunk) {
      EXPECT_EQ(SplitInChunks(c.strBody, nChunk), c.lines)
          << '"' << c.strBody << "\" in chunks of " << nChunk;
    }
  }
}

TEST(LineSplitter, ChunkEndingInCarriageReturnBeforeLineFeed) {
  Lines lines;
  CLineSplitter splitter;
  auto onLine = [&lines](const std::string& strLine) { lines.push_back(strLine); };
  splitter.Feed(std::string("VERSION: 1.0\r"), onLine);
  EXPECT_TRUE(lines.empty());
  EXPECT_EQ(splitter.PendingSize(), 12u);  // the carriage return is not held
  splitter.Feed(std::string("\nNAME"), onLine);
  EXPECT_EQ(lines, Lines{"VERSION: 1.0"});
  splitter.Feed(std::string(""), onLine);
  splitter.Finish(onLine);
  EXPECT_EQ(lines, (Lines{"VERSION: 1.0", "NAME"}));
  EXPECT_EQ(splitter.PendingSize(), 0u);
  EXPECT_EQ(splitter.BytesFed(), 18u);
}

TEST(LineSplitter, MemoryHoldsOnlyTheUnfinishedLine) {
  CLineSplitter splitter;
  std::size_t nLines = 0;
  const std::string strChunk(1000, 'x');
  for (int i = 0; i < 100; ++i) {
    splitter.Feed(strChunk + "\n", [&nLines](const std::string& strLine) {
      EXPECT_EQ(strLine.size(), 1000u);
      ++nLines;
    });
    EXPECT_EQ(splitter.PendingSize(), 0u);
  }
  EXPECT_EQ(nLines, 100u);
  EXPECT_EQ(splitter.BytesFed(), 100100u);
}

}  // namespace
