#pragma once
// Pieces for tests of whole updates: a manifest writer, payloads in the
// compressed format, an installation folder with a product executable, and a
// snapshot of a folder to prove that a failed update changed nothing.
#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "compress/compressed_file.h"
#include "support/temp_dir.h"

namespace qvntest {

struct ManifestItem {
  std::string strName;
  unsigned long long nSize = 0;
  bool bCompressed = false;
};

// A manifest as a publisher writes it, with CRLF line ends.
inline std::string MakeManifest(const std::string& strVersion, const std::vector<ManifestItem>& arrItems) {
  std::string s = "[GENERAL]\r\nVERSION: " + strVersion +
                  "\r\nREBOOT: N\r\n[FILES]\r\nNUMBERITEMS: " + std::to_string(arrItems.size()) + "\r\n";
  for (size_t i = 0; i < arrItems.size(); ++i) {
    s += "ITEM: " + std::to_string(i + 1) + "\r\nNAME: " + arrItems[i].strName +
         "\r\nSIZE: " + std::to_string(arrItems[i].nSize) +
         "\r\nREPLACE: Y\r\nCOMPRESSED: " + (arrItems[i].bCompressed ? "Y" : "N") + "\r\n";
  }
  s += "[REGISTRY]\r\nNUMBERITEMS: 0\r\n";
  return s;
}

// strData in the compressed-file format (prefix length 0).
inline std::string Compress(const std::string& strData) {
  TempDir dir;
  const std::string strPath = dir / "c.crz";
  {
    COXCompressedFile file(0);
    if (!file.Open(strPath, CFile::modeCreate | CFile::modeWrite))
      throw std::runtime_error("cannot compress");
    size_t nDone = 0;
    while (nDone < strData.size()) {
      const UINT n = static_cast<UINT>(std::min<size_t>(65536, strData.size() - nDone));
      file.Write(strData.data() + nDone, n);
      nDone += n;
    }
    file.Close();
  }
  return ReadFile(strPath);
}

// The product executable with version 1.0.0.2, from the committed fixtures.
inline void InstallProductExe(const std::filesystem::path& folder) {
  std::filesystem::copy_file(QVN_TEST_DATA_DIR "/pe/plain-32.exe", folder / "Quorvane.exe",
                             std::filesystem::copy_options::overwrite_existing);
}

// Every regular file below folder (relative name to contents).
inline std::map<std::string, std::string> Snapshot(const std::filesystem::path& folder) {
  std::map<std::string, std::string> files;
  for (const auto& entry : std::filesystem::recursive_directory_iterator(folder)) {
    if (entry.is_regular_file()) {
      files[std::filesystem::relative(entry.path(), folder).string()] = ReadFile(entry.path());
    }
  }
  return files;
}

// The snapshot without the updater's own temporary files, which an update
// leaves behind by design: what the user's installation holds.
inline std::map<std::string, std::string> Installed(const std::filesystem::path& folder) {
  auto files = Snapshot(folder);
  for (auto it = files.begin(); it != files.end();) {
    it = it->first.rfind("QVNUPD", 0) == 0 ? files.erase(it) : std::next(it);
  }
  return files;
}

}  // namespace qvntest
