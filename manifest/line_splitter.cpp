#include "manifest/line_splitter.h"

void CLineSplitter::Append(const char* pBegin, const char* pEnd) {
  while (pBegin != pEnd) {
    const void* pReturn = std::memchr(pBegin, '\r', static_cast<std::size_t>(pEnd - pBegin));
    const char* pStop = pReturn != nullptr ? static_cast<const char*>(pReturn) : pEnd;
    m_strLine.append(pBegin, pStop);
    if (pStop == pEnd) break;
    pBegin = pStop + 1;
  }
}

std::vector<std::string> SplitLines(const std::string& strBody) {
  std::vector<std::string> arrLines;
  CLineSplitter splitter;
  auto onLine = [&arrLines](const std::string& strLine) { arrLines.push_back(strLine); };
  splitter.Feed(strBody, onLine);
  splitter.Finish(onLine);
  return arrLines;
}
