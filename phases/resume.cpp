#include "phases/resume.h"

#include <fmt/format.h>

#include <algorithm>
#include <charconv>
#include <filesystem>
#include <system_error>

#include "phases/cancel.h"
#include "platform/file_own.h"
#include "platform/file_read.h"

namespace {

// A record larger than this was not written by the updater: it is ignored.
constexpr std::size_t kMaxRecordSize = 64 * 1024;

bool IsSha256Hex(const std::string& str) {
  if (str.size() != 64) return false;
  for (const char c : str) {
    if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))) return false;
  }
  return true;
}

// The hashes the record lists; lines that are not a hash are dropped.
std::set<std::string> ReadRecord() {
  std::string strText;
  bool bTooLarge = false;
  ReadRegularFile(kPartsRecordName, [&](const char* p, std::size_t n) {
    if (strText.size() + n > kMaxRecordSize) bTooLarge = true;
    if (!bTooLarge) strText.append(p, n);
  });
  std::set<std::string> setHashes;
  if (bTooLarge) return setHashes;
  for (std::size_t nStart = 0; nStart < strText.size();) {
    std::size_t nEnd = strText.find('\n', nStart);
    if (nEnd == std::string::npos) nEnd = strText.size();
    std::string strLine = strText.substr(nStart, nEnd - nStart);
    if (IsSha256Hex(strLine)) setHashes.insert(std::move(strLine));
    nStart = nEnd + 1;
  }
  return setHashes;
}

// Replaces the record; an empty one is removed.
void WriteRecord(const std::set<std::string>& setHashes) {
  RemoveOwnFile(kPartsRecordName);
  if (setHashes.empty()) return;
  std::string strText;
  for (const auto& strHash : setHashes) strText += strHash + "\n";
  // Not synced: a record lost with the machine leaves a partial behind, and
  // a sync for every file fetched would cost far more.
  std::string strError;
  const int fd = OpenOwnFile(kPartsRecordName, true, strError);
  if (fd < 0) return;
  CFile file;
  file.m_hFile = fd;
  file.SetFilePath(kPartsRecordName);
  try {
    file.Write(strText.data(), static_cast<UINT>(strText.size()));
    file.Close();
  } catch (const CFileException&) {
    file.Abort();
    RemoveOwnFile(kPartsRecordName);
  }
}

// "bytes N-M/T" (T may be "*"), read strictly.
bool ParseContentRange(const std::string& str, ULONGLONG& nFirst, ULONGLONG& nLast, std::string& strTotal) {
  constexpr std::string_view kUnit = "bytes ";
  if (str.compare(0, kUnit.size(), kUnit) != 0) return false;
  const char* p = str.data() + kUnit.size();
  const char* const pEnd = str.data() + str.size();
  auto r = std::from_chars(p, pEnd, nFirst);
  if (r.ec != std::errc() || r.ptr == pEnd || *r.ptr != '-') return false;
  r = std::from_chars(r.ptr + 1, pEnd, nLast);
  if (r.ec != std::errc() || r.ptr == pEnd || *r.ptr != '/') return false;
  strTotal.assign(r.ptr + 1, pEnd);
  return !strTotal.empty();
}

}  // namespace

std::string PartialFileName(const std::string& strSha256) {
  return kPartialPrefix + strSha256;
}

void DiscardOtherPartials(const std::set<std::string>& setWanted) {
  std::error_code ec;
  if (!std::filesystem::exists(std::filesystem::symlink_status(kPartsRecordName, ec))) return;
  const std::set<std::string> setListed = ReadRecord();
  std::set<std::string> setKept;
  for (const auto& strHash : setListed) {
    if (setWanted.count(strHash) != 0) {
      setKept.insert(strHash);
    } else {
      RemoveOwnFile(PartialFileName(strHash));
    }
  }
  if (setKept != setListed || setKept.empty()) WriteRecord(setKept);
}

CResumableDownload::CResumableDownload(const CUpdateReporter& view, std::string strSha256, ULONGLONG nSize)
    : m_view(view),
      m_strSha256(std::move(strSha256)),
      m_strName(PartialFileName(m_strSha256)),
      m_nSize(nSize) {}

CResumableDownload::~CResumableDownload() {
  if (m_bDone) return;
  std::error_code ec;
  // Only a partial with bytes in it is worth a record; a stop removes it whatever happened.
  const auto nLength = std::filesystem::file_size(m_strName, ec);
  if (m_bKeep && !m_view.IsCancelled() && !ec && nLength > 0) return;
  try {
    Remove();
  } catch (...) {
    // The record stays as it was: the next run checks the partial before any use.
  }
}

void CResumableDownload::Remove() {
  RemoveOwnFile(m_strName);
  std::set<std::string> setHashes = ReadRecord();
  if (setHashes.erase(m_strSha256) != 0) WriteRecord(setHashes);
  m_bDone = true;
}

