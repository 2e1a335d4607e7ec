// CFile over a Win32 file handle. Names are UTF-8 and reach the system as
// UTF-16 through the wide calls; m_lOsError holds a GetLastError code.
#include <windows.h>

#include <algorithm>
#include <cstring>
#include <limits>
#include <utility>

#include "platform/file.h"
#include "platform/file_os.h"
#include "platform/wide_win32.h"

namespace {

// m_hFile is an int: Windows documents that a handle keeps its value when cut
// to 32 bits and sign-extended back, and INVALID_HANDLE_VALUE becomes hFileNull.
HANDLE ToHandle(int hFile) {
  return reinterpret_cast<HANDLE>(static_cast<intptr_t>(hFile));
}

int FromHandle(HANDLE h) {
  return static_cast<int>(reinterpret_cast<intptr_t>(h));
}

DWORD ShareMode(UINT nOpenFlags) {
  switch (nOpenFlags & 0x70) {
    case CFile::shareExclusive:
      return 0;
    case CFile::shareDenyWrite:
      return FILE_SHARE_READ;
    case CFile::shareDenyRead:
      return FILE_SHARE_WRITE;
    default:
      return FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
  }
}

DWORD Access(UINT nOpenFlags) {
  switch (nOpenFlags & 0x3) {
    case CFile::modeWrite:
      return GENERIC_WRITE;
    case CFile::modeReadWrite:
      return GENERIC_READ | GENERIC_WRITE;
    default:
      return GENERIC_READ;
  }
}

DWORD Disposition(UINT nOpenFlags) {
  if (!(nOpenFlags & CFile::modeCreate)) return OPEN_EXISTING;
  return (nOpenFlags & CFile::modeNoTruncate) ? OPEN_ALWAYS : CREATE_ALWAYS;
}

// Reads until nCount bytes are in or the file ends, at the handle's position.
// Returns the count, or -1 with the error in dwError.
long long ReadFully(HANDLE h, char* p, UINT nCount, DWORD& dwError) {
  UINT nDone = 0;
  while (nDone < nCount) {
    DWORD nGot = 0;
    if (!::ReadFile(h, p + nDone, nCount - nDone, &nGot, nullptr)) {
      dwError = ::GetLastError();
      if (dwError == ERROR_HANDLE_EOF || dwError == ERROR_BROKEN_PIPE) break;
      return -1;
    }
    if (nGot == 0) break;
    nDone += nGot;
  }
  return nDone;
}

bool SetPosition(HANDLE h, ULONGLONG dwPos) {
  LARGE_INTEGER li;
  li.QuadPart = static_cast<LONGLONG>(dwPos);
  return ::SetFilePointerEx(h, li, nullptr, FILE_BEGIN) != 0;
}

}  // namespace

std::string OsErrorText(LONG lOsError) {
  return SystemErrorText(static_cast<DWORD>(lOsError));
}

int CFileException::OsErrorToException(int nOsError) {
  switch (static_cast<DWORD>(nOsError)) {
    case ERROR_SUCCESS:
      return none;
    case ERROR_FILE_NOT_FOUND:
      return fileNotFound;
    case ERROR_PATH_NOT_FOUND:
    case ERROR_INVALID_NAME:
    case ERROR_BAD_PATHNAME:
    case ERROR_FILENAME_EXCED_RANGE:
    case ERROR_INVALID_DRIVE:
    case ERROR_NOT_SAME_DEVICE:
    case ERROR_NO_UNICODE_TRANSLATION:
    case ERROR_CANT_RESOLVE_FILENAME:
      return badPath;
    case ERROR_TOO_MANY_OPEN_FILES:
      return tooManyOpenFiles;
    case ERROR_ACCESS_DENIED:
    case ERROR_WRITE_PROTECT:
    case ERROR_FILE_EXISTS:
    case ERROR_ALREADY_EXISTS:
    case ERROR_DIRECTORY:
      return accessDenied;
    case ERROR_INVALID_HANDLE:
      return invalidFile;
    case ERROR_CURRENT_DIRECTORY:
      return removeCurrentDir;
    case ERROR_CANNOT_MAKE:
      return directoryFull;
    case ERROR_NEGATIVE_SEEK:
    case ERROR_SEEK_ON_DEVICE:
    case ERROR_SEEK:
      return badSeek;
    case ERROR_CRC:
    case ERROR_READ_FAULT:
    case ERROR_WRITE_FAULT:
    case ERROR_IO_DEVICE:
      return hardIO;
    case ERROR_SHARING_VIOLATION:
      return sharingViolation;
    case ERROR_LOCK_VIOLATION:
      return lockViolation;
    case ERROR_DISK_FULL:
    case ERROR_HANDLE_DISK_FULL:
      return diskFull;
    case ERROR_HANDLE_EOF:
      return endOfFile;
    default:
      return genericException;
  }
}

void CFileException::ThrowOsError(int nOsError, const std::string& strFileName,
                                  const std::string& strAction) {
  CFileException e(OsErrorToException(nOsError), nOsError, strFileName);
  e.m_strAction = strAction;
  throw e;
}

// ---------------------------------------------------------------------------

