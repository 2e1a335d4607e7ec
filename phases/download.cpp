#include "phases/download.h"

#include <fmt/compile.h>
#include <fmt/format.h>

#include <ctime>
#include <iterator>
#include <optional>
#include <set>

#include "manifest/item_name.h"
#include "phases/blocks.h"
#include "phases/cancel.h"
#include "phases/replace.h"
#include "phases/replace_journal.h"
#include "phases/request.h"
#include "phases/resume.h"
#include "phases/signature.h"
#include "phases/temp_file_name.h"
#include "platform/file.h"
#include "trust/sha256_sums.h"

namespace {

// True when a body of nReceived bytes so far (all of it when bEnded) breaks
// the item's size. A size of 0 promises nothing, unless the size is signed.
bool BreaksPromisedSize(const CUpdateFileItem& item, ULONGLONG nReceived, bool bEnded, bool bSigned) {
  if (item.m_nSize == 0 && !bSigned) return false;
  return nReceived > item.m_nSize || (bEnded && nReceived < item.m_nSize);
}

}  // namespace

BOOL CheckItemNames(CUpdateReporter& view, const CUpdateInfo& info) {
  // Where the folder cannot be opened, the names alone are checked; the
  // download then fails on its first temporary file, saying why.
  CInstallFolder folder;
  const int nFolderError = folder.Open();
  for (const auto& pItem : info.m_arrItems) {
    std::string strReason;
    if (!IsSafeItemName(pItem->m_strName, &strReason)) {
      view.AddStatus(
          fmt::format("Unsafe file name \"{}\": {} - ABORTING", Printable(pItem->m_strName), strReason));
      return FALSE;
    }
    // Cutting the compression suffix can leave a name that is no longer safe
    // ("a/..z" becomes "a/..") or no name at all ("z").
    const std::string strTarget = TargetFileName(*pItem);
    bool bCannotLook = false;
    if (!IsSafeItemName(strTarget, &strReason) || IsUpdaterFileName(strTarget, &strReason) ||
        (nFolderError == 0 && !IsConfinedTarget(folder, strTarget, &strReason, &bCannotLook))) {
      // Nothing wrong with the name: the installation cannot be looked into.
      if (bCannotLook) {
        view.AddStatus(fmt::format("Unable to reach \"{}\" in the installation folder: {} - ABORTING",
                                   Printable(strTarget), strReason));
        return FALSE;
      }
      if (strTarget == pItem->m_strName) {
        view.AddStatus(
            fmt::format("Unsafe file name \"{}\": {} - ABORTING", Printable(pItem->m_strName), strReason));
        return FALSE;
      }
      view.AddStatus(fmt::format("Unsafe file name \"{}\": installed as \"{}\", {} - ABORTING",
                                 Printable(pItem->m_strName), Printable(strTarget), strReason));
      return FALSE;
    }
  }
  return TRUE;
}

CHttpUrl PayloadUrl(const CHttpUrl& serverUrl, const std::string& strName) {
  return serverUrl.Append("/Updates/" + EncodeUrlPath(strName));
}

