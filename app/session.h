#pragma once
// One update, from the press of Start to its last status line.
#include <string>

#include "phases/reporter.h"
#include "platform/types.h"

struct UpdateSettings {
  // Scheme, host and optional port of the update server, without a trailing
  // "/"; the manifest is this + "/Updates/UpdateInfo.txt".
  std::string strServerUrl;
  // The product executable whose version is compared; a bare file name.
  std::string strProductExe = "Quorvane.exe";
  // An extra certificate authority for https servers (--cacert); empty for none.
  std::string strCaFile;
  // Seconds without a byte from the server before a request fails; 0 for the
  // default of 60. The console takes it from QVN_STALL_TIMEOUT (for tests).
  long nStallTimeout = 0;
};

// Runs one update in the current directory, reporting through view. Returns
// TRUE when the product is up to date or the update completed, FALSE when the
// server refused or a phase failed. Errors of the network, the files or memory
// are not caught here: they reach the front end as CException (or std::bad_alloc).
BOOL RunUpdate(CUpdateReporter& view, const UpdateSettings& settings);
