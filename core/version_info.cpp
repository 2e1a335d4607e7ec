#include "core/version_info.h"

#include <cstdio>
#include <vector>

#include "platform/own_path.h"
#include "platform/pe_version.h"

BOOL CFileVersionInfo::Load(const std::string& strFileName) {
  const DWORD dwSize = GetFileVersionInfoSize(strFileName);
  if (dwSize == 0) return FALSE;

  // Built aside first, so that a failed allocation leaves the object as it was.
  std::unique_ptr<BYTE[]> pData(new BYTE[dwSize]);
  Release();
  m_pData = std::move(pData);
  m_dwDataSize = dwSize;
  if (!GetFileVersionInfo(strFileName, dwSize, m_pData.get())) {
    Release();
    return FALSE;
  }

  VersionValue translation;
  // A table shorter than one language/code-page pair has no first translation.
  if (!VerQueryValue(m_pData.get(), m_dwDataSize, "\\VarFileInfo\\Translation", translation) ||
      translation.nBytes < 4) {
    Release();
    return FALSE;
  }
  // Stored as WORD language, WORD code page; kept as language << 16 | code page.
  const BYTE* p = translation.pData;
  const DWORD dwLanguage = static_cast<DWORD>(p[0] | (p[1] << 8));
  const DWORD dwCodePage = static_cast<DWORD>(p[2] | (p[3] << 8));
  m_dwTranslation = (dwLanguage << 16) | dwCodePage;
  return TRUE;
}

void CFileVersionInfo::Release() {
  m_pData.reset();
  m_dwDataSize = 0;
  m_dwTranslation = 0;
}

std::string CFileVersionInfo::FormatValuePath(DWORD dwTranslation, const std::string& strName) {
  char szTranslation[16];
  std::snprintf(szTranslation, sizeof szTranslation, "%08lx", static_cast<unsigned long>(dwTranslation));
  return "\\StringFileInfo\\" + std::string(szTranslation) + "\\" + strName;
}

std::string CFileVersionInfo::GetValue(const std::string& strName, DWORD dwTranslation) const {
  if (!m_pData) return std::string();
  if (dwTranslation == 0) dwTranslation = m_dwTranslation;
  std::string strValue;
  if (!VerQueryString(m_pData.get(), m_dwDataSize, FormatValuePath(dwTranslation, strName), strValue))
    return std::string();
  return strValue;
}

std::string LocateProductExe(const std::string& strName) {
  if (strName.empty() || strName.find('/') != std::string::npos) return strName;
  const std::string strDir = OwnDirectory();
  if (!strDir.empty()) {
    const std::string strCandidate = (strDir == "/" ? strDir : strDir + "/") + strName;
    if (IsRegularFile(strCandidate)) return strCandidate;
  }
  return strName;  // the current directory, or nowhere: Load then fails
}
