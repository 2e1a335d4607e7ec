// The WinINet client under Wine against a real server on 127.0.0.1
// (tests/support/canned_http_server.py, started by scripts/test-http-windows,
// which passes its port in QVN_TEST_HTTP_PORT).
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "platform/http_client.h"
#include "platform/http_flags.h"

namespace {

using ::testing::HasSubstr;

INTERNET_PORT ServerPort() {
  const char* pszPort = std::getenv("QVN_TEST_HTTP_PORT");
  return static_cast<INTERNET_PORT>(pszPort != nullptr ? std::atoi(pszPort) : 0);
}

// The server's /big: 300000 patterned bytes.
std::string Big() {
  std::string str(300000, '\0');
  for (size_t i = 0; i < str.size(); ++i) str[i] = static_cast<char>((i * 7 + i / 251) & 0xFF);
  return str;
}

struct Answer {
  DWORD dwStatus = 0;
  std::string strBody;
  std::string strContentRange;
};

// A GET as the update makes it; the cancel check makes the blocking calls
// run on the helper thread.
Answer Get(const std::string& strObject, ULONGLONG nFrom = 0, INTERNET_PORT nPort = ServerPort(),
           const char* pszHost = "127.0.0.1") {
  CInternetSession session;
  session.SetStallTimeout(20);
  session.SetCancelCheck([] { return false; });
  auto pConnection = session.GetHttpConnection(pszHost, 0, nPort);
  auto pFile = pConnection->OpenRequest("GET", strObject,
                                        INTERNET_FLAG_RELOAD | INTERNET_FLAG_EXISTING_CONNECT |
                                            INTERNET_FLAG_NO_CACHE_WRITE | INTERNET_FLAG_NO_AUTO_REDIRECT);
  pFile->SetRangeFrom(nFrom);
  pFile->SendRequest();
  Answer answer;
  EXPECT_TRUE(pFile->QueryInfoStatusCode(answer.dwStatus));
  answer.strContentRange = pFile->GetContentRange();
  char buf[4096];
  while (const UINT n = pFile->Read(buf, sizeof buf)) answer.strBody.append(buf, n);
  return answer;
}

TEST(WinInetClient, AnswersComeAsTheServerGaveThem) {
  ASSERT_NE(ServerPort(), 0) << "run through scripts/test-http-windows";
  const std::string strBig = Big();
  struct Case {
    const char* pszObject;
    ULONGLONG nFrom;
    DWORD dwStatus;
    std::string strBody;
    const char* pszContentRange;
  };
  const Case cases[] = {
      {"/ok", 0, 200, "fine", ""},
      {"/denied", 0, 401, "go away", ""},
      {"/missing", 0, 404, "nope", ""},
      // A redirection is the answer: it is not followed.
      {"/moved", 0, 302, "moved", ""},
      // Longer than the client's buffer: read across many receives.
      {"/big", 0, 200, strBig, ""},
      // A range request answered by 206 with Content-Range.
      {"/big", 1000, 206, strBig.substr(1000), "bytes 1000-299999/300000"},
  };
  for (const Case& c : cases) {
    const Answer answer = Get(c.pszObject, c.nFrom);
    EXPECT_EQ(answer.dwStatus, c.dwStatus) << c.pszObject;
    EXPECT_TRUE(answer.strBody == c.strBody) << c.pszObject << ": " << answer.strBody.size() << " bytes";
    EXPECT_EQ(answer.strContentRange, c.pszContentRange) << c.pszObject;
  }
}

TEST(WinInetClient, SendsAnHttp10GetWithTheAgentAndNoCacheHeaders) {
  const std::string strSeen = Get("/echo").strBody;
  EXPECT_THAT(strSeen, ::testing::StartsWith("GET /echo HTTP/1.0\n"));
  EXPECT_THAT(strSeen, HasSubstr("User-Agent: QVNLicenseRequest\n"));
  EXPECT_THAT(strSeen, HasSubstr("Pragma: no-cache\n"));
  EXPECT_THAT(strSeen, HasSubstr("Cache-Control: no-cache\n"));
  EXPECT_THAT(strSeen, ::testing::Not(HasSubstr("Range:")));
  EXPECT_THAT(Get("/echo", 7).strBody, HasSubstr("Range: bytes=7-\n"));
}

TEST(WinInetClient, FailuresHaveTheirKindAndTheUrl) {
  struct Case {
    const char* pszHost;
    INTERNET_PORT nPort;
    const char* pszObject;
    CInternetException::Kind kind;
  };
  const Case cases[] = {
      // A body shorter than its Content-Length is an error, not an end.
      {"127.0.0.1", ServerPort(), "/cut", CInternetException::Kind::kCutShort},
      {"127.0.0.1", 1, "/x", CInternetException::Kind::kConnect},
      {"updates.quorvane.invalid", 80, "/x", CInternetException::Kind::kResolve},
  };
  for (const Case& c : cases) {
    try {
      Get(c.pszObject, 0, c.nPort, c.pszHost);
      ADD_FAILURE() << c.pszHost << c.pszObject << " did not fail";
    } catch (const CInternetException& e) {
      EXPECT_EQ(e.m_kind, c.kind) << e.GetErrorMessage();
      EXPECT_FALSE(e.m_strSystemText.empty());
      EXPECT_THAT(e.GetErrorMessage(), HasSubstr(std::string("http://") + c.pszHost + ":" +
                                                 std::to_string(c.nPort) + c.pszObject));
    }
  }
}

}  // namespace
