#include "phases/request.h"

#include <fmt/format.h>

BOOL SendUpdateRequest(CInternetSession& session, const std::string& strUrl, CUpdateRequest& request,
                       ULONGLONG nRangeFrom) {
  DWORD dwService = 0;
  std::string strServer;
  std::string strObject;
  INTERNET_PORT nPort = 0;
  if (!AfxParseURL(strUrl, dwService, strServer, strObject, nPort) ||
      (dwService != AFX_INET_SERVICE_HTTP && dwService != AFX_INET_SERVICE_HTTPS)) {
    return FALSE;
  }
  request.pConnection = session.GetHttpConnection(
      strServer, dwService == AFX_INET_SERVICE_HTTPS ? INTERNET_FLAG_SECURE : 0, nPort);
  request.pFile =
      request.pConnection->OpenRequest("GET", strObject,
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

std::string CUpdateRequest::DescribeAnswer() const {
  const std::string strUrl = pFile ? pFile->GetFileURL() : std::string();
  if (dwStatus == 0) return fmt::format("the server's answer for {} carried no status", strUrl);
  return fmt::format("the server answered HTTP {} for {}", dwStatus, strUrl);
}
