#include "manifest/updater_names.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <string_view>

#include "manifest/item_name.h"

namespace {

// strName, in lower case, is a name of the updater's temporary files.
bool IsTempFileName(const std::string& strName) {
  for (const char* pszPrefix : {"qvnupdu", "qvnupd"}) {
    const std::string strPrefix = pszPrefix;
    if (strName.size() <= strPrefix.size() + 4 || strName.compare(0, strPrefix.size(), strPrefix) != 0 ||
        strName.compare(strName.size() - 4, 4, ".tmp") != 0) {
      continue;
    }
    const auto digitsBegin = strName.begin() + static_cast<std::ptrdiff_t>(strPrefix.size());
    if (std::all_of(digitsBegin, strName.end() - 4, [](unsigned char c) { return std::isdigit(c); })) {
      return true;
    }
  }
  return false;
}

// strTarget with its last "/"-separated part hidden and given strSuffix.
std::string HiddenBeside(const std::string& strTarget, const char* pszSuffix) {
  const size_t nSlash = strTarget.rfind('/');
  const size_t nName = nSlash == std::string::npos ? 0 : nSlash + 1;
  return strTarget.substr(0, nName) + "." + strTarget.substr(nName) + pszSuffix;
}

}  // namespace

std::string TargetFileName(const CUpdateFileItem& item) {
  const std::string& strName = item.m_strName;
  if (!item.m_bCompressed) return strName;
  const size_t nCut = strName.find(".crz") != std::string::npos ? 4 : 1;
  return strName.substr(0, strName.size() >= nCut ? strName.size() - nCut : 0);
}

std::string BackupName(const std::string& strTarget) {
  return HiddenBeside(strTarget, kBackupSuffix);
}

std::string CopyTempName(const std::string& strTarget) {
  return HiddenBeside(strTarget, kNewSuffix);
}

void FormatTempFileName(char* pszBuffer, int nItem, int bExpanded) {
  std::snprintf(pszBuffer, kTempFileNameSize, bExpanded != 0 ? "QVNUPDU%d.TMP" : "QVNUPD%d.TMP", nItem);
}

std::string FormatTempFileName(int nItem, int bExpanded) {
  char szName[kTempFileNameSize];
  FormatTempFileName(szName, nItem, bExpanded);
  return szName;
}

bool IsUpdaterFileName(const std::string& strTarget, std::string* pReason) {
  // Compared without regard to case: on Windows "qvnupd1.tmp" is the
  // updater's QVNUPD1.TMP.
  const std::string strFolded = FoldAsciiCase(strTarget);
  for (const std::string_view part : PathParts(strFolded)) {
    if (part.starts_with(".qvnupdate") || part.ends_with(kBackupSuffix) || part.ends_with(kNewSuffix)) {
      if (pReason != nullptr) *pReason = "the name is kept for the updater's own files";
      return true;
    }
  }
  if (IsTempFileName(strFolded.substr(0, strFolded.find('/')))) {
    if (pReason != nullptr) *pReason = "the name is one of the updater's temporary files";
    return true;
  }
  // Names longer than this fail on most file systems; the hidden names the
  // updater gives the file beside it must fit too, or every update would fail
  // at its last step.
  constexpr size_t kMaxNameBytes = 255;
  const size_t nRoom = kMaxNameBytes + 1 - std::max(BackupName("x").size(), CopyTempName("x").size());
  if (strTarget.size() - (strTarget.rfind('/') + 1) > nRoom) {
    if (pReason != nullptr) {
      *pReason =
          "the file name is too long: the updater keeps hidden copies beside it under longer names, "
          "so it may have at most " +
          std::to_string(nRoom) + " bytes";
    }
    return true;
  }
  return false;
}
