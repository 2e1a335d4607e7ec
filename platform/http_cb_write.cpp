// libcurl's body callback: moves received bytes into the request's buffer,
// or pauses the transfer while the buffer has no room for them.
#include <cstring>

#include "platform/http_client.h"

size_t CHttpFile::OnWrite(char* pData, size_t nSize, size_t nItems, void* pThis) {
  CHttpFile& file = *static_cast<CHttpFile*>(pThis);
  const size_t n = nSize * nItems;
  if (n > file.m_buffer.size() - file.m_nTail && file.m_nHead > 0) {
    std::memmove(file.m_buffer.data(), file.m_buffer.data() + file.m_nHead, file.m_nTail - file.m_nHead);
    file.m_nTail -= file.m_nHead;
    file.m_nHead = 0;
  }
  if (n > file.m_buffer.size() - file.m_nTail) {
    // libcurl keeps these bytes and hands them over again on resumption.
    if (file.m_nTail == 0) {
      file.m_buffer.resize(n);  // a delivery larger than libcurl promised; take it whole
    } else {
      file.m_bPaused = true;
      return CURL_WRITEFUNC_PAUSE;
    }
  }
  std::memcpy(file.m_buffer.data() + file.m_nTail, pData, n);
  file.m_nTail += n;
  return n;
}
