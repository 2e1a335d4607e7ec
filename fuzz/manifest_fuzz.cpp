// A whole manifest body read the way the update session reads it: the body
// arrives in chunks of any size, is cut into lines by a CLineSplitter fed
// chunk by chunk, and every line goes to ParseLine. The lines must be exactly
// those of the body split whole (what qvnpack lint shows) and of the HTTP
// client's line reader, and the parsed record must hold together.
//
// Input: one byte that sets the chunk size (1 to 256), then the body.
#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

#include "fuzz/fuzz_support.h"
#include "manifest/line_splitter.h"
#include "manifest/update_info.h"
#include "platform/http_lines.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* pData, size_t nSize) {
  if (nSize == 0) return 0;
  const size_t nChunk = static_cast<size_t>(pData[0]) + 1;
  const std::string strBody(reinterpret_cast<const char*>(pData + 1), nSize - 1);

  // As CHttpFile::ReadString: the unfinished line carries over from chunk to chunk.
  std::vector<std::string> arrRead;
  std::string strLine;
  for (size_t nPos = 0; nPos < strBody.size(); nPos += nChunk) {
    const size_t nEnd = std::min(strBody.size(), nPos + nChunk);
    for (size_t nAt = nPos; nAt < nEnd;) {
      bool bComplete = false;
      const size_t nTaken = TakeLineBytes(strBody.data() + nAt, nEnd - nAt, strLine, bComplete);
      QVN_FUZZ_CHECK(nTaken > 0 && nTaken <= nEnd - nAt);
      nAt += nTaken;
      if (bComplete) {
        arrRead.push_back(strLine);
        strLine.clear();
      }
    }
  }
  if (!strLine.empty()) arrRead.push_back(strLine);
  QVN_FUZZ_CHECK(arrRead == SplitLines(strBody));

  // As the session: one splitter, fed each chunk as it comes.
  std::vector<std::string> arrSplit;
  CLineSplitter splitter;
  auto onLine = [&arrSplit](const std::string& str) { arrSplit.push_back(str); };
  for (size_t nPos = 0; nPos < strBody.size(); nPos += nChunk) {
    splitter.Feed(strBody.data() + nPos, std::min(nChunk, strBody.size() - nPos), onLine);
  }
  splitter.Finish(onLine);
  QVN_FUZZ_CHECK(arrSplit == arrRead);

  CUpdateInfo info;
  for (const auto& str : arrRead) {
    QVN_FUZZ_CHECK(str.find('\n') == std::string::npos && str.find('\r') == std::string::npos);
    info.ParseLine(str);
  }
  bool bCurrentFound = info.m_pCurItem == nullptr;
  for (const auto& pItem : info.m_arrItems) {
    QVN_FUZZ_CHECK(pItem != nullptr);
    QVN_FUZZ_CHECK(pItem->m_nSize <= 0xFFFFFFFFull);
    bCurrentFound = bCurrentFound || pItem.get() == info.m_pCurItem;
  }
  QVN_FUZZ_CHECK(bCurrentFound);
  QVN_FUZZ_CHECK(info.m_bCorrupt || info.m_bItemError || info.m_arrMessages.empty());

  // A moved record keeps its items and its current item.
  const size_t nItems = info.m_arrItems.size();
  CUpdateFileItem* pCurrent = info.m_pCurItem;
  CUpdateInfo moved(std::move(info));
  QVN_FUZZ_CHECK(moved.m_arrItems.size() == nItems && moved.m_pCurItem == pCurrent);
  moved.ParseLine("NAME: after the move");
  return 0;
}
