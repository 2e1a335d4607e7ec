#pragma once
// The file formats of minisign (public key, unencrypted secret key, signature),
// so that publishers can use the minisign tool as well as qvnpack, and the
// checks of a signature. Ed25519 and BLAKE2b come from libsodium.
#include <array>
#include <cstdint>
#include <string>

using MinisignKeyNum = std::array<std::uint8_t, 8>;

struct MinisignPublicKey {
  MinisignKeyNum keynum{};
  std::array<std::uint8_t, 32> pk{};
};

struct MinisignSecretKey {
  MinisignKeyNum keynum{};
  std::array<std::uint8_t, 64> sk{};  // libsodium's secret key: seed and public key
  ~MinisignSecretKey();               // wipes sk
};

struct MinisignSignature {
  bool bPrehashed = true;  // "ED": the signature is over BLAKE2b-512 of the file; "Ed" over the file
  MinisignKeyNum keynum{};
  std::array<std::uint8_t, 64> sig{};
  std::string strTrustedComment;          // without "trusted comment: " and the line end
  std::array<std::uint8_t, 64> global{};  // over sig and the trusted comment
};

// The key ID as minisign prints it: the key number as a little-endian 64-bit
// number, in 16 upper-case hex digits.
std::string KeyIdText(const MinisignKeyNum& keynum);

// A public key from the text of a .pub file (its untrusted comment line, then
// the base64 line) or from the base64 line alone. False, with the reason, when
// it is neither.
bool ParsePublicKey(const std::string& strText, MinisignPublicKey& key, std::string& strError);
// The base64 line of a public key, and the whole .pub file.
std::string PublicKeyBase64(const MinisignPublicKey& key);
std::string FormatPublicKeyFile(const MinisignPublicKey& key);

// A secret key file as minisign writes it. A password-protected key (minisign
// -G without -W) needs pPassword, and is refused without it (bNeedsPassword
// then tells so); a key whose checksum does not match is refused (for a
// protected key: the password is wrong). The zero checksum that minisign
// writes with -W is accepted.
bool ParseSecretKey(const std::string& strText, MinisignSecretKey& key, std::string& strError,
                    const std::string* pPassword = nullptr, bool* pNeedsPassword = nullptr);
std::string FormatSecretKeyFile(const MinisignSecretKey& key);
// A new key pair, from the system's random source.
void GenerateKeyPair(MinisignPublicKey& pub, MinisignSecretKey& sec);

bool ParseSignature(const std::string& strText, MinisignSignature& sig, std::string& strError);
// A prehashed ("ED") signature file of strMessage with the trusted comment,
// which must not hold a line end.
std::string SignMessage(const MinisignSecretKey& key, const std::string& strMessage,
                        const std::string& strTrustedComment);

// Checks that sig is key's signature of strMessage and that its trusted
// comment is signed too, and that the comment's "expires:<unix seconds>"
// field, if any, has not passed at tNow. False, with what failed, otherwise.
// ptExpires, when given, gets that expiry, or -1 for none.
bool VerifySignature(const MinisignPublicKey& key, const MinisignSignature& sig,
                     const std::string& strMessage, std::int64_t tNow, std::string& strError,
                     std::int64_t* ptExpires = nullptr);

// A time in seconds since 1970 as "2026-12-08 10:25 UTC", for people.
std::string UtcTimeText(long long nSeconds);
