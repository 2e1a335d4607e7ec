#include "phases/signature.h"

#include <fmt/format.h>

#include <algorithm>
#include <climits>
#include <ctime>
#include <map>
#include <memory>
#include <vector>

#include "phases/cancel.h"
#include "phases/download.h"
#include "phases/replace.h"
#include "phases/request.h"
#include "platform/file.h"
#include "platform/install_folder.h"
#include "trust/sha256_sums.h"

namespace {

enum class FetchResult { kFetched, kRefused, kTooLarge };

// A small file of the update folder, whole, or why not. Reading stops one
// byte past nMax, so a server that sends without end costs nothing more.
FetchResult FetchSmallFile(CInternetSession& session, const CHttpUrl& url, std::uint64_t nMax,
                           std::string& strBody, DWORD& dwStatus) {
  CUpdateRequest request;
  if (!SendUpdateRequest(session, url, request)) return FetchResult::kRefused;
  dwStatus = request.dwStatus;
  if (!request.IsWhole()) {
    request.Close();
    return FetchResult::kRefused;
  }
  char buffer[4096];
  while (const UINT n = request.pFile->Read(buffer, sizeof buffer)) {
    if (strBody.size() + n > nMax) {
      request.Close();
      return FetchResult::kTooLarge;
    }
    strBody.append(buffer, n);
  }
  request.Close();
  return FetchResult::kFetched;
}

// Why FetchSmallFile did not fetch pszName.
std::string FetchFailure(FetchResult result, const char* pszName, DWORD dwStatus, std::uint64_t nMax) {
  return result == FetchResult::kTooLarge
             ? fmt::format("{} is larger than {} bytes", pszName, nMax)
             : fmt::format("{} cannot be fetched (HTTP status {})", pszName, dwStatus);
}

// Marks the items whose installed target already has the SHA-256 that the
// signed INSTALLED.SHA256SUMS lists for it. False, with what failed, when the
// listed file cannot be fetched or is not the one that was signed. Reading a
// large installation takes a while: it shows its progress and stops when asked.
bool FindUnchangedItems(CUpdateReporter& view, CInternetSession& session, const CHttpUrl& serverUrl,
                        const CSignedUpdate& signedUpdate, const CUpdateInfo& info,
                        std::vector<bool>& arrUnchanged, std::string& strError) {
  arrUnchanged.assign(info.m_arrItems.size(), false);
  const std::string* pListed = signedUpdate.Find(kInstalledSumsName);
  if (pListed == nullptr) return true;  // an older signed release: everything is fetched
  std::string strSums;
  DWORD dwStatus = 0;
  const FetchResult result =
      FetchSmallFile(session, PayloadUrl(serverUrl, kInstalledSumsName), kMaxSumsSize, strSums, dwStatus);
  if (result != FetchResult::kFetched) {
    strError = FetchFailure(result, kInstalledSumsName, dwStatus, kMaxSumsSize);
    return false;
  }
  std::map<std::string, std::string> mapInstalled;
  if (Sha256Hex(strSums) != *pListed) {
    strError = std::string(kInstalledSumsName) + " is not the file that was signed";
    return false;
  }
  if (!ParseSha256Sums(strSums, mapInstalled, strError)) {
    strError = std::string(kInstalledSumsName) + " was signed but cannot be read: " + strError;
    return false;
  }
  // Read through the folder, as the replacement writes: a folder on the way
  // that became a link since the names were checked is not followed.
  CInstallFolder folder;
  if (folder.Open() != 0) return true;  // nothing counts as unchanged
  constexpr UINT kBlock = 1 << 16;
  std::vector<char> buffer(kBlock);
  const size_t nCount = info.m_arrItems.size();
  view.m_progressOverall.SetRange32(0, static_cast<int>(nCount));
  view.m_progressOverall.SetPos(0);
  view.m_progressOverall.SetStep(1);
  for (size_t i = 0; i < nCount; ++i) {
    ThrowIfCancelled(view);
    if (i > 0) view.m_progressOverall.StepIt();
    const std::string strTarget = TargetFileName(*info.m_arrItems[i]);
    const auto it = mapInstalled.find(strTarget);
    CFile file;
    if (it == mapInstalled.end() || folder.OpenForReading(strTarget, file) != 0) continue;
    view.m_staticOverall.SetWindowText(fmt::format("Checking File {} of {}", i + 1, nCount));
    view.m_staticCurrent.SetWindowText(fmt::format("Checking File {}", strTarget));
    CSha256 sha;
    try {
      const ULONGLONG nBlocks = file.GetLength() / kBlock + 1;
      view.m_progressCurrent.SetRange32(0, static_cast<int>(std::min<ULONGLONG>(nBlocks, INT_MAX)));
      view.m_progressCurrent.SetPos(0);
      view.m_progressCurrent.SetStep(1);
      while (const UINT n = file.Read(buffer.data(), kBlock)) {
        ThrowIfCancelled(view);
        sha.Update(buffer.data(), n);
        view.m_progressCurrent.StepIt();
      }
      arrUnchanged[i] = sha.FinishHex() == it->second;
    } catch (const CFileException&) {
      // Unreadable: fetched and replaced like a changed file.
    }
  }
  return true;
}

}  // namespace

