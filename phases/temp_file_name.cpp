#include "phases/temp_file_name.h"

#include <cstdio>

void FormatTempFileName(char* pszBuffer, int nItem, int bExpanded) {
  std::snprintf(pszBuffer, kTempFileNameSize, bExpanded != 0 ? "QVNUPDU%d.TMP" : "QVNUPD%d.TMP", nItem);
}

std::string FormatTempFileName(int nItem, int bExpanded) {
  char szName[kTempFileNameSize];
  FormatTempFileName(szName, nItem, bExpanded);
  return szName;
}
