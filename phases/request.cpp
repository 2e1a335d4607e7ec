#include "phases/request.h"

#include <fmt/format.h>

#include "platform/http_flags.h"

BOOL SendUpdateRequest(CInternetSession& session, const CHttpUrl& url, CUpdateRequest& request,
                       ULONGLONG nRangeFrom) {
  if (url.GetHost().empty()) return FALSE;  // no server was set
  request.pConnection =
      session.GetHttpConnection(url.GetHost(), url.IsSecure() ? INTERNET_FLAG_SECURE : 0, url.GetPort());
  request.pFile =
      request.pConnection->OpenRequest("GET", url.GetObjectPath(),
                                       INTERNET_FLAG_RELOAD | INTERNET_FLAG_EXISTING_CONNECT |
                                           INTERNET_FLAG_NO_CACHE_WRITE | INTERNET_FLAG_NO_AUTO_REDIRECT);
  request.pFile->SetRangeFrom(nRangeFrom);
  request.pFile->SendRequest();
  if (!request.pFile->QueryInfoStatusCode(request.dwStatus)) request.dwStatus = 0;
  return TRUE;
}

void CUpdateRequest::Close() {
  if (pFile) pFile->Close();
  if (pConnection) pConnection->Close();
}

std::string Printable(const std::string& str) {
  std::string strOut;
  for (unsigned char c : str) {
    if (c < 0x20 || c == 0x7F) {
      strOut += fmt::format("\\x{:02X}", c);
    } else {
      strOut += static_cast<char>(c);
    }
  }
  return strOut;
}

std::string CUpdateRequest::DescribeAnswer() const {
  const std::string strUrl = pFile ? pFile->GetFileURL() : std::string();
  if (dwStatus == 0) return fmt::format("the server's answer for {} carried no status", strUrl);
  const std::string& strLocation = pFile ? pFile->GetLocation() : std::string();
  if (dwStatus >= 300 && dwStatus <= 399 && !strLocation.empty()) {
    // The server's own words, shown on one line and not without end.
    std::string strShown = Printable(strLocation.substr(0, 300));
    if (strLocation.size() > 300) strShown += "...";
    return fmt::format(
        "the server answered HTTP {} for {}, sending it on to {}; redirects are not followed: give the "
        "address where the updates are",
        dwStatus, strUrl, strShown);
  }
  return fmt::format("the server answered HTTP {} for {}", dwStatus, strUrl);
}
