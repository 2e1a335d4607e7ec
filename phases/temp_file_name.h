#pragma once
// Names of the temporary files through which the phases hand items on:
// "QVNUPD<n>.TMP" holds an item as downloaded, "QVNUPDU<n>.TMP" the expanded
// contents of a compressed one, where n is the item's position in the
// manifest's list plus one (counting only the items the update moves, when
// unchanged ones are left out). They lie in the current directory and stay there
// after the update; the next update removes and makes them afresh.
#include <cstddef>
#include <string>
#include <utility>

#include "manifest/updater_names.h"
#include "platform/install_folder.h"

class CUpdateFileItem;

// Notes that file, open, holds item for the next phase.
void NoteTempFile(const CUpdateFileItem& item, const CFile& file);
// The file noted for item; null when none was (a phase run on its own).
const CInstallFolder::FileId* NotedTempFile(const CUpdateFileItem& item, CInstallFolder::FileId& id);

// A temporary file of this run, made afresh: whatever stood at its name (a
// file, a link, a FIFO) is removed, not followed, and the file is created
// exclusively with mode 0600. Unless Keep is called, the file is removed again
// when this object goes, so that a phase that fails leaves no partial file.
class CTempFile {
 public:
  CTempFile(const CInstallFolder& folder, std::string strName)
      : m_folder(folder), m_strName(std::move(strName)) {}
  ~CTempFile();
  CTempFile(const CTempFile&) = delete;
  CTempFile& operator=(const CTempFile&) = delete;

  // 0, or the error (see CInstallFolder) that kept the file from being made.
  int Create(CFile& file);
  void Keep() { m_bKeep = true; }

 private:
  const CInstallFolder& m_folder;
  std::string m_strName;
  bool m_bCreated = false;
  bool m_bKeep = false;
};
