// Splitting of update-server URLs.
#include <algorithm>
#include <cctype>

#include "platform/http_client.h"

namespace {

std::string Lower(std::string str) {
  std::transform(str.begin(), str.end(), str.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return str;
}

bool IsHostChar(unsigned char c) {
  return c > 0x20 && c < 0x7F && c != '@' && c != '\\';
}

}  // namespace

BOOL AfxParseURL(const std::string& strUrl, DWORD& dwServiceType, std::string& strServer,
                 std::string& strObject, INTERNET_PORT& nPort) {
  dwServiceType = AFX_INET_SERVICE_UNK;
  strServer.clear();
  strObject.clear();
  nPort = 0;

  const size_t nSchemeEnd = strUrl.find("://");
  if (nSchemeEnd == std::string::npos || nSchemeEnd == 0) return FALSE;
  const std::string strScheme = Lower(strUrl.substr(0, nSchemeEnd));
  if (!std::all_of(strScheme.begin(), strScheme.end(),
                   [](unsigned char c) { return std::isalnum(c) || c == '+' || c == '-' || c == '.'; })) {
    return FALSE;
  }

  const size_t nHostStart = nSchemeEnd + 3;
  size_t nAuthEnd = strUrl.find_first_of("/?#", nHostStart);
  if (nAuthEnd == std::string::npos) nAuthEnd = strUrl.size();
  const std::string strAuthority = strUrl.substr(nHostStart, nAuthEnd - nHostStart);

  std::string strHost;
  std::string strPort;
  if (!strAuthority.empty() && strAuthority.front() == '[') {
    const size_t nClose = strAuthority.find(']');
    if (nClose == std::string::npos) return FALSE;
    strHost = strAuthority.substr(1, nClose - 1);
    const std::string strRest = strAuthority.substr(nClose + 1);
    if (!strRest.empty()) {
      if (strRest.front() != ':') return FALSE;
      strPort = strRest.substr(1);
    }
    if (strHost.empty() || strHost.find_first_not_of("0123456789abcdefABCDEF:.") != std::string::npos) {
      return FALSE;
    }
  } else {
    const size_t nColon = strAuthority.find(':');
    strHost = strAuthority.substr(0, nColon);
    if (nColon != std::string::npos) strPort = strAuthority.substr(nColon + 1);
    if (strHost.empty() || !std::all_of(strHost.begin(), strHost.end(), IsHostChar)) return FALSE;
  }

  if (strScheme == "http") {
    dwServiceType = AFX_INET_SERVICE_HTTP;
    nPort = INTERNET_DEFAULT_HTTP_PORT;
  } else if (strScheme == "https") {
    dwServiceType = AFX_INET_SERVICE_HTTPS;
    nPort = INTERNET_DEFAULT_HTTPS_PORT;
  }
  if (!strPort.empty()) {
    if (strPort.size() > 5 || strPort.find_first_not_of("0123456789") != std::string::npos) return FALSE;
    const unsigned long n = std::stoul(strPort);
    if (n == 0 || n > 65535) return FALSE;
    nPort = static_cast<INTERNET_PORT>(n);
  }

  // The fragment never goes to the server.
  std::string strPath = strUrl.substr(nAuthEnd);
  strPath = strPath.substr(0, strPath.find('#'));
  if (strPath.empty() || strPath.front() != '/') strPath = "/" + strPath;
  for (unsigned char c : strPath) {
    if (c <= 0x20 || c == 0x7F) return FALSE;  // would not survive the request line
  }

  strServer = strHost;
  strObject = strPath;
  return TRUE;
}
