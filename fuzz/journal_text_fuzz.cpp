// The replacement journal's text, both ways. Any text the reader accepts
// holds only safe names, each backup its target's, and reads back the same
// once written again; any records of safe names are read back as written,
// whatever bytes the names hold.
//
// Input: the text of a journal; the same bytes, split at NUL bytes, are also
// the names of records (every other one existing before the update).
#include <cstdint>
#include <string>

#include "fuzz/fuzz_support.h"
#include "manifest/item_name.h"
#include "manifest/updater_names.h"
#include "phases/journal_text.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* pData, size_t nSize) {
  const std::string strInput(reinterpret_cast<const char*>(pData), nSize);

  JournalRecords read;
  std::string strWhy;
  if (ParseJournal(strInput, read, strWhy)) {
    for (const auto& entry : read.arrEntries) {
      QVN_FUZZ_CHECK(IsSafeItemName(entry.strTarget, nullptr) &&
                     entry.strBackup == BackupName(entry.strTarget));
    }
    for (const auto& strFolder : read.arrFolders) QVN_FUZZ_CHECK(IsSafeItemName(strFolder, nullptr));
    const std::string strText = FormatJournal(read.arrEntries, read.arrFolders);
    JournalRecords again;
    QVN_FUZZ_CHECK(ParseJournal(strText, again, strWhy));
    QVN_FUZZ_CHECK(again == read);
    QVN_FUZZ_CHECK(FormatJournal(again.arrEntries, again.arrFolders) == strText);
  } else {
    QVN_FUZZ_CHECK(strWhy == "it is incomplete" || strWhy.starts_with("line "));
  }

  JournalRecords made;
  size_t nStart = 0;
  for (size_t nEnd = 0; nEnd <= strInput.size(); ++nEnd) {
    if (nEnd < strInput.size() && strInput[nEnd] != '\0') continue;
    const std::string strName = strInput.substr(nStart, nEnd - nStart);
    nStart = nEnd + 1;
    if (!IsSafeItemName(strName, nullptr)) continue;
    made.arrFolders.push_back(strName);
    JournalEntry entry;
    entry.strTarget = strName;
    entry.bExisted = made.arrEntries.size() % 2 == 0 ? TRUE : FALSE;
    entry.strBackup = BackupName(strName);
    made.arrEntries.push_back(entry);
  }
  JournalRecords back;
  QVN_FUZZ_CHECK(ParseJournal(FormatJournal(made.arrEntries, made.arrFolders), back, strWhy));
  QVN_FUZZ_CHECK(back == made);
  return 0;
}
