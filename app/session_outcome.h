#pragma once
// How one update ended, for the window front ends, which run the update on a
// thread of their own: nothing may escape that thread (an exception there
// would end the program), so every way out of RunUpdate is caught here and put
// into the words the window shows.
#include <string>

#include "phases/reporter.h"
#include "platform/types.h"
#include "session/session.h"

struct UpdateOutcome {
  BOOL bResult = FALSE;     // RunUpdate's result when it returned
  bool bError = false;      // an exception ended it
  bool bCancelled = false;  // the user stopped it
  std::string strError;     // the error's text and hints; empty when it has none
  CUpdateReporter::Icon icon = CUpdateReporter::Icon::Stop;
};

// The text an error shows when it has none of its own.
inline constexpr const char* kNoErrorText = "Internal application error.";

// Runs RunUpdate(view, settings) and catches whatever ends it early.
UpdateOutcome RunUpdateCaught(CUpdateReporter& view, const UpdateSettings& settings);
