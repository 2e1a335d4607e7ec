// One request: sending it, reading its status and streaming its body.
#include <sys/stat.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <utility>

#include "platform/http_client.h"
#include "platform/http_lines.h"

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

// Names under ".invalid" never resolve (RFC 6761); they fail here without a
// look-up, so that nothing leaves the machine for them.
bool IsInvalidName(std::string strHost) {
  std::transform(strHost.begin(), strHost.end(), strHost.begin(),
                 [](unsigned char c) { return static_cast<char>(c >= 'A' && c <= 'Z' ? c + 32 : c); });
  if (!strHost.empty() && strHost.back() == '.') strHost.pop_back();
  const std::string strSuffix = ".invalid";
  return strHost == "invalid" ||
         (strHost.size() > strSuffix.size() &&
          strHost.compare(strHost.size() - strSuffix.size(), strSuffix.size(), strSuffix) == 0);
}

// The system's directory of authorities: libcurl's built-in one, or
// Debian's when libcurl was built without one.
const char* SystemCaPath() {
  const curl_version_info_data* pInfo = curl_version_info(CURLVERSION_NOW);
  if (pInfo != nullptr && pInfo->capath != nullptr && *pInfo->capath != '\0') return pInfo->capath;
  struct stat st {};
  return ::stat(kDebianCaPath, &st) == 0 && S_ISDIR(st.st_mode) ? kDebianCaPath : nullptr;
}

}  // namespace

CHttpFile::CHttpFile(const CInternetSession& session, std::string strUrl)
    : m_strUrl(std::move(strUrl)),
      m_strAgent(session.GetAgent()),
      m_strCaFile(session.GetCaFile()),
      m_nStallTimeout(session.GetStallTimeout()),
      m_fnCancelled(session.GetCancelCheck()) {}

CHttpFile::~CHttpFile() {
  Close();
}

void CHttpFile::Fail(CURLcode code) {
  std::string strText = m_szError[0] != '\0' ? std::string(m_szError) : curl_easy_strerror(code);
  throw CInternetException(static_cast<DWORD>(code), strText, m_strUrl);
}

void CHttpFile::FailTooLong() {
  throw CInternetException(static_cast<DWORD>(CURLE_FILESIZE_EXCEEDED),
                           "The answer is longer than " + std::to_string(m_nMaxBody) + " bytes", m_strUrl);
}

BOOL CHttpFile::SendRequest() {
  Close();

  DWORD dwService = 0;
  std::string strHost;
  std::string strObject;
  INTERNET_PORT nPort = 0;
  if (AfxParseURL(m_strUrl, dwService, strHost, strObject, nPort) && IsInvalidName(strHost)) {
    throw CInternetException(CURLE_COULDNT_RESOLVE_HOST, "Could not resolve host: " + strHost, m_strUrl);
  }

  if (m_buffer.size() < kBufferSize) m_buffer.resize(kBufferSize);
  m_nHead = m_nTail = 0;
  m_szError[0] = '\0';

  m_pEasy = curl_easy_init();
  m_pMulti = curl_multi_init();
  if (m_pEasy == nullptr || m_pMulti == nullptr) Fail(CURLE_FAILED_INIT);

  // Only what keeps a proxy's cache from answering is added; libcurl's own
  // "Accept: */*" is taken out.
  m_strRangeHeader = m_nRangeFrom > 0 ? "Range: bytes=" + std::to_string(m_nRangeFrom) + "-" : std::string();
  m_strContentRange.clear();
  for (const char* pHeader :
       {"Accept:", "Pragma: no-cache", "Cache-Control: no-cache", m_strRangeHeader.c_str()}) {
    if (*pHeader == '\0') continue;
    curl_slist* pNext = curl_slist_append(m_pHeaders, pHeader);
    if (pNext == nullptr) Fail(CURLE_OUT_OF_MEMORY);
    m_pHeaders = pNext;
  }

  CURL* e = m_pEasy;
  curl_easy_setopt(e, CURLOPT_ERRORBUFFER, m_szError);
  curl_easy_setopt(e, CURLOPT_URL, m_strUrl.c_str());
  curl_easy_setopt(e, CURLOPT_PROTOCOLS_STR, "http,https");
  curl_easy_setopt(e, CURLOPT_HTTPGET, 1L);
  curl_easy_setopt(e, CURLOPT_HTTP_VERSION, static_cast<long>(CURL_HTTP_VERSION_1_0));
  curl_easy_setopt(e, CURLOPT_USERAGENT, m_strAgent.c_str());
  curl_easy_setopt(e, CURLOPT_HTTPHEADER, m_pHeaders);
  curl_easy_setopt(e, CURLOPT_FOLLOWLOCATION, 0L);
  curl_easy_setopt(e, CURLOPT_NOSIGNAL, 1L);
  curl_easy_setopt(e, CURLOPT_SUPPRESS_CONNECT_HEADERS, 1L);
  curl_easy_setopt(e, CURLOPT_BUFFERSIZE, kReceiveSize);
  // A server that sends nothing, or less than kSlowBytesPerSecond, for the
  // stall limit has failed: a trickle would otherwise hold the update (and
  // the installation folder) for ever. libcurl does not count the time a
  // paused transfer waits for the reader.
  curl_easy_setopt(e, CURLOPT_CONNECTTIMEOUT, m_nStallTimeout);
  curl_easy_setopt(e, CURLOPT_LOW_SPEED_LIMIT, kSlowBytesPerSecond);
  curl_easy_setopt(e, CURLOPT_LOW_SPEED_TIME, m_nStallTimeout);
  curl_easy_setopt(e, CURLOPT_SSL_VERIFYPEER, 1L);
  curl_easy_setopt(e, CURLOPT_SSL_VERIFYHOST, 2L);
  // The extra authority is added to the system's authorities: the file takes
  // the place of the system's bundle, and the system's directory of
  // authorities is named explicitly so that it stays in use.
  if (!m_strCaFile.empty()) {
    curl_easy_setopt(e, CURLOPT_CAINFO, m_strCaFile.c_str());
    if (const char* pszPath = SystemCaPath(); pszPath != nullptr)
      curl_easy_setopt(e, CURLOPT_CAPATH, pszPath);
  }
  curl_easy_setopt(e, CURLOPT_WRITEFUNCTION, &CHttpFile::OnWrite);
  curl_easy_setopt(e, CURLOPT_WRITEDATA, this);
  curl_easy_setopt(e, CURLOPT_HEADERFUNCTION, &CHttpFile::OnHeader);
  curl_easy_setopt(e, CURLOPT_HEADERDATA, this);

  if (curl_multi_add_handle(m_pMulti, m_pEasy) != CURLM_OK) Fail(CURLE_FAILED_INIT);

  while (!m_bHeadersDone && !m_bDone) Pump();
  CheckFinished();
  if (!m_bHeadersDone) {
    curl_easy_getinfo(m_pEasy, CURLINFO_RESPONSE_CODE, &m_nStatus);
    m_bHeadersDone = true;
  }
  return TRUE;
}

