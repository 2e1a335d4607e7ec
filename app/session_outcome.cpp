#include "app/session_outcome.h"

#include <exception>
#include <new>

#include "platform/exception.h"
#include "session/session_hints.h"

UpdateOutcome RunUpdateCaught(CUpdateReporter& view, const UpdateSettings& settings) {
  UpdateOutcome outcome;
  try {
    outcome.bResult = RunUpdate(view, settings);
  } catch (const CCancelledException&) {
    outcome.bCancelled = true;
  } catch (const CException& e) {
    outcome.bError = true;
    outcome.strError = e.GetErrorMessage();
    // The likeliest mistake behind it, below the error's own words.
    for (const std::string& strHint : FailureHints(e, settings)) outcome.strError += "\n\n" + strHint;
  } catch (const std::bad_alloc&) {
    outcome.bError = true;
    outcome.strError = "Out of memory.";
    outcome.icon = CUpdateReporter::Icon::Exclamation;
  } catch (const std::exception& e) {
    outcome.bError = true;
    outcome.strError = e.what();
  } catch (...) {
    outcome.bError = true;
  }
  return outcome;
}
