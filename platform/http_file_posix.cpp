// One request over libcurl: sending it, and moving its body into the buffer.
#include <sys/stat.h>

#include <string>

#include "platform/http_curl_posix.h"

namespace {

// Body bytes held between the network and the reader. libcurl hands over at
// most kReceiveSize at a time, so a buffer twice that size always has room
// for one delivery once the reader has emptied it.
constexpr long kReceiveSize = 128 * 1024;
constexpr size_t kBufferSize = 2 * kReceiveSize;

// How long one wait for the socket may last before libcurl looks at its
// timers again; the stall limit itself is libcurl's.
constexpr int kPollMillis = 1000;

// Below this rate for the whole stall limit, a transfer has failed.
constexpr long kSlowBytesPerSecond = 1024;

constexpr const char* kDebianCaPath = "/etc/ssl/certs";

// The system's directory of authorities: libcurl's built-in one, or
// Debian's when libcurl was built without one.
const char* SystemCaPath() {
  const curl_version_info_data* pInfo = curl_version_info(CURLVERSION_NOW);
  if (pInfo != nullptr && pInfo->capath != nullptr && *pInfo->capath != '\0') return pInfo->capath;
  struct stat st {};
  return ::stat(kDebianCaPath, &st) == 0 && S_ISDIR(st.st_mode) ? kDebianCaPath : nullptr;
}

}  // namespace

std::unique_ptr<CHttpFile::Impl> NewHttpRequest(const CInternetSession&, const CHttpFile::Request& request) {
  return std::make_unique<CCurlRequest>(request);
}

CCurlRequest::CCurlRequest(const CHttpFile::Request& request)
    : m_request(request), m_strUrl(request.url.GetFullText()) {}

CCurlRequest::~CCurlRequest() {
  if (m_pMulti != nullptr && m_pEasy != nullptr) curl_multi_remove_handle(m_pMulti, m_pEasy);
  if (m_pEasy != nullptr) curl_easy_cleanup(m_pEasy);
  if (m_pMulti != nullptr) curl_multi_cleanup(m_pMulti);
  if (m_pHeaders != nullptr) curl_slist_free_all(m_pHeaders);
}

void CCurlRequest::Fail(CURLcode code) {
  std::string strText = m_szError[0] != '\0' ? std::string(m_szError) : curl_easy_strerror(code);
  // libcurl says only "Out of memory" for a header line over its 100 KiB limit.
  if (code == CURLE_OUT_OF_MEMORY && m_szError[0] == '\0' && !bAnswered) {
    strText =
        "the server's answer could not be read (a header line too long for the client, or no memory "
        "left)";
  }
  throw CInternetException(KindOfCurlCode(code), static_cast<DWORD>(code), strText, m_strUrl);
}

void CCurlRequest::Send() {
  const CHttpUrl& url = m_request.url;
  if (IsInvalidName(url.GetHost())) {
    throw CInternetException(CInternetException::Kind::kResolve, CURLE_COULDNT_RESOLVE_HOST,
                             "Could not resolve host: " + url.GetHost(), m_strUrl);
  }

  buffer.resize(kBufferSize);
  nHead = nTail = 0;
  m_szError[0] = '\0';

  m_pEasy = curl_easy_init();
  m_pMulti = curl_multi_init();
  if (m_pEasy == nullptr || m_pMulti == nullptr) Fail(CURLE_FAILED_INIT);

  // Only what keeps a proxy's cache from answering is added; libcurl's own
  // "Accept: */*" is taken out.
  m_strRangeHeader = RangeHeader(m_request.nRangeFrom);
  for (const char* pHeader :
       {"Accept:", "Pragma: no-cache", "Cache-Control: no-cache", m_strRangeHeader.c_str()}) {
    if (*pHeader == '\0') continue;
    curl_slist* pNext = curl_slist_append(m_pHeaders, pHeader);
    if (pNext == nullptr) Fail(CURLE_OUT_OF_MEMORY);
    m_pHeaders = pNext;
  }

  CURL* e = m_pEasy;
  curl_easy_setopt(e, CURLOPT_ERRORBUFFER, m_szError);
  // libcurl is given the URL written out from its parts: given the parts one
  // by one (CURLOPT_CURLU), it lowercases their percent-escapes, and a server
  // that compares names byte for byte would no longer find them.
  curl_easy_setopt(e, CURLOPT_URL, m_strUrl.c_str());
  curl_easy_setopt(e, CURLOPT_PROTOCOLS_STR, "http,https");
  curl_easy_setopt(e, CURLOPT_HTTPGET, 1L);
  curl_easy_setopt(e, CURLOPT_HTTP_VERSION, static_cast<long>(CURL_HTTP_VERSION_1_0));
  curl_easy_setopt(e, CURLOPT_USERAGENT, m_request.strAgent.c_str());
  curl_easy_setopt(e, CURLOPT_HTTPHEADER, m_pHeaders);
  curl_easy_setopt(e, CURLOPT_FOLLOWLOCATION, 0L);
  curl_easy_setopt(e, CURLOPT_NOSIGNAL, 1L);
  curl_easy_setopt(e, CURLOPT_SUPPRESS_CONNECT_HEADERS, 1L);
  curl_easy_setopt(e, CURLOPT_BUFFERSIZE, kReceiveSize);
  // A server that sends nothing, or less than kSlowBytesPerSecond, for the
  // stall limit has failed: a trickle would otherwise hold the update (and
  // the installation folder) for ever. libcurl does not count the time a
  // paused transfer waits for the reader.
  curl_easy_setopt(e, CURLOPT_CONNECTTIMEOUT, m_request.nStallTimeout);
  curl_easy_setopt(e, CURLOPT_LOW_SPEED_LIMIT, kSlowBytesPerSecond);
  curl_easy_setopt(e, CURLOPT_LOW_SPEED_TIME, m_request.nStallTimeout);
  curl_easy_setopt(e, CURLOPT_SSL_VERIFYPEER, 1L);
  curl_easy_setopt(e, CURLOPT_SSL_VERIFYHOST, 2L);
  // The extra authority is added to the system's authorities: the file takes
  // the place of the system's bundle, and the system's directory of
  // authorities is named explicitly so that it stays in use.
  if (!m_request.strCaFile.empty()) {
    curl_easy_setopt(e, CURLOPT_CAINFO, m_request.strCaFile.c_str());
    if (const char* pszPath = SystemCaPath(); pszPath != nullptr)
      curl_easy_setopt(e, CURLOPT_CAPATH, pszPath);
  }
  curl_easy_setopt(e, CURLOPT_WRITEFUNCTION, &CCurlRequest::OnWrite);
  curl_easy_setopt(e, CURLOPT_WRITEDATA, this);
  curl_easy_setopt(e, CURLOPT_HEADERFUNCTION, &CCurlRequest::OnHeader);
  curl_easy_setopt(e, CURLOPT_HEADERDATA, this);

  if (curl_multi_add_handle(m_pMulti, m_pEasy) != CURLM_OK) Fail(CURLE_FAILED_INIT);

  RestartRateWindow();
  while (!bAnswered && !m_bDone) Pump();
  // Once the status is in, a failure after it (a body cut short) is reported
  // when the body is read up to it: what arrived is kept, and an error answer
  // is reported for its status.
  if (!bAnswered) {
    CheckFinished();
    long nStatus = 0;
    curl_easy_getinfo(m_pEasy, CURLINFO_RESPONSE_CODE, &nStatus);
    dwStatus = static_cast<DWORD>(nStatus);
    bAnswered = true;
  }
}

