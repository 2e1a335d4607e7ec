#pragma once
// A self-signed certificate for 127.0.0.1, made with the openssl tool, for
// https servers in tests. The certificate is its own authority: trusting it
// (--cacert) makes the server trusted; without it the server is not.
#include <filesystem>
#include <stdexcept>
#include <string>

#include "support/process.h"

namespace qvntest {

struct TlsCert {
  std::string strCert;  // PEM certificate, also the authority to trust
  std::string strKey;   // PEM private key
};

inline TlsCert MakeLoopbackCert(const std::filesystem::path& folder) {
  TlsCert cert{(folder / "cert.pem").string(), (folder / "key.pem").string()};
  const ProcessResult r = RunProcess(
      {"/usr/bin/openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout", cert.strKey, "-out",
       cert.strCert, "-days", "2", "-subj", "/CN=127.0.0.1", "-addext", "subjectAltName=IP:127.0.0.1"},
      ProcessOptions{"", {}, {}, 60});
  if (r.nExit != 0) throw std::runtime_error("openssl could not make a certificate: " + r.strErr);
  return cert;
}

}  // namespace qvntest
