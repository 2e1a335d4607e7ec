#include "trust/minisign.h"

#include <sodium.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <stdexcept>
#include <vector>

namespace {

constexpr const char* kUntrusted = "untrusted comment: ";
constexpr const char* kTrusted = "trusted comment: ";
constexpr std::size_t kSecretKeySize = 2 + 2 + 2 + 32 + 8 + 8 + 8 + 64 + 32;

void InitSodium() {
  // Idempotent and thread-safe; fails only when the system has no random source.
  if (sodium_init() < 0) throw std::runtime_error("libsodium cannot be initialised");
}

// The lines of a small text, without "\r\n" or "\n" ends.
std::vector<std::string> TextLines(const std::string& strText) {
  std::vector<std::string> arr;
  std::size_t nStart = 0;
  while (nStart < strText.size()) {
    std::size_t nEnd = strText.find('\n', nStart);
    if (nEnd == std::string::npos) nEnd = strText.size();
    std::string strLine = strText.substr(nStart, nEnd - nStart);
    if (!strLine.empty() && strLine.back() == '\r') strLine.pop_back();
    arr.push_back(std::move(strLine));
    nStart = nEnd + 1;
  }
  return arr;
}

bool StartsWith(const std::string& str, const char* pszPrefix) {
  return str.rfind(pszPrefix, 0) == 0;
}

// Decodes standard base64 of exactly nSize bytes.
bool DecodeBase64(const std::string& strText, std::uint8_t* pOut, std::size_t nSize) {
  std::size_t nLength = 0;
  const char* pEnd = nullptr;
  if (sodium_base642bin(pOut, nSize, strText.data(), strText.size(), nullptr, &nLength, &pEnd,
                        sodium_base64_VARIANT_ORIGINAL) != 0) {
    return false;
  }
  return nLength == nSize && pEnd == strText.data() + strText.size();
}

std::string EncodeBase64(const std::uint8_t* p, std::size_t n) {
  std::string str(sodium_base64_ENCODED_LEN(n, sodium_base64_VARIANT_ORIGINAL), '\0');
  sodium_bin2base64(str.data(), str.size(), p, n, sodium_base64_VARIANT_ORIGINAL);
  str.resize(std::strlen(str.c_str()));
  return str;
}

// The base64 line of a key or signature file: the line after an untrusted
// comment.
bool DataLine(const std::vector<std::string>& arrLines, std::size_t nIndex, std::string& strLine) {
  if (arrLines.size() <= nIndex + 1 || !StartsWith(arrLines[nIndex], kUntrusted)) return false;
  strLine = arrLines[nIndex + 1];
  return true;
}

std::string Checksum(const MinisignSecretKey& key) {
  std::uint8_t buf[2 + 8 + 64];
  std::memcpy(buf, "Ed", 2);
  std::memcpy(buf + 2, key.keynum.data(), 8);
  std::memcpy(buf + 10, key.sk.data(), 64);
  std::string strSum(32, '\0');
  crypto_generichash(reinterpret_cast<std::uint8_t*>(strSum.data()), strSum.size(), buf, sizeof buf, nullptr,
                     0);
  sodium_memzero(buf, sizeof buf);
  return strSum;
}

}  // namespace

MinisignSecretKey::~MinisignSecretKey() {
  sodium_memzero(sk.data(), sk.size());
}

std::string KeyIdText(const MinisignKeyNum& keynum) {
  static const char kHex[] = "0123456789ABCDEF";
  std::string str;
  for (std::size_t i = keynum.size(); i-- > 0;) {
    str += kHex[keynum[i] >> 4];
    str += kHex[keynum[i] & 0xF];
  }
  return str;
}

