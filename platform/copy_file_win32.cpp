// Replacing a file by copying into a temporary sibling and moving it over,
// with the wide Win32 calls; a copy is made durable with FlushFileBuffers.
#include <windows.h>

#include <filesystem>
#include <memory>
#include <random>
#include <system_error>

#include "platform/copy_file.h"
#include "platform/file.h"
#include "platform/wide_win32.h"

namespace {

HANDLE ToHandle(int hFile) {
  return reinterpret_cast<HANDLE>(static_cast<intptr_t>(hFile));
}

BOOL Fail(std::string* pReason, DWORD dwError) {
  if (pReason != nullptr) *pReason = SystemErrorText(dwError);
  return FALSE;
}

// Closes a handle on every way out.
class CHandle {
 public:
  explicit CHandle(HANDLE h = INVALID_HANDLE_VALUE) : m_h(h) {}
  ~CHandle() { Reset(); }
  CHandle(const CHandle&) = delete;
  CHandle& operator=(const CHandle&) = delete;
  HANDLE Get() const { return m_h; }
  void Reset(HANDLE h = INVALID_HANDLE_VALUE) {
    if (m_h != INVALID_HANDLE_VALUE) ::CloseHandle(m_h);
    m_h = h;
  }

 private:
  HANDLE m_h;
};

// Moves every byte from hIn to hOut through one buffer; 0 or the error.
DWORD CopyBytes(HANDLE hIn, HANDLE hOut) {
  constexpr DWORD kChunk = 1 << 20;
  std::unique_ptr<char[]> pBuffer(new char[kChunk]);
  for (;;) {
    DWORD nRead = 0;
    if (!::ReadFile(hIn, pBuffer.get(), kChunk, &nRead, nullptr)) return ::GetLastError();
    if (nRead == 0) return 0;
    for (DWORD nDone = 0; nDone < nRead;) {
      DWORD nWritten = 0;
      if (!::WriteFile(hOut, pBuffer.get() + nDone, nRead - nDone, &nWritten, nullptr))
        return ::GetLastError();
      if (nWritten == 0) return ERROR_DISK_FULL;
      nDone += nWritten;
    }
  }
}

}  // namespace

BOOL CopyFileA(const std::string& strExistingFile, const std::string& strNewFile, BOOL bFailIfExists,
               std::string* pReason) {
  namespace fs = std::filesystem;
  std::wstring strFrom;
  std::wstring strTo;
  if (strNewFile.empty()) return Fail(pReason, ERROR_PATH_NOT_FOUND);
  if (!Utf8ToWide(strExistingFile, strFrom) || !Utf8ToWide(strNewFile, strTo)) {
    return Fail(pReason, ERROR_NO_UNICODE_TRANSLATION);
  }

  CHandle in(::CreateFileW(strFrom.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr,
                           OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
  if (in.Get() == INVALID_HANDLE_VALUE) return Fail(pReason, ::GetLastError());
  const DWORD dwTarget = ::GetFileAttributesW(strTo.c_str());
  if (dwTarget != INVALID_FILE_ATTRIBUTES) {
    if (bFailIfExists) return Fail(pReason, ERROR_FILE_EXISTS);
    if ((dwTarget & FILE_ATTRIBUTE_DIRECTORY) != 0) return Fail(pReason, ERROR_DIRECTORY);
    // Marked as not to be changed: refused, whoever runs the copy.
    if ((dwTarget & FILE_ATTRIBUTE_READONLY) != 0) return Fail(pReason, ERROR_ACCESS_DENIED);
  } else if (const DWORD dwError = ::GetLastError();
             dwError != ERROR_FILE_NOT_FOUND && dwError != ERROR_PATH_NOT_FOUND) {
    return Fail(pReason, dwError);
  }

  const fs::path target(strTo);
  const fs::path folder = target.parent_path();
  if (!folder.empty()) {
    std::error_code ec;
    fs::create_directories(folder, ec);
    if (ec) return Fail(pReason, static_cast<DWORD>(ec.value()));
  }

  // A hidden sibling of a name nobody else uses, created exclusively.
  std::random_device random;
  fs::path temp;
  CHandle out;
  for (int nTry = 0; nTry < 100 && out.Get() == INVALID_HANDLE_VALUE; ++nTry) {
    temp = folder / (L"." + target.filename().wstring() + L"." + std::to_wstring(random() % 1000000));
    out.Reset(
        ::CreateFileW(temp.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_HIDDEN, nullptr));
    if (out.Get() == INVALID_HANDLE_VALUE && ::GetLastError() != ERROR_FILE_EXISTS) break;
  }
  if (out.Get() == INVALID_HANDLE_VALUE) return Fail(pReason, ::GetLastError());

  DWORD dwError = CopyBytes(in.Get(), out.Get());
  if (dwError == 0 && !::FlushFileBuffers(out.Get())) dwError = ::GetLastError();
  out.Reset();
  if (dwError == 0) {
    // The new file shows like the old one, not hidden.
    ::SetFileAttributesW(temp.c_str(),
                         dwTarget != INVALID_FILE_ATTRIBUTES ? dwTarget : FILE_ATTRIBUTE_NORMAL);
    if (!::MoveFileExW(temp.c_str(), strTo.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
      dwError = ::GetLastError();
    }
  }
  if (dwError != 0) {
    ::DeleteFileW(temp.c_str());
    return Fail(pReason, dwError);
  }
  return TRUE;
}

BOOL CopyFileContents(CFile& source, CFile& target, BOOL bSync, std::string* pReason) {
  if (!source.IsOpen() || !target.IsOpen()) return Fail(pReason, ERROR_INVALID_HANDLE);
  if (const DWORD dwError = CopyBytes(ToHandle(source.m_hFile), ToHandle(target.m_hFile)); dwError != 0) {
    return Fail(pReason, dwError);
  }
  if (bSync && !::FlushFileBuffers(ToHandle(target.m_hFile))) return Fail(pReason, ::GetLastError());
  return TRUE;
}
