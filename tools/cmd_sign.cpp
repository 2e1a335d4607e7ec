// qvnpack keygen and verify, and the signature files of qvnpack build --sign.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <map>
#include <memory>
#include <stdexcept>
#include <string>
#include <system_error>
#include <vector>

#include "manifest/item_name.h"
#include "manifest/line_splitter.h"
#include "manifest/update_info.h"
#include "platform/file.h"
#include "platform/file_new.h"
#include "platform/file_ops.h"
#include "platform/terminal.h"
#include "tools/args.h"
#include "tools/commands.h"
#include "tools/signing.h"
#include "tools/utf8_path.h"
#include "trust/read_file.h"
#include "trust/sha256_sums.h"
#include "trust/signed_update.h"

namespace fs = std::filesystem;

namespace {

constexpr const char* kKeyName = "qvnpack.key";
constexpr const char* kPubName = "qvnpack.pub";
constexpr std::uint64_t kMaxManifest = 1024 * 1024;

int Fail(const std::string& strMessage) {
  std::fprintf(stderr, "qvnpack: %s\n", strMessage.c_str());
  return 1;
}

// The SHA-256 of a file and its size.
std::string HashFile(const fs::path& path, std::uint64_t* pSize = nullptr) {
  CFile file(Utf8(path), CFile::modeRead);
  CSha256 sha;
  std::vector<char> buffer(1 << 20);
  std::uint64_t nTotal = 0;
  while (const UINT n = file.Read(buffer.data(), static_cast<UINT>(buffer.size()))) {
    sha.Update(buffer.data(), n);
    nTotal += n;
  }
  if (pSize != nullptr) *pSize = nTotal;
  return sha.FinishHex();
}

// A name sha256sum would write escaped, which the updater does not read.
void CheckListable(const std::string& strName) {
  if (strName.find_first_of("\\\n\r") != std::string::npos) {
    throw std::runtime_error("'" + strName +
                             "' holds a backslash or a line end, which SHA256SUMS cannot list");
  }
}

// Writes strText to out/strName through a temporary file renamed into place.
void ReplaceFile(const fs::path& out, const std::string& strName, const std::string& strText) {
  const fs::path temp = out / PathFromUtf8("." + strName + ".qvnpack-sign");
  fs::remove(temp);
  CFile file(Utf8(temp), CFile::modeCreate | CFile::modeWrite);
  file.Write(strText.data(), static_cast<UINT>(strText.size()));
  file.Flush();
  file.Close();
  fs::rename(temp, out / PathFromUtf8(strName));
}

std::int64_t Now() {
  return std::chrono::duration_cast<std::chrono::seconds>(std::chrono::system_clock::now().time_since_epoch())
      .count();
}

void PrintKeygenUsage() {
  std::fputs(
      "Usage: qvnpack keygen DIR\n"
      "\n"
      "Makes a key pair for signing updates: DIR/qvnpack.key, the secret key\n"
      "(minisign's format, without a password, readable by you alone), and\n"
      "DIR/qvnpack.pub, the public key. Keep the secret key off the update\n"
      "server; build the public key into the updater (-DQVN_PUBLIC_KEY=...).\n"
      "Never overwrites a key. Exit status: 0 made, 1 failed, 2 wrong arguments.\n",
      stdout);
}

void PrintVerifyUsage() {
  std::fputs(
      "Usage: qvnpack verify OUT --pubkey KEY\n"
      "\n"
      "Checks the update directory OUT as the updater would: the signature of\n"
      "SHA256SUMS with KEY (a .pub file, or its base64 key), its expiry, and that\n"
      "UpdateInfo.txt and every file it lists have their listed SHA-256 and size.\n"
      "Exit status: 0 good, 1 it fails (the reason is printed), 2 wrong arguments.\n",
      stdout);
}

bool WantsHelp(const Args& args) {
  for (const std::string& str : args) {
    if (str == "--help" || str == "-h") return true;
  }
  return false;
}

// Every check of OUT; false with the reason.
bool VerifyDirectory(const fs::path& out, const MinisignPublicKey& key, std::string& strSummary,
                     std::string& strError) {
  std::string strSignature;
  std::string strSums;
  std::string strManifest;
  if (!ReadSmallFile(Utf8(out / kSumsSignatureName), kMaxSignatureSize, strSignature, strError) ||
      !ReadSmallFile(Utf8(out / kSumsName), kMaxSumsSize, strSums, strError) ||
      !ReadSmallFile(Utf8(out / kSignedManifestName), kMaxManifest, strManifest, strError)) {
    return false;
  }
  CUpdateInfo info;
  CLineSplitter splitter;
  auto onLine = [&info](const std::string& strLine) { info.ParseLine(strLine); };
  splitter.Feed(strManifest, onLine);
  splitter.Finish(onLine);

  CSignedUpdate signedUpdate;
  if (!signedUpdate.Load(key, strSums, strSignature, Now(), strError) ||
      !signedUpdate.CheckManifest(strManifest, info, strError)) {
    return false;
  }
  std::vector<std::pair<std::string, std::uint64_t>> arrFiles;
  for (const auto& pItem : info.m_arrItems) arrFiles.emplace_back(pItem->m_strName, pItem->m_nSize);
  // The installed sums, when listed, must match, and read as the updater
  // reads them (below): it checks the installed files against them.
  const bool bInstalledSums = signedUpdate.Find(kInstalledSumsName) != nullptr;
  if (bInstalledSums) arrFiles.emplace_back(kInstalledSumsName, ~0ull);
  for (const auto& [strName, nSize] : arrFiles) {
    std::string strReason;
    if (!IsSafeItemName(strName, &strReason)) {
      strError = "the item name '" + strName + "' is unsafe: " + strReason;
      return false;
    }
    const std::string* pSum = signedUpdate.Find(strName);
    if (pSum == nullptr) {
      strError = strName + " is not listed in " + kSumsName;
      return false;
    }
    std::uint64_t nActual = 0;
    std::string strHash;
    try {
      strHash = HashFile(out / PathFromUtf8(strName), &nActual);
    } catch (const CException& e) {
      strError = e.GetErrorMessage();
      return false;
    }
    if (nSize != ~0ull && nActual != nSize) {
      strError = strName + " has " + std::to_string(nActual) + " bytes, not the " + std::to_string(nSize) +
                 " of the manifest";
      return false;
    }
    if (strHash != *pSum) {
      strError = strName + " is not the file that was signed";
      return false;
    }
  }
  if (bInstalledSums) {
    std::string strInstalled;
    std::map<std::string, std::string> mapInstalled;
    if (!ReadSmallFile(Utf8(out / kInstalledSumsName), kMaxSumsSize, strInstalled, strError)) return false;
    if (!ParseSha256Sums(strInstalled, mapInstalled, strError)) {
      strError = std::string(kInstalledSumsName) + " cannot be read as the updater reads it: " + strError;
      return false;
    }
  }
  strSummary =
      "version " + info.m_strVersion + ", " + std::to_string(info.m_arrItems.size()) + " files, key ID " +
      signedUpdate.KeyId() +
      (signedUpdate.Expires() < 0 ? std::string(", the signature does not expire")
                                  : ", the signature expires on " + UtcTimeText(signedUpdate.Expires()));
  return true;
}

}  // namespace

