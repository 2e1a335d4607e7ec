// One update: the manifest, the version check and the three phases.
#include "session/session.h"

#include <fmt/format.h>

#include "core/version_array.h"
#include "core/version_info.h"
#include "manifest/line_splitter.h"
#include "manifest/update_info.h"
#include "phases/download.h"
#include "phases/expand.h"
#include "phases/replace.h"
#include "phases/replace_journal.h"
#include "phases/request.h"
#include "phases/resume.h"
#include "phases/signature.h"
#include "phases/update_lock.h"
#include "platform/http_client.h"
#include "session/session_hints.h"

namespace {

// No manifest comes near this; a larger answer is not one.
constexpr ULONGLONG kMaxManifestSize = 1024 * 1024;

BOOL RunSteps(CUpdateReporter& view, const UpdateSettings& settings);

}  // namespace

BOOL RunUpdate(CUpdateReporter& view, const UpdateSettings& settings) {
  try {
    return RunSteps(view, settings);
  } catch (const CCancelledException&) {
    // Only now is every partial file gone, every replaced file back and the
    // folder unlocked: the line says the stop is complete.
    view.AddStatus("Update cancelled");
    throw;
  }
}

namespace {

BOOL RunSteps(CUpdateReporter& view, const UpdateSettings& settings) {
  if (settings.bRepair && settings.strPublicKey.empty()) {
    throw CException(
        "a repair needs a public key (--pubkey KEY, or one built in): only a signed list of the "
        "installed files tells a damaged file from a good one");
  }
  CUpdateInfo info;
  CFileVersionInfo versionInfo;

  CInternetSession session(kUpdateAgentName);
  session.SetCaFile(settings.strCaFile);
  session.SetStallTimeout(settings.nStallTimeout);
  session.SetCancelCheck([&view] { return view.IsCancelled(); });

  // A second updater in the same folder would mix its files with ours.
  CUpdateLock lock;
  std::string strError;
  if (!lock.Acquire(strError)) throw CException(strError);

  view.ResetStatus();
  // A run that was killed while it replaced files left a mix of old and new
  // ones: the old ones come back before anything else happens.
  switch (RecoverInterruptedReplacement(strError)) {
    case RecoveryResult::kRestored:
      view.AddStatus("Restored the files of an interrupted update");
      break;
    case RecoveryResult::kFinished:
      view.AddStatus("Completed an interrupted update");
      break;
    case RecoveryResult::kFailed:
      // An error, not a refusal: the installation is not as it was, but
      // still holds files of two versions.
      view.AddStatus(
          fmt::format("Unable to restore the files of an interrupted update: {} - ABORTING", strError));
      throw CException(
          "The installation still holds files of two versions: the files of an interrupted "
          "update could not be restored");
    case RecoveryResult::kTidyFailed:
      view.AddStatus(fmt::format(
          "An interrupted update was completed, but its previous files cannot be removed: {} - ABORTING",
          strError));
      return FALSE;
    case RecoveryResult::kNothing:
      break;
    case RecoveryResult::kNoFolder:
      // Nothing can be read or changed there; it is no interrupted update.
      throw CException(fmt::format(
          "Unable to open the installation folder (the current folder): {}. Nothing was changed.", strError));
  }
  view.AddStatus("Attempting to connection to server");

  CUpdateRequest request;
  std::string strManifest;
  if (!SendUpdateRequest(session, settings.serverUrl.Append("/Updates/UpdateInfo.txt"), request))
    return FALSE;
  {
    // Only a success answer is a manifest, and only one with a version: an
    // error page, or a portal's page answered with 200, read as one would
    // report the product as up to date.
    const auto refuse = [&](bool bAnsweredSuccess) {
      view.MessageBox("Unable to connect to server. Please try againt later.", CUpdateReporter::Icon::None);
      view.AddStatus("Unable to connect to server");
      ReportNoManifest(view, settings, request, bAnsweredSuccess);
      return FALSE;
    };
    // A 206 holds part of a file, and no part was asked for.
    if (!request.IsSuccess() || request.dwStatus == 206) return refuse(false);

    request.pFile->SetMaxBodySize(kMaxManifestSize);
    // The body is kept as received: a signed update lists its SHA-256.
    CLineSplitter splitter;
    auto onLine = [&info](const std::string& strLine) { info.ParseLine(strLine); };
    try {
      char buffer[4096];
      while (const UINT n = request.pFile->Read(buffer, sizeof buffer)) {
        strManifest.append(buffer, n);
        splitter.Feed(buffer, n, onLine);
      }
      splitter.Finish(onLine);
    } catch (const CInternetException& e) {
      if (e.m_kind != CInternetException::Kind::kTooLong) throw;
      view.AddStatus("Unable to use the update information: UpdateInfo.txt is larger than 1 MiB");
      return FALSE;
    }
    if (info.m_strVersion.empty()) return refuse(true);
    request.Close();
  }
  CSignedUpdate signedUpdate;
  if (!CheckUpdateSignature(view, session, settings.serverUrl, settings.strPublicKey, strManifest, info,
                            signedUpdate)) {
    return FALSE;
  }

  const std::string strProductExe = LocateProductExe(settings.strProductExe);
  const bool bLink = WarnIfProductIsALink(view, strProductExe);
  if (!bLink) {
    WarnIfNoProduct(view, settings, strProductExe);
    versionInfo.Load(strProductExe);
  }
  const std::string strInstalled = versionInfo.GetProductVersion();
  if (strInstalled.empty() && !bLink) WarnIfNoVersion(view, strProductExe);
  view.AddStatus(fmt::format("Current Version of {} is {}", settings.strProductExe, strInstalled));
  view.AddStatus(fmt::format("Available Version of {} is {}", settings.strProductExe, info.m_strVersion));

  CVersionArray installed;
  CVersionArray available;
  installed.FromString(strInstalled);
  available.FromString(info.m_strVersion);

  const int nCompared = available.Compare(installed);
  const bool bRepair = settings.bRepair && nCompared == 0;
  if (nCompared > 0 || bRepair) {
    // An answer without a length that the connection ended early reads as a
    // whole manifest of fewer files: installing those alone would leave a
    // mixed release that then reports itself up to date.
    if (info.m_arrItems.size() < info.m_nNumberItems) {
      view.AddStatus(fmt::format(
          "Unable to use the update information: UpdateInfo.txt lists {} of the {} files it declares; it "
          "may have been cut short",
          info.m_arrItems.size(), info.m_nNumberItems));
      return FALSE;
    }
    if (bRepair) view.AddStatus(fmt::format("Repairing {} {}", settings.strProductExe, info.m_strVersion));
    const CSignedUpdate* pSigned = signedUpdate.IsLoaded() ? &signedUpdate : nullptr;
    if (!DownloadChangedFiles(view, session, info, settings.serverUrl, pSigned)) return FALSE;
    // A repair of an intact installation has nothing to expand or replace.
    if (!bRepair || !info.m_arrItems.empty()) {
      if (!UncompressFiles(view, info)) return FALSE;
      if (!ReplaceFiles(view, info)) return FALSE;
    }
    view.AddStatus(bRepair ? "Repair Completed!" : "Update Completed!");
    return TRUE;
  }
  // Downloads kept for a release that is now installed are no longer wanted.
  DiscardOtherPartials({});
  view.AddStatus(fmt::format("{} is up to date", settings.strProductExe));
  return TRUE;
}

}  // namespace
