#pragma once
// Reads string values ("ProductVersion") from the version resource of a
// Windows executable, as the updater needs to learn the installed version.
#include <cstddef>
#include <memory>
#include <string>

#include "platform/types.h"

class CFileVersionInfo {
 public:
  CFileVersionInfo() = default;
  ~CFileVersionInfo() { Release(); }
  CFileVersionInfo(const CFileVersionInfo&) = delete;
  CFileVersionInfo& operator=(const CFileVersionInfo&) = delete;

  // Reads the file's version block and its first translation. FALSE when the
  // file is missing, is not a readable PE image, has no version resource, or
  // its block has no translation table of at least one entry; nothing is then
  // loaded. An allocation failure throws std::bad_alloc and loads nothing.
  BOOL Load(const std::string& strFileName);

  // Frees the block; nothing is loaded afterwards.
  void Release();

  // The string value `strName` of the string table for `dwTranslation`
  // (language in the high 16 bits, code page in the low 16; 0 means the first
  // translation of the block), as UTF-8 text exactly as stored up to its first
  // NUL. Empty when nothing is loaded or the value does not exist.
  std::string GetValue(const std::string& strName, DWORD dwTranslation = 0) const;

  // GetValue("ProductVersion") for the first translation.
  std::string GetProductVersion() const { return GetValue("ProductVersion"); }

  // The sub-block path of a string value: "\StringFileInfo\%08lx\%s", e.g.
  // "\StringFileInfo\040904b0\ProductVersion" for 0x040904b0.
  static std::string FormatValuePath(DWORD dwTranslation, const std::string& strName);

  // The whole version block; NULL when nothing is loaded.
  std::unique_ptr<BYTE[]> m_pData;
  // First entry of the translation table: language << 16 | code page; 0 when nothing is loaded.
  DWORD m_dwTranslation = 0;
  // Size of m_pData in bytes, so that every query stays inside it.
  DWORD m_dwDataSize = 0;
};

// Where the product executable `strName` is looked for, as the Windows version
// functions resolve a bare file name: first the directory that holds the
// running program's own executable, then the current directory. A name with a
// directory part, or one found in neither place, comes back unchanged (so a
// later Load fails naturally for a missing file).
std::string LocateProductExe(const std::string& strName);
