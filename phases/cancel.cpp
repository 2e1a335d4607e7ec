#include "phases/cancel.h"

#include <filesystem>
#include <system_error>

#include "platform/exception.h"

void ThrowIfCancelled(const CUpdateReporter& view) {
  if (view.IsCancelled()) throw CCancelledException();
}

void RemovePartialFile(const std::string& strName) {
  std::error_code ec;
  std::filesystem::remove(strName, ec);
}
