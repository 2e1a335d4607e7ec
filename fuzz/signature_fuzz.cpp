// The readers of what a server or a publisher hands over for signed updates:
// minisign public keys, secret keys and signatures, and sha256sum lists. They
// must take any bytes without a fault, a key that reads must write back as
// itself, and a signed list must never pass for bytes its key did not sign.
//
// Input: one byte that picks the reader (0 a signature and its list, split at
// the first NUL; 1 a public key; 2 a secret key; 3 a list), then the text.
#include <cstdint>
#include <map>
#include <string>

#include "fuzz/fuzz_support.h"
#include "trust/minisign.h"
#include "trust/sha256_sums.h"
#include "trust/signed_update.h"

namespace {

// The key the seed signatures were made with.
constexpr const char* kKey = "RWRkVxpfmvCWBxEZUuAg/vd5OqzAEL+llxjc9fYuml350yTGTSpuywkl";

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* pData, size_t nSize) {
  if (nSize == 0) return 0;
  const std::string strText(reinterpret_cast<const char*>(pData + 1), nSize - 1);
  std::string strError;
  switch (pData[0] % 4) {
    case 0: {
      static MinisignPublicKey key;
      static const bool bKey = ParsePublicKey(kKey, key, strError);
      QVN_FUZZ_CHECK(bKey);
      const size_t nNul = strText.find('\0');
      const std::string strSignature = strText.substr(0, nNul);
      const std::string strSums = nNul == std::string::npos ? std::string() : strText.substr(nNul + 1);
      CSignedUpdate signedUpdate;
      if (signedUpdate.Load(key, strSums, strSignature, 1796660000, strError)) {
        QVN_FUZZ_CHECK(signedUpdate.IsLoaded() && signedUpdate.KeyId() == "0796F09A5F1A5764");
        // One changed byte of the list is no longer what was signed.
        std::string strChanged = strSums;
        strChanged.push_back('\n');
        CSignedUpdate other;
        QVN_FUZZ_CHECK(!other.Load(key, strChanged, strSignature, 1796660000, strError));
      }
      break;
    }
    case 1: {
      MinisignPublicKey key;
      if (ParsePublicKey(strText, key, strError)) {
        MinisignPublicKey again;
        QVN_FUZZ_CHECK(ParsePublicKey(FormatPublicKeyFile(key), again, strError));
        QVN_FUZZ_CHECK(again.keynum == key.keynum && again.pk == key.pk);
      }
      break;
    }
    case 2: {
      MinisignSecretKey key;
      if (ParseSecretKey(strText, key, strError)) {
        MinisignSecretKey again;
        QVN_FUZZ_CHECK(ParseSecretKey(FormatSecretKeyFile(key), again, strError));
        QVN_FUZZ_CHECK(again.keynum == key.keynum && again.sk == key.sk);
      }
      break;
    }
    default: {
      std::map<std::string, std::string> mapSums;
      if (ParseSha256Sums(strText, mapSums, strError)) {
        std::string strWritten;
        for (const auto& [strName, strHex] : mapSums) strWritten += Sha256SumsLine(strHex, strName);
        std::map<std::string, std::string> mapAgain;
        QVN_FUZZ_CHECK(ParseSha256Sums(strWritten, mapAgain, strError) && mapAgain == mapSums);
      }
      break;
    }
  }
  return 0;
}
