// The version block of a file where the system has no version API: read by
// the PE reader of pe_version.cpp.
#include <cstring>

#include "platform/pe_version.h"

DWORD GetFileVersionInfoSize(const std::string& strFileName) {
  std::vector<BYTE> block;
  if (ReadPeVersionBlock(strFileName, block) != PeVersionStatus::kPeOk) return 0;
  return static_cast<DWORD>(block.size());
}

BOOL GetFileVersionInfo(const std::string& strFileName, DWORD dwLen, void* pData) {
  std::vector<BYTE> block;
  if (pData == nullptr || ReadPeVersionBlock(strFileName, block) != PeVersionStatus::kPeOk) return FALSE;
  // The file may have changed since its size was asked for.
  if (block.size() > dwLen) return FALSE;
  std::memcpy(pData, block.data(), block.size());
  std::memset(static_cast<BYTE*>(pData) + block.size(), 0, dwLen - block.size());
  return TRUE;
}