BOOL DownloadChangedFiles(CUpdateReporter& view, CInternetSession& session, CUpdateInfo& info,
                          const CHttpUrl& serverUrl, const CSignedUpdate* pSigned) {
  if (pSigned == nullptr) return DownloadFiles(view, session, info, serverUrl);
  // Installed files are read by the items' names only once the names are known to be safe.
  if (!CheckItemNames(view, info)) return FALSE;
  std::vector<bool> arrUnchanged;
  std::string strError;
  if (!FindUnchangedItems(view, session, serverUrl, *pSigned, info, arrUnchanged, strError)) {
    view.AddStatus(SignatureFailure(strError));
    return FALSE;
  }
  if (!DownloadFiles(view, session, info, serverUrl, pSigned, &arrUnchanged)) return FALSE;
  // What is already in place is neither expanded nor replaced.
  std::vector<std::unique_ptr<CUpdateFileItem>> arrMoved;
  for (size_t i = 0; i < info.m_arrItems.size(); ++i) {
    if (!arrUnchanged[i]) arrMoved.push_back(std::move(info.m_arrItems[i]));
  }
  info.RemoveAllItems();
  info.m_arrItems = std::move(arrMoved);
  return TRUE;
}

std::string SignatureFailure(const std::string& strWhat) {
  return "Signature check failed: " + strWhat + " - ABORTING";
}

BOOL CheckUpdateSignature(CUpdateReporter& view, CInternetSession& session, const CHttpUrl& serverUrl,
                          const std::string& strPublicKey, const std::string& strManifest,
                          const CUpdateInfo& info, CSignedUpdate& signedUpdate) {
  if (strPublicKey.empty()) {
    view.AddDetail(
        "warning: the update is not verified: this updater has no public key (give --pubkey KEY, or build it "
        "with -DQVN_PUBLIC_KEY=...), so it cannot tell where the files come from");
    return TRUE;
  }
  std::string strError;
  MinisignPublicKey key;
  if (!ParsePublicKey(strPublicKey, key, strError)) {
    view.AddStatus(SignatureFailure("the updater's public key cannot be read: " + strError));
    return FALSE;
  }

  std::string strFiles[2];
  const char* const pszNames[2] = {kSumsSignatureName, kSumsName};
  const std::uint64_t nMax[2] = {kMaxSignatureSize, kMaxSumsSize};
  for (int i = 0; i < 2; ++i) {
    DWORD dwStatus = 0;
    const FetchResult result =
        FetchSmallFile(session, PayloadUrl(serverUrl, pszNames[i]), nMax[i], strFiles[i], dwStatus);
    if (result == FetchResult::kFetched) continue;
    // Only a file that is not there says the update is not signed; any other
    // answer may pass (a server busy or failing for a while).
    view.AddStatus(
        SignatureFailure(result == FetchResult::kRefused && (dwStatus == 404 || dwStatus == 410)
                             ? fmt::format("the server has no {} (HTTP status {}): the update is not signed",
                                           pszNames[i], dwStatus)
                             : FetchFailure(result, pszNames[i], dwStatus, nMax[i])));
    return FALSE;
  }
  if (!signedUpdate.Load(key, strFiles[1], strFiles[0], static_cast<std::int64_t>(std::time(nullptr)),
                         strError) ||
      !signedUpdate.CheckManifest(strManifest, info, strError)) {
    view.AddStatus(SignatureFailure(strError));
    return FALSE;
  }
  view.AddStatus(fmt::format("Signature verified (key ID {})", signedUpdate.KeyId()));
  return TRUE;
}
