#pragma once
// Stopping an update that the user cancelled (see CUpdateReporter::IsCancelled).
// What a stopped phase leaves is undone where it was made: a temporary file
// being written removes itself (CTempFile), a replacement rolls back.
#include "phases/reporter.h"

// Throws CCancelledException when the user asked the update to stop.
void ThrowIfCancelled(const CUpdateReporter& view);
