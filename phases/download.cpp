#include "phases/download.h"

#include <fmt/compile.h>
#include <fmt/format.h>

#include <ctime>
#include <iterator>

#include "manifest/item_name.h"
#include "phases/blocks.h"
#include "phases/replace.h"
#include "phases/replace_journal.h"
#include "phases/request.h"
#include "phases/temp_file_name.h"
#include "platform/file.h"

namespace {

// A name as it can be shown on one status line: control bytes as \xNN.
std::string Printable(const std::string& str) {
  std::string strOut;
  for (unsigned char c : str) {
    if (c < 0x20 || c == 0x7F) {
      strOut += fmt::format("\\x{:02X}", c);
    } else {
      strOut += static_cast<char>(c);
    }
  }
  return strOut;
}

// True when a body of nReceived bytes so far (all of it when bEnded) breaks
// the item's size. A size of 0 promises nothing.
bool BreaksPromisedSize(const CUpdateFileItem& item, ULONGLONG nReceived, bool bEnded) {
  if (item.m_nSize == 0) return false;
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
    if (!IsSafeItemName(strTarget, &strReason) || IsUpdaterFileName(strTarget, &strReason) ||
        (nFolderError == 0 && !IsConfinedTarget(folder, strTarget, &strReason))) {
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

std::string PayloadUrl(const std::string& strServerUrl, const std::string& strName) {
  return strServerUrl + "/Updates/" + EncodeUrlPath(strName);
}

int DownloadFiles(CUpdateReporter& view, CInternetSession& session, const CUpdateInfo& info,
                  const std::string& strServerUrl) {
  if (!CheckItemNames(view, info)) return 0;

  const int nCount = static_cast<int>(info.m_arrItems.size());
  ULONGLONG nOverall = 0;
  for (const auto& pItem : info.m_arrItems) nOverall += Blocks(pItem->m_nSize) + 1;
  view.m_progressOverall.SetRange32(0, static_cast<int>(nOverall));
  view.m_progressOverall.SetPos(0);
  view.m_progressOverall.SetStep(1);

  CInstallFolder folder;
  if (const int nError = folder.Open(); nError != 0) {
    view.AddStatus(fmt::format("Unable to open local file {} - ABORTING", FormatTempFileName(1, FALSE)));
    view.AddDetail("The installation folder cannot be opened: " + CInstallFolder::ErrorText(nError));
    return 0;
  }
  char buffer[kTransferBlock];
  for (int i = 0; i < nCount; ++i) {
    const CUpdateFileItem& item = *info.m_arrItems[static_cast<size_t>(i)];
    view.m_staticOverall.SetWindowText(fmt::format("Downloading File {} of {}", i + 1, nCount));
    view.m_staticCurrent.SetWindowText(
        fmt::format("Downloading File {} ({} bytes)", item.m_strName, item.m_nSize));
    view.m_progressCurrent.SetRange32(0, static_cast<int>(Blocks(item.m_nSize)));
    view.m_progressCurrent.SetPos(0);
    view.m_progressCurrent.SetStep(1);

    const std::string strTempName = FormatTempFileName(i + 1, FALSE);
    CTempFile temp(folder, strTempName);
    CFile file;
    if (const int nError = temp.Create(file); nError != 0) {
      view.AddStatus(fmt::format("Unable to open local file {} - ABORTING", strTempName));
      view.AddDetail(fmt::format("Cannot create {}: {}", strTempName, CInstallFolder::ErrorText(nError)));
      return 0;
    }

    CUpdateRequest request;
    if (!SendUpdateRequest(session, PayloadUrl(strServerUrl, item.m_strName), request)) return 0;
    if (!request.IsSuccess()) {
      view.AddStatus(fmt::format("Unable to open remote file {} - ABORTING", item.m_strName));
      return 0;
    }

    const std::time_t tStart = std::time(nullptr);
    UINT nLast = kTransferBlock;
    ULONGLONG nReceived = 0;
    std::string strCaption;  // one caption per block, formatted without an allocation each
    while (nLast == kTransferBlock) {
      nLast = request.pFile->Read(buffer, kTransferBlock);
      // The manifest's size is the publisher's promise: a body that grows
      // past it is cut off before it reaches the disk, and one that ends
      // short of it is not the file that was published.
      if (BreaksPromisedSize(item, nReceived + nLast, nLast < kTransferBlock)) {
        view.AddStatus(fmt::format("Unable to open remote file {} - ABORTING", item.m_strName));
        return 0;
      }
      if (nLast > 0) file.Write(buffer, nLast);
      nReceived += nLast;
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
    file.Close();
    temp.Keep();
    request.pConnection->Close();
    const std::time_t tEnd = std::time(nullptr);
    view.AddStatus(fmt::format("Downloaded File {} - {} second(s)", item.m_strName,
                               static_cast<std::int32_t>(tEnd - tStart)));
  }
  return 1;
}
