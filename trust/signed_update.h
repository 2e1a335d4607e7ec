#pragma once
// What a signed update directory proves: SHA256SUMS, signed with the
// publisher's key, lists the SHA-256 of the manifest and of every file the
// manifest names. The updater and "qvnpack verify" check it the same way.
#include <cstdint>
#include <map>
#include <string>

#include "manifest/update_info.h"
#include "trust/minisign.h"

inline constexpr const char* kSumsName = "SHA256SUMS";
inline constexpr const char* kSumsSignatureName = "SHA256SUMS.minisig";
inline constexpr const char* kInstalledSumsName = "INSTALLED.SHA256SUMS";
inline constexpr const char* kSignedManifestName = "UpdateInfo.txt";
// Far above what a release needs (about 100 bytes a file); a larger answer is
// not one of ours.
inline constexpr std::uint64_t kMaxSumsSize = 8u << 20;
inline constexpr std::uint64_t kMaxSignatureSize = 16u << 10;

class CSignedUpdate {
 public:
  // Checks strSignature (SHA256SUMS.minisig) over strSums (SHA256SUMS) with
  // key at tNow (unix seconds) and reads the list. False, with what failed.
  bool Load(const MinisignPublicKey& key, const std::string& strSums, const std::string& strSignature,
            std::int64_t tNow, std::string& strError);
  // Checks that strManifest is the listed UpdateInfo.txt and that every item
  // of info is listed. False, with what failed.
  bool CheckManifest(const std::string& strManifest, const CUpdateInfo& info, std::string& strError) const;

  bool IsLoaded() const { return m_bLoaded; }
  // The listed sum of a name relative to Updates/, or nullptr.
  const std::string* Find(const std::string& strName) const;
  std::string KeyId() const { return KeyIdText(m_keynum); }
  // When the signature lapses, in seconds since 1970; -1 when it does not.
  std::int64_t Expires() const { return m_tExpires; }

 private:
  bool m_bLoaded = false;
  std::int64_t m_tExpires = -1;
  MinisignKeyNum m_keynum{};
  std::map<std::string, std::string> m_mapSums;
};
