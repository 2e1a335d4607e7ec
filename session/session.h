#pragma once
// One update, from the press of Start to its last status line.
#include <string>

#include "phases/reporter.h"
#include "platform/http_client.h"
#include "platform/types.h"

struct UpdateSettings {
  // Scheme, host and optional port of the update server, without a trailing
  // "/"; the manifest is this + "/Updates/UpdateInfo.txt".
  CHttpUrl serverUrl;
  // The product executable whose version is compared; a bare file name.
  std::string strProductExe = "Quorvane.exe";
  // An extra certificate authority for https servers (--cacert); empty for none.
  std::string strCaFile;
  // Seconds without a byte from the server before a request fails; 0 for the
  // default of 60. The console takes it from QVN_STALL_TIMEOUT (for tests).
  long nStallTimeout = 0;
  // The minisign public key updates must be signed with: a .pub file's text
  // or its base64 line. Empty for none: updates are then not verified.
  std::string strPublicKey;
  // Check every installed file of the release against its signed
  // INSTALLED.SHA256SUMS, even when the version is current, and replace the
  // missing or damaged ones. Needs a public key.
  bool bRepair = false;
};

// Runs one update in the current directory, reporting through view. Returns
// TRUE when the product is up to date or the update completed, FALSE when the
// server refused, answered with something that is not a manifest (no VERSION),
// the manifest is larger than 1 MiB, or a phase failed; causes and hints go
// to view.AddDetail. When view.IsCancelled() turns true, the update stops at
// the next block, cleans up (partial files removed, replaced files put back,
// folder unlocked), reports "Update cancelled" and throws
// CCancelledException. Errors
// of the network, the files or memory are not caught here: they reach the
// front end as CException (or std::bad_alloc). So does a second update in a
// folder where one is running: it changes nothing.
//
// With a public key in settings, the update must be signed with it: a
// failed check adds a line that starts with "Signature check failed" and
// returns FALSE before any installed file changes (see phases/signature.h).
//
// With bRepair, when the installed version is the available one, adds
// "Repairing <exe> <version>", then fetches and replaces only the items whose
// installed file is missing or lacks its signed SHA-256 ("Unchanged File" for
// the others), all or nothing, and ends with "Repair Completed!". A newer
// version is installed as usual (which fetches only what differs too); an
// installation newer than the server's is left alone. Without a key it fails
// at once.
//
// Before it connects, a replacement that a killed run left half-done is
// undone ("Restored the files of an interrupted update").
BOOL RunUpdate(CUpdateReporter& view, const UpdateSettings& settings);
