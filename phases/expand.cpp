#include "phases/expand.h"

#include <fmt/format.h>

#include "compress/compressed_file.h"
#include "phases/blocks.h"
#include "phases/cancel.h"
#include "phases/temp_file_name.h"
#include "platform/file.h"

int UncompressFiles(CUpdateReporter& view, const CUpdateInfo& info) {
  int nCount = 0;
  for (const auto& pItem : info.m_arrItems) {
    if (pItem->m_bCompressed) ++nCount;
  }
  if (nCount == 0) return 1;
  view.m_bytes.bActive = false;  // counted in blocks of the compressed input

  view.m_progressOverall.SetRange32(0, nCount);
  view.m_progressOverall.SetPos(0);
  view.m_progressOverall.SetStep(1);

  CInstallFolder folder;
  const int nFolderError = folder.Open();
  char buffer[kTransferBlock];
  int k = 0;
  for (size_t i = 0; i < info.m_arrItems.size(); ++i) {
    const CUpdateFileItem& item = *info.m_arrItems[i];
    if (!item.m_bCompressed) continue;
    ThrowIfCancelled(view);
    ++k;
    view.m_staticOverall.SetWindowText(fmt::format("Uncompressing File {} of {}", k, nCount));

    COXCompressedFile input(0);
    const std::string strInput = FormatTempFileName(static_cast<int>(i + 1), FALSE);
    // A link or FIFO planted in place of the download is never opened for real.
    if (!input.Open(strInput, CFile::modeRead | CFile::modeNoFollow)) {
      view.AddStatus(fmt::format("Unable to find file [{}] - Aborting", strInput));
      return 0;
    }
    // In a folder others may write to, the download's name can be given to
    // another file after its bytes were checked: only the file written is read.
    CInstallFolder::FileId expected;
    CInstallFolder::FileId opened;
    if (NotedTempFile(item, expected) != nullptr &&
        (CInstallFolder::IdentityOf(input, opened) != 0 || !(opened == expected))) {
      view.AddStatus(fmt::format("Unable to find file [{}] - Aborting", strInput));
      view.AddDetail(fmt::format("{}: {}", strInput, CInstallFolder::ErrorText(CInstallFolder::kReplaced)));
      return 0;
    }
    const std::string strOutput = FormatTempFileName(static_cast<int>(i + 1), TRUE);
    CTempFile temp(folder, strOutput);
    CFile output;
    if (const int nError = nFolderError != 0 ? nFolderError : temp.Create(output); nError != 0) {
      view.AddStatus(fmt::format("Unable to open file [{}] - Aborting", strOutput));
      view.AddDetail(fmt::format("Cannot create {}: {}", strOutput, CInstallFolder::ErrorText(nError)));
      return 0;
    }

    const ULONGLONG nLength = input.GetLength();
    view.m_staticCurrent.SetWindowText(fmt::format("Uncompressing File {} ({} bytes)", strOutput, nLength));
    view.m_progressCurrent.SetRange32(0, static_cast<int>(Blocks(nLength)));
    view.m_progressCurrent.SetPos(0);
    view.m_progressCurrent.SetStep(1);

    for (;;) {
      ThrowIfCancelled(view);
      const int nRead = static_cast<int>(input.Read(buffer, kTransferBlock));
      if (nRead <= 0) break;
      output.Write(buffer, static_cast<UINT>(nRead));
      view.m_progressCurrent.StepIt();
    }
    NoteTempFile(item, output);
    // Only Close reports a write that failed at the end (a full disk).
    output.Close();
    temp.Keep();

    view.AddStatus(fmt::format("Uncompressed {}", strOutput));
    view.m_progressOverall.StepIt();
  }
  return 1;
}
