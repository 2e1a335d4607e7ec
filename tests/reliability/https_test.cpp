// Updates over https from a server on 127.0.0.1 whose certificate is signed
// by a throwaway authority made for the test: trusted only through --cacert,
// only for the name it was issued for, and never replaced by plain http.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <httplib.h>
#include <unistd.h>

#include "reliability/installation.h"
#include "support/local_server.h"

namespace {

using qvntest::IsRelease;
using qvntest::ProcessResult;
using qvntest::Releases;
using ::testing::HasSubstr;

// An authority and a server certificate for 127.0.0.1 signed by it, plus a
// second authority that signed nothing here.
struct Authorities {
  std::string strCa;
  std::string strOtherCa;
  std::string strServerCert;
  std::string strServerKey;
};

bool Openssl(const std::vector<std::string>& arrArgs, std::string& strError) {
  std::vector<std::string> arrArgv = {"/usr/bin/openssl"};
  arrArgv.insert(arrArgv.end(), arrArgs.begin(), arrArgs.end());
  const qvntest::ProcessResult r = qvntest::RunProcess(arrArgv, qvntest::ProcessOptions{"", {}, {}, 60});
  strError += r.strErr;
  return r.nExit == 0;
}

bool MakeAuthorities(const std::filesystem::path& folder, Authorities& a, std::string& strError) {
  const auto P = [&folder](const char* pszName) { return (folder / pszName).string(); };
  a = {P("ca.pem"), P("other-ca.pem"), P("server.pem"), P("server.key")};
  qvntest::WriteFile(P("server.ext"),
                     "subjectAltName=IP:127.0.0.1\nbasicConstraints=CA:FALSE\nextendedKeyUsage=serverAuth\n");
  const std::vector<std::string> arrEc = {"-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1",
                                          "-nodes"};
  auto CaArgs = [&](const char* pszKey, const std::string& strCert, const char* pszName) {
    std::vector<std::string> v = {"req", "-x509"};
    v.insert(v.end(), arrEc.begin(), arrEc.end());
    v.insert(v.end(),
             {"-keyout", P(pszKey), "-out", strCert, "-days", "2", "-subj", pszName, "-addext",
              "basicConstraints=critical,CA:TRUE", "-addext", "keyUsage=critical,keyCertSign,cRLSign"});
    return v;
  };
  std::vector<std::string> arrRequest = {"req"};
  arrRequest.insert(arrRequest.end(), arrEc.begin(), arrEc.end());
  arrRequest.insert(arrRequest.end(),
                    {"-keyout", a.strServerKey, "-out", P("server.csr"), "-subj", "/CN=127.0.0.1"});
  return Openssl(CaArgs("ca.key", a.strCa, "/CN=Quorvane Test Authority"), strError) &&
         Openssl(CaArgs("other-ca.key", a.strOtherCa, "/CN=Somebody Else"), strError) &&
         Openssl(arrRequest, strError) &&
         Openssl({"x509", "-req", "-in", P("server.csr"), "-CA", a.strCa, "-CAkey", P("ca.key"),
                  "-CAcreateserial", "-out", a.strServerCert, "-days", "2", "-extfile", P("server.ext")},
                 strError);
}

class HttpsUpdateTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (access("/usr/bin/openssl", X_OK) != 0) GTEST_SKIP() << "the openssl tool is not installed";
    std::string strError;
    ASSERT_TRUE(MakeAuthorities(certs.Path(), ca, strError)) << strError;
    server = std::make_unique<httplib::SSLServer>(ca.strServerCert.c_str(), ca.strServerKey.c_str());
    server->Get(R"(/Updates/(.*))", [payloads = Releases::Payloads(), strManifest = Releases::Manifest()](
                                        const httplib::Request& req, httplib::Response& res) {
      const std::string strName = req.matches[1];
      if (strName == "UpdateInfo.txt") return res.set_content(strManifest, "text/plain");
      const auto it = payloads.find(strName);
      if (it == payloads.end()) {
        res.status = 404;
      } else {
        res.set_content(it->second, "application/octet-stream");
      }
    });
    nPort = running.Start(*server);
    Releases::InstallOld(dir.Path());
  }
  std::string Url(const char* pszHost = "127.0.0.1") const {
    return std::string("https://") + pszHost + ":" + std::to_string(nPort);
  }
  ProcessResult Update(const std::string& strUrl, const std::string& strCa) {
    return qvntest::RunUpdater(
        dir.Path(), strUrl, {},
        strCa.empty() ? std::vector<std::string>{} : std::vector<std::string>{"--cacert", strCa});
  }

  qvntest::TempDir certs;
  qvntest::TempDir dir;
  Authorities ca;
  std::unique_ptr<httplib::SSLServer> server;
  qvntest::ServerThread running;
  int nPort = 0;
};

TEST_F(HttpsUpdateTest, AServerSignedByTheGivenAuthorityIsUpdatedFrom) {
  const ProcessResult r = Update(Url(), ca.strCa);
  EXPECT_EQ(r.nExit, 0) << r.strErr;
  EXPECT_EQ(qvntest::Lines(r.strOut).back(), "Update Completed!");
  EXPECT_TRUE(IsRelease(dir.Path(), "new"));
}

TEST_F(HttpsUpdateTest, AnUnknownAuthorityOrAnotherNameIsANetworkError) {
  const struct {
    const char* pszCase;
    std::string strUrl;
    std::string strCa;
    const char* pszError;
  } cases[] = {
      {"no authority given", Url(), "", "SSL certificate problem"},
      {"another authority given", Url(), ca.strOtherCa, "SSL certificate problem"},
      {"a name the certificate was not issued for", Url("localhost"), ca.strCa,
       "no alternative certificate subject name matches target host name 'localhost'"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.pszCase);
    qvntest::CountFault();
    const ProcessResult r = Update(c.strUrl, c.strCa);
    EXPECT_EQ(r.nExit, 2);
    EXPECT_EQ(r.strOut, "Attempting to connection to server\n");
    EXPECT_THAT(r.strErr, HasSubstr(c.pszError));
    EXPECT_TRUE(IsRelease(dir.Path(), "old"));
  }
}

TEST_F(HttpsUpdateTest, AnHttpsAddressNeverFallsBackToPlainHttp) {
  qvntest::LocalHttpServer plain;
  plain.Serve("/Updates/UpdateInfo.txt", Releases::Manifest());
  plain.Start();
  qvntest::CountFault();
  const ProcessResult r = Update("https://127.0.0.1:" + std::to_string(plain.Port()), ca.strCa);
  EXPECT_EQ(r.nExit, 2);
  EXPECT_NE(r.strErr, "");
  EXPECT_THAT(plain.Requests(), ::testing::Not(::testing::Contains("/Updates/UpdateInfo.txt")));
  EXPECT_TRUE(IsRelease(dir.Path(), "old"));
}

TEST_F(HttpsUpdateTest, AnAuthorityFileThatCannotBeReadIsANetworkError) {
  const ProcessResult r = Update(Url(), (certs.Path() / "missing.pem").string());
  EXPECT_EQ(r.nExit, 2);
  EXPECT_THAT(r.strErr, HasSubstr("missing.pem"));
  EXPECT_TRUE(IsRelease(dir.Path(), "old"));
}

}  // namespace
