#include "trust/signed_update.h"

#include "trust/sha256_sums.h"

bool CSignedUpdate::Load(const MinisignPublicKey& key, const std::string& strSums,
                         const std::string& strSignature, std::int64_t tNow, std::string& strError) {
  MinisignSignature sig;
  if (!ParseSignature(strSignature, sig, strError)) return false;
  if (!VerifySignature(key, sig, strSums, tNow, strError, &m_tExpires)) return false;
  std::map<std::string, std::string> mapSums;
  if (!ParseSha256Sums(strSums, mapSums, strError)) {
    strError = std::string(kSumsName) + " cannot be read: " + strError;
    return false;
  }
  m_mapSums = std::move(mapSums);
  m_keynum = key.keynum;
  m_bLoaded = true;
  return true;
}

bool CSignedUpdate::CheckManifest(const std::string& strManifest, const CUpdateInfo& info,
                                  std::string& strError) const {
  const std::string* pSum = Find(kSignedManifestName);
  if (pSum == nullptr) {
    strError = std::string(kSignedManifestName) + " is not listed in " + kSumsName;
    return false;
  }
  if (*pSum != Sha256Hex(strManifest)) {
    strError = std::string(kSignedManifestName) + " is not the one that was signed";
    return false;
  }
  for (const auto& pItem : info.m_arrItems) {
    if (Find(pItem->m_strName) == nullptr) {
      strError = "the item " + pItem->m_strName + " is not listed in " + kSumsName;
      return false;
    }
  }
  return true;
}

const std::string* CSignedUpdate::Find(const std::string& strName) const {
  const auto it = m_mapSums.find(strName);
  return it == m_mapSums.end() ? nullptr : &it->second;
}
