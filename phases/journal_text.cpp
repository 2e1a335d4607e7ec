#include "phases/journal_text.h"

#include <sstream>

#include "manifest/item_name.h"
#include "manifest/updater_names.h"

namespace {

constexpr const char* kJournalHeader = "qvnupdate-journal 1";

std::string Encode(const std::string& str) {
  return PercentEncode(str, [](unsigned char b) { return b <= 0x20 || b >= 0x7F || b == '%'; });
}

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

bool Decode(const std::string& str, std::string& strOut) {
  strOut.clear();
  for (size_t i = 0; i < str.size(); ++i) {
    if (str[i] != '%') {
      strOut += str[i];
      continue;
    }
    if (i + 2 >= str.size()) return false;
    const int nHigh = HexValue(str[i + 1]);
    const int nLow = HexValue(str[i + 2]);
    if (nHigh < 0 || nLow < 0) return false;
    strOut += static_cast<char>(nHigh << 4 | nLow);
    i += 2;
  }
  return true;
}

}  // namespace

std::string FormatJournal(const std::vector<JournalEntry>& arrEntries,
                          const std::vector<std::string>& arrFolders) {
  std::string strText = std::string(kJournalHeader) + "\n";
  for (const auto& strFolder : arrFolders) strText += "folder " + Encode(strFolder) + "\n";
  for (const auto& entry : arrEntries) {
    strText += std::string("file ") + (entry.bExisted ? "1 " : "0 ") + Encode(entry.strTarget) + " " +
               Encode(entry.strBackup) + "\n";
  }
  return strText + "end\n";
}

bool ParseJournal(const std::string& strText, JournalRecords& records, std::string& strWhy) {
  std::istringstream in(strText);
  std::string strLine;
  int nLine = 0;
  bool bEnded = false;
  while (std::getline(in, strLine)) {
    ++nLine;
    strWhy = "line " + std::to_string(nLine) + " cannot be read";
    if (bEnded) return false;
    if (nLine == 1) {
      if (strLine != kJournalHeader) return false;
      continue;
    }
    if (strLine == "end") {
      bEnded = true;
      continue;
    }
    std::istringstream fields(strLine);
    std::string strKind;
    std::string strRest;
    fields >> strKind;
    if (strKind == "folder") {
      std::string strFolder;
      if (!(fields >> strRest) || !Decode(strRest, strFolder) || !IsSafeItemName(strFolder, nullptr)) {
        return false;
      }
      records.arrFolders.push_back(strFolder);
    } else if (strKind == "file") {
      std::string strExisted;
      std::string strTarget;
      std::string strBackup;
      JournalEntry entry;
      if (!(fields >> strExisted >> strTarget >> strBackup) || (strExisted != "0" && strExisted != "1") ||
          !Decode(strTarget, entry.strTarget) || !Decode(strBackup, entry.strBackup) ||
          !IsSafeItemName(entry.strTarget, nullptr) || entry.strBackup != BackupName(entry.strTarget)) {
        return false;
      }
      entry.bExisted = strExisted == "1" ? TRUE : FALSE;
      records.arrEntries.push_back(entry);
    } else {
      return false;
    }
    if (fields >> strRest) return false;
  }
  strWhy = "it is incomplete";
  return nLine > 0 && bEnded;
}
