// What CFile and CFileException do alike on every system: the messages (but
// for the system's own text of an error code, OsErrorText) and the gathering
// of small writes. The system calls themselves are in file_posix.cpp and
// file_win32.cpp.
#include <algorithm>
#include <cstring>
#include <memory>
#include <string>
#include <utility>

#include "platform/file.h"
#include "platform/file_os.h"

namespace {

const char* CauseText(int cause) {
  switch (cause) {
    case CFileException::none:
      return "No error occurred";
    case CFileException::genericException:
      return "An unspecified error occurred";
    case CFileException::fileNotFound:
      return "The file could not be found";
    case CFileException::badPath:
      return "All or part of the path is invalid";
    case CFileException::tooManyOpenFiles:
      return "Too many files are open";
    case CFileException::accessDenied:
      return "Access to the file was denied";
    case CFileException::invalidFile:
      return "The file is not open or cannot be used this way";
    case CFileException::removeCurrentDir:
      return "The current working directory cannot be removed";
    case CFileException::directoryFull:
      return "There are no more directory entries";
    case CFileException::badSeek:
      return "The file position cannot be set there";
    case CFileException::hardIO:
      return "A hardware error occurred";
    case CFileException::sharingViolation:
      return "The file is in use by another program";
    case CFileException::lockViolation:
      return "The region is locked by another program";
    case CFileException::diskFull:
      return "The disk is full";
    case CFileException::endOfFile:
      return "The end of the file was reached";
    default:
      return "An unknown file error occurred";
  }
}

std::string FormatFileMessage(int cause, LONG lOsError, const std::string& strFileName,
                              const std::string& strAction, const std::string& strDetail) {
  std::string strReason;
  if (!strDetail.empty()) {
    strReason = strDetail;
  } else if (lOsError > 0) {
    strReason = OsErrorText(lOsError);
  } else {
    strReason = CauseText(cause);
  }
  if (strFileName.empty()) return strReason;
  const std::string strVerb = strAction.empty() ? "use" : strAction;
  return "Cannot " + strVerb + " " + strFileName + ": " + strReason;
}

}  // namespace

CFileException::CFileException(int cause, LONG lOsError, std::string strFileName, std::string strDetail)
    : CException(FormatFileMessage(cause, lOsError, strFileName, {}, strDetail)),
      m_cause(cause),
      m_lOsError(lOsError),
      m_strFileName(std::move(strFileName)),
      m_strDetail(std::move(strDetail)) {}

std::string CFileException::GetErrorMessage() const {
  return FormatFileMessage(m_cause, m_lOsError, m_strFileName, m_strAction, m_strDetail);
}

const char* CFileException::what() const noexcept {
  try {
    m_strWhat = GetErrorMessage();
    return m_strWhat.c_str();
  } catch (...) {
    return CauseText(m_cause);
  }
}

CFile::CFile(const std::string& strFileName, UINT nOpenFlags) {
  CFileException error;
  if (!Open(strFileName, nOpenFlags, &error)) throw error;
}

void CFile::CheckOpen(const char* pszAction) const {
  if (m_hFile == hFileNull) {
    CFileException e(CFileException::invalidFile, -1, m_strFileName, "the file is not open");
    e.m_strAction = pszAction;
    throw e;
  }
}

void CFile::ThrowErrno(int nOsError, const char* pszAction) const {
  CFileException::ThrowOsError(nOsError, m_strFileName, pszAction);
}

int CFile::WritePendingQuietly() const noexcept {
  if (m_nPending == 0) return 0;
  const UINT n = std::exchange(m_nPending, 0);
  return WriteAll(m_pPending.get(), n);
}

void CFile::WritePending() const {
  if (const int nError = WritePendingQuietly(); nError != 0) ThrowErrno(nError, "write to");
}

void CFile::Write(const void* lpBuf, UINT nCount) {
  CheckOpen("write to");
  if (nCount == 0) return;
  const auto* p = static_cast<const char*>(lpBuf);
  if (nCount >= kDirectWriteSize) {
    WritePending();
    if (const int nError = WriteAll(p, nCount); nError != 0) ThrowErrno(nError, "write to");
    return;
  }
  if (!m_pPending) m_pPending = std::make_unique_for_overwrite<char[]>(kWriteBehindSize);
  // Filled to the brim before it goes, so that the pieces stay whole.
  const UINT nFirst = std::min(nCount, kWriteBehindSize - m_nPending);
  std::memcpy(m_pPending.get() + m_nPending, p, nFirst);
  m_nPending += nFirst;
  if (m_nPending == kWriteBehindSize) WritePending();
  if (nFirst < nCount) {
    std::memcpy(m_pPending.get(), p + nFirst, nCount - nFirst);
    m_nPending = nCount - nFirst;
  }
}
