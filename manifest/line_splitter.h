#pragma once
// Turns a byte stream, fed in chunks of any size, into manifest lines the way
// the update session reads a response body: lines end at each line feed,
// every carriage return anywhere is dropped, a last line without a line feed
// is still delivered, a final line feed gives no empty line after it, and an
// empty body gives no line at all.
//
// Memory is bounded by the longest line: only the unfinished line is held.
// The caller enforces any limit on the whole body through BytesFed().
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

class CLineSplitter {
 public:
  // Splits n bytes at p; calls onLine(const std::string&) for every line
  // completed by a line feed in this chunk.
  template <typename F>
  void Feed(const char* p, std::size_t n, F&& onLine) {
    m_nBytesFed += n;
    const char* const pEnd = p + n;
    while (p != pEnd) {
      const void* pFeed = std::memchr(p, '\n', static_cast<std::size_t>(pEnd - p));
      if (pFeed == nullptr) {
        Append(p, pEnd);
        return;
      }
      const char* pLineEnd = static_cast<const char*>(pFeed);
      Append(p, pLineEnd);
      onLine(static_cast<const std::string&>(m_strLine));
      m_strLine.clear();
      p = pLineEnd + 1;
    }
  }
  template <typename F>
  void Feed(const std::string& strChunk, F&& onLine) {
    Feed(strChunk.data(), strChunk.size(), onLine);
  }

  // Ends the stream: delivers the last line when it did not end with a line
  // feed. The splitter may then be fed a new stream; BytesFed() keeps counting.
  template <typename F>
  void Finish(F&& onLine) {
    if (!m_strLine.empty()) {
      onLine(static_cast<const std::string&>(m_strLine));
      m_strLine.clear();
    }
  }

  // Bytes fed so far, carriage returns and line feeds included.
  std::uint64_t BytesFed() const { return m_nBytesFed; }
  // Bytes held for the unfinished line (carriage returns already dropped).
  std::size_t PendingSize() const { return m_strLine.size(); }

 private:
  void Append(const char* pBegin, const char* pEnd);  // drops carriage returns

  std::string m_strLine;
  std::uint64_t m_nBytesFed = 0;
};

// The lines of a whole body, split as above.
std::vector<std::string> SplitLines(const std::string& strBody);
