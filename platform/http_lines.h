#pragma once
// How a response body is cut into lines (CHttpFile::ReadString): a line ends
// at a line feed, which is not kept; every carriage return is dropped,
// wherever it stands. Kept apart from the network code so that the exact
// cutting can be tested and fuzzed on any chunking of a body.
#include <cstddef>
#include <cstring>
#include <string>

// Appends the bytes of [pData, pData + nSize) up to the first line feed to
// strLine, leaving out carriage returns. Returns the number of bytes taken,
// the line feed included; bComplete tells whether a line feed ended the line.
// Never reads past pData + nSize.
inline std::size_t TakeLineBytes(const char* pData, std::size_t nSize, std::string& strLine,
                                 bool& bComplete) {
  const void* pFeed = std::memchr(pData, '\n', nSize);
  const std::size_t nLine =
      pFeed != nullptr ? static_cast<std::size_t>(static_cast<const char*>(pFeed) - pData) : nSize;
  for (std::size_t i = 0; i < nLine; ++i) {
    if (pData[i] != '\r') strLine += pData[i];
  }
  bComplete = pFeed != nullptr;
  return bComplete ? nLine + 1 : nLine;
}
