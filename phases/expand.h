#pragma once
// The second phase: every compressed item's download is expanded into its own
// temporary file; other items are passed over.
#include "manifest/update_info.h"
#include "phases/reporter.h"

// Returns 1 when every compressed item was expanded (and when there is none);
// 0, after a status line ending in "- Aborting", when a downloaded file cannot
// be opened or an output file cannot be created. Damaged compressed data and
// failed writes throw CFileException. A download that is not a regular file
// (a link, a FIFO) is not opened; an expansion that fails removes its partial
// output (see CTempFile).
int UncompressFiles(CUpdateReporter& view, const CUpdateInfo& info);
