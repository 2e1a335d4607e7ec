// The version block of a file on Windows: the system's own version API
// reads it, as every other program on the machine sees it. The block it
// gives is the resource followed by room the API keeps for itself; the
// values are looked up in it by the same VerQueryValue as everywhere. The
// system looks only at the resource numbered 1: an image whose version
// resource has another number or a name is read by the PE reader, as on
// every other system, so that its version is the same everywhere.
#include <windows.h>

#include <cstring>
#include <vector>

#include "platform/pe_version.h"
#include "platform/wide_win32.h"

DWORD GetFileVersionInfoSize(const std::string& strFileName) {
  std::wstring strWide;
  if (strFileName.empty() || !Utf8ToWide(strFileName, strWide)) return 0;
  DWORD dwHandle = 0;
  if (const DWORD dwSize = ::GetFileVersionInfoSizeW(strWide.c_str(), &dwHandle); dwSize != 0) return dwSize;
  std::vector<BYTE> block;
  return ReadPeVersionBlock(strFileName, block) == PeVersionStatus::kPeOk ? static_cast<DWORD>(block.size())
                                                                          : 0;
}

BOOL GetFileVersionInfo(const std::string& strFileName, DWORD dwLen, void* pData) {
  std::wstring strWide;
  if (pData == nullptr || strFileName.empty() || !Utf8ToWide(strFileName, strWide)) return FALSE;
  // The system cuts a block to a short buffer without a word; a short buffer
  // is refused here instead, as a file that changed since its size was asked.
  DWORD dwHandle = 0;
  const DWORD dwSize = ::GetFileVersionInfoSizeW(strWide.c_str(), &dwHandle);
  std::vector<BYTE> block(dwSize);
  if (dwSize == 0) {
    if (ReadPeVersionBlock(strFileName, block) != PeVersionStatus::kPeOk) return FALSE;
  } else if (!::GetFileVersionInfoW(strWide.c_str(), 0, dwSize, block.data())) {
    return FALSE;
  }
  if (block.size() > dwLen) return FALSE;
  // The version block's own length leads it; a block that says otherwise is none.
  const std::size_t nLength = block.size() >= 2 ? block[0] | (block[1] << 8) : 0;
  if (nLength < 6 || nLength > block.size()) return FALSE;
  std::memcpy(pData, block.data(), block.size());
  std::memset(static_cast<BYTE*>(pData) + block.size(), 0, dwLen - block.size());
  return TRUE;
}