bool ParsePublicKey(const std::string& strText, MinisignPublicKey& key, std::string& strError) {
  InitSodium();
  const std::vector<std::string> arrLines = TextLines(strText);
  std::string strLine;
  if (!DataLine(arrLines, 0, strLine)) {
    if (arrLines.size() != 1) {
      strError = "it is neither a minisign public key file nor a base64 public key";
      return false;
    }
    strLine = arrLines[0];
  }
  std::uint8_t buf[2 + 8 + 32];
  if (!DecodeBase64(strLine, buf, sizeof buf)) {
    strError = "its key is not the base64 of a minisign public key";
    return false;
  }
  if (std::memcmp(buf, "Ed", 2) != 0) {
    strError = "it is not an Ed25519 minisign key";
    return false;
  }
  std::memcpy(key.keynum.data(), buf + 2, 8);
  std::memcpy(key.pk.data(), buf + 10, 32);
  return true;
}

std::string PublicKeyBase64(const MinisignPublicKey& key) {
  std::uint8_t buf[2 + 8 + 32];
  std::memcpy(buf, "Ed", 2);
  std::memcpy(buf + 2, key.keynum.data(), 8);
  std::memcpy(buf + 10, key.pk.data(), 32);
  return EncodeBase64(buf, sizeof buf);
}

std::string FormatPublicKeyFile(const MinisignPublicKey& key) {
  return std::string(kUntrusted) + "minisign public key " + KeyIdText(key.keynum) + "\n" +
         PublicKeyBase64(key) + "\n";
}

bool ParseSecretKey(const std::string& strText, MinisignSecretKey& key, std::string& strError,
                    const std::string* pPassword, bool* pNeedsPassword) {
  InitSodium();
  if (pNeedsPassword != nullptr) *pNeedsPassword = false;
  std::string strLine;
  if (!DataLine(TextLines(strText), 0, strLine)) {
    strError = "it is not a minisign secret key file";
    return false;
  }
  std::vector<std::uint8_t> buf(kSecretKeySize);
  const bool bDecoded = DecodeBase64(strLine, buf.data(), buf.size());
  struct Wipe {
    std::vector<std::uint8_t>& v;
    ~Wipe() { sodium_memzero(v.data(), v.size()); }
  } wipe{buf};
  if (!bDecoded) {
    strError = "it is not a minisign secret key file (its key line does not decode)";
    return false;
  }
  if (std::memcmp(buf.data(), "Ed", 2) != 0 || std::memcmp(buf.data() + 4, "B2", 2) != 0) {
    strError = "it is not an Ed25519 minisign secret key";
    return false;
  }
  std::uint8_t* pKeyNumSk = buf.data() + 2 + 2 + 2 + 32 + 8 + 8;
  const bool bProtected = buf[2] == 'S' && buf[3] == 'c';
  if (bProtected) {
    if (pPassword == nullptr) {
      if (pNeedsPassword != nullptr) *pNeedsPassword = true;
      strError = "it is protected by a password, which can only be typed on a terminal";
      return false;
    }
    const std::uint8_t* pSalt = buf.data() + 6;
    std::uint64_t nOps = 0;
    std::uint64_t nMem = 0;
    for (int i = 7; i >= 0; --i) {
      nOps = nOps << 8 | buf[38 + static_cast<std::size_t>(i)];
      nMem = nMem << 8 | buf[46 + static_cast<std::size_t>(i)];
    }
    // minisign asks for 1 GiB; a key that asks for far more is not one of its.
    if (nMem > (std::uint64_t{8} << 30) || nOps > (std::uint64_t{1} << 32)) {
      strError = "its password derivation asks for more memory or time than minisign ever does";
      return false;
    }
    std::uint8_t stream[8 + 64 + 32];
    if (crypto_pwhash_scryptsalsa208sha256(stream, sizeof stream, pPassword->data(), pPassword->size(), pSalt,
                                           nOps, static_cast<std::size_t>(nMem)) != 0) {
      strError = "there is not enough memory to derive the key from the password";
      return false;
    }
    for (std::size_t i = 0; i < sizeof stream; ++i) pKeyNumSk[i] ^= stream[i];
    sodium_memzero(stream, sizeof stream);
  } else if (buf[2] != 0 || buf[3] != 0) {
    strError = "its key derivation is not one minisign writes";
    return false;
  }
  std::memcpy(key.keynum.data(), pKeyNumSk, 8);
  std::memcpy(key.sk.data(), pKeyNumSk + 8, 64);
  const std::string strSum(reinterpret_cast<const char*>(pKeyNumSk + 8 + 64), 32);
  if ((bProtected || strSum != std::string(32, '\0')) && strSum != Checksum(key)) {
    strError = bProtected ? "the password is wrong" : "its checksum does not match: the key is damaged";
    return false;
  }
  return true;
}

