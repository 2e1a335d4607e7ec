#pragma once
// The parsed update manifest (UpdateInfo.txt) and the parser that fills it.
//
// The records are plain data: the session, the parser and the update phases
// read and write the fields directly. The parser never stops and never
// throws; a line it cannot use leaves a diagnostic in m_arrMessages and
// raises m_bCorrupt (structural fault) or m_bItemError (item-reference fault).
#include <memory>
#include <string>
#include <vector>

#include "platform/types.h"

// The parser's current section, held in CUpdateInfo::m_nSection.
inline constexpr LONG SECTION_NONE = -1;  // no header seen yet
inline constexpr LONG SECTION_GENERAL = 1;
inline constexpr LONG SECTION_FILES = 2;
inline constexpr LONG SECTION_REGISTRY = 3;
inline constexpr LONG SECTION_SELF = 4;

// One file of the [FILES] section. Its identity is its position in
// CUpdateInfo::m_arrItems; the number on its ITEM: line is not kept.
class CUpdateFileItem {
 public:
  std::string m_strName;       // name on the server; the installed name derives from it
  LONG m_nReplace = 1;         // 1 for "Y", -1 for "N", 0 for "A"; kept, not acted on
  std::string m_strLocation;   // kept as written, not acted on
  BOOL m_bCompressed = FALSE;  // sent in the compressed format; once set, stays set
  ULONGLONG m_nSize = 0;       // bytes as sent; read as 32 bits, so 0 to 4294967295
  // The temporary file that holds the item for the next phase, as the phase
  // before it wrote it (device and file number; 0 and 0 before there is
  // one): the next phase reads that file, not another put at its name since.
  // A note of the run, not part of the item as listed: the phases, which
  // take the list as it is, keep it.
  mutable ULONGLONG m_nTempDevice = 0;
  mutable ULONGLONG m_nTempInode = 0;
};

class CUpdateInfo {
 public:
  CUpdateInfo() = default;
  ~CUpdateInfo();
  CUpdateInfo(const CUpdateInfo&) = delete;
  CUpdateInfo& operator=(const CUpdateInfo&) = delete;
  // Moving keeps m_pCurItem valid (the items stay where they are) and leaves
  // the source without items and without a current item.
  CUpdateInfo(CUpdateInfo&& other) noexcept;
  CUpdateInfo& operator=(CUpdateInfo&& other) noexcept;

  // Moves one manifest line into the record. The line normally comes without
  // its line feed and carriage returns (see CLineSplitter), but trailing
  // line-end characters are tolerated. TRUE: the line was short, a section
  // header or a key line (accepted or not where it stood); FALSE: the line
  // was unrecognisable or unrecognised.
  BOOL ParseLine(const std::string& strLine);

  // Deletes every file item and empties m_arrItems. Also forgets m_pCurItem,
  // which would otherwise point at a deleted item.
  void RemoveAllItems();

  std::string m_strVersion;     // available product version, from VERSION:
  BOOL m_bReboot = FALSE;       // from REBOOT:; once set, stays set
  DWORD m_nNumberItems = 0;     // declared file items; bounds the ITEM: numbers only
  DWORD m_nNumberRegItems = 0;  // declared registry items
  std::vector<std::unique_ptr<CUpdateFileItem>> m_arrItems;  // owned, in ITEM: order
  LONG m_nSection = SECTION_NONE;                            // parser state
  BOOL m_bCorrupt = FALSE;                 // a structural diagnostic was recorded; never reset
  BOOL m_bItemError = FALSE;               // an item-reference diagnostic was recorded; never reset
  std::vector<std::string> m_arrMessages;  // diagnostics in order of occurrence
  CUpdateFileItem* m_pCurItem = nullptr;   // the item last opened by ITEM:; not owning
  std::string m_strSelfVersion;            // [SELF] SVERSION:
  std::string m_strSelfName;               // [SELF] SNAME:
  BOOL m_bSelfCompressed = FALSE;          // [SELF] SCOMPRESSED:; once set, stays set
};
