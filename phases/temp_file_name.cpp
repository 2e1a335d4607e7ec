#include "phases/temp_file_name.h"

#include <cstdio>

#include "manifest/update_info.h"
#include "platform/file.h"

CTempFile::~CTempFile() {
  if (m_bCreated && !m_bKeep) m_folder.Remove(m_strName);
}

void NoteTempFile(const CUpdateFileItem& item, const CFile& file) {
  CInstallFolder::FileId id;
  if (CInstallFolder::IdentityOf(file, id) != 0) id = {};
  item.m_nTempDevice = id.nDevice;
  item.m_nTempInode = id.nInode;
}

const CInstallFolder::FileId* NotedTempFile(const CUpdateFileItem& item, CInstallFolder::FileId& id) {
  id = {item.m_nTempDevice, item.m_nTempInode};
  return id == CInstallFolder::FileId{} ? nullptr : &id;
}

int CTempFile::Create(CFile& file) {
  int nError = m_folder.Remove(m_strName);
  if (CInstallFolder::IsMissing(nError)) nError = 0;
  if (nError == 0) nError = m_folder.Create(m_strName, 0600, file);
  m_bCreated = nError == 0;
  return nError;
}
