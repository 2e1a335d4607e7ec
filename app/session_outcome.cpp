#include "app/session_outcome.h"

#include <exception>
#include <new>
#include <utility>

#include "platform/exception.h"
#include "session/session_hints.h"

UpdateOutcome RunUpdateCaught(CUpdateReporter& view, const UpdateSettings& settings, CEndNotes& notes) {
  notes = CEndNotes();
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
  outcome.strDetails = std::move(notes.m_strDetails);
  outcome.bBoxShown = notes.m_bBoxShown;
  return outcome;
}

EndMessage MessageAtEnd(const UpdateOutcome& outcome) {
  if (outcome.bError) return {outcome.strError.empty() ? kNoErrorText : outcome.strError, outcome.icon};
  if (outcome.bCancelled || outcome.bResult || outcome.bBoxShown || outcome.strDetails.empty()) return {};
  return {"The update did not complete.\n\n" + outcome.strDetails, CUpdateReporter::Icon::Exclamation};
}
