// libcurl's header callback: notices the blank line that ends the final
// answer's headers, so that the status code can be read before the body, and
// keeps the final answer's Content-Range and Location.
#include <strings.h>

#include <cstring>

#include "platform/http_curl_posix.h"

size_t CCurlRequest::OnHeader(char* pData, size_t nSize, size_t nItems, void* pThis) {
  CCurlRequest& file = *static_cast<CCurlRequest*>(pThis);
  const size_t n = nSize * nItems;
  const bool bBlank = (n == 2 && pData[0] == '\r' && pData[1] == '\n') || (n == 1 && pData[0] == '\n');
  // The value of header kName (lower case, with its colon) into strValue, trimmed.
  auto take = [pData, n](const char* pszName, std::string& strValue) {
    const size_t nName = std::strlen(pszName);
    if (n <= nName || ::strncasecmp(pData, pszName, nName) != 0) return;
    size_t nBegin = nName;
    size_t nEnd = n;
    while (nBegin < nEnd && (pData[nBegin] == ' ' || pData[nBegin] == '\t')) ++nBegin;
    while (nEnd > nBegin && (pData[nEnd - 1] == '\r' || pData[nEnd - 1] == '\n' || pData[nEnd - 1] == ' '))
      --nEnd;
    strValue.assign(pData + nBegin, nEnd - nBegin);
  };
  if (n > 5 && pData[0] == 'H' && pData[1] == 'T' && pData[2] == 'T' && pData[3] == 'P' && pData[4] == '/') {
    // A new answer's status line: an interim one's headers do not count.
    file.strContentRange.clear();
    file.strLocation.clear();
  } else {
    take("content-range:", file.strContentRange);
    take("location:", file.strLocation);
  }
  if (bBlank) {
    long nCode = 0;
    curl_easy_getinfo(file.m_pEasy, CURLINFO_RESPONSE_CODE, &nCode);
    // Interim (1xx) answers and a proxy's tunnel answer are followed by the real one.
    if (nCode >= 200) {
      file.dwStatus = static_cast<DWORD>(nCode);
      file.bAnswered = true;
      curl_off_t nLength = -1;
      file.bLengthGiven =
          curl_easy_getinfo(file.m_pEasy, CURLINFO_CONTENT_LENGTH_DOWNLOAD_T, &nLength) == CURLE_OK &&
          nLength >= 0;
    }
  }
  return n;
}
