#include "phases/replace.h"

#include <fmt/format.h>

#include "phases/cancel.h"
#include "phases/replace_journal.h"
#include "phases/temp_file_name.h"

namespace {

// After a failure: every target back as it was. Only a failure to put a file
// back is worth a line of its own; the next start tries again then.
void RollBack(CUpdateReporter& view, CReplaceJournal& journal) {
  std::string strError;
  if (!journal.RollBack(strError)) {
    view.AddStatus(fmt::format(
        "Unable to put back the previous files ({}); they will be put back when the updater next starts",
        strError));
  }
}

}  // namespace

int ReplaceFiles(CUpdateReporter& view, const CUpdateInfo& info) {
  ThrowIfCancelled(view);
  view.AddStatus("Replacing Files");
  if (info.m_arrItems.empty()) return 1;

  CReplaceJournal journal;
  for (const auto& pItem : info.m_arrItems) journal.AddTarget(TargetFileName(*pItem));
  std::string strError;
  if (!journal.Begin(strError)) {
    view.AddStatus(
        fmt::format("Unable to prepare the replacement of the installed files: {} - ABORTING", strError));
    return 0;
  }
  std::string strKept;
  if (!journal.BackUp(strKept, strError)) {
    view.AddStatus(
        fmt::format("Unable to keep the previous version of {}: {} - ABORTING", strKept, strError));
    RollBack(view, journal);
    return 0;
  }

  // A stop puts back what was replaced so far, before the status line.
  const auto stopIfAsked = [&] {
    if (view.IsCancelled()) {
      RollBack(view, journal);
      ThrowIfCancelled(view);
    }
  };
  for (size_t i = 0; i < info.m_arrItems.size(); ++i) {
    stopIfAsked();
    const CUpdateFileItem& item = *info.m_arrItems[i];
    const std::string strSource = FormatTempFileName(static_cast<int>(i + 1), item.m_bCompressed);
    const std::string strTarget = TargetFileName(item);
    view.AddStatus(fmt::format("Copying {} to {}", strSource, strTarget));
    std::string strReason;
    CInstallFolder::FileId source;
    if (!journal.Install(strSource, NotedTempFile(item, source), strTarget, strReason)) {
      view.AddStatus(fmt::format("Unable to copy {} to {}: {} - ABORTING", strSource, strTarget, strReason));
      RollBack(view, journal);
      return 0;
    }
    NotifyReplaceStep("copy", static_cast<int>(i + 1));
  }
  // Asked while the last file was copied: nothing is committed yet.
  stopIfAsked();
  if (!journal.Commit(strError)) {
    view.AddStatus(
        fmt::format("Unable to complete the replacement of the installed files: {} - ABORTING", strError));
    RollBack(view, journal);
    return 0;
  }
  if (!journal.Finish(strError)) {
    // The update is in place; only its backups are left, for the next run.
    view.AddDetail(
        fmt::format("The previous files could not all be removed ({}); the next run removes them", strError));
  }
  return 1;
}
