#pragma once
// The one way the update asks its server for something.
#include <memory>
#include <string>

#include "platform/http_client.h"
#include "platform/types.h"

// A text from the server or the manifest as it can be shown on one status
// line: control bytes as \xNN.
std::string Printable(const std::string& str);

struct CUpdateRequest {
  std::unique_ptr<CHttpConnection> pConnection;
  std::unique_ptr<CHttpFile> pFile;
  DWORD dwStatus = 0;  // 0 when the answer carried no readable status

  // Only a success answer carries what was asked for: an error page must
  // never be read as a manifest nor stored as a file.
  bool IsSuccess() const { return dwStatus >= 200 && dwStatus <= 299; }
  // Only a 200 answer carries the whole file: a 206 holds a part of it, and
  // other success answers hold something else.
  bool IsWhole() const { return dwStatus == 200; }
  // "the server answered HTTP 404 for URL": the cause of a refused answer, for the user.
  std::string DescribeAnswer() const;
  void Close();
};

// Sends a GET of url on a connection of its own: fetched from the server,
// never from or into a cache, redirections not followed. Returns FALSE, having
// sent nothing, when url names no server (a default CHttpUrl); network
// failures throw CInternetException. A non-zero nRangeFrom asks for the body
// from that byte on (see phases/resume.h for what answers are taken).
BOOL SendUpdateRequest(CInternetSession& session, const CHttpUrl& url, CUpdateRequest& request,
                       ULONGLONG nRangeFrom = 0);
