#include "trust/read_file.h"

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
