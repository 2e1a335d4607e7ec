// One request over WinINet: InternetConnect, HttpOpenRequest, HttpSendRequest,
// then the body by InternetReadFile.
//
// The cancel check: a blocking WinINet call (the connect and the answer's
// headers in HttpSendRequest, each InternetReadFile) runs on the request's
// helper thread while this thread asks the cancel check every second; when
// the stop is asked, the request's handle is closed, which is WinINet's
// documented way to end a blocking call on it from another thread, and the
// call is waited for. One helper serves all the request's calls: a thread
// started for each read cost more than the transfer itself.
// The cancel check itself stays on the caller's thread, since it may look at
// the window. Short timeouts with retries were not taken: a timed-out
// HttpSendRequest cannot be resumed, only sent again, and the stall limit is
// then WinINet's own receive and connect timeouts, with bounds of our own on
// the time and memory the answer's headers take.
// psapi.h needs the types of windows.h.
// clang-format off
#include <windows.h>
#include <psapi.h>
// clang-format on

#include <algorithm>
#include <condition_variable>
#include <cstdlib>
#include <functional>
#include <mutex>
#include <string>
#include <system_error>
#include <thread>

#include "platform/http_win32.h"
#include "platform/wide_win32.h"

namespace {

// Body bytes held between the network and the reader; one InternetReadFile
// fills at most this much.
constexpr size_t kBufferSize = 256 * 1024;

// How often the cancel check is asked while WinINet blocks.
constexpr DWORD kCancelPollMillis = 1000;

// While WinINet reads the answer's headers, which it holds in memory however
// many there are: how often the process's memory is looked at, and how much
// it may grow before the headers count as endless (real ones take a few KiB).
constexpr DWORD kHeaderPollMillis = 100;
constexpr SIZE_T kMaxHeaderMemory = 64 << 20;

SIZE_T CommittedMemory() {
  PROCESS_MEMORY_COUNTERS counters{};
  counters.cb = sizeof counters;
  return ::GetProcessMemoryInfo(::GetCurrentProcess(), &counters, sizeof counters) ? counters.PagefileUsage
                                                                                   : 0;
}

class CWinInetRequest : public CHttpFile::Impl {
 public:
  CWinInetRequest(HINTERNET hInternet, const CHttpFile::Request& request)
      : m_hInternet(hInternet), m_request(request), m_strUrl(request.url.GetFullText()) {}
  ~CWinInetRequest() override {
    if (m_helper.joinable()) {
      {
        const std::lock_guard<std::mutex> lock(m_mutex);
        m_bStop = true;
      }
      m_cvPosted.notify_one();
      m_helper.join();
    }
    if (m_hDone != nullptr) ::CloseHandle(m_hDone);
    if (m_hRequest != nullptr) ::InternetCloseHandle(m_hRequest);
    if (m_hConnect != nullptr) ::InternetCloseHandle(m_hConnect);
  }
  CWinInetRequest(const CWinInetRequest&) = delete;
  CWinInetRequest& operator=(const CWinInetRequest&) = delete;

  void Send() override;
  bool Receive() override;

 private:
  [[noreturn]] void Fail(DWORD dwError) {
    throw CInternetException(KindOfInternetError(dwError), dwError, InternetErrorText(dwError), m_strUrl);
  }
  // Runs fnCall, a blocking call on m_hRequest, as the comment at the top
  // says; FALSE with dwError when it failed. With nLimitMillis, a call still
  // running after that long is ended as a timeout.
  template <typename Call>
  BOOL Blocking(Call fnCall, DWORD& dwError, ULONGLONG nLimitMillis = 0);
  // A header of the answer as text; empty when it has none.
  std::string QueryHeader(DWORD dwInfo) const;
  // WinINet's receive timeout catches a server that sends nothing; one that
  // trickles a few bytes now and then would hold the update for ever. As on
  // Linux, less than 1 KiB a second over the stall limit is a failure.
  void CheckRate(DWORD dwRead);

  // The helper's loop: runs each posted call, then signals m_hDone.
  void Help();

