#include "trust/read_file.h"

#include <filesystem>
#include <system_error>

#include "platform/file.h"

bool ReadSmallFile(const std::string& strPath, std::uint64_t nMax, std::string& strText,
                   std::string& strError) {
  CFile file;
  CFileException error;
  if (!file.Open(strPath, CFile::modeRead, &error)) {
    strError = error.GetErrorMessage();
    return false;
  }
  try {
    strText.clear();
    char buffer[4096];
    while (const UINT n = file.Read(buffer, sizeof buffer)) {
      if (strText.size() + n > nMax) {
        strError = strPath + " is larger than " + std::to_string(nMax) + " bytes";
        return false;
      }
      strText.append(buffer, n);
    }
  } catch (const CFileException& e) {
    strError = e.GetErrorMessage();
    return false;
  }
  return true;
}

bool ReadPublicKeyArgument(const std::string& strArgument, std::string& strKey, MinisignPublicKey& key,
                           std::string& strError) {
  // A UTF-8 name: a path made from a std::string would read it in Windows' ANSI code page.
  const std::filesystem::path path(std::u8string(strArgument.begin(), strArgument.end()));
  std::error_code ec;
  const bool bFile = std::filesystem::exists(path, ec);
  strKey = strArgument;
  if (bFile && !ReadSmallFile(strArgument, 4096, strKey, strError)) {
    strError = "cannot read the public key file: " + strError;
    return false;
  }
  if (ParsePublicKey(strKey, key, strError)) return true;
  strError = bFile ? strArgument + ": " + strError
                   : "there is no file '" + strArgument + "', and as a key itself, " + strError;
  return false;
}
