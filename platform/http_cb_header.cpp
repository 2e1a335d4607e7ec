// libcurl's header callback: notices the blank line that ends the final
// answer's headers, so that the status code can be read before the body.
#include "platform/http_client.h"

size_t CHttpFile::OnHeader(char* pData, size_t nSize, size_t nItems, void* pThis) {
  CHttpFile& file = *static_cast<CHttpFile*>(pThis);
  const size_t n = nSize * nItems;
  const bool bBlank = (n == 2 && pData[0] == '\r' && pData[1] == '\n') || (n == 1 && pData[0] == '\n');
  if (bBlank) {
    long nCode = 0;
    curl_easy_getinfo(file.m_pEasy, CURLINFO_RESPONSE_CODE, &nCode);
    // Interim (1xx) answers and a proxy's tunnel answer are followed by the real one.
    if (nCode >= 200) {
      file.m_nStatus = nCode;
      file.m_bHeadersDone = true;
    }
  }
  return n;
}