int DownloadFiles(CUpdateReporter& view, CInternetSession& session, const CUpdateInfo& info,
                  const CHttpUrl& serverUrl, const CSignedUpdate* pSigned,
                  const std::vector<bool>* pUnchanged) {
  if (!CheckItemNames(view, info)) return 0;

  auto isUnchanged = [pUnchanged](size_t i) { return pUnchanged != nullptr && (*pUnchanged)[i]; };
  int nCount = 0;  // items fetched: the progress counts only what is moved
  ULONGLONG nOverall = 0;
  for (size_t i = 0; i < info.m_arrItems.size(); ++i) {
    if (isUnchanged(i)) continue;
    ++nCount;
    nOverall += Blocks(info.m_arrItems[i]->m_nSize) + 1;
  }
  view.m_progressOverall.SetRange32(0, static_cast<int>(nOverall));
  view.m_progressOverall.SetPos(0);
  view.m_progressOverall.SetStep(1);
  CByteProgress& bytes = view.m_bytes;
  bytes = CByteProgress{};
  for (size_t i = 0; i < info.m_arrItems.size(); ++i) {
    if (!isUnchanged(i)) bytes.nPhaseTotal += info.m_arrItems[i]->m_nSize;
  }
  bytes.bActive = true;
  // Only what this run fetches may be continued (without a key, nothing).
  std::set<std::string> setWanted;
  for (size_t i = 0; pSigned != nullptr && i < info.m_arrItems.size(); ++i) {
    const std::string* pSum = pSigned->Find(info.m_arrItems[i]->m_strName);
    if (!isUnchanged(i) && pSum != nullptr) setWanted.insert(*pSum);
  }
  DiscardOtherPartials(setWanted);

  CInstallFolder folder;
  if (const int nError = folder.Open(); nError != 0) {
    view.AddStatus(fmt::format("Unable to open local file {} - ABORTING", FormatTempFileName(1, FALSE)));
    view.AddDetail("The installation folder cannot be opened: " + CInstallFolder::ErrorText(nError));
    return 0;
  }
  char buffer[kTransferBlock];
  int nFetched = 0;
  size_t nRestarted = info.m_arrItems.size();  // the item fetched again after its continued download failed
  for (size_t i = 0; i < info.m_arrItems.size(); ++i) {
    ThrowIfCancelled(view);
    const CUpdateFileItem& item = *info.m_arrItems[i];
    if (isUnchanged(i)) {
      view.AddStatus(fmt::format("Unchanged File {}", TargetFileName(item)));
      continue;
    }
    ++nFetched;
    bytes.strFile = item.m_strName;
    bytes.nFileDone = 0;
    bytes.nFileTotal = item.m_nSize;
    view.m_staticOverall.SetWindowText(fmt::format("Downloading File {} of {}", nFetched, nCount));
    view.m_staticCurrent.SetWindowText(
        fmt::format("Downloading File {} ({} bytes)", item.m_strName, item.m_nSize));
    view.m_progressCurrent.SetRange32(0, static_cast<int>(Blocks(item.m_nSize)));
    view.m_progressCurrent.SetPos(0);
    view.m_progressCurrent.SetStep(1);

    const std::string strTempName = FormatTempFileName(nFetched, FALSE);
    // A signed item goes through its partial file, which a broken-off
    // transfer leaves for the next run to continue (see resume.h); any other
    // through a temporary file made afresh, removed if its download fails.
    const std::string* pSum = pSigned != nullptr ? pSigned->Find(item.m_strName) : nullptr;
    std::optional<CResumableDownload> resume;
    std::optional<CTempFile> temp;
    CFile file;
    const auto cannotCreate = [&](int nError) {
      view.AddStatus(fmt::format("Unable to open local file {} - ABORTING", strTempName));
      view.AddDetail(fmt::format("Cannot create {}: {}", strTempName, CInstallFolder::ErrorText(nError)));
      return 0;
    };
    if (pSum != nullptr) {
      // The partial is renamed to the temporary name once whole: what stands
      // there (a folder, say) fails the item now, not after its download.
      if (const int nError = folder.Remove(strTempName); nError != 0 && !CInstallFolder::IsMissing(nError))
        return cannotCreate(nError);
      resume.emplace(view, *pSum, item.m_nSize);
      CFileException error;
      if (!resume->Open(file, &error)) {
        view.AddStatus(fmt::format("Unable to open local file {} - ABORTING", resume->GetName()));
        view.AddDetail(error.GetErrorMessage());
        return 0;
      }
    } else if (const int nError = temp.emplace(folder, strTempName).Create(file); nError != 0) {
      return cannotCreate(nError);
    }

    CUpdateRequest request;
    const CHttpUrl url = PayloadUrl(serverUrl, item.m_strName);
    std::string strWhy;
    if (resume ? !resume->Send(session, url, file, request, strWhy)
               : SendUpdateRequest(session, url, request) && !request.IsWhole()) {
      // A server that cannot continue the partial is asked once more for the whole.
      if (resume && resume->RangeRefused() && nRestarted != i) {
        file.Abort();
        if (resume->Restart()) {
          nRestarted = i--;
          --nFetched;
          continue;
        }
      }
      view.AddStatus(fmt::format("Unable to open remote file {} - ABORTING", item.m_strName));
      view.AddDetail(resume ? strWhy : request.DescribeAnswer());
      return 0;
    }
    if (!request.pFile) return 0;

    const std::time_t tStart = std::time(nullptr);
    UINT nLast = kTransferBlock;
    const ULONGLONG nHeld = resume ? resume->GetHeld() : 0;
    ULONGLONG nReceived = nHeld;
    const int nOverallStart = view.m_progressOverall.GetPos();
    std::string strCaption;  // one caption per block, formatted without an allocation each
    // Hashed as it is written: the expansion reads the bytes back from this
    // temporary file, which only the updater's user can write (created 0600),
    // so what was hashed is what is expanded without reading it twice.
    CSha256 sha;
    if (nHeld > 0) {
      resume->HashHeld(file, sha);
      bytes.nPhaseDone += nHeld;
      view.m_progressCurrent.SetPos(static_cast<int>(nHeld / kTransferBlock));
      view.m_progressOverall.SetPos(nOverallStart + static_cast<int>(nHeld / kTransferBlock));
    }
    while (nLast == kTransferBlock) {
      ThrowIfCancelled(view);
      nLast = resume ? resume->Read(request, file, buffer, kTransferBlock)
                     : request.pFile->Read(buffer, kTransferBlock);
      // The manifest's size is the publisher's promise: a body that grows
      // past it is cut off before it reaches the disk, and one that ends
      // short of it is not the file that was published.
      if (BreaksPromisedSize(item, nReceived + nLast, nLast < kTransferBlock, pSigned != nullptr)) {
        view.AddStatus(pSigned != nullptr
                           ? SignatureFailure(fmt::format("{} is not the size listed in the "
                                                          "manifest ({} bytes)",
                                                          item.m_strName, item.m_nSize))
                           : fmt::format("Unable to open remote file {} - ABORTING", item.m_strName));
        const ULONGLONG nSoFar = nReceived + nLast;
        view.AddDetail(nSoFar > item.m_nSize
                           ? fmt::format("{} is longer than the {} bytes that the update information gives",
                                         request.pFile->GetFileURL(), item.m_nSize)
                           : fmt::format("{} is {} bytes long, not the {} that the update information gives",
                                         request.pFile->GetFileURL(), nSoFar, item.m_nSize));
        return 0;
      }
      if (nLast > 0) {
        file.Write(buffer, nLast);
        if (pSigned != nullptr) sha.Update(buffer, nLast);
      }
      nReceived += nLast;
      bytes.nFileDone = nReceived;
      bytes.nPhaseDone += nLast;
      bytes.nPhaseMoved += nLast;
      strCaption.clear();
      fmt::format_to(std::back_inserter(strCaption), FMT_COMPILE("Downloading File {} ({} of {} bytes)"),
                     item.m_strName, nReceived, item.m_nSize);
      view.m_staticCurrent.SetWindowText(strCaption);
      // A full bar stays full: the platform's bar would start again from
      // empty on a step past its end (the empty read after the last full block).
      CProgressCtrl& bar = view.m_progressCurrent;
      if (bar.GetPos() < bar.GetUpper()) bar.StepIt();
      view.m_progressOverall.StepIt();
    }

    request.pFile->Close();
    NoteTempFile(item, file);
    file.Close();
    request.pConnection->Close();
    ++bytes.nFilesDone;
    if (pSigned != nullptr) {
      if (pSum == nullptr || *pSum != sha.FinishHex()) {
        // A continued file may join the bytes of two versions: it is fetched once more, whole.
        if (resume && resume->Restart() && nRestarted != i) {
          nRestarted = i--;
          --nFetched;
          --bytes.nFilesDone;
          bytes.nPhaseDone -= nReceived;
          view.m_progressOverall.SetPos(nOverallStart);
          continue;
        }
        view.AddStatus(SignatureFailure(fmt::format("{} is not the file that was signed", item.m_strName)));
        return 0;
      }
      if (resume) resume->Finish(strTempName);
    }
    if (temp) temp->Keep();
    const std::time_t tEnd = std::time(nullptr);
    view.AddStatus(fmt::format("Downloaded File {} - {} second(s)", item.m_strName,
                               static_cast<std::int32_t>(tEnd - tStart)));
  }
  return 1;
}
