#include "manifest/update_info.h"

#include <cstdint>
#include <string_view>
#include <utility>

namespace {

// The number rule of manifest values: leading white space, one optional sign,
// decimal digits up to the first non-digit; no digits give 0. The arithmetic
// wraps modulo 2^32, done unsigned so that overflow is well defined.
LONG ParseNumber(std::string_view strValue) {
  std::size_t i = 0;
  auto isSpace = [](char c) { return c == ' ' || (c >= '\t' && c <= '\r'); };
  while (i < strValue.size() && isSpace(strValue[i])) ++i;
  bool bNegative = false;
  if (i < strValue.size() && (strValue[i] == '+' || strValue[i] == '-')) {
    bNegative = strValue[i] == '-';
    ++i;
  }
  std::uint32_t nValue = 0;
  for (; i < strValue.size() && strValue[i] >= '0' && strValue[i] <= '9'; ++i) {
    nValue = nValue * 10u + static_cast<std::uint32_t>(strValue[i] - '0');
  }
  if (bNegative) nValue = 0u - nValue;
  return static_cast<LONG>(nValue);
}

bool BeginsWithYes(const std::string& strValue) {
  return !strValue.empty() && (strValue[0] == 'Y' || strValue[0] == 'y');
}

enum class Key {
  SVersion,
  SName,
  SCompressed,
  Version,
  Reboot,
  NumberItems,
  Item,
  Name,
  Size,
  Location,
  Replace,
  Compressed
};

// Searched in this order, so that "SVERSION:" is never taken for "VERSION:",
// "SNAME:" for "NAME:" or "SCOMPRESSED:" for "COMPRESSED:".
constexpr std::pair<std::string_view, Key> kKeys[] = {
    {"SVERSION:", Key::SVersion}, {"SNAME:", Key::SName},     {"SCOMPRESSED:", Key::SCompressed},
    {"VERSION:", Key::Version},   {"REBOOT:", Key::Reboot},   {"NUMBERITEMS:", Key::NumberItems},
    {"ITEM:", Key::Item},         {"NAME:", Key::Name},       {"SIZE:", Key::Size},
    {"LOCATION:", Key::Location}, {"REPLACE:", Key::Replace}, {"COMPRESSED:", Key::Compressed},
};

constexpr std::pair<std::string_view, LONG> kHeaders[] = {
    {"[GENERAL]", SECTION_GENERAL},
    {"[FILES]", SECTION_FILES},
    {"[REGISTRY]", SECTION_REGISTRY},
    {"[SELF]", SECTION_SELF},
};

}  // namespace

CUpdateInfo::~CUpdateInfo() {
  RemoveAllItems();
}

CUpdateInfo::CUpdateInfo(CUpdateInfo&& other) noexcept
    : m_strVersion(std::move(other.m_strVersion)),
      m_bReboot(other.m_bReboot),
      m_nNumberItems(other.m_nNumberItems),
      m_nNumberRegItems(other.m_nNumberRegItems),
      m_arrItems(std::move(other.m_arrItems)),
      m_nSection(other.m_nSection),
      m_bCorrupt(other.m_bCorrupt),
      m_bItemError(other.m_bItemError),
      m_arrMessages(std::move(other.m_arrMessages)),
      m_pCurItem(std::exchange(other.m_pCurItem, nullptr)),
      m_strSelfVersion(std::move(other.m_strSelfVersion)),
      m_strSelfName(std::move(other.m_strSelfName)),
      m_bSelfCompressed(other.m_bSelfCompressed) {
  other.m_arrItems.clear();
}

CUpdateInfo& CUpdateInfo::operator=(CUpdateInfo&& other) noexcept {
  if (this != &other) {
    RemoveAllItems();
    m_strVersion = std::move(other.m_strVersion);
    m_bReboot = other.m_bReboot;
    m_nNumberItems = other.m_nNumberItems;
    m_nNumberRegItems = other.m_nNumberRegItems;
    m_arrItems = std::move(other.m_arrItems);
    other.m_arrItems.clear();
    m_nSection = other.m_nSection;
    m_bCorrupt = other.m_bCorrupt;
    m_bItemError = other.m_bItemError;
    m_arrMessages = std::move(other.m_arrMessages);
    m_pCurItem = std::exchange(other.m_pCurItem, nullptr);
    m_strSelfVersion = std::move(other.m_strSelfVersion);
    m_strSelfName = std::move(other.m_strSelfName);
    m_bSelfCompressed = other.m_bSelfCompressed;
  }
  return *this;
}

void CUpdateInfo::RemoveAllItems() {
  m_arrItems.clear();
  m_pCurItem = nullptr;
}