std::string FormatSecretKeyFile(const MinisignSecretKey& key) {
  // No password: the key derivation fields stay zero, as minisign -W writes them.
  std::vector<std::uint8_t> buf(kSecretKeySize, 0);
  std::memcpy(buf.data(), "Ed", 2);
  std::memcpy(buf.data() + 4, "B2", 2);
  std::uint8_t* pKeyNumSk = buf.data() + 2 + 2 + 2 + 32 + 8 + 8;
  std::memcpy(pKeyNumSk, key.keynum.data(), 8);
  std::memcpy(pKeyNumSk + 8, key.sk.data(), 64);
  const std::string strSum = Checksum(key);
  std::memcpy(pKeyNumSk + 8 + 64, strSum.data(), 32);
  std::string strText = std::string(kUntrusted) + "minisign secret key " + KeyIdText(key.keynum) + "\n" +
                        EncodeBase64(buf.data(), buf.size()) + "\n";
  sodium_memzero(buf.data(), buf.size());
  return strText;
}

void GenerateKeyPair(MinisignPublicKey& pub, MinisignSecretKey& sec) {
  InitSodium();
  randombytes_buf(sec.keynum.data(), sec.keynum.size());
  crypto_sign_keypair(pub.pk.data(), sec.sk.data());
  pub.keynum = sec.keynum;
}

bool ParseSignature(const std::string& strText, MinisignSignature& sig, std::string& strError) {
  InitSodium();
  const std::vector<std::string> arrLines = TextLines(strText);
  std::string strLine;
  if (!DataLine(arrLines, 0, strLine) || arrLines.size() < 4 || !StartsWith(arrLines[2], kTrusted)) {
    strError = "the signature file is not in minisign's format";
    return false;
  }
  std::uint8_t buf[2 + 8 + 64];
  if (!DecodeBase64(strLine, buf, sizeof buf) || !DecodeBase64(arrLines[3], sig.global.data(), 64)) {
    strError = "the signature file is not in minisign's format (a signature line does not decode)";
    return false;
  }
  if (std::memcmp(buf, "ED", 2) == 0) {
    sig.bPrehashed = true;
  } else if (std::memcmp(buf, "Ed", 2) == 0) {
    sig.bPrehashed = false;
  } else {
    strError = "the signature's algorithm is not one minisign writes";
    return false;
  }
  std::memcpy(sig.keynum.data(), buf + 2, 8);
  std::memcpy(sig.sig.data(), buf + 10, 64);
  sig.strTrustedComment = arrLines[2].substr(std::strlen(kTrusted));
  return true;
}

std::string SignMessage(const MinisignSecretKey& key, const std::string& strMessage,
                        const std::string& strTrustedComment) {
  InitSodium();
  std::uint8_t hash[crypto_generichash_BYTES_MAX];
  crypto_generichash(hash, sizeof hash, reinterpret_cast<const std::uint8_t*>(strMessage.data()),
                     strMessage.size(), nullptr, 0);
  std::uint8_t buf[2 + 8 + 64];
  std::memcpy(buf, "ED", 2);
  std::memcpy(buf + 2, key.keynum.data(), 8);
  crypto_sign_detached(buf + 10, nullptr, hash, sizeof hash, key.sk.data());

  std::vector<std::uint8_t> global(64 + strTrustedComment.size());
  std::memcpy(global.data(), buf + 10, 64);
  std::memcpy(global.data() + 64, strTrustedComment.data(), strTrustedComment.size());
  std::uint8_t globalSig[64];
  crypto_sign_detached(globalSig, nullptr, global.data(), global.size(), key.sk.data());

  return std::string(kUntrusted) + "signature from qvnpack secret key\n" + EncodeBase64(buf, sizeof buf) +
         "\n" + kTrusted + strTrustedComment + "\n" + EncodeBase64(globalSig, sizeof globalSig) + "\n";
}