void CHttpFile::Pump() {
  // Checked first: a signal that asks for the stop also breaks off a wait
  // for the socket, which libcurl may report as a failure of its own.
  if (m_fnCancelled && m_fnCancelled()) throw CCancelledException();
  int nRunning = 0;
  const CURLMcode mc = curl_multi_perform(m_pMulti, &nRunning);
  if (mc != CURLM_OK) {
    throw CInternetException(static_cast<DWORD>(CURLE_FAILED_INIT), curl_multi_strerror(mc), m_strUrl);
  }
  int nMessages = 0;
  while (CURLMsg* pMsg = curl_multi_info_read(m_pMulti, &nMessages)) {
    if (pMsg->msg == CURLMSG_DONE && pMsg->easy_handle == m_pEasy) {
      m_bDone = true;
      m_result = pMsg->data.result;
    }
  }
  if (!m_bDone && nRunning > 0 && m_nHead == m_nTail && !m_bPaused) {
    curl_multi_poll(m_pMulti, nullptr, 0, kPollMillis, nullptr);
  }
}

void CHttpFile::CheckFinished() {
  if (m_bDone && m_result != CURLE_OK) Fail(m_result);
}

bool CHttpFile::Fill() {
  if (m_pEasy == nullptr) return false;
  while (m_nHead == m_nTail) {
    if (m_bDone) {
      CheckFinished();
      return false;
    }
    m_nHead = m_nTail = 0;
    if (m_bPaused) {
      // Resuming hands the held-back bytes straight to OnWrite.
      m_bPaused = false;
      curl_easy_pause(m_pEasy, CURLPAUSE_CONT);
      if (m_nHead != m_nTail) break;
    }
    Pump();
  }
  return true;
}

UINT CHttpFile::Read(void* pBuffer, UINT nCount) {
  char* pOut = static_cast<char*>(pBuffer);
  UINT nRead = 0;
  while (nRead < nCount && Fill()) {
    const size_t n = std::min<size_t>(nCount - nRead, m_nTail - m_nHead);
    if (m_nDelivered + n > m_nMaxBody) FailTooLong();
    std::memcpy(pOut + nRead, m_buffer.data() + m_nHead, n);
    m_nHead += n;
    m_nDelivered += n;
    nRead += static_cast<UINT>(n);
  }
  return nRead;
}

BOOL CHttpFile::ReadString(std::string& strLine) {
  strLine.clear();
  while (Fill()) {
    bool bComplete = false;
    const size_t n = TakeLineBytes(m_buffer.data() + m_nHead, m_nTail - m_nHead, strLine, bComplete);
    if (m_nDelivered + n > m_nMaxBody) FailTooLong();
    m_nHead += n;
    m_nDelivered += n;
    if (bComplete) return TRUE;
  }
  // A last line without a line feed still counts, unless only carriage
  // returns were left of it.
  return strLine.empty() ? FALSE : TRUE;
}

BOOL CHttpFile::QueryInfoStatusCode(DWORD& dwStatusCode) const {
  dwStatusCode = m_bHeadersDone ? static_cast<DWORD>(m_nStatus) : 0;
  return m_bHeadersDone ? TRUE : FALSE;
}

void CHttpFile::Close() {
  if (m_pMulti != nullptr && m_pEasy != nullptr) curl_multi_remove_handle(m_pMulti, m_pEasy);
  if (m_pEasy != nullptr) curl_easy_cleanup(m_pEasy);
  if (m_pMulti != nullptr) curl_multi_cleanup(m_pMulti);
  if (m_pHeaders != nullptr) curl_slist_free_all(m_pHeaders);
  m_pEasy = nullptr;
  m_pMulti = nullptr;
  m_pHeaders = nullptr;
  m_nHead = m_nTail = 0;
  m_bPaused = false;
  m_bHeadersDone = false;
  m_bDone = false;
  m_result = CURLE_OK;
}
