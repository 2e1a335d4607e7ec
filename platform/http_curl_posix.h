#pragma once
// The libcurl backend of the HTTP client: one request on an easy handle,
// driven through a multi handle so that the body streams through the
// request's buffer and the cancel check is asked while the network is slow.
#include <curl/curl.h>

#include <chrono>
#include <string>

#include "platform/http_backend.h"

// What happened, in the client's words.
CInternetException::Kind KindOfCurlCode(CURLcode code);

class CCurlRequest : public CHttpFile::Impl {
 public:
  explicit CCurlRequest(const CHttpFile::Request& request);
  ~CCurlRequest() override;
  CCurlRequest(const CCurlRequest&) = delete;
  CCurlRequest& operator=(const CCurlRequest&) = delete;

  void Send() override;
  bool Receive() override;

 private:
  // libcurl callbacks, one file each.
  static size_t OnWrite(char* pData, size_t nSize, size_t nItems, void* pThis);
  static size_t OnHeader(char* pData, size_t nSize, size_t nItems, void* pThis);

  // Moves the transfer on by one step: lets libcurl work, then waits briefly
  // for the socket when nothing arrived. Throws when the transfer failed.
  void Pump();
  void CheckFinished();
  // Fails a transfer whose body came slower than the limit on average over a
  // whole stall period: libcurl's own check looks only at the last seconds,
  // so a server sending bursts now and then would pass it for ever.
  void CheckAverageRate();
  // Starts a new stall period, as when the reader took its time.
  void RestartRateWindow();
  [[noreturn]] void Fail(CURLcode code);

  const CHttpFile::Request& m_request;
  std::string m_strUrl;  // for messages

  CURL* m_pEasy = nullptr;
  CURLM* m_pMulti = nullptr;
  curl_slist* m_pHeaders = nullptr;
  char m_szError[CURL_ERROR_SIZE] = {};
  std::string m_strRangeHeader;

  bool m_bPaused = false;
  bool m_bDone = false;
  CURLcode m_result = CURLE_OK;
  std::chrono::steady_clock::time_point m_tWindowStart;
  curl_off_t m_nWindowStartBytes = 0;
};
