#include <windows.h>

#include <random>

#include "platform/file_ops.h"
#include "platform/wide_win32.h"

namespace {

bool Fail(DWORD dwError, std::string& strReason) {
  strReason = SystemErrorText(dwError);
  return false;
}

}  // namespace

bool CreateUniqueFile(const std::string& strPrefix, std::string& strName, std::string& strReason) {
  static constexpr char kLetters[] = "abcdefghijklmnopqrstuvwxyz0123456789";
  std::random_device random;
  for (int nTry = 0; nTry < 100; ++nTry) {
    std::string strCandidate = strPrefix;
    for (int i = 0; i < 6; ++i) strCandidate += kLetters[random() % (sizeof kLetters - 1)];
    std::wstring strWide;
    if (!Utf8ToWide(strCandidate, strWide)) return Fail(ERROR_NO_UNICODE_TRANSLATION, strReason);
    // CREATE_NEW fails on any existing name: the file is ours alone.
    const HANDLE h =
        ::CreateFileW(strWide.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h != INVALID_HANDLE_VALUE) {
      ::CloseHandle(h);
      strName = strCandidate;
      return true;
    }
    const DWORD dwError = ::GetLastError();
    if (dwError != ERROR_FILE_EXISTS && dwError != ERROR_ALREADY_EXISTS) return Fail(dwError, strReason);
  }
  return Fail(ERROR_FILE_EXISTS, strReason);
}

bool RenameOver(const std::string& strFrom, const std::string& strTo, std::string& strReason) {
  std::wstring strWideFrom, strWideTo;
  if (!Utf8ToWide(strFrom, strWideFrom) || !Utf8ToWide(strTo, strWideTo))
    return Fail(ERROR_NO_UNICODE_TRANSLATION, strReason);
  if (::MoveFileExW(strWideFrom.c_str(), strWideTo.c_str(),
                    MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH))
    return true;
  return Fail(::GetLastError(), strReason);
}

bool CanRead(const std::string& strPath, bool bFolder, std::string& strReason) {
  std::wstring strWide;
  if (!Utf8ToWide(strPath, strWide)) return Fail(ERROR_NO_UNICODE_TRANSLATION, strReason);
  // A folder opens only with backup semantics; listing it is what is asked.
  const HANDLE h =
      ::CreateFileW(strWide.c_str(), bFolder ? FILE_LIST_DIRECTORY : GENERIC_READ,
                    FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                    bFolder ? FILE_FLAG_BACKUP_SEMANTICS : FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == INVALID_HANDLE_VALUE) return Fail(::GetLastError(), strReason);
  ::CloseHandle(h);
  return true;
}

void RemoveFile(const std::string& strPath) {
  std::wstring strWide;
  if (Utf8ToWide(strPath, strWide)) ::DeleteFileW(strWide.c_str());
}

int InheritedDescriptor(const std::string&) {
  return -1;
}

std::filesystem::file_status LinkStatus(const std::filesystem::path& path, std::error_code& ec) {
  const DWORD dwAttributes = ::GetFileAttributesW(path.c_str());
  if (dwAttributes != INVALID_FILE_ATTRIBUTES && (dwAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) {
    ec.clear();
    return std::filesystem::file_status(std::filesystem::file_type::symlink);
  }
  return std::filesystem::symlink_status(path, ec);
}
