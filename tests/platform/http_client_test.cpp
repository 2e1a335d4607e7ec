// The HTTP client against real servers on 127.0.0.1: a proper one for normal
// answers and a bare socket server for the broken ones.
#include "platform/http_client.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstdlib>
#include <optional>
#include <string>
#include <vector>

#include "platform/http_flags.h"
#include "support/local_server.h"
#include "support/raw_server.h"
#include "support/temp_dir.h"
#include "support/tls_cert.h"

namespace {

using qvntest::LocalHttpServer;
using qvntest::RawServer;
using ::testing::HasSubstr;

struct Fetch {
  DWORD dwStatus = 0;
  std::string strBody;
};

std::unique_ptr<CHttpFile> Open(CInternetSession& session, const std::string& strUrl,
                                std::unique_ptr<CHttpConnection>& pConnection) {
  const std::optional<CHttpUrl> url = CHttpUrl::Parse(strUrl);
  EXPECT_TRUE(url) << strUrl;
  pConnection =
      session.GetHttpConnection(url->GetHost(), url->IsSecure() ? INTERNET_FLAG_SECURE : 0, url->GetPort());
  auto pFile = pConnection->OpenRequest("GET", url->GetObjectPath(),
                                        INTERNET_FLAG_RELOAD | INTERNET_FLAG_EXISTING_CONNECT |
                                            INTERNET_FLAG_NO_CACHE_WRITE | INTERNET_FLAG_NO_AUTO_REDIRECT);
  pFile->SendRequest();
  return pFile;
}

// Fetches a whole body in the blocks the download uses.
Fetch Get(const std::string& strUrl, long nStall = 0) {
  CInternetSession session;
  session.SetStallTimeout(nStall);
  std::unique_ptr<CHttpConnection> pConnection;
  auto pFile = Open(session, strUrl, pConnection);
  Fetch f;
  EXPECT_TRUE(pFile->QueryInfoStatusCode(f.dwStatus));
  char buf[4096];
  for (;;) {
    const UINT n = pFile->Read(buf, sizeof buf);
    f.strBody.append(buf, n);
    if (n < sizeof buf) break;
  }
  EXPECT_EQ(pFile->Read(buf, sizeof buf), 0u);  // the end stays the end
  pFile->Close();
  return f;
}

std::vector<std::string> Lines(const std::string& strBody) {
  LocalHttpServer server;
  server.Serve("/m.txt", strBody);
  server.Start();
  CInternetSession session;
  std::unique_ptr<CHttpConnection> pConnection;
  auto pFile = Open(session, server.Url() + "/m.txt", pConnection);
  std::vector<std::string> arrLines;
  std::string strLine;
  while (pFile->ReadString(strLine)) arrLines.push_back(strLine);
  return arrLines;
}

// --- URLs -------------------------------------------------------------------

TEST(ParseUrl, SplitsWhatTheUpdateUses) {
  struct Case {
    const char* pszUrl;
    bool bSecure;
    const char* pszServer;
    const char* pszObject;
    INTERNET_PORT nPort;
    const char* pszFull;  // what a request for it is reported under
  };
  const Case cases[] = {
      {"http://updates.example/Updates/UpdateInfo.txt", false, "updates.example", "/Updates/UpdateInfo.txt",
       80, "http://updates.example:80/Updates/UpdateInfo.txt"},
      {"HTTP://127.0.0.1:8080/Updates/a%20b.dll", false, "127.0.0.1", "/Updates/a%20b.dll", 8080,
       "http://127.0.0.1:8080/Updates/a%20b.dll"},
      {"https://updates.example/x", true, "updates.example", "/x", 443, "https://updates.example:443/x"},
      {"http://[::1]:81/Updates/x", false, "::1", "/Updates/x", 81, "http://[::1]:81/Updates/x"},
      {"http://host", false, "host", "/", 80, "http://host:80/"},
      {"http://host/a?b#frag", false, "host", "/a?b", 80, "http://host:80/a?b"},
      {"http://host?q", false, "host", "/?q", 80, "http://host:80/?q"},
  };
  for (const Case& c : cases) {
    const std::optional<CHttpUrl> url = CHttpUrl::Parse(c.pszUrl);
    ASSERT_TRUE(url) << c.pszUrl;
    EXPECT_EQ(url->IsSecure(), c.bSecure) << c.pszUrl;
    EXPECT_EQ(url->GetHost(), c.pszServer) << c.pszUrl;
    EXPECT_EQ(url->GetObjectPath(), c.pszObject) << c.pszUrl;
    EXPECT_EQ(url->GetPort(), c.nPort) << c.pszUrl;
    EXPECT_EQ(url->GetFullText(), c.pszFull) << c.pszUrl;
    EXPECT_EQ(url->GetText(), c.pszUrl);
  }
  // Paths are appended as to the text: the server's own path stays in front.
  const CHttpUrl mirror = CHttpUrl::Parse("http://host:81/mirror")->Append("/Updates/x");
  EXPECT_EQ(mirror.GetObjectPath(), "/mirror/Updates/x");
  EXPECT_EQ(mirror.GetText(), "http://host:81/mirror/Updates/x");
  EXPECT_EQ(CHttpUrl::Parse("https://host")->Append("/Updates/x").GetFullText(),
            "https://host:443/Updates/x");
}

TEST(ParseUrl, RefusesWhatIsNoUrl) {
  for (const char* pszUrl : {"", "updates.example/x", "http://", "http:///x", "http://host:0/",
                             "http://host:65536/", "http://host:8x/", "http://user@host/", "http://[::1/x",
                             "http://host/a b", "://host/", "ftp://host/file", "file:///etc/passwd"}) {
    EXPECT_FALSE(CHttpUrl::Parse(pszUrl)) << pszUrl;
  }
}

// --- What goes out ----------------------------------------------------------

TEST(HttpRequest, IsAPlainHttp10GetWithTheAgentAndNoCacheHeadersOnly) {
  RawServer server([](const std::string&) { return RawServer::Reply{RawServer::Head(200) + "ok"}; });
  EXPECT_EQ(Get(server.Url() + "/Updates/UpdateInfo.txt").strBody, "ok");
  ASSERT_EQ(server.RequestHeads().size(), 1u);
  const std::string strHead = server.RequestHeads()[0];
  EXPECT_EQ(strHead.substr(0, strHead.find("\r\n")), "GET /Updates/UpdateInfo.txt HTTP/1.0");
  std::vector<std::string> arrHeaders;
  for (size_t nPos = strHead.find("\r\n") + 2; nPos < strHead.size();) {
    const size_t nEnd = strHead.find("\r\n", nPos);
    if (nEnd == nPos) break;
    arrHeaders.push_back(strHead.substr(nPos, strHead.find(':', nPos) - nPos));
    nPos = nEnd + 2;
  }
  EXPECT_THAT(arrHeaders, ::testing::UnorderedElementsAre("Host", "User-Agent", "Pragma", "Cache-Control"));
  EXPECT_THAT(strHead, HasSubstr("User-Agent: QVNLicenseRequest\r\n"));
  EXPECT_THAT(strHead, HasSubstr("Pragma: no-cache\r\n"));
  EXPECT_THAT(strHead, HasSubstr("Cache-Control: no-cache\r\n"));
}

TEST(HttpRequest, GoesThroughTheProxyTheEnvironmentNames) {
  RawServer proxy([](const std::string&) { return RawServer::Reply{RawServer::Head(200) + "via proxy"}; });
  setenv("http_proxy", proxy.Url().c_str(), 1);
  const Fetch f = Get("http://updates.quorvane.test/Updates/UpdateInfo.txt");
  unsetenv("http_proxy");
  EXPECT_EQ(f.strBody, "via proxy");
  ASSERT_EQ(proxy.RequestHeads().size(), 1u);
  EXPECT_THAT(proxy.RequestHeads()[0],
              ::testing::StartsWith("GET http://updates.quorvane.test/Updates/UpdateInfo.txt HTTP/1.0\r\n"));
}

TEST(HttpRequest, LeavesOutTheProxyForNamesInNoProxy) {
  LocalHttpServer server;
  server.Serve("/x", "direct");
  server.Start();
  setenv("http_proxy", ("http://127.0.0.1:" + std::to_string(qvntest::ClosedLoopbackPort())).c_str(), 1);
  setenv("no_proxy", "127.0.0.1", 1);
  const Fetch f = Get(server.Url() + "/x");
  unsetenv("http_proxy");
  unsetenv("no_proxy");
  EXPECT_EQ(f.strBody, "direct");
}

// --- Answers ----------------------------------------------------------------

TEST(HttpAnswer, StatusAndBodyOfEveryKindOfAnswerAreReadable) {
  LocalHttpServer server;
  server.Serve("/ok", "fine");
  server.Serve("/denied", "go away", 401);
  server.Serve("/broken", "oops", 500);
  server.Start();
  EXPECT_EQ(Get(server.Url() + "/ok").dwStatus, 200u);
  EXPECT_EQ(Get(server.Url() + "/ok").strBody, "fine");
  EXPECT_EQ(Get(server.Url() + "/denied").dwStatus, 401u);
  EXPECT_EQ(Get(server.Url() + "/denied").strBody, "go away");
  EXPECT_EQ(Get(server.Url() + "/missing").dwStatus, 404u);
  EXPECT_EQ(Get(server.Url() + "/broken").dwStatus, 500u);
}

TEST(HttpAnswer, ARedirectionIsNotFollowed) {
  LocalHttpServer server;
  server.Server().Get("/moved", [](const httplib::Request&, httplib::Response& res) {
    res.status = 302;
    res.set_header("Location", "/elsewhere");
    res.set_content("moved", "text/plain");
  });
  server.Serve("/elsewhere", "should not be fetched");
  server.Start();
  const Fetch f = Get(server.Url() + "/moved");
  EXPECT_EQ(f.dwStatus, 302u);
  EXPECT_EQ(f.strBody, "moved");
  EXPECT_EQ(server.Requests(), std::vector<std::string>{"/moved"});
}

TEST(HttpAnswer, BlocksAreFullUntilTheLastAndTheBodyComesWhole) {
  // Larger than every buffer on the way, so that the transfer pauses and resumes.
  const std::string strData = qvntest::PatternData(3 * 1024 * 1024 + 1808);
  LocalHttpServer server;
  server.Serve("/big", strData);
  server.Start();
  CInternetSession session;
  std::unique_ptr<CHttpConnection> pConnection;
  auto pFile = Open(session, server.Url() + "/big", pConnection);
  std::string strBody;
  std::vector<UINT> arrShort;
  char buf[4096];
  for (;;) {
    const UINT n = pFile->Read(buf, sizeof buf);
    strBody.append(buf, n);
    if (n < sizeof buf) {
      arrShort.push_back(n);
      break;
    }
  }
  EXPECT_EQ(arrShort, std::vector<UINT>{1808});
  EXPECT_TRUE(strBody == strData);
  EXPECT_EQ(pFile->GetBytesRead(), strData.size());
}

TEST(HttpAnswer, LinesAreSplitAtLineFeedsWithCarriageReturnsDropped) {
  EXPECT_EQ(Lines("a\r\nb\n\nc"), (std::vector<std::string>{"a", "b", "", "c"}));
  EXPECT_EQ(Lines("x\r\n"), (std::vector<std::string>{"x"}));
  EXPECT_EQ(Lines(""), (std::vector<std::string>{}));
  EXPECT_EQ(Lines("\n"), (std::vector<std::string>{""}));
  EXPECT_EQ(Lines("a\rb\r\n\r"), (std::vector<std::string>{"ab"}));
}

TEST(HttpAnswer, ABodyPastTheLimitFails) {
  LocalHttpServer server;
  server.Serve("/m", std::string(10000, 'a'));
  server.Start();
  CInternetSession session;
  std::unique_ptr<CHttpConnection> pConnection;
  auto pFile = Open(session, server.Url() + "/m", pConnection);
  pFile->SetMaxBodySize(5000);
  char buf[4096];
  EXPECT_EQ(pFile->Read(buf, sizeof buf), 4096u);
  EXPECT_THROW(pFile->Read(buf, sizeof buf), CInternetException);
}

// --- Failures ---------------------------------------------------------------

TEST(HttpFailure, ABodyShorterThanItsLengthIsAnErrorNotAnEnd) {
  RawServer server([](const std::string&) {
    return RawServer::Reply{RawServer::Head(200, "Content-Length: 10000\r\n") + std::string(5000, 'x')};
  });
  try {
    Get(server.Url() + "/x");
    FAIL() << "a cut body was taken as whole";
  } catch (const CInternetException& e) {
    EXPECT_EQ(e.m_kind, CInternetException::Kind::kCutShort);
    EXPECT_THAT(e.GetErrorMessage(), HasSubstr("bytes remaining"));
    EXPECT_THAT(e.GetErrorMessage(), HasSubstr(server.Url() + "/x"));
  }
}

TEST(HttpFailure, AnErrorAnswerCutShortIsStillThatAnswer) {
  RawServer server([](const std::string&) {
    return RawServer::Reply{RawServer::Head(404, "Content-Length: 1000\r\n") + "<html>not found"};
  });
  CInternetSession session;
  std::unique_ptr<CHttpConnection> pConnection;
  auto pFile = Open(session, server.Url() + "/x", pConnection);
  DWORD dwStatus = 0;
  EXPECT_TRUE(pFile->QueryInfoStatusCode(dwStatus));
  EXPECT_EQ(dwStatus, 404u);
}

// Body bytes end the wait for the answer even when its headers did not show
// their end as expected (a 101 taken as final, a blank line of "\r\r\n"):
// the client used to spin at full speed for ever.
TEST(HttpAnswer, ABodyEndsTheWaitForTheAnswerWhateverItsHeaders) {
  for (const char* pszHead : {"HTTP/1.1 101 Switching Protocols\r\n\r\n", "HTTP/1.0 200 OK\r\n\r\r\n"}) {
    SCOPED_TRACE(pszHead);
    RawServer server([&](const std::string&) { return RawServer::Reply{pszHead, std::string(400000, 'x')}; });
    const Fetch f = Get(server.Url() + "/x", 5);
    EXPECT_EQ(f.dwStatus, std::string(pszHead).find(" 101 ") != std::string::npos ? 101u : 200u);
    EXPECT_EQ(f.strBody.size(), 400000u);
  }
}

TEST(HttpFailure, ADroppedConnectionIsAnError) {
  RawServer server([](const std::string&) {
    return RawServer::Reply{.strHead = RawServer::Head(200) + std::string(20000, 'x'),
                            .ending = RawServer::Ending::Reset};
  });
  EXPECT_THROW(Get(server.Url() + "/x"), CInternetException);
}

TEST(HttpFailure, AServerThatStopsSendingFailsAfterTheStallLimit) {
  RawServer midBody([](const std::string&) {
    return RawServer::Reply{
        .strHead = RawServer::Head(200, RawServer::LengthHeader(100000)) + std::string(6000, 'x'),
        .ending = RawServer::Ending::Stall,
        .nStallMillis = 20000};
  });
  // Bursts now and then keep libcurl's own check (the last few seconds) happy
  // while the rate over the stall limit stays below 1 KiB a second.
  RawServer bursts([](const std::string&) {
    return RawServer::Reply{.strHead = RawServer::Head(200, RawServer::LengthHeader(10'000'000)),
                            .strBody = std::string(6000, 'x'),
                            .nChunk = 6000,
                            .nPauseMillis = 6000,
                            .bEndless = true};
  });
  for (const auto& [pServer, nStall] : {std::pair{&midBody, 1L}, std::pair{&bursts, 2L}}) {
    try {
      Get(pServer->Url() + "/x", nStall);
      FAIL() << "a transfer below the rate ended";
    } catch (const CInternetException& e) {
      EXPECT_EQ(e.m_kind, CInternetException::Kind::kTimeout);
      EXPECT_THAT(e.m_strSystemText, HasSubstr("too slow"));
    }
  }

  RawServer silent([](const std::string&) {
    return RawServer::Reply{.ending = RawServer::Ending::Stall, .nStallMillis = 20000};
  });
  CInternetSession session;
  session.SetStallTimeout(1);
  std::unique_ptr<CHttpConnection> pConnection;
  EXPECT_THROW(Open(session, silent.Url() + "/x", pConnection), CInternetException);
}

TEST(HttpFailure, ARefusedConnectionCarriesLibcurlsText) {
  const std::string strUrl = "http://127.0.0.1:" + std::to_string(qvntest::ClosedLoopbackPort()) + "/x";
  try {
    Get(strUrl);
    FAIL() << "connected to a closed port";
  } catch (const CInternetException& e) {
    EXPECT_EQ(e.m_kind, CInternetException::Kind::kConnect);
    EXPECT_THAT(e.m_strSystemText, HasSubstr("127.0.0.1"));
    EXPECT_EQ(e.m_strUrl, strUrl);
  }
}

TEST(HttpFailure, ANameThatCannotResolveFailsAtOnce) {
  try {
    Get("http://updates.quorvane.invalid/Updates/UpdateInfo.txt");
    FAIL() << "resolved a .invalid name";
  } catch (const CInternetException& e) {
    EXPECT_EQ(e.m_kind, CInternetException::Kind::kResolve);
    EXPECT_EQ(e.m_strSystemText, "Could not resolve host: updates.quorvane.invalid");
  }
}

TEST(HttpFailure, AnAnswerThatIsNoHttpIsAnError) {
  RawServer server([](const std::string&) { return RawServer::Reply{"this is not http\n"}; });
  EXPECT_THROW(Get(server.Url() + "/x"), CInternetException);
}

}  // namespace

