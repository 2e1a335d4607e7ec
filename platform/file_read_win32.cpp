#include <windows.h>

#include <vector>

#include "platform/file_read.h"
#include "platform/wide_win32.h"

BOOL ReadRegularFile(const std::string& strPath,
                     const std::function<void(const char*, std::size_t)>& onData) {
  std::wstring strWide;
  if (!Utf8ToWide(strPath, strWide)) return FALSE;
  // The link or junction itself is opened, not its target, and then refused;
  // others may go on using the file meanwhile.
  const HANDLE h = ::CreateFileW(
      strWide.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
      OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_SEQUENTIAL_SCAN, nullptr);
  if (h == INVALID_HANDLE_VALUE) return FALSE;
  BY_HANDLE_FILE_INFORMATION info{};
  BOOL bOk = ::GetFileType(h) == FILE_TYPE_DISK && ::GetFileInformationByHandle(h, &info) &&
             (info.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) == 0;
  std::vector<char> buffer(bOk ? 1 << 16 : 0);
  while (bOk) {
    DWORD dwRead = 0;
    if (!::ReadFile(h, buffer.data(), static_cast<DWORD>(buffer.size()), &dwRead, nullptr)) {
      bOk = FALSE;
      break;
    }
    if (dwRead == 0) break;
    onData(buffer.data(), dwRead);
  }
  ::CloseHandle(h);
  return bOk;
}