CFile::~CFile() {
  if (m_hFile != hFileNull) {
    WritePendingQuietly();
    ::CloseHandle(ToHandle(m_hFile));
  }
}

CFile::CFile(CFile&& other) noexcept
    : m_hFile(std::exchange(other.m_hFile, hFileNull)),
      m_strFileName(std::move(other.m_strFileName)),
      m_pPending(std::move(other.m_pPending)),
      m_nPending(std::exchange(other.m_nPending, 0)) {}

CFile& CFile::operator=(CFile&& other) noexcept {
  if (this != &other) {
    if (m_hFile != hFileNull) {
      WritePendingQuietly();
      ::CloseHandle(ToHandle(m_hFile));
    }
    m_hFile = std::exchange(other.m_hFile, hFileNull);
    m_strFileName = std::move(other.m_strFileName);
    m_pPending = std::move(other.m_pPending);
    m_nPending = std::exchange(other.m_nPending, 0);
  }
  return *this;
}

std::string CFile::GetFileName() const {
  const auto slash = m_strFileName.find_last_of("/\\");
  return slash == std::string::npos ? m_strFileName : m_strFileName.substr(slash + 1);
}

BOOL CFile::Open(const std::string& strFileName, UINT nOpenFlags, CFileException* pError) {
  if (m_hFile != hFileNull) Abort();
  m_strFileName = strFileName;
  auto fail = [&](DWORD dwError) {
    if (pError) {
      pError->m_cause = CFileException::OsErrorToException(static_cast<int>(dwError));
      pError->m_lOsError = static_cast<LONG>(dwError);
      pError->m_strFileName = strFileName;
      pError->m_strAction = "open";
      pError->m_strDetail.clear();
    }
    return FALSE;
  };
  if (strFileName.empty()) return fail(ERROR_FILE_NOT_FOUND);
  std::wstring strWide;
  if (!Utf8ToWide(strFileName, strWide)) return fail(ERROR_NO_UNICODE_TRANSLATION);
  // No security attributes: the handle is not inherited by child processes.
  const HANDLE h = ::CreateFileW(strWide.c_str(), Access(nOpenFlags), ShareMode(nOpenFlags), nullptr,
                                 Disposition(nOpenFlags), FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == INVALID_HANDLE_VALUE) return fail(::GetLastError());
  m_hFile = FromHandle(h);
  return TRUE;
}

CFile* CFile::Duplicate() const {
  CheckOpen("duplicate");
  WritePending();
  HANDLE hDup = nullptr;
  const HANDLE hProcess = ::GetCurrentProcess();
  // The copy shares the file position, as a POSIX dup() does.
  if (!::DuplicateHandle(hProcess, ToHandle(m_hFile), hProcess, &hDup, 0, FALSE, DUPLICATE_SAME_ACCESS))
    ThrowErrno(static_cast<int>(::GetLastError()), "duplicate");
  auto* pFile = new CFile;
  pFile->m_hFile = FromHandle(hDup);
  pFile->m_strFileName = m_strFileName;
  return pFile;
}

ULONGLONG CFile::GetPosition() const {
  CheckOpen("seek in");
  LARGE_INTEGER zero{}, pos{};
  if (!::SetFilePointerEx(ToHandle(m_hFile), zero, &pos, FILE_CURRENT))
    ThrowErrno(static_cast<int>(::GetLastError()), "seek in");
  return static_cast<ULONGLONG>(pos.QuadPart) + m_nPending;
}

ULONGLONG CFile::Seek(LONGLONG lOff, UINT nFrom) {
  CheckOpen("seek in");
  WritePending();
  DWORD dwMethod = FILE_BEGIN;
  if (nFrom == current) dwMethod = FILE_CURRENT;
  if (nFrom == end) dwMethod = FILE_END;
  LARGE_INTEGER off{}, pos{};
  off.QuadPart = lOff;
  if (!::SetFilePointerEx(ToHandle(m_hFile), off, &pos, dwMethod)) {
    const DWORD dwError = ::GetLastError();
    if (dwError == ERROR_NEGATIVE_SEEK || dwError == ERROR_INVALID_PARAMETER) {
      CFileException e(CFileException::badSeek, static_cast<LONG>(dwError), m_strFileName);
      e.m_strAction = "seek in";
      throw e;
    }
    ThrowErrno(static_cast<int>(dwError), "seek in");
  }
  return static_cast<ULONGLONG>(pos.QuadPart);
}

void CFile::SetLength(ULONGLONG dwNewLen) {
  CheckOpen("change the length of");
  WritePending();
  // SetEndOfFile cuts at the file position; the position stays where it was,
  // as with ftruncate.
  const HANDLE h = ToHandle(m_hFile);
  LARGE_INTEGER zero{}, pos{};
  if (!::SetFilePointerEx(h, zero, &pos, FILE_CURRENT) || !SetPosition(h, dwNewLen) || !::SetEndOfFile(h)) {
    const DWORD dwError = ::GetLastError();
    SetPosition(h, static_cast<ULONGLONG>(pos.QuadPart));
    ThrowErrno(static_cast<int>(dwError), "change the length of");
  }
  if (!SetPosition(h, static_cast<ULONGLONG>(pos.QuadPart)))
    ThrowErrno(static_cast<int>(::GetLastError()), "change the length of");
}