  // The helper thread, started on the first blocking call, and its one call
  // in hand: posted under m_mutex, its result read once m_hDone is set.
  std::thread m_helper;
  std::mutex m_mutex;
  std::condition_variable m_cvPosted;
  std::function<BOOL()> m_fnCall;
  bool m_bPosted = false;
  bool m_bStop = false;
  BOOL m_bCallResult = FALSE;
  DWORD m_dwCallError = 0;
  HANDLE m_hDone = nullptr;  // auto-reset: set when the call in hand has returned

  HINTERNET m_hInternet;
  const CHttpFile::Request& m_request;
  std::string m_strUrl;
  HINTERNET m_hConnect = nullptr;
  HINTERNET m_hRequest = nullptr;
  bool m_bEnded = false;
  bool m_bLengthKnown = false;
  ULONGLONG m_nLength = 0;     // the answer's Content-Length, when it has one
  ULONGLONG m_nReceived = 0;   // body bytes received
  ULONGLONG m_nRateStart = 0;  // GetTickCount64 when the current rate window began
  ULONGLONG m_nRateBytes = 0;  // bytes received in it
};

void CWinInetRequest::CheckRate(DWORD dwRead) {
  const ULONGLONG nNow = ::GetTickCount64();
  const ULONGLONG nWindow = static_cast<ULONGLONG>(m_request.nStallTimeout) * 1000;
  m_nRateBytes += dwRead;
  if (nNow - m_nRateStart < nWindow) return;
  // Against the window's own length: a window is closed only when data
  // arrive, which may be long after the stall limit.
  if (m_nRateBytes * 1000 < 1024 * (nNow - m_nRateStart)) {
    throw CInternetException(CInternetException::Kind::kTimeout, ERROR_INTERNET_TIMEOUT,
                             "Operation too slow. Less than 1024 bytes/sec transferred the last " +
                                 std::to_string(m_request.nStallTimeout) + " seconds",
                             m_strUrl);
  }
  m_nRateStart = nNow;
  m_nRateBytes = 0;
}

template <typename Call>
BOOL CWinInetRequest::Blocking(Call fnCall, DWORD& dwError, ULONGLONG nLimitMillis) {
  dwError = 0;
  if (!m_request.fnCancelled && nLimitMillis == 0) {
    const BOOL bOk = fnCall();
    if (!bOk) dwError = ::GetLastError();
    return bOk;
  }
  const auto cancelled = [this] { return m_request.fnCancelled && m_request.fnCancelled(); };
  if (cancelled()) throw CCancelledException();
  if (m_hDone == nullptr) m_hDone = ::CreateEventW(nullptr, FALSE, FALSE, nullptr);
  if (m_hDone != nullptr && !m_helper.joinable()) {
    try {
      m_helper = std::thread([this] { Help(); });
    } catch (const std::system_error&) {
      // No thread to be had: the call runs here, without the cancel check.
    }
  }
  if (!m_helper.joinable()) {
    const BOOL bOk = fnCall();
    if (!bOk) dwError = ::GetLastError();
    return bOk;
  }
  {
    const std::lock_guard<std::mutex> lock(m_mutex);
    m_fnCall = fnCall;
    m_bPosted = true;
  }
  m_cvPosted.notify_one();
  const HANDLE hDone = m_hDone;
  const ULONGLONG nStart = ::GetTickCount64();
  const SIZE_T nMemoryAtStart = nLimitMillis != 0 ? CommittedMemory() : 0;
  const DWORD dwPoll = nLimitMillis != 0 ? kHeaderPollMillis : kCancelPollMillis;
  while (::WaitForSingleObject(hDone, dwPoll) == WAIT_TIMEOUT) {
    const bool bLate = nLimitMillis != 0 && ::GetTickCount64() - nStart >= nLimitMillis;
    const bool bHuge = nLimitMillis != 0 && CommittedMemory() > nMemoryAtStart + kMaxHeaderMemory;
    if (bLate || bHuge || cancelled()) {
      ::InternetCloseHandle(m_hRequest);
      ::WaitForSingleObject(hDone, INFINITE);
      m_hRequest = nullptr;
      if (bHuge) {
        throw CInternetException(CInternetException::Kind::kOther, ERROR_HTTP_INVALID_SERVER_RESPONSE,
                                 "Too large response headers: the server's answer has headers without end",
                                 m_strUrl);
      }
      if (!bLate) throw CCancelledException();
      throw CInternetException(
          CInternetException::Kind::kTimeout, ERROR_INTERNET_TIMEOUT,
          "No complete answer from the server within " + std::to_string(nLimitMillis / 1000) + " seconds",
          m_strUrl);
    }
  }
  const std::lock_guard<std::mutex> lock(m_mutex);
  dwError = m_bCallResult ? 0 : m_dwCallError;
  return m_bCallResult;
}

void CWinInetRequest::Help() {
  std::unique_lock<std::mutex> lock(m_mutex);
  for (;;) {
    m_cvPosted.wait(lock, [this] { return m_bStop || m_bPosted; });
    if (m_bStop) return;
    m_bPosted = false;
    const std::function<BOOL()> fnCall = std::move(m_fnCall);
    lock.unlock();
    const BOOL bOk = fnCall();
    const DWORD dwError = bOk ? 0 : ::GetLastError();
    lock.lock();
    m_bCallResult = bOk;
    m_dwCallError = dwError;
    ::SetEvent(m_hDone);
  }
}

std::string CWinInetRequest::QueryHeader(DWORD dwInfo) const {
  wchar_t szValue[256];
  DWORD dwSize = sizeof szValue;
  if (!::HttpQueryInfoW(m_hRequest, dwInfo, szValue, &dwSize, nullptr)) return std::string();
  std::string strValue = WideToUtf8(std::wstring(szValue, dwSize / sizeof(wchar_t)));
  const size_t nBegin = strValue.find_first_not_of(" \t");
  const size_t nEnd = strValue.find_last_not_of(" \t\r\n");
  return nBegin == std::string::npos ? std::string() : strValue.substr(nBegin, nEnd + 1 - nBegin);
}

void CWinInetRequest::Send() {
  const CHttpUrl& url = m_request.url;
  if (IsInvalidName(url.GetHost())) Fail(ERROR_INTERNET_NAME_NOT_RESOLVED);
  if (!m_request.strCaFile.empty()) {
    // Only the system's certificate store is trusted; a file cannot be added.
    throw CInternetException(CInternetException::Kind::kCaFile, ERROR_NOT_SUPPORTED,
                             m_request.strCaFile +
                                 ": an extra authority cannot be given on Windows; add it to the system's "
                                 "certificate store (Trusted Root Certification Authorities)",
                             m_strUrl);
  }
  buffer.resize(kBufferSize);
  nHead = nTail = 0;

  std::wstring strHost;
  std::wstring strObject;
  Utf8ToWide(url.GetHost(), strHost);
  Utf8ToWide(url.GetObjectPath(), strObject);
  m_hConnect = ::InternetConnectW(m_hInternet, strHost.c_str(), url.GetPort(), nullptr, nullptr,
                                  INTERNET_SERVICE_HTTP, 0, 0);
  if (m_hConnect == nullptr) Fail(::GetLastError());

  // What every request does whatever the caller passes: from the server, not
  // into the cache, no redirection, no cookie, no stored credentials and no
  // dialog; https for a secure URL.
  const DWORD dwFlags = m_request.dwFlags | INTERNET_FLAG_RELOAD | INTERNET_FLAG_NO_CACHE_WRITE |
                        INTERNET_FLAG_PRAGMA_NOCACHE | INTERNET_FLAG_NO_AUTO_REDIRECT |
                        INTERNET_FLAG_NO_COOKIES | INTERNET_FLAG_NO_AUTH | INTERNET_FLAG_NO_UI |
                        (url.IsSecure() ? INTERNET_FLAG_SECURE : 0);
  m_hRequest =
      ::HttpOpenRequestW(m_hConnect, L"GET", strObject.c_str(), L"HTTP/1.0", nullptr, nullptr, dwFlags, 0);
  if (m_hRequest == nullptr) Fail(::GetLastError());

  // The stall limit: for making the connection and for each wait for data.
  DWORD dwMillis = static_cast<DWORD>(m_request.nStallTimeout) * 1000;
  for (DWORD dwOption :
       {INTERNET_OPTION_CONNECT_TIMEOUT, INTERNET_OPTION_SEND_TIMEOUT, INTERNET_OPTION_RECEIVE_TIMEOUT})
    ::InternetSetOptionW(m_hRequest, dwOption, &dwMillis, sizeof dwMillis);

  std::string strHeaders = "Pragma: no-cache\r\nCache-Control: no-cache\r\n";
  if (const std::string strRange = RangeHeader(m_request.nRangeFrom); !strRange.empty()) {
    strHeaders += strRange + "\r\n";
  }
  std::wstring strWideHeaders;
  Utf8ToWide(strHeaders, strWideHeaders);
  if (!::HttpAddRequestHeadersW(m_hRequest, strWideHeaders.c_str(), static_cast<DWORD>(-1),
                                HTTP_ADDREQ_FLAG_ADD | HTTP_ADDREQ_FLAG_REPLACE)) {
    Fail(::GetLastError());
  }

  DWORD dwError = 0;
  HINTERNET hRequest = m_hRequest;
  // WinINet reads the answer's headers inside this call with no bound of its
  // own: a server that trickles them, or never ends them, would hold the
  // update (and fill memory) for ever. The connection and the headers get
  // the stall limit each.
  const ULONGLONG nLimit = 2000 * static_cast<ULONGLONG>(m_request.nStallTimeout);
  if (!Blocking([hRequest] { return ::HttpSendRequestW(hRequest, nullptr, 0, nullptr, 0); }, dwError,
                nLimit)) {
    Fail(dwError);
  }

  DWORD dwCode = 0;
  DWORD dwSize = sizeof dwCode;
  if (::HttpQueryInfoW(m_hRequest, HTTP_QUERY_STATUS_CODE | HTTP_QUERY_FLAG_NUMBER, &dwCode, &dwSize,
                       nullptr)) {
    dwStatus = dwCode;
    bAnswered = true;
  }
  strContentRange = QueryHeader(HTTP_QUERY_CONTENT_RANGE);
  strLocation = QueryHeader(HTTP_QUERY_LOCATION);
  // As text: the number form holds only 32 bits.
  const std::string strLength = QueryHeader(HTTP_QUERY_CONTENT_LENGTH);
  if (!strLength.empty() && strLength.size() <= 19 &&
      strLength.find_first_not_of("0123456789") == std::string::npos) {
    m_nLength = std::strtoull(strLength.c_str(), nullptr, 10);
    m_bLengthKnown = true;
  }
  bLengthGiven = m_bLengthKnown;
  m_nRateStart = ::GetTickCount64();
}

bool CWinInetRequest::Receive() {
  if (m_bEnded) return false;
  DWORD dwRead = 0;
  DWORD dwError = 0;
  HINTERNET hRequest = m_hRequest;
  char* pInto = buffer.data() + nTail;
  // InternetReadFile waits until it has all it was asked for: asking only for
  // what has arrived keeps the reader (progress, the rate check) in step
  // with the network.
  DWORD dwAvailable = 0;
  if (!Blocking([=, &dwAvailable] { return ::InternetQueryDataAvailable(hRequest, &dwAvailable, 0, 0); },
                dwError)) {
    Fail(dwError);
  }
  const DWORD dwRoom = std::min(static_cast<DWORD>(buffer.size() - nTail), std::max<DWORD>(dwAvailable, 1));
  if (!Blocking([=, &dwRead] { return ::InternetReadFile(hRequest, pInto, dwRoom, &dwRead); }, dwError)) {
    Fail(dwError);
  }
  if (dwRead == 0) {
    m_bEnded = true;
    // WinINet ends a body that the server cut short as if it were whole.
    if (m_bLengthKnown && m_nReceived < m_nLength) {
      throw CInternetException(
          CInternetException::Kind::kCutShort, ERROR_INTERNET_CONNECTION_ABORTED,
          "transfer closed with " + std::to_string(m_nLength - m_nReceived) + " bytes remaining to read",
          m_strUrl);
    }
    return false;
  }
  nTail += dwRead;
  m_nReceived += dwRead;
  CheckRate(dwRead);
  return true;
}

}  // namespace

std::unique_ptr<CHttpFile::Impl> NewHttpRequest(const CInternetSession& session,
                                                const CHttpFile::Request& request) {
  return std::make_unique<CWinInetRequest>(session.GetImpl().hInternet, request);
}
