#include "phases/signature.h"

#include <fmt/format.h>

#include <ctime>

#include "phases/download.h"
#include "phases/request.h"

namespace {

enum class FetchResult { kFetched, kRefused, kTooLarge };

// A small file of the update folder, whole, or why not. Reading stops one
// byte past nMax, so a server that sends without end costs nothing more.
FetchResult FetchSmallFile(CInternetSession& session, const std::string& strUrl, std::uint64_t nMax,
                           std::string& strBody, DWORD& dwStatus) {
  CUpdateRequest request;
  if (!SendUpdateRequest(session, strUrl, request)) return FetchResult::kRefused;
  dwStatus = request.dwStatus;
  if (!request.IsSuccess()) {
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

}  // namespace

std::string SignatureFailure(const std::string& strWhat) {
  return "Signature check failed: " + strWhat + " - ABORTING";
}

BOOL CheckUpdateSignature(CUpdateReporter& view, CInternetSession& session, const std::string& strServerUrl,
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
    switch (FetchSmallFile(session, PayloadUrl(strServerUrl, pszNames[i]), nMax[i], strFiles[i], dwStatus)) {
      case FetchResult::kFetched:
        break;
      case FetchResult::kRefused:
        view.AddStatus(SignatureFailure(fmt::format(
            "the server has no {} (HTTP status {}): the update is not signed", pszNames[i], dwStatus)));
        return FALSE;
      case FetchResult::kTooLarge:
        view.AddStatus(SignatureFailure(fmt::format("{} is larger than {} bytes", pszNames[i], nMax[i])));
        return FALSE;
    }
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
