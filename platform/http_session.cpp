// The parts of the session alike on every system: connections, requests and
// the network layer's exception.
#include <utility>

#include "platform/http_client.h"
#include "platform/http_flags.h"

CInternetException::CInternetException(Kind kind, DWORD dwError, const std::string& strSystemText,
                                       const std::string& strUrl)
    : CException(strUrl.empty() ? strSystemText : strSystemText + " (" + strUrl + ")"),
      m_kind(kind),
      m_dwError(dwError),
      m_strSystemText(strSystemText),
      m_strUrl(strUrl) {}

std::string CInternetException::GetErrorMessage() const {
  // The system's words for these name ciphers and error codes; what the
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

std::unique_ptr<CHttpConnection> CInternetSession::GetHttpConnection(const std::string& strServer,
                                                                     DWORD dwFlags, INTERNET_PORT nPort) {
  return std::make_unique<CHttpConnection>(*this, strServer, nPort, (dwFlags & INTERNET_FLAG_SECURE) != 0);
}

CHttpConnection::CHttpConnection(CInternetSession& session, std::string strServer, INTERNET_PORT nPort,
                                 bool bSecure)
    : m_session(session), m_strServer(std::move(strServer)), m_nPort(nPort), m_bSecure(bSecure) {}

std::unique_ptr<CHttpFile> CHttpConnection::OpenRequest(const std::string& strVerb,
                                                        const std::string& strObject, DWORD dwFlags) {
  if (strVerb != "GET") {
    throw CInternetException(CInternetException::Kind::kOther, 0, "Only GET requests are supported", "");
  }
  return std::make_unique<CHttpFile>(m_session, CHttpUrl(m_bSecure, m_strServer, m_nPort, strObject),
                                     dwFlags);
}
