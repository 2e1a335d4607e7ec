#pragma once
// The HTTP client the update talks through: an internet session, a connection
// per request, and a request whose status code is read first and whose body is
// then read as lines (the manifest) or in blocks (payloads).
//
// It runs on libcurl. What every request does, whatever the caller passes:
//   - GET, HTTP/1.0, the session's agent name;
//   - no headers beyond Host and User-Agent except "Pragma: no-cache" and
//     "Cache-Control: no-cache", so that no proxy cache answers in the
//     server's place, and "Range: bytes=N-" when the caller asks for one;
//   - redirections are never followed: a 3xx answer is an answer like any other;
//   - proxies as the environment configures them (http_proxy, https_proxy,
//     no_proxy);
//   - https with the certificate and the host name checked;
//   - a connection that cannot be made, a host name that does not resolve, a
//     server that sends less than 1 KiB a second for the stall limit (60
//     seconds unless set), and a body that breaks off (shorter than its
//     Content-Length, or a dropped connection) raise CInternetException with
//     libcurl's own text.
//
// Bodies stream through one fixed buffer per request: a read pulls from the
// network only what it needs, and the transfer pauses while the buffer is full.
// Memory stays the same whatever the size of a body.
#include <curl/curl.h>

#include <cstddef>
#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "platform/exception.h"
#include "platform/types.h"

using INTERNET_PORT = WORD;

// Service types that AfxParseURL reports.
inline constexpr DWORD AFX_INET_SERVICE_UNK = 0;      // a scheme this client does not speak
inline constexpr DWORD AFX_INET_SERVICE_HTTP = 3;     // http://
inline constexpr DWORD AFX_INET_SERVICE_HTTPS = 100;  // https://

inline constexpr INTERNET_PORT INTERNET_DEFAULT_HTTP_PORT = 80;
inline constexpr INTERNET_PORT INTERNET_DEFAULT_HTTPS_PORT = 443;

// Request flags. The client behaves as these ask whether they are given or
// not (no cache, no redirection); they are kept so that callers say what they
// rely on. INTERNET_FLAG_SECURE on a connection selects https.
inline constexpr DWORD INTERNET_FLAG_RELOAD = 0x80000000;
inline constexpr DWORD INTERNET_FLAG_EXISTING_CONNECT = 0x20000000;
inline constexpr DWORD INTERNET_FLAG_NO_CACHE_WRITE = 0x04000000;
inline constexpr DWORD INTERNET_FLAG_SECURE = 0x00800000;
inline constexpr DWORD INTERNET_FLAG_NO_AUTO_REDIRECT = 0x00200000;

// The agent name every request of the updater carries.
inline constexpr const char* kUpdateAgentName = "QVNLicenseRequest";

// The stall limit when none is set: a server that sends nothing for this long
// has failed.
inline constexpr long kDefaultStallTimeout = 60;

// A failure of the network layer. The text is libcurl's own description of
// what went wrong, followed by the URL that was being fetched; for a failed
// secure connection it first says so in words.
class CInternetException : public CException {
 public:
  // What went wrong, for callers that explain failures (or treat one apart)
  // without knowing the network library's codes.
  enum class Kind {
    kOther,
    kResolve,      // the host name did not resolve
    kConnect,      // nothing accepted the connection
    kTimeout,      // the server stalled, or connecting took too long
    kTls,          // no secure connection could be made (a plain-HTTP server, say)
    kCertificate,  // the server's certificate is not trusted
    kCaFile,       // the extra authority (--cacert) cannot be used
    kTooLong,      // the body grew past SetMaxBodySize
  };

  CInternetException(DWORD dwError, const std::string& strCurlText, const std::string& strUrl);

  std::string GetErrorMessage() const override;

  DWORD m_dwError;            // the libcurl result code (CURLcode)
  std::string m_strCurlText;  // libcurl's text alone
  std::string m_strUrl;       // what was being fetched; may be empty
  Kind m_kind;
};

// Starts the process-wide network layer. Call once before anything else uses
// the network; FALSE when it cannot be started. The session also starts it
// (the layer counts starts), so calling this is only needed to learn early
// that the network is unusable.
BOOL InitNetwork();

// Splits an http:// or https:// URL into its service type, server (host name,
// or an IPv6 address without its brackets), object path (at least "/", with
// any query kept) and port (the scheme's default when the URL names none).
// FALSE when the text is not a URL of the form scheme://host[:port][/path];
// TRUE with AFX_INET_SERVICE_UNK for a well-formed URL of another scheme.
BOOL AfxParseURL(const std::string& strUrl, DWORD& dwServiceType, std::string& strServer,
                 std::string& strObject, INTERNET_PORT& nPort);

class CHttpConnection;
class CHttpFile;

class CInternetSession {
 public:
  // Throws CInternetException when the network layer cannot be started.
  explicit CInternetSession(const std::string& strAgent = kUpdateAgentName);
  ~CInternetSession();
  CInternetSession(const CInternetSession&) = delete;
  CInternetSession& operator=(const CInternetSession&) = delete;

