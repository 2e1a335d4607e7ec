// COXCompressedFile reading any file, with any seeks, reads and GetLength in
// any order. Damage may only show as CFileException; what the reader reports
// must hold together: GetLength never changes, a position never passes the
// end of the data, a read returns fewer bytes than asked only at the end, and
// reading from the start yields GetLength bytes. Where a seek lands is
// checked on files whose blocks all hold 1024 bytes but the last (which
// holds no more), as the format has them: a seek finds its block by that rule.
// Last, the file is read whole alone and with blocks expanded ahead on
// threads, which must agree.
//
// Input: two bytes of prefix length (little-endian, taken modulo 1025), one
// byte with the number of operations (low four bits), three bytes per
// operation (kind, 16-bit argument), then the file.
#include <cstdint>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "compress/compressed_file.h"
#include "fuzz/fuzz_support.h"

namespace {

struct Operation {
  uint8_t nKind;
  uint16_t nArgument;
};

void CheckLanding(const COXCompressedFile& file, ULONGLONG nAt, LONGLONG nTarget, ULONGLONG nLength,
                  bool bRegular) {
  QVN_FUZZ_CHECK(nAt == file.GetPosition() && nAt <= nLength);
  if (bRegular && nTarget >= 0)
    QVN_FUZZ_CHECK(nAt == std::min<ULONGLONG>(static_cast<ULONGLONG>(nTarget), nLength));
}

// True when the file is laid out as the format has it: every block's body
// (1 to 1024 bytes) lies in the file, and every block but the last holds
// 1024 data bytes, the last no more.
bool HasRegularBlocks(const uint8_t* pFile, size_t nSize, int nRawSize) {
  size_t nPos = static_cast<size_t>(nRawSize);
  while (nPos + 2 <= nSize) {
    const unsigned nHeader = pFile[nPos] | pFile[nPos + 1] << 8;
    nPos += 2;
    const unsigned nBody = nHeader & COXCompressedFile::kBodyLengthMask;
    // A stored block holds its body; a compressed one 1024 bytes, unless a
    // length word says otherwise.
    unsigned nLength = (nHeader & COXCompressedFile::kCompressedBit) ? COXCompressedFile::kBlockSize : nBody;
    if (nHeader & COXCompressedFile::kLengthWordBit) {
      if (nPos + 2 > nSize) return false;
      nLength = pFile[nPos] | pFile[nPos + 1] << 8;
      nPos += 2;
    }
    nPos += nBody;
    if (nBody == 0 || nBody > COXCompressedFile::kBlockSize || nPos > nSize ||
        nLength > COXCompressedFile::kBlockSize) {
      return false;
    }
    if (nLength != COXCompressedFile::kBlockSize && nPos + 2 <= nSize) return false;
  }
  return nPos == nSize;
}

void Exercise(const std::string& strPath, int nRawSize, const std::vector<Operation>& arrOps, bool bRegular) {
  COXCompressedFile file(nRawSize);
  if (!file.Open(strPath, CFile::modeRead)) return;
  const ULONGLONG nLength = file.GetLength();
  QVN_FUZZ_CHECK(file.GetPosition() == 0);
  for (const Operation& op : arrOps) {
    const ULONGLONG nBefore = file.GetPosition();
    switch (op.nKind % 5) {
      case 0: {
        const UINT nWant = op.nArgument % 5000;
        std::unique_ptr<BYTE[]> pBuffer(new BYTE[nWant]);
        const UINT nGot = file.Read(pBuffer.get(), nWant);
        QVN_FUZZ_CHECK(nGot <= nWant);
        QVN_FUZZ_CHECK(file.GetPosition() == nBefore + nGot);
        if (nGot < nWant) QVN_FUZZ_CHECK(file.GetPosition() == nLength);
        break;
      }
      case 1: {
        const ULONGLONG nAt = file.Seek(op.nArgument, CFile::begin);
        CheckLanding(file, nAt, op.nArgument, nLength, bRegular);
        break;
      }
      case 2: {
        const LONGLONG nOff = static_cast<int16_t>(op.nArgument);
        const LONGLONG nTarget = static_cast<LONGLONG>(nBefore) + nOff;
        const ULONGLONG nAt = file.Seek(nOff, CFile::current);
        CheckLanding(file, nAt, nTarget, nLength, bRegular);
        break;
      }
      case 3: {
        const LONGLONG nOff = -static_cast<LONGLONG>(op.nArgument % 4096);
        const LONGLONG nTarget = static_cast<LONGLONG>(nLength) + nOff;
        const ULONGLONG nAt = file.Seek(nOff, CFile::end);
        CheckLanding(file, nAt, nTarget, nLength, bRegular);
        break;
      }
      default:
        QVN_FUZZ_CHECK(file.GetLength() == nLength);
        QVN_FUZZ_CHECK(file.GetPosition() == nBefore);
        break;
    }
  }
  file.Seek(0, CFile::begin);
  ULONGLONG nTotal = 0;
  BYTE buffer[4096];
  while (const UINT n = file.Read(buffer, sizeof buffer)) nTotal += n;
  QVN_FUZZ_CHECK(nTotal == nLength);
}

// Reads the whole file in order; returns the data and the message of the
// error that stopped it, if any.
std::pair<std::vector<BYTE>, std::string> ReadAll(const std::string& strPath, int nRawSize, int nThreads) {
  COXCompressedFile file(nRawSize);
  file.SetThreads(nThreads);
  std::vector<BYTE> arrData;
  if (!file.Open(strPath, CFile::modeRead)) return {arrData, "not opened"};
  BYTE buffer[700];
  try {
    while (const UINT n = file.Read(buffer, sizeof buffer)) arrData.insert(arrData.end(), buffer, buffer + n);
  } catch (const CException& e) {
    return {arrData, e.GetErrorMessage()};
  }
  return {arrData, {}};
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* pData, size_t nSize) {
  static qvnfuzz::MemoryFile memoryFile;
  if (nSize < 3) return 0;
  const int nRawSize = (pData[0] | pData[1] << 8) % (COXCompressedFile::kBlockSize + 1);
  const size_t nOps = pData[2] & 0x0F;
  if (nSize < 3 + 3 * nOps) return 0;
  std::vector<Operation> arrOps;
  for (size_t i = 0; i < nOps; ++i) {
    const uint8_t* p = pData + 3 + 3 * i;
    arrOps.push_back({p[0], static_cast<uint16_t>(p[1] | p[2] << 8)});
  }
  const size_t nHeader = 3 + 3 * nOps;
  const std::string& strPath = memoryFile.Set(pData + nHeader, nSize - nHeader);
  try {
    Exercise(strPath, nRawSize, arrOps, HasRegularBlocks(pData + nHeader, nSize - nHeader, nRawSize));
  } catch (const CException&) {
    // A damaged file, or a seek before the start: refused, as it must be.
  }
  // Blocks expanded ahead on threads give the data and the error that
  // reading alone gives.
  QVN_FUZZ_CHECK(ReadAll(strPath, nRawSize, 1) == ReadAll(strPath, nRawSize, 3));
  return 0;
}