bool LoadSigningKey(const std::string& strKeyFile, MinisignSecretKey& key, std::string& strError) {
  std::string strText;
  bool bNeedsPassword = false;
  bool bRead = ReadSmallFile(strKeyFile, 4096, strText, strError) &&
               ParseSecretKey(strText, key, strError, nullptr, &bNeedsPassword);
  if (bNeedsPassword) {
    std::string strPassword;
    if (ReadSecretFromTerminal("Password for " + strKeyFile + ": ", strPassword)) {
      bRead = ParseSecretKey(strText, key, strError, &strPassword);
    } else {
      strError =
          "it is protected by a password and there is no terminal to type it on; make a key without "
          "one (qvnpack keygen, or minisign -G -W) to sign unattended";
    }
    sodium_memzero(strPassword.data(), strPassword.size());
  }
  if (!bRead) strError = "cannot sign with '" + strKeyFile + "': " + strError;
  return bRead;
}

bool IsSignatureFileName(const std::string& strName) {
  return strName == kSumsName || strName == kSumsSignatureName || strName == kInstalledSumsName;
}

void WriteSignatureFiles(const fs::path& out,
                         const std::vector<std::pair<std::string, std::string>>& arrInstalled,
                         const std::vector<std::string>& arrSent, const MinisignSecretKey& key,
                         std::int64_t nExpiresDays) {
  std::string strInstalled;
  for (const auto& [strName, strSha256] : arrInstalled) {
    CheckListable(strName);
    strInstalled += Sha256SumsLine(strSha256, strName);
  }
  ReplaceFile(out, kInstalledSumsName, strInstalled);

  std::vector<std::string> arrListed = {kSignedManifestName, kInstalledSumsName};
  arrListed.insert(arrListed.end(), arrSent.begin(), arrSent.end());
  std::string strSums;
  for (const std::string& strName : arrListed) {
    CheckListable(strName);
    strSums += Sha256SumsLine(HashFile(out / PathFromUtf8(strName)), strName);
  }
  const std::int64_t tNow = Now();
  std::string strComment = "timestamp:" + std::to_string(tNow) + "\tfile:" + kSumsName + "\thashed";
  if (nExpiresDays > 0) strComment += "\texpires:" + std::to_string(tNow + nExpiresDays * 86400);
  // The list goes in place before its signature: in between, an updater finds
  // a signature that does not match and changes nothing.
  ReplaceFile(out, kSumsName, strSums);
  ReplaceFile(out, kSumsSignatureName, SignMessage(key, strSums, strComment));
}

