// The libcurl side of the session: the network layer's start-up, and what its
// result codes mean.
#include <curl/curl.h>

#include "platform/http_client.h"
#include "platform/http_curl_posix.h"

// libcurl's global state needs nothing more.
struct CInternetSession::Impl {};

CInternetException::Kind KindOfCurlCode(CURLcode code) {
  using Kind = CInternetException::Kind;
  switch (code) {
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
    case CURLE_PARTIAL_FILE:
      return Kind::kCutShort;
    default:
      return Kind::kOther;
  }
}

bool CanTrustCaFile() {
  return true;
}

BOOL InitNetwork() {
  return curl_global_init(CURL_GLOBAL_DEFAULT) == CURLE_OK ? TRUE : FALSE;
}

CInternetSession::CInternetSession(const std::string& strAgent) : m_strAgent(strAgent) {
  const CURLcode code = curl_global_init(CURL_GLOBAL_DEFAULT);
  if (code != CURLE_OK) {
    throw CInternetException(KindOfCurlCode(code), static_cast<DWORD>(code), curl_easy_strerror(code), "");
  }
  m_pImpl = std::make_unique<Impl>();
}

// Each session holds one start of the network layer, which counts them.
CInternetSession::~CInternetSession() {
  curl_global_cleanup();
}
