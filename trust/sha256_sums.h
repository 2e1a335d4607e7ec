#pragma once
// SHA-256 (libsodium) and the lists of sums that sha256sum writes and checks.
#include <sodium.h>

#include <cstddef>
#include <map>
#include <string>

// A SHA-256 over data fed in pieces.
class CSha256 {
 public:
  CSha256();
  void Update(const void* pData, std::size_t nSize);
  // 64 lower-case hex digits; the object is then spent.
  std::string FinishHex();

 private:
  crypto_hash_sha256_state m_state;
};

std::string Sha256Hex(const std::string& strData);

// One line as sha256sum writes it: the sum, two spaces, the name, a line feed.
std::string Sha256SumsLine(const std::string& strHex, const std::string& strName);

// Reads a list of such lines into name -> sum. False, with the line and what
// is wrong with it, for anything else: another layout, an escaped name
// (sha256sum's leading "\"), a name listed twice.
bool ParseSha256Sums(const std::string& strText, std::map<std::string, std::string>& mapSums,
                     std::string& strError);
