// libcurl's body callback: moves received bytes into the request's buffer,
// or pauses the transfer while the buffer has no room for them.
#include <cstring>

#include "platform/http_curl_posix.h"

size_t CCurlRequest::OnWrite(char* pData, size_t nSize, size_t nItems, void* pThis) {
  CCurlRequest& file = *static_cast<CCurlRequest*>(pThis);
  const size_t n = nSize * nItems;
  if (!file.bAnswered) {
    // Body bytes come only after the answer's last headers, whatever the
    // header callback made of them (a 101 that libcurl takes as final, a
    // blank line written "\r\r\n"): the answer is in, with its status.
    long nCode = 0;
    curl_easy_getinfo(file.m_pEasy, CURLINFO_RESPONSE_CODE, &nCode);
    file.dwStatus = static_cast<DWORD>(nCode);
    file.bAnswered = true;
  }
  if (n > file.buffer.size() - file.nTail && file.nHead > 0) {
    std::memmove(file.buffer.data(), file.buffer.data() + file.nHead, file.nTail - file.nHead);
    file.nTail -= file.nHead;
    file.nHead = 0;
  }
  if (n > file.buffer.size() - file.nTail) {
    // libcurl keeps these bytes and hands them over again on resumption.
    if (file.nTail == 0) {
      file.buffer.resize(n);  // a delivery larger than libcurl promised; take it whole
    } else {
      file.m_bPaused = true;
      return CURL_WRITEFUNC_PAUSE;
    }
  }
  std::memcpy(file.buffer.data() + file.nTail, pData, n);
  file.nTail += n;
  return n;
}