bool VerifySignature(const MinisignPublicKey& key, const MinisignSignature& sig,
                     const std::string& strMessage, std::int64_t tNow, std::string& strError,
                     std::int64_t* ptExpires) {
  InitSodium();
  if (ptExpires != nullptr) *ptExpires = -1;
  if (sig.keynum != key.keynum) {
    strError = "it was made with another key (key ID " + KeyIdText(sig.keynum) + ", expected " +
               KeyIdText(key.keynum) + ")";
    return false;
  }
  const auto* pMessage = reinterpret_cast<const std::uint8_t*>(strMessage.data());
  int nResult;
  if (sig.bPrehashed) {
    std::uint8_t hash[crypto_generichash_BYTES_MAX];
    crypto_generichash(hash, sizeof hash, pMessage, strMessage.size(), nullptr, 0);
    nResult = crypto_sign_verify_detached(sig.sig.data(), hash, sizeof hash, key.pk.data());
  } else {
    nResult = crypto_sign_verify_detached(sig.sig.data(), pMessage, strMessage.size(), key.pk.data());
  }
  if (nResult != 0) {
    strError = "the signature does not match SHA256SUMS";
    return false;
  }
  std::vector<std::uint8_t> global(64 + sig.strTrustedComment.size());
  std::memcpy(global.data(), sig.sig.data(), 64);
  std::memcpy(global.data() + 64, sig.strTrustedComment.data(), sig.strTrustedComment.size());
  if (crypto_sign_verify_detached(sig.global.data(), global.data(), global.size(), key.pk.data()) != 0) {
    strError = "the trusted comment is not the one that was signed";
    return false;
  }
  // key:value fields, separated by tabs (as minisign writes its own) or by
  // spaces (as a publisher may type them). One may set an end to the
  // signature; an expiry that cannot be read is refused, never ignored.
  std::size_t nStart = 0;
  bool bSeen = false;
  while (nStart <= sig.strTrustedComment.size()) {
    std::size_t nEnd = sig.strTrustedComment.find_first_of("\t ", nStart);
    if (nEnd == std::string::npos) nEnd = sig.strTrustedComment.size();
    const std::string strField = sig.strTrustedComment.substr(nStart, nEnd - nStart);
    nStart = nEnd + 1;
    if (!StartsWith(strField, "expires:")) continue;
    const std::string strValue = strField.substr(8);
    if (bSeen || strValue.empty() || strValue.size() > 18 ||
        strValue.find_first_not_of("0123456789") != std::string::npos) {
      strError = "the trusted comment's expiry \"" + strField + "\" cannot be read";
      return false;
    }
    bSeen = true;
    if (ptExpires != nullptr) *ptExpires = std::stoll(strValue);
    if (tNow > std::stoll(strValue)) {
      strError = "the signature expired on " + UtcTimeText(std::stoll(strValue)) + " (expires:" + strValue +
                 "); the publisher must sign the update again";
      return false;
    }
  }
  return true;
}

std::string UtcTimeText(long long nSeconds) {
  using namespace std::chrono;
  if (nSeconds > 253402300799) return "a date after the year 9999";
  const sys_seconds t{seconds{nSeconds}};
  const sys_days day = floor<days>(t);
  const year_month_day ymd{day};
  const hh_mm_ss<seconds> time{t - day};
  char sz[64];
  std::snprintf(sz, sizeof sz, "%04d-%02u-%02u %02ld:%02ld UTC", static_cast<int>(ymd.year()),
                static_cast<unsigned>(ymd.month()), static_cast<unsigned>(ymd.day()),
                static_cast<long>(time.hours().count()), static_cast<long>(time.minutes().count()));
  return sz;
}