BOOL CResumableDownload::Open(CFile& file, CFileException* pError) {
  std::string strError;
  std::set<std::string> setHashes = ReadRecord();
  if (setHashes.count(m_strSha256) != 0) {
    const int fd = OpenOwnFile(m_strName, false, strError);
    if (fd >= 0) {
      file.m_hFile = fd;
      file.SetFilePath(m_strName);
      m_nHeld = file.GetLength();
      // A partial as long as the file, or longer, has nothing left to ask for.
      if (m_nHeld >= m_nSize) {
        file.SetLength(0);
        m_nHeld = 0;
      }
      file.Seek(static_cast<LONGLONG>(m_nHeld), CFile::begin);
      return TRUE;
    }
  } else {
    // Listed first: a partial is never left behind unlisted.
    setHashes.insert(m_strSha256);
    WriteRecord(setHashes);
  }
  // Whatever holds the name (an unusable partial, a link) is not ours to read.
  RemoveOwnFile(m_strName);
  const int fd = OpenOwnFile(m_strName, true, strError);
  if (fd < 0) {
    if (pError != nullptr) {
      *pError = CFileException(CFileException::accessDenied, -1, m_strName,
                               "Cannot create " + m_strName + ": " + strError);
    }
    return FALSE;
  }
  file.m_hFile = fd;
  file.SetFilePath(m_strName);
  return TRUE;
}

void CResumableDownload::HashHeld(CFile& file, CSha256& sha) {
  char buffer[64 * 1024];
  for (ULONGLONG nPos = 0; nPos < m_nHeld;) {
    ThrowIfCancelled(m_view);
    const UINT n =
        file.ReadAt(nPos, buffer, static_cast<UINT>(std::min<ULONGLONG>(sizeof buffer, m_nHeld - nPos)));
    if (n == 0) break;
    sha.Update(buffer, n);
    nPos += n;
  }
}

BOOL CResumableDownload::Send(CInternetSession& session, const CHttpUrl& url, CFile& file,
                              CUpdateRequest& request, std::string& strWhy) {
  try {
    if (!SendUpdateRequest(session, url, request, m_nHeld)) return FALSE;
  } catch (const CInternetException&) {
    m_bKeep = true;
    throw;
  }
  m_nReceived = m_nHeld;
  if (m_nHeld > 0 && request.dwStatus == 206) {
    // Only the part asked for continues the partial: the rest, to the signed size.
    ULONGLONG nFirst = 0;
    ULONGLONG nLast = 0;
    std::string strTotal;
    const std::string& strRange = request.pFile->GetContentRange();
    if (ParseContentRange(strRange, nFirst, nLast, strTotal) && nFirst == m_nHeld && nLast + 1 == m_nSize &&
        (strTotal == "*" || strTotal == std::to_string(m_nSize))) {
      return TRUE;
    }
    m_bKeep = true;
    m_bRangeRefused = true;
    strWhy = fmt::format("{} answered a request from byte {} with Content-Range \"{}\"",
                         request.pFile->GetFileURL(), m_nHeld, strRange);
    return FALSE;
  }
  if (request.IsWhole()) {
    // The server ignores ranges: the whole file comes again, from its start.
    if (m_nHeld > 0) {
      file.SetLength(0);
      file.Seek(0, CFile::begin);
      m_nHeld = 0;
      m_nReceived = 0;
    }
    return TRUE;
  }
  m_bKeep = true;
  m_bRangeRefused = m_nHeld > 0 && request.dwStatus == 416;
  strWhy = request.DescribeAnswer();
  return FALSE;
}

UINT CResumableDownload::Read(CUpdateRequest& request, CFile& file, void* pBuffer, UINT nCount) {
  const ULONGLONG nBefore = request.pFile->GetBytesRead();
  UINT n = 0;
  try {
    n = request.pFile->Read(pBuffer, nCount);
  } catch (const CInternetException&) {
    // What arrived before the break is in pBuffer: kept too, within the signed size.
    const ULONGLONG nGot = request.pFile->GetBytesRead() - nBefore;
    if (nGot > 0 && nGot <= nCount && m_nReceived + nGot <= m_nSize) {
      file.Write(pBuffer, static_cast<UINT>(nGot));
    }
    m_bKeep = true;
    throw;
  }
  m_nReceived += n;
  // A body whose length was given ends as the server meant: one short of the
  // signed size is the wrong file, which the caller refuses. A body without
  // a length that ends short of it was broken off, whatever the server
  // meant: kept, like any other break.
  if (n < nCount && m_nReceived < m_nSize && !request.pFile->HasContentLength()) {
    if (n > 0) file.Write(pBuffer, n);
    m_bKeep = true;
    throw CInternetException(
        CInternetException::Kind::kCutShort, 0,
        fmt::format("the connection was closed after {} of the {} bytes", m_nReceived, m_nSize),
        request.pFile->GetFileURL());
  }
  return n;
}

BOOL CResumableDownload::Restart() {
  const bool bContinued = m_nHeld > 0;
  Remove();
  m_nHeld = 0;
  return bContinued ? TRUE : FALSE;
}

void CResumableDownload::Finish(const std::string& strTempName) {
  std::error_code ec;
  std::filesystem::rename(m_strName, strTempName, ec);
  if (ec) CFileException::ThrowOsError(ec.value(), strTempName, "create");
  std::set<std::string> setHashes = ReadRecord();
  if (setHashes.erase(m_strSha256) != 0) WriteRecord(setHashes);
  m_bDone = true;
}
