#pragma once
// Stopping an update that the user cancelled (see CUpdateReporter::IsCancelled).
#include <exception>
#include <string>
#include <utility>

#include "phases/reporter.h"

// Throws CCancelledException when the user asked the update to stop.
void ThrowIfCancelled(const CUpdateReporter& view);

// Removes a temporary file that a stopped phase left incomplete: a partial
// file would pass for a whole one. A file that is already gone is no error;
// one that cannot be removed stays (the next run overwrites it).
void RemovePartialFile(const std::string& strName);

// Removes the named temporary file when a stop unwinds past this object
// (CCancelledException with IsCancelled set): the file is being written and
// would pass for a whole one.
class CPartialFile {
 public:
  CPartialFile(const CUpdateReporter& view, std::string strName)
      : m_view(view), m_strName(std::move(strName)), m_nExceptions(std::uncaught_exceptions()) {}
  ~CPartialFile() {
    if (std::uncaught_exceptions() > m_nExceptions && m_view.IsCancelled()) RemovePartialFile(m_strName);
  }
  CPartialFile(const CPartialFile&) = delete;
  CPartialFile& operator=(const CPartialFile&) = delete;

 private:
  const CUpdateReporter& m_view;
  std::string m_strName;
  int m_nExceptions;
};
