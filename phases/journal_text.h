#pragma once
// The replacement journal's text, apart from the files it is kept in and the
// steps taken from it, so that any text can be tried against the reader:
//
//   qvnupdate-journal 1
//   folder <name>                  a folder the update creates, outer ones first
//   file <0|1> <target> <backup>   a target, 1 when it existed before the update
//   end
//
// Names are written with every blank, control byte, byte from 0x80 up and "%"
// as %XX, so that each is one field whatever bytes it holds.
#include <string>
#include <vector>

#include "platform/types.h"

// One planned target.
struct JournalEntry {
  std::string strTarget;
  BOOL bExisted = FALSE;  // it was there before the update
  std::string strBackup;  // where its previous version is kept

  bool operator==(const JournalEntry&) const = default;
};

// What a journal records.
struct JournalRecords {
  std::vector<JournalEntry> arrEntries;
  std::vector<std::string> arrFolders;  // folders the update creates, outer ones first

  bool operator==(const JournalRecords&) const = default;
};

// The journal's text for records whose names are safe item names (and each
// backup its target's BackupName), which ParseJournal reads back as they are.
std::string FormatJournal(const std::vector<JournalEntry>& arrEntries,
                          const std::vector<std::string>& arrFolders);

// Reads a journal's text. Every name must be one the updater could have
// written: a safe item name, and each backup the one its target gets. On
// false, records holds what was read so far and strWhy says what is wrong
// ("line 3 cannot be read", "it is incomplete").
bool ParseJournal(const std::string& strText, JournalRecords& records, std::string& strWhy);
