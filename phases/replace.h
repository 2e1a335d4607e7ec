#pragma once
// The last phase: each item's final temporary file is copied over the
// installed file that the item names.
#include <string>

#include "manifest/update_info.h"
#include "manifest/updater_names.h"
#include "phases/reporter.h"

// Reports "Replacing Files", then for every item in list order "Copying %s to
// %s" and the copy. All or nothing (see replace_journal.h): each copy
// replaces its target whole, never through a symbolic link, and the previous version of every target is kept
// until all are replaced. Returns 1 when every file was replaced; at the first
// copy that fails, reports it with the two names and the system's reason,
// puts every target back as it was, and returns 0.
int ReplaceFiles(CUpdateReporter& view, const CUpdateInfo& info);
