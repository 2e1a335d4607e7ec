#pragma once
// Causes and hints for the user beside the status lines (which stay as they
// are): what the server answered, and what the likeliest mistake behind a
// failure would be.
#include <string>
#include <vector>

#include "phases/reporter.h"
#include "phases/request.h"
#include "platform/exception.h"
#include "session/session.h"

// The cause of a manifest request that brought no manifest: an answer other
// than success, or (bAnsweredSuccess) a success answer without a version.
void ReportNoManifest(CUpdateReporter& view, const UpdateSettings& settings, const CUpdateRequest& request,
                      bool bAnsweredSuccess);

// Hints ("hint: ...") for an error that ended an update; empty when none fits.
std::vector<std::string> FailureHints(const CException& e, const UpdateSettings& settings);

// A warning when strProductExe (as LocateProductExe found it) is not a file:
// the update then installs the whole release into a folder that may not be
// the installation. Also when it was found beside the program, not in this
// folder: its version then decides for a folder it is not in.
void WarnIfNoProduct(CUpdateReporter& view, const UpdateSettings& settings, const std::string& strProductExe);

// True, with a warning, when strProductExe is a symbolic link: its version is
// then not read, as nothing in the installation folder is reached through a
// link (one planted there would let a file elsewhere hold back every update).
bool WarnIfProductIsALink(CUpdateReporter& view, const std::string& strProductExe);

// A warning when strProductExe is there but its version could not be read:
// it then reads as 0, so any update is taken, and the user should know why.
void WarnIfNoVersion(CUpdateReporter& view, const std::string& strProductExe);
