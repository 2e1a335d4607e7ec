#include "phases/temp_file_name.h"

#include <cstdio>

#include "platform/file.h"

CTempFile::~CTempFile() {
  if (m_bCreated && !m_bKeep) m_folder.Remove(m_strName);
}

int CTempFile::Create(CFile& file) {
  int nError = m_folder.Remove(m_strName);
  if (CInstallFolder::IsMissing(nError)) nError = 0;
  if (nError == 0) nError = m_folder.Create(m_strName, 0600, file);
  m_bCreated = nError == 0;
  return nError;
}