  // An extra certificate authority (PEM file) that https servers may be
  // signed by, besides the system's own; empty for none.
  void SetCaFile(const std::string& strCaFile) { m_strCaFile = strCaFile; }
  // Seconds below 1 KiB a second (a stalled or trickling server) after which
  // a request fails; also the limit for making a connection. 0 or less
  // restores the default.
  void SetStallTimeout(long nSeconds) { m_nStallTimeout = nSeconds > 0 ? nSeconds : kDefaultStallTimeout; }
  // Asked at least once a second while a request waits for the network; when
  // it answers true the request throws CCancelledException.
  void SetCancelCheck(std::function<bool()> fnCancelled) { m_fnCancelled = std::move(fnCancelled); }

  // A connection to one server; INTERNET_FLAG_SECURE in dwFlags makes it https.
  std::unique_ptr<CHttpConnection> GetHttpConnection(const std::string& strServer, DWORD dwFlags,
                                                     INTERNET_PORT nPort);

  void Close() {}

  const std::string& GetAgent() const { return m_strAgent; }
  const std::string& GetCaFile() const { return m_strCaFile; }
  long GetStallTimeout() const { return m_nStallTimeout; }
  const std::function<bool()>& GetCancelCheck() const { return m_fnCancelled; }

 private:
  std::string m_strAgent;
  std::string m_strCaFile;
  long m_nStallTimeout = kDefaultStallTimeout;
  std::function<bool()> m_fnCancelled;
};

class CHttpConnection {
 public:
  CHttpConnection(CInternetSession& session, std::string strServer, INTERNET_PORT nPort, bool bSecure);

  // A request for one object (path) on this server. Only "GET" is spoken,
  // and only with HTTP/1.0.
  std::unique_ptr<CHttpFile> OpenRequest(const std::string& strVerb, const std::string& strObject,
                                         DWORD dwFlags = 0);

  void Close() {}

  const std::string& GetServerName() const { return m_strServer; }

 private:
  CInternetSession& m_session;
  std::string m_strServer;
  INTERNET_PORT m_nPort;
  bool m_bSecure;
};

class CHttpFile {
 public:
  CHttpFile(const CInternetSession& session, std::string strUrl);
  ~CHttpFile();
  CHttpFile(const CHttpFile&) = delete;
  CHttpFile& operator=(const CHttpFile&) = delete;

  // Sends the request and waits for the answer's status line and headers.
  // Returns TRUE; a failure to reach the server or to get an answer throws
  // CInternetException.
  BOOL SendRequest();

  // The answer's status code; FALSE (and 0) before an answer has arrived.
  BOOL QueryInfoStatusCode(DWORD& dwStatusCode) const;

  // Before SendRequest: asks for the body from byte nFrom on ("Range:
  // bytes=nFrom-"); 0 asks for all of it.
  void SetRangeFrom(ULONGLONG nFrom) { m_nRangeFrom = nFrom; }
  // The final answer's Content-Range header, trimmed; empty when it has none.
  const std::string& GetContentRange() const { return m_strContentRange; }

  // Reads up to nCount bytes of the body into pBuffer. Returns fewer than
  // nCount only at the end of the body (0 once it is all read). A body that
  // breaks off, or grows past the limit set by SetMaxBodySize, throws
  // CInternetException instead of ending short.
  UINT Read(void* pBuffer, UINT nCount);

  // Reads the next line of the body: the bytes up to the next line feed,
  // without it and without any carriage return. A last line without a line
  // feed is still delivered; a body that ends with a line feed gives no empty
  // line after it. FALSE when the body holds no further line.
  BOOL ReadString(std::string& strLine);

  // Bodies longer than this many bytes fail as they are read.
  void SetMaxBodySize(ULONGLONG nMax) { m_nMaxBody = nMax; }
  // Body bytes delivered to the caller so far.
  ULONGLONG GetBytesRead() const { return m_nDelivered; }

  // Ends the request; the rest of the body is not read.
  void Close();

  const std::string& GetFileURL() const { return m_strUrl; }

 private:
  // libcurl callbacks, one file each.
  static size_t OnWrite(char* pData, size_t nSize, size_t nItems, void* pThis);
  static size_t OnHeader(char* pData, size_t nSize, size_t nItems, void* pThis);

  // Moves the transfer on by one step: lets libcurl work, then waits briefly
  // for the socket when nothing arrived. Throws when the transfer failed.
  void Pump();
  // Makes sure bytes are buffered, or the body is over; FALSE at its end.
  bool Fill();
  void CheckFinished();
  [[noreturn]] void Fail(CURLcode code);
  [[noreturn]] void FailTooLong();

  std::string m_strUrl;
  std::string m_strAgent;
  std::string m_strCaFile;
  long m_nStallTimeout;
  std::function<bool()> m_fnCancelled;

  CURL* m_pEasy = nullptr;
  CURLM* m_pMulti = nullptr;
  curl_slist* m_pHeaders = nullptr;
  char m_szError[CURL_ERROR_SIZE] = {};

  // Body bytes received and not yet read: m_buffer[m_nHead, m_nTail).
  std::vector<char> m_buffer;
  size_t m_nHead = 0;
  size_t m_nTail = 0;
  bool m_bPaused = false;

  bool m_bHeadersDone = false;
  bool m_bDone = false;
  CURLcode m_result = CURLE_OK;
  long m_nStatus = 0;
  ULONGLONG m_nDelivered = 0;
  ULONGLONG m_nMaxBody = ~0ULL;
  ULONGLONG m_nRangeFrom = 0;
  std::string m_strRangeHeader;
  std::string m_strContentRange;
};
