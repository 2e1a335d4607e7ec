#include "trust/sha256_sums.h"

#include <stdexcept>

namespace {

std::string Hex(const unsigned char* p, std::size_t n) {
  static const char kHex[] = "0123456789abcdef";
  std::string str;
  for (std::size_t i = 0; i < n; ++i) {
    str += kHex[p[i] >> 4];
    str += kHex[p[i] & 0xF];
  }
  return str;
}

bool IsLowerHex(const std::string& str) {
  return str.find_first_not_of("0123456789abcdef") == std::string::npos;
}

}  // namespace

CSha256::CSha256() {
  if (sodium_init() < 0) throw std::runtime_error("libsodium cannot be initialised");
  crypto_hash_sha256_init(&m_state);
}

void CSha256::Update(const void* pData, std::size_t nSize) {
  crypto_hash_sha256_update(&m_state, static_cast<const unsigned char*>(pData), nSize);
}

std::string CSha256::FinishHex() {
  unsigned char digest[crypto_hash_sha256_BYTES];
  crypto_hash_sha256_final(&m_state, digest);
  return Hex(digest, sizeof digest);
}

std::string Sha256Hex(const std::string& strData) {
  CSha256 sha;
  sha.Update(strData.data(), strData.size());
  return sha.FinishHex();
}

std::string Sha256SumsLine(const std::string& strHex, const std::string& strName) {
  return strHex + "  " + strName + "\n";
}

bool ParseSha256Sums(const std::string& strText, std::map<std::string, std::string>& mapSums,
                     std::string& strError) {
  std::size_t nStart = 0;
  for (int nLine = 1; nStart < strText.size(); ++nLine) {
    const std::size_t nEnd = strText.find('\n', nStart);
    if (nEnd == std::string::npos) {
      strError = "its last line has no line end";
      return false;
    }
    const std::string strLine = strText.substr(nStart, nEnd - nStart);
    nStart = nEnd + 1;
    const std::string strName = strLine.size() > 66 ? strLine.substr(66) : std::string();
    if (strLine.size() <= 66 || strLine.compare(64, 2, "  ") != 0 || !IsLowerHex(strLine.substr(0, 64)) ||
        strName.find('\r') != std::string::npos) {
      strError = "line " + std::to_string(nLine) + " is not a sum, two spaces and a name";
      return false;
    }
    if (!mapSums.emplace(strName, strLine.substr(0, 64)).second) {
      strError = "line " + std::to_string(nLine) + " lists a name a second time";
      return false;
    }
  }
  return true;
}
