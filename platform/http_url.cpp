// Splitting of update-server URLs.
#include <algorithm>
#include <cctype>
#include <string>
#include <utility>

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

// Bytes that would not survive the request line.
bool IsRequestable(const std::string& strPath) {
  return std::none_of(strPath.begin(), strPath.end(), [](unsigned char c) { return c <= 0x20 || c == 0x7F; });
}

}  // namespace

std::optional<CHttpUrl> CHttpUrl::Parse(const std::string& strUrl) {
  const size_t nSchemeEnd = strUrl.find("://");
  if (nSchemeEnd == std::string::npos || nSchemeEnd == 0) return std::nullopt;
  const std::string strScheme = Lower(strUrl.substr(0, nSchemeEnd));
  if (strScheme != "http" && strScheme != "https") return std::nullopt;

  const size_t nHostStart = nSchemeEnd + 3;
  size_t nAuthEnd = strUrl.find_first_of("/?#", nHostStart);
  if (nAuthEnd == std::string::npos) nAuthEnd = strUrl.size();
  const std::string strAuthority = strUrl.substr(nHostStart, nAuthEnd - nHostStart);

  std::string strHost;
  std::string strPort;
  if (!strAuthority.empty() && strAuthority.front() == '[') {
    const size_t nClose = strAuthority.find(']');
    if (nClose == std::string::npos) return std::nullopt;
    strHost = strAuthority.substr(1, nClose - 1);
    const std::string strRest = strAuthority.substr(nClose + 1);
    if (!strRest.empty()) {
      if (strRest.front() != ':') return std::nullopt;
      strPort = strRest.substr(1);
    }
    if (strHost.empty() || strHost.find_first_not_of("0123456789abcdefABCDEF:.") != std::string::npos) {
      return std::nullopt;
    }
  } else {
    const size_t nColon = strAuthority.find(':');
    strHost = strAuthority.substr(0, nColon);
    if (nColon != std::string::npos) strPort = strAuthority.substr(nColon + 1);
    if (strHost.empty() || !std::all_of(strHost.begin(), strHost.end(), IsHostChar)) return std::nullopt;
  }

  CHttpUrl url;
  url.m_bSecure = strScheme == "https";
  url.m_nPort = url.m_bSecure ? 443 : 80;
  if (!strPort.empty()) {
    if (strPort.size() > 5 || strPort.find_first_not_of("0123456789") != std::string::npos)
      return std::nullopt;
    const unsigned long n = std::stoul(strPort);
    if (n == 0 || n > 65535) return std::nullopt;
    url.m_nPort = static_cast<INTERNET_PORT>(n);
  }

  // The fragment never goes to the server.
  std::string strPath = strUrl.substr(nAuthEnd);
  strPath = strPath.substr(0, strPath.find('#'));
  if (!IsRequestable(strPath)) return std::nullopt;

  url.m_strText = strUrl;
  url.m_strHost = strHost;
  url.m_strPath = strPath;
  return url;
}

CHttpUrl::CHttpUrl(bool bSecure, std::string strHost, INTERNET_PORT nPort, std::string strObject)
    : m_bSecure(bSecure), m_strHost(std::move(strHost)), m_nPort(nPort), m_strPath(std::move(strObject)) {
  m_strText = GetFullText();
}

CHttpUrl CHttpUrl::Append(const std::string& strPath) const {
  CHttpUrl url = *this;
  url.m_strText += strPath;
  url.m_strPath += strPath;
  return url;
}

std::string CHttpUrl::GetObjectPath() const {
  return m_strPath.empty() || m_strPath.front() != '/' ? "/" + m_strPath : m_strPath;
}

std::string CHttpUrl::GetFullText() const {
  std::string strUrl = m_bSecure ? "https://" : "http://";
  // An IPv6 address goes back into brackets.
  strUrl += m_strHost.find(':') != std::string::npos ? "[" + m_strHost + "]" : m_strHost;
  return strUrl + ":" + std::to_string(m_nPort) + GetObjectPath();
}
