// The internet session, its connections and the network layer's start-up.
#include <curl/curl.h>

#include <utility>

#include "platform/http_client.h"

namespace {

CInternetException::Kind KindOf(DWORD dwError) {
  using Kind = CInternetException::Kind;
  switch (static_cast<CURLcode>(dwError)) {
    case CURLE_COULDNT_RESOLVE_HOST:
    case CURLE_COULDNT_RESOLVE_PROXY:
      return Kind::kResolve;
    case CURLE_COULDNT_CONNECT:
      return Kind::kConnect;
    case CURLE_OPERATION_TIMEDOUT:
      return Kind::kTimeout;
    case CURLE_SSL_CONNECT_ERROR:
      return Kind::kTls;
    case CURLE_PEER_FAILED_VERIFICATION:
      return Kind::kCertificate;
    case CURLE_SSL_CACERT_BADFILE:
      return Kind::kCaFile;
    case CURLE_FILESIZE_EXCEEDED:
      return Kind::kTooLong;
    default:
      return Kind::kOther;
  }
}

}  // namespace

CInternetException::CInternetException(DWORD dwError, const std::string& strCurlText,
                                       const std::string& strUrl)
    : CException(strUrl.empty() ? strCurlText : strCurlText + " (" + strUrl + ")"),
      m_dwError(dwError),
      m_strCurlText(strCurlText),
      m_strUrl(strUrl),
      m_kind(KindOf(dwError)) {}

std::string CInternetException::GetErrorMessage() const {
  // The library's words for these name ciphers and error codes; what the
  // user needs first is which of the two sides failed.
  switch (m_kind) {
    case Kind::kTls:
      return "Unable to make a secure connection: " + std::string(what());
    case Kind::kCertificate:
      return "The server's certificate is not trusted: " + std::string(what());
    case Kind::kCaFile:
      return "Unable to use the certificate authority file: " + std::string(what());
    default:
      return what();
  }
}

BOOL InitNetwork() {
  return curl_global_init(CURL_GLOBAL_DEFAULT) == CURLE_OK ? TRUE : FALSE;
}

CInternetSession::CInternetSession(const std::string& strAgent) : m_strAgent(strAgent) {
  const CURLcode code = curl_global_init(CURL_GLOBAL_DEFAULT);
  if (code != CURLE_OK) {
    throw CInternetException(code, curl_easy_strerror(code), "");
  }
}

// Each session holds one start of the network layer, which counts them.
CInternetSession::~CInternetSession() {
  curl_global_cleanup();
}

std::unique_ptr<CHttpConnection> CInternetSession::GetHttpConnection(const std::string& strServer,
                                                                     DWORD dwFlags, INTERNET_PORT nPort) {
  return std::make_unique<CHttpConnection>(*this, strServer, nPort, (dwFlags & INTERNET_FLAG_SECURE) != 0);
}

CHttpConnection::CHttpConnection(CInternetSession& session, std::string strServer, INTERNET_PORT nPort,
                                 bool bSecure)
    : m_session(session), m_strServer(std::move(strServer)), m_nPort(nPort), m_bSecure(bSecure) {}

std::unique_ptr<CHttpFile> CHttpConnection::OpenRequest(const std::string& strVerb,
                                                        const std::string& strObject, DWORD) {
  if (strVerb != "GET") {
    throw CInternetException(CURLE_UNSUPPORTED_PROTOCOL, "Only GET requests are supported", "");
  }
  std::string strUrl = m_bSecure ? "https://" : "http://";
  // An IPv6 address goes back into brackets.
  if (m_strServer.find(':') != std::string::npos) {
    strUrl += "[" + m_strServer + "]";
  } else {
    strUrl += m_strServer;
  }
  strUrl += ":" + std::to_string(m_nPort);
  if (strObject.empty() || strObject.front() != '/') strUrl += '/';
  strUrl += strObject;
  return std::make_unique<CHttpFile>(m_session, std::move(strUrl));
}