void CCurlRequest::Pump() {
  // Checked first: a signal that asks for the stop also breaks off a wait
  // for the socket, which libcurl may report as a failure of its own.
  if (m_request.fnCancelled && m_request.fnCancelled()) throw CCancelledException();
  int nRunning = 0;
  const CURLMcode mc = curl_multi_perform(m_pMulti, &nRunning);
  if (mc != CURLM_OK) {
    throw CInternetException(CInternetException::Kind::kOther, static_cast<DWORD>(CURLE_FAILED_INIT),
                             curl_multi_strerror(mc), m_strUrl);
  }
  int nMessages = 0;
  while (CURLMsg* pMsg = curl_multi_info_read(m_pMulti, &nMessages)) {
    if (pMsg->msg == CURLMSG_DONE && pMsg->easy_handle == m_pEasy) {
      m_bDone = true;
      m_result = pMsg->data.result;
    }
  }
  if (!m_bDone) CheckAverageRate();
  if (!m_bDone && nRunning > 0 && nHead == nTail && !m_bPaused) {
    curl_multi_poll(m_pMulti, nullptr, 0, kPollMillis, nullptr);
  }
}

void CCurlRequest::RestartRateWindow() {
  m_tWindowStart = std::chrono::steady_clock::now();
  m_nWindowStartBytes = 0;
  if (m_pEasy != nullptr) curl_easy_getinfo(m_pEasy, CURLINFO_SIZE_DOWNLOAD_T, &m_nWindowStartBytes);
}

void CCurlRequest::CheckAverageRate() {
  // Counted from the answer on (libcurl watches the wait for it), and not
  // while the reader is behind: that time is not the server's.
  if (!bAnswered || m_bPaused) {
    RestartRateWindow();
    return;
  }
  const auto tNow = std::chrono::steady_clock::now();
  if (tNow - m_tWindowStart < std::chrono::seconds(m_request.nStallTimeout)) return;
  curl_off_t nBytes = 0;
  curl_easy_getinfo(m_pEasy, CURLINFO_SIZE_DOWNLOAD_T, &nBytes);
  if (nBytes - m_nWindowStartBytes < kSlowBytesPerSecond * m_request.nStallTimeout) {
    throw CInternetException(CInternetException::Kind::kTimeout, static_cast<DWORD>(CURLE_OPERATION_TIMEDOUT),
                             "Operation too slow. Less than " + std::to_string(kSlowBytesPerSecond) +
                                 " bytes/sec transferred the last " +
                                 std::to_string(m_request.nStallTimeout) + " seconds",
                             m_strUrl);
  }
  RestartRateWindow();
}

void CCurlRequest::CheckFinished() {
  if (m_bDone && m_result != CURLE_OK) Fail(m_result);
}

bool CCurlRequest::Receive() {
  if (m_bDone) {
    CheckFinished();
    return false;
  }
  if (m_bPaused) {
    // Resuming hands the held-back bytes straight to OnWrite.
    m_bPaused = false;
    RestartRateWindow();
    curl_easy_pause(m_pEasy, CURLPAUSE_CONT);
    if (nHead != nTail) return true;
  }
  Pump();
  return true;
}
