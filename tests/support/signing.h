#pragma once
// Keys and signatures made by the real minisign tool, and a signed update
// directory as a publisher would put it on the server.
#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "support/process.h"
#include "support/temp_dir.h"
#include "trust/sha256_sums.h"

namespace qvntest {

inline ProcessResult RunMinisign(std::vector<std::string> arrArgs) {
  arrArgs.insert(arrArgs.begin(), "/usr/bin/minisign");
  const ProcessResult r = RunProcess(arrArgs);
  EXPECT_FALSE(r.bTimedOut) << "minisign did not finish";
  return r;
}

// A key pair from "minisign -G -W" (no password) in a folder of its own.
class MinisignKey {
 public:
  MinisignKey() {
    const ProcessResult r = RunMinisign({"-G", "-W", "-p", Pub(), "-s", Secret()});
    EXPECT_EQ(r.nExit, 0) << r.strErr;
  }
  std::string Pub() const { return m_dir / "k.pub"; }
  std::string Secret() const { return m_dir / "k.key"; }
  // The base64 line of the public key.
  std::string Base64() const {
    const std::string strText = ReadFile(Pub());
    const size_t nStart = strText.find('\n') + 1;
    return strText.substr(nStart, strText.find('\n', nStart) - nStart);
  }
  // The key ID from the public key's comment, as 16 hex digits.
  std::string Id() const {
    const std::string strText = ReadFile(Pub());
    std::string strId = strText.substr(strText.rfind(' ', strText.find('\n')) + 1);
    strId.resize(strId.find('\n'));
    return std::string(16 - strId.size(), '0') + strId;
  }

  // "minisign -S" of strMessage with arrExtra (-l, -t COMMENT); the .minisig text.
  std::string Sign(const std::string& strMessage, std::vector<std::string> arrExtra = {}) const {
    TempDir dir;
    WriteFile(dir / "m", strMessage);
    std::vector<std::string> arrArgs = {"-S", "-s", Secret(), "-m", dir / "m", "-x", dir / "m.minisig"};
    arrArgs.insert(arrArgs.end(), arrExtra.begin(), arrExtra.end());
    const ProcessResult r = RunMinisign(arrArgs);
    EXPECT_EQ(r.nExit, 0) << r.strErr;
    return ReadFile(dir / "m.minisig");
  }

 private:
  TempDir m_dir;
};

// SHA256SUMS for files (name below Updates/ to contents), as sha256sum writes it.
inline std::string Sha256Sums(const std::map<std::string, std::string>& files) {
  std::string strSums;
  for (const auto& [strName, strData] : files) strSums += Sha256SumsLine(Sha256Hex(strData), strName);
  return strSums;
}

// An update directory's files with SHA256SUMS and its signature added: the
// manifest and the payloads all listed, signed by key with arrExtra.
inline std::map<std::string, std::string> SignedUpdate(std::map<std::string, std::string> files,
                                                       const MinisignKey& key,
                                                       std::vector<std::string> arrExtra = {}) {
  const std::string strSums = Sha256Sums(files);
  files["SHA256SUMS"] = strSums;
  files["SHA256SUMS.minisig"] = key.Sign(strSums, std::move(arrExtra));
  return files;
}

inline void WriteFiles(const std::filesystem::path& dir, const std::map<std::string, std::string>& files) {
  for (const auto& [strName, strData] : files) WriteFile(dir / strName, strData);
}

}  // namespace qvntest
