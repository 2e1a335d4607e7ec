// The internet session, its connections and the network layer's start-up.
#include <curl/curl.h>

#include <utility>

#include "platform/http_client.h"

CInternetException::CInternetException(DWORD dwError, const std::string& strCurlText,
                                       const std::string& strUrl)
    : CException(strUrl.empty() ? strCurlText : strCurlText + " (" + strUrl + ")"),
      m_dwError(dwError),
      m_strCurlText(strCurlText),
      m_strUrl(strUrl) {}

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
