// The PE version reader on any file, and the version-block queries on any
// block: a damaged or hostile image is "no version", never a read outside
// the file or the block (the block is checked at its exact size). Every
// value found lies inside the block it was found in.
#include <cstdint>
#include <cstring>
#include <memory>
#include <vector>

#include "core/version_info.h"
#include "fuzz/fuzz_support.h"
#include "platform/pe_version.h"

namespace {

const char* const kPaths[] = {
    "\\",
    "\\VarFileInfo\\Translation",
    "\\StringFileInfo\\040904b0\\ProductVersion",
    "\\StringFileInfo\\040904E4\\FileVersion",
    "\\StringFileInfo",
    "\\StringFileInfo\\\\",
};

void Query(const BYTE* pBlock, size_t nBlock) {
  for (const char* pszPath : kPaths) {
    VersionValue value;
    if (VerQueryValue(pBlock, nBlock, pszPath, value) && value.pData != nullptr) {
      QVN_FUZZ_CHECK(value.pData >= pBlock && value.pData + value.nBytes <= pBlock + nBlock);
    }
    std::string strValue;
    VerQueryString(pBlock, nBlock, pszPath, strValue);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* pData, size_t nSize) {
  static qvnfuzz::MemoryFile memoryFile;
  const std::string& strPath = memoryFile.Set(pData, nSize);

  std::vector<BYTE> block;
  const PeVersionStatus status = ReadPeVersionBlock(strPath, block);
  QVN_FUZZ_CHECK(DescribePeVersionStatus(status) != nullptr);
  if (status == PeVersionStatus::kPeOk) {
    QVN_FUZZ_CHECK(block.size() <= kMaxVersionBlockSize);
    QVN_FUZZ_CHECK(GetFileVersionInfoSize(strPath) == block.size());
    std::unique_ptr<BYTE[]> pExact(new BYTE[block.size()]);
    std::memcpy(pExact.get(), block.data(), block.size());
    Query(pExact.get(), block.size());
  } else {
    QVN_FUZZ_CHECK(block.empty());
  }

  CFileVersionInfo info;
  if (info.Load(strPath)) {
    QVN_FUZZ_CHECK(info.m_pData != nullptr && info.m_dwDataSize > 0);
    info.GetProductVersion();
  }

  // The input itself as a version block.
  std::unique_ptr<BYTE[]> pRaw(new BYTE[nSize]);
  if (nSize > 0) std::memcpy(pRaw.get(), pData, nSize);
  Query(pRaw.get(), nSize);
  return 0;
}