// --- https ------------------------------------------------------------------

namespace {

class HttpsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (access("/usr/bin/openssl", X_OK) != 0) GTEST_SKIP() << "the openssl tool is not installed";
    cert = qvntest::MakeLoopbackCert(dir.Path());
    server = std::make_unique<httplib::SSLServer>(cert.strCert.c_str(), cert.strKey.c_str());
    server->Get("/x", [](const httplib::Request&, httplib::Response& res) {
      res.set_content("secret", "text/plain");
    });
    nPort = running.Start(*server);
  }
  std::string Url(const char* pszHost = "127.0.0.1") const {
    return std::string("https://") + pszHost + ":" + std::to_string(nPort) + "/x";
  }
  std::string Fetch(const std::string& strUrl, const std::string& strCaFile) {
    CInternetSession session;
    session.SetCaFile(strCaFile);
    std::unique_ptr<CHttpConnection> pConnection;
    auto pFile = Open(session, strUrl, pConnection);
    std::string strLine;
    pFile->ReadString(strLine);
    return strLine;
  }

  qvntest::TempDir dir;
  qvntest::TlsCert cert;
  std::unique_ptr<httplib::SSLServer> server;
  qvntest::ServerThread running;
  int nPort = 0;
};

TEST_F(HttpsTest, AServerSignedByATrustedAuthorityIsRead) {
  EXPECT_EQ(Fetch(Url(), cert.strCert), "secret");
}

TEST_F(HttpsTest, AnUntrustedCertificateIsRefused) {
  try {
    Fetch(Url(), "");
    FAIL() << "an untrusted server was read";
  } catch (const CInternetException& e) {
    EXPECT_EQ(e.m_kind, CInternetException::Kind::kCertificate);
  }
}

TEST_F(HttpsTest, ACertificateForAnotherNameIsRefused) {
  // Trusted, but issued for 127.0.0.1 only.
  EXPECT_THROW(Fetch(Url("localhost"), cert.strCert), CInternetException);
}

}  // namespace