BOOL CUpdateInfo::ParseLine(const std::string& strLine) {
  if (strLine.size() < 3) return TRUE;

  if (strLine[0] == '[') {
    for (const auto& [strHeader, nSection] : kHeaders) {
      if (strLine.find(strHeader) != std::string::npos) {
        m_nSection = nSection;
        return TRUE;
      }
    }
  }

  const std::size_t nColon = strLine.find(':');
  if (nColon == std::string::npos) {
    m_bCorrupt = TRUE;
    m_arrMessages.push_back("Unrecognizable line:" + strLine);
    return FALSE;
  }

  // The value: after the first colon, less the spaces right after it (but
  // never the line's last character), cut at the first line feed and then at
  // the first carriage return.
  std::size_t nStart = nColon + 1;
  while (nStart + 1 < strLine.size() && strLine[nStart] == ' ') ++nStart;
  std::string strValue = nStart < strLine.size() ? strLine.substr(nStart) : std::string();
  if (const std::size_t n = strValue.find('\n'); n != std::string::npos) strValue.resize(n);
  if (const std::size_t n = strValue.find('\r'); n != std::string::npos) strValue.resize(n);

  const LONG nNumber = ParseNumber(strValue);

  const Key* pKey = nullptr;
  for (const auto& [strKey, key] : kKeys) {
    if (strLine.find(strKey) != std::string::npos) {
      pKey = &key;
      break;
    }
  }
  if (pKey == nullptr) {
    m_bCorrupt = TRUE;
    m_arrMessages.push_back("Unrecognized String:" + strLine);
    return FALSE;
  }

  auto misplaced = [this](const char* pszMessage) {
    m_bCorrupt = TRUE;
    m_arrMessages.emplace_back(pszMessage);
  };
  auto noItem = [this](const char* pszMessage) {
    m_bItemError = TRUE;
    m_arrMessages.emplace_back(pszMessage);
  };
  const bool bFiles = m_nSection == SECTION_FILES;
  const bool bRegistry = m_nSection == SECTION_REGISTRY;

  switch (*pKey) {
    case Key::SVersion:
      if (m_nSection == SECTION_SELF) {
        m_strSelfVersion = strValue;
      } else {
        misplaced("Possible File Corruption: Invalid SVERSION Spec.");
      }
      break;
    case Key::SName:
      if (m_nSection == SECTION_SELF) {
        m_strSelfName = strValue;
      } else {
        misplaced("Possible File Corruption: Invalid SNAME Spec.");
      }
      break;
    case Key::SCompressed:
      if (m_nSection == SECTION_SELF) {
        if (BeginsWithYes(strValue)) m_bSelfCompressed = TRUE;
      } else {
        misplaced("Possible File Corruption: Invalid SCOMPRESSED Spec.");
      }
      break;
    case Key::Version:
      if (m_nSection != SECTION_GENERAL) misplaced("Possible File Corruption: Unheaded Version Info");
      m_strVersion = strValue;
      break;
    case Key::Reboot:
      if (m_nSection != SECTION_GENERAL) misplaced("Possible File Corruption: Unheaded Reboot Spec.");
      if (BeginsWithYes(strValue)) m_bReboot = TRUE;
      break;
    case Key::NumberItems:
      if (bFiles) {
        m_nNumberItems = static_cast<DWORD>(nNumber);
      } else if (bRegistry) {
        m_nNumberRegItems = static_cast<DWORD>(nNumber);
      } else {
        misplaced("Possible File Corruption: Invalid NumberItems Spec.");
      }
      break;
    case Key::Item:
      if (bFiles) {
        const DWORD nItem = static_cast<DWORD>(nNumber);
        if (nItem >= 1 && nItem <= m_nNumberItems) {
          m_pCurItem = m_arrItems.emplace_back(std::make_unique<CUpdateFileItem>()).get();
        } else {
          m_bItemError = TRUE;
          m_arrMessages.push_back("File Item " + std::to_string(nNumber) + " not within range.");
        }
      } else if (!bRegistry) {
        misplaced("Possible File Corruption: Invalid ITEM: Spec.");
      }
      break;
    case Key::Name:
      if (bFiles) {
        if (m_pCurItem != nullptr) {
          m_pCurItem->m_strName = strValue;
        } else {
          noItem("Got Name and No File Specified.");
        }
      } else if (!bRegistry) {
        misplaced("Possible File Corruption: Invalid NAME Spec.");
      }
      break;
    case Key::Size:
      if (bFiles) {
        if (m_pCurItem != nullptr) {
          m_pCurItem->m_nSize = static_cast<DWORD>(nNumber);
        } else {
          noItem("Got Size and No File Specified.");
        }
      } else if (!bRegistry) {
        misplaced("Possible File Corruption: Invalid SIZE Spec.");
      }
      break;
    case Key::Location:
      if (bFiles) {
        if (m_pCurItem != nullptr) {
          m_pCurItem->m_strLocation = strValue;
        } else {
          noItem("Got Location and no File Specified.");
        }
      } else if (!bRegistry) {
        misplaced("Possible File Corruption: Invalid LOCATION Spec.");
      }
      break;
    case Key::Replace:
      if (bFiles) {
        if (m_pCurItem != nullptr) {
          switch (strValue.empty() ? '\0' : strValue[0]) {
            case 'Y':
            case 'y':
              m_pCurItem->m_nReplace = 1;
              break;
            case 'N':
            case 'n':
              m_pCurItem->m_nReplace = -1;
              break;
            case 'A':
            case 'a':
              m_pCurItem->m_nReplace = 0;
              break;
            default:
              break;
          }
        } else {
          noItem("Got REPLACE and no File Specified.");
        }
      } else if (!bRegistry) {
        misplaced("Possible File Corruption: Invalid REPLACE: Spec.");
      }
      break;
    case Key::Compressed:
      if (bFiles) {
        if (m_pCurItem != nullptr) {
          if (BeginsWithYes(strValue)) m_pCurItem->m_bCompressed = TRUE;
        } else {
          noItem("Got Compression and No File Specified.");
        }
      } else if (!bRegistry) {
        misplaced("Possible File Corruption: Invalid COMPRESSED Spec.");
      }
      break;
  }
  return TRUE;
}
