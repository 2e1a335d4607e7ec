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
  std::string strDetails;  // the causes and warnings it gave besides its status lines
  bool bBoxShown = false;  // it showed a message of its own
};

// What a window keeps, on the update's thread, of the reports it has no
// place for while the update runs: the window passes its AddDetail and
// MessageBox calls here.
class CEndNotes {
 public:
  void AddDetail(const std::string& strText) {
    if (!m_strDetails.empty()) m_strDetails += '\n';
    m_strDetails += strText;
  }
  void NoteBox() { m_bBoxShown = true; }

 private:
  friend UpdateOutcome RunUpdateCaught(CUpdateReporter&, const UpdateSettings&, CEndNotes&);
  std::string m_strDetails;
  bool m_bBoxShown = false;
};

// The text an error shows when it has none of its own.
inline constexpr const char* kNoErrorText = "Internal application error.";

// Runs RunUpdate(view, settings) and catches whatever ends it early; notes
// gathers what the update reports through the window.
UpdateOutcome RunUpdateCaught(CUpdateReporter& view, const UpdateSettings& settings, CEndNotes& notes);

// The message a window shows once an update has ended; no text for none.
// An error shows its own words. A failed update's status line names what
// failed, and the causes it gave follow it, unless the update already showed
// a message of its own.
struct EndMessage {
  std::string strText;
  CUpdateReporter::Icon icon = CUpdateReporter::Icon::None;
};
EndMessage MessageAtEnd(const UpdateOutcome& outcome);
