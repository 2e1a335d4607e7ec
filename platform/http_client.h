#pragma once
// The HTTP client the update talks through: an internet session, a connection
// per request, and a request whose status code is read first and whose body is
// then read as lines (the manifest) or in blocks (payloads).
//
// It runs on libcurl on Linux (http_*_posix.cpp) and on WinINet on Windows
// (http_*_win32.cpp); nothing of either shows here. What every request does,
// whatever the caller passes:
//   - GET, HTTP/1.0, the session's agent name;
//   - no headers beyond Host and User-Agent except "Pragma: no-cache" and
//     "Cache-Control: no-cache", so that no proxy cache answers in the
//     server's place, and "Range: bytes=N-" when the caller asks for one;
//   - redirections are never followed: a 3xx answer is an answer like any other;
//   - proxies as the system configures them (Linux: http_proxy, https_proxy,
//     no_proxy; Windows: the system's internet settings);
//   - https with the certificate and the host name checked;
//   - a connection that cannot be made, a host name that does not resolve, a
//     server that stalls for the stall limit (60 seconds unless set; on Linux
//     also one that sends less than 1 KiB a second for that long), and a body
//     that breaks off (shorter than its Content-Length, or a dropped
//     connection) raise CInternetException with the system's own text.
//
// Bodies stream through one fixed buffer per request: a read pulls from the
// network only what it needs. Memory stays the same whatever the size of a body.
//
// The request flags (INTERNET_FLAG_*) are in platform/http_flags.h, apart from
// this header, so that <windows.h> does not reach every user of the client.
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "platform/exception.h"
#include "platform/types.h"

// The same type as <wininet.h>'s, which may stand beside.
using INTERNET_PORT = WORD;

// The agent name every request of the updater carries.
inline constexpr const char* kUpdateAgentName = "QVNLicenseRequest";

// The stall limit when none is set: a server that sends nothing for this long
// has failed.
inline constexpr long kDefaultStallTimeout = 60;

// An http:// or https:// URL, split once where it enters the program and
// carried in parts to the request, so that nothing parses it again.
class CHttpUrl {
 public:
  // Splits a URL of the form scheme://host[:port][/path] whose scheme is http
  // or https (in any case). The server is a host name or a bracketed IPv6
  // address; the port is the scheme's default when the URL names none; the
  // object path keeps any query, loses any fragment and is at least "/".
  // Empty when the text is no such URL.
  static std::optional<CHttpUrl> Parse(const std::string& strUrl);

  // No URL: no host, and nothing can be fetched from it.
  CHttpUrl() = default;
  // A URL from its parts; its text is GetFullText().
  CHttpUrl(bool bSecure, std::string strHost, INTERNET_PORT nPort, std::string strObject);

  // This URL with strPath (which starts with "/") appended to its path, as
  // if appended to its text.
  CHttpUrl Append(const std::string& strPath) const;

  // The text the URL was parsed from (with what was appended), as the user
  // wrote it; for messages that quote the user's words.
  const std::string& GetText() const { return m_strText; }
  // "scheme://host:port/object", with the port always written and an IPv6
  // address in brackets: what a request is reported under.
  std::string GetFullText() const;

  bool IsSecure() const { return m_bSecure; }
  // A host name, or an IPv6 address without its brackets.
  const std::string& GetHost() const { return m_strHost; }
  INTERNET_PORT GetPort() const { return m_nPort; }
  // The path and query, starting with "/".
  std::string GetObjectPath() const;

 private:
  std::string m_strText;
  bool m_bSecure = false;
  std::string m_strHost;
  INTERNET_PORT m_nPort = 0;
  std::string m_strPath;  // as written: may be empty or start with "?"
};

// A failure of the network layer. The text is the system's own description of
// what went wrong, followed by the URL that was being fetched; for a failed
// secure connection it first says so in words.
class CInternetException : public CException {
 public:
  // What went wrong, for callers that explain failures (or treat one apart)
  // without knowing the system's codes.
  enum class Kind {
    kOther,
    kResolve,      // the host name did not resolve
    kConnect,      // nothing accepted the connection
    kTimeout,      // the server stalled, or connecting took too long
    kTls,          // no secure connection could be made (a plain-HTTP server, say)
    kCertificate,  // the server's certificate is not trusted
    kCaFile,       // the extra authority (--cacert) cannot be used
    kTooLong,      // the body grew past SetMaxBodySize
    kCutShort,     // the body ended before its Content-Length
  };