void RemoveStaleSignature(const fs::path& out, const std::vector<std::string>& arrSent) {
  std::error_code ec;
  for (const char* pszName : {kSumsSignatureName, kSumsName, kInstalledSumsName}) {
    if (std::find(arrSent.begin(), arrSent.end(), pszName) != arrSent.end()) continue;
    if (fs::is_regular_file(LinkStatus(out / pszName, ec))) fs::remove(out / pszName, ec);
  }
}

int CmdKeygen(const Args& args) {
  if (WantsHelp(args)) {
    PrintKeygenUsage();
    return 0;
  }
  ParsedArgs parsed;
  if (const int nStatus = SplitArgs("keygen", args, {}, {}, parsed)) return nStatus;
  if (parsed.arrOperands.size() != 1) return UsageError("keygen takes one folder DIR");
  const fs::path dir = PathFromUtf8(parsed.arrOperands[0]);
  std::error_code ec;
  fs::create_directories(dir, ec);
  if (ec) return Fail("cannot make the folder '" + Utf8(dir) + "': " + ec.message());
  for (const char* pszName : {kKeyName, kPubName}) {
    if (fs::exists(LinkStatus(dir / pszName, ec))) {
      return Fail("'" + Utf8(dir / pszName) + "' exists; a key is never overwritten, nothing was written");
    }
  }
  MinisignPublicKey pub;
  MinisignSecretKey sec;
  GenerateKeyPair(pub, sec);
  std::string strError;
  if (!WriteNewFile(Utf8(dir / kKeyName), FormatSecretKeyFile(sec), 0600, strError)) return Fail(strError);
  if (!WriteNewFile(Utf8(dir / kPubName), FormatPublicKeyFile(pub), 0644, strError)) {
    fs::remove(dir / kKeyName, ec);
    return Fail(strError);
  }
  std::printf(
      "Wrote the secret key %s (keep it off the update server) and the public key %s\n"
      "Key ID %s; build the updater with -DQVN_PUBLIC_KEY=%s\n",
      Utf8(dir / kKeyName).c_str(), Utf8(dir / kPubName).c_str(), KeyIdText(pub.keynum).c_str(),
      PublicKeyBase64(pub).c_str());
  return 0;
}

int CmdVerify(const Args& args) {
  if (WantsHelp(args)) {
    PrintVerifyUsage();
    return 0;
  }
  ParsedArgs parsed;
  if (const int nStatus = SplitArgs("verify", args, {"--pubkey"}, {}, parsed)) return nStatus;
  if (parsed.arrOperands.size() != 1) return UsageError("verify takes one update directory OUT");
  std::string strKey;
  for (const auto& option : parsed.arrOptions) strKey = option.second;
  if (strKey.empty()) return UsageError("verify needs --pubkey KEY");
  std::string strError;
  MinisignPublicKey key;
  std::string strKeyText;
  if (!ReadPublicKeyArgument(strKey, strKeyText, key, strError)) {
    return UsageError("verify: --pubkey: " + strError);
  }

  const fs::path out = PathFromUtf8(parsed.arrOperands[0]);
  std::string strSummary;
  if (!VerifyDirectory(out, key, strSummary, strError)) {
    return Fail("'" + Utf8(out) + "' fails verification: " + strError);
  }
  std::printf("Verified %s: %s\n", Utf8(out).c_str(), strSummary.c_str());
  return 0;
}