ULONGLONG CFile::GetLength() const {
  CheckOpen("measure");
  WritePending();
  LARGE_INTEGER size{};
  if (!::GetFileSizeEx(ToHandle(m_hFile), &size)) ThrowErrno(static_cast<int>(::GetLastError()), "measure");
  return static_cast<ULONGLONG>(size.QuadPart);
}

UINT CFile::Read(void* lpBuf, UINT nCount) {
  CheckOpen("read");
  WritePending();
  DWORD dwError = 0;
  const long long n = ReadFully(ToHandle(m_hFile), static_cast<char*>(lpBuf), nCount, dwError);
  if (n < 0) ThrowErrno(static_cast<int>(dwError), "read");
  return static_cast<UINT>(n);
}

// A positioned ReadFile moves the position of a synchronous handle, so it is
// put back afterwards: like the rest of CFile, not for two threads at once.
UINT CFile::ReadAt(ULONGLONG dwPos, void* lpBuf, UINT nCount) const {
  CheckOpen("read");
  WritePending();
  const HANDLE h = ToHandle(m_hFile);
  LARGE_INTEGER zero{}, pos{};
  if (!::SetFilePointerEx(h, zero, &pos, FILE_CURRENT))
    ThrowErrno(static_cast<int>(::GetLastError()), "read");
  DWORD dwError = 0;
  long long n = -1;
  if (SetPosition(h, dwPos)) {
    n = ReadFully(h, static_cast<char*>(lpBuf), nCount, dwError);
  } else {
    dwError = ::GetLastError();
  }
  const bool bBack = SetPosition(h, static_cast<ULONGLONG>(pos.QuadPart));
  if (n < 0) ThrowErrno(static_cast<int>(dwError), "read");
  if (!bBack) ThrowErrno(static_cast<int>(::GetLastError()), "read");
  return static_cast<UINT>(n);
}

int CFile::WriteAll(const char* p, size_t nCount) const noexcept {
  size_t nDone = 0;
  while (nDone < nCount) {
    const DWORD nChunk = static_cast<DWORD>(std::min<size_t>(nCount - nDone, 1u << 30));
    DWORD nWritten = 0;
    if (!::WriteFile(ToHandle(m_hFile), p + nDone, nChunk, &nWritten, nullptr))
      return static_cast<int>(::GetLastError());
    // A write that takes nothing makes no progress: the disk is full.
    if (nWritten == 0) return ERROR_DISK_FULL;
    nDone += nWritten;
  }
  return 0;
}

void CFile::LockRange(ULONGLONG dwPos, ULONGLONG dwCount) {
  CheckOpen("lock");
  OVERLAPPED ov{};
  ov.Offset = static_cast<DWORD>(dwPos);
  ov.OffsetHigh = static_cast<DWORD>(dwPos >> 32);
  if (!::LockFileEx(ToHandle(m_hFile), LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0,
                    static_cast<DWORD>(dwCount), static_cast<DWORD>(dwCount >> 32), &ov))
    ThrowErrno(static_cast<int>(::GetLastError()), "lock");
}

void CFile::UnlockRange(ULONGLONG dwPos, ULONGLONG dwCount) {
  CheckOpen("unlock");
  OVERLAPPED ov{};
  ov.Offset = static_cast<DWORD>(dwPos);
  ov.OffsetHigh = static_cast<DWORD>(dwPos >> 32);
  if (!::UnlockFileEx(ToHandle(m_hFile), 0, static_cast<DWORD>(dwCount), static_cast<DWORD>(dwCount >> 32),
                      &ov))
    ThrowErrno(static_cast<int>(::GetLastError()), "unlock");
}

void CFile::Abort() {
  if (m_hFile != hFileNull) {
    WritePendingQuietly();
    ::CloseHandle(ToHandle(m_hFile));
    m_hFile = hFileNull;
  }
  m_pPending.reset();
}

void CFile::Flush() {
  if (m_hFile == hFileNull) return;
  WritePending();
  // A console or a pipe has nothing to flush: not an error, as fsync's EINVAL.
  if (!::FlushFileBuffers(ToHandle(m_hFile))) {
    const DWORD dwError = ::GetLastError();
    if (dwError != ERROR_INVALID_HANDLE && dwError != ERROR_INVALID_FUNCTION &&
        dwError != ERROR_ACCESS_DENIED)
      ThrowErrno(static_cast<int>(dwError), "write to");
  }
}

void CFile::Close() {
  if (m_hFile == hFileNull) return;
  const int nWriteError = WritePendingQuietly();
  m_pPending.reset();
  const HANDLE h = ToHandle(std::exchange(m_hFile, hFileNull));
  const int nCloseError = ::CloseHandle(h) ? 0 : static_cast<int>(::GetLastError());
  if (nWriteError != 0) ThrowErrno(nWriteError, "write to");
  if (nCloseError != 0) ThrowErrno(nCloseError, "close");
}