  // dwError is the system's code (a CURLcode on Linux, a WinINet or Win32
  // error on Windows), kept for diagnosis only; strUrl may be empty.
  CInternetException(Kind kind, DWORD dwError, const std::string& strSystemText, const std::string& strUrl);

  std::string GetErrorMessage() const override;

  Kind m_kind;
  DWORD m_dwError;              // the system's code
  std::string m_strSystemText;  // the system's text alone
  std::string m_strUrl;         // what was being fetched; may be empty
};

// Starts the process-wide network layer. Call once before anything else uses
// the network; FALSE when it cannot be started. The session also starts it
// (the layer counts starts), so calling this is only needed to learn early
// that the network is unusable.
BOOL InitNetwork();

// Whether this system's client can add an authority from a file
// (CInternetSession::SetCaFile): true on Linux, false on Windows.
bool CanTrustCaFile();

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
  // signed by, besides the system's own; empty for none. Linux only: on
  // Windows a request with one fails (kCaFile), the authority belongs in the
  // system's certificate store.
  void SetCaFile(const std::string& strCaFile) { m_strCaFile = strCaFile; }
  // Seconds without progress (on Linux: below 1 KiB a second) after which a
  // request fails; also the limit for making a connection. 0 or less
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

  // The system's side of the session (the network layer's start, the
  // Internet handle), defined by the backend.
  struct Impl;
  Impl& GetImpl() const { return *m_pImpl; }

 private:
  std::string m_strAgent;
  std::string m_strCaFile;
  long m_nStallTimeout = kDefaultStallTimeout;
  std::function<bool()> m_fnCancelled;
  std::unique_ptr<Impl> m_pImpl;
};

class CHttpConnection {
 public:
  CHttpConnection(CInternetSession& session, std::string strServer, INTERNET_PORT nPort, bool bSecure);

  // A request for one object (path and query, from "/") on this server. Only
  // "GET" is spoken, and only with HTTP/1.0; dwFlags are the INTERNET_FLAG_*
  // of the request (platform/http_flags.h).
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
  CHttpFile(const CInternetSession& session, CHttpUrl url, DWORD dwFlags);
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
  void SetRangeFrom(ULONGLONG nFrom) { m_request.nRangeFrom = nFrom; }
  // The final answer's Content-Range header, trimmed; empty when it has none.
  const std::string& GetContentRange() const { return m_strContentRange; }
  // The final answer's Location header (where a redirect points), trimmed;
  // empty when it has none. Redirects are never followed.
  const std::string& GetLocation() const { return m_strLocation; }
  // Whether the final answer gave its body's length (Content-Length): a body
  // that then ends where Read says it does is whole, as the server sent it.
  bool HasContentLength() const { return m_bLengthGiven; }

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

  // The URL of the request, as GetFullText() writes it.
  const std::string& GetFileURL() const { return m_strUrl; }

  // What the backend is given to send, and what it holds of the answer.
  struct Request {
    CHttpUrl url;
    DWORD dwFlags = 0;
    std::string strAgent;
    std::string strCaFile;
    long nStallTimeout = kDefaultStallTimeout;
    std::function<bool()> fnCancelled;
    ULONGLONG nRangeFrom = 0;
  };
  struct Impl;

 private:
  // Makes sure body bytes are buffered, or the body is over; FALSE at its end.
  bool Fill();
  [[noreturn]] void FailTooLong();

  const CInternetSession& m_session;
  Request m_request;
  std::string m_strUrl;
  std::unique_ptr<Impl> m_pImpl;
  std::string m_strContentRange;
  std::string m_strLocation;
  bool m_bLengthGiven = false;
  ULONGLONG m_nDelivered = 0;
  ULONGLONG m_nMaxBody = ~0ULL;
};
