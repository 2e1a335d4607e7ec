#include "phases/replace.h"

#include <fmt/format.h>

#include "phases/temp_file_name.h"
#include "platform/copy_file.h"

std::string TargetFileName(const CUpdateFileItem& item) {
  const std::string& strName = item.m_strName;
  if (!item.m_bCompressed) return strName;
  const size_t nCut = strName.find(".crz") != std::string::npos ? 4 : 1;
  return strName.substr(0, strName.size() >= nCut ? strName.size() - nCut : 0);
}

int ReplaceFiles(CUpdateReporter& view, const CUpdateInfo& info) {
  view.AddStatus("Replacing Files");
  for (size_t i = 0; i < info.m_arrItems.size(); ++i) {
    const CUpdateFileItem& item = *info.m_arrItems[i];
    const std::string strSource = FormatTempFileName(static_cast<int>(i + 1), item.m_bCompressed);
    const std::string strTarget = TargetFileName(item);
    view.AddStatus(fmt::format("Copying {} to {}", strSource, strTarget));
    std::string strReason;
    if (!CopyFileA(strSource, strTarget, FALSE, &strReason)) {
      view.AddStatus(fmt::format("Unable to copy {} to {}: {} - ABORTING", strSource, strTarget, strReason));
      return 0;
    }
  }
  return 1;
}
