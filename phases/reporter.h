#pragma once
// The one interface through which the update session and the phases report:
// status lines, two captions, two progress bars and message boxes. The window,
// the console and the tests each implement it; the logic never knows which.
#include <functional>
#include <string>

#include "platform/types.h"

// <windows.h> makes MessageBox and SetWindowText macros (the A or W function);
// the reporter's operations keep their own names wherever both are seen.
#undef MessageBox
#undef SetWindowText
#undef GetWindowText

// State of a progress bar, with the behaviour of the platform control the
// phases were written against: positions stay inside the range, and a step
// past the upper bound starts the bar again from the lower bound.
class CProgressCtrl {
 public:
  void SetRange32(int nLower, int nUpper);
  int SetPos(int nPos);    // returns the previous position
  int SetStep(int nStep);  // returns the previous step
  int StepIt();            // returns the previous position

  int GetPos() const { return m_nPos; }
  int GetLower() const { return m_nLower; }
  int GetUpper() const { return m_nUpper; }
  int GetStep() const { return m_nStep; }

  // Called after every change; front ends redraw from it (at their own pace).
  std::function<void()> m_onChange;

 private:
  void Changed() const {
    if (m_onChange) m_onChange();
  }
  int m_nLower = 0;
  int m_nUpper = 100;
  int m_nPos = 0;
  int m_nStep = 10;
};

// A caption above a bar.
class CStatic {
 public:
  void SetWindowText(const std::string& strText);
  const std::string& GetWindowText() const { return m_strText; }

  std::function<void()> m_onChange;

 private:
  std::string m_strText;
};

// The bytes behind the bars while a phase moves data it can count in bytes
// (the download), for front ends that show sizes and rates. The phase fills
// it before it moves the bars, so that a redraw on a bar's change sees both.
struct CByteProgress {
  std::string strFile;        // the current file's name
  ULONGLONG nFileDone = 0;    // bytes of the current file so far
  ULONGLONG nFileTotal = 0;   // its size; 0 when unknown
  ULONGLONG nPhaseDone = 0;   // bytes of the whole phase so far
  ULONGLONG nPhaseTotal = 0;  // the whole phase; 0 when unknown
  // Bytes that came over the network in this phase: not those an earlier
  // run kept, and still those of a transfer that had to start again.
  ULONGLONG nPhaseMoved = 0;
  int nFilesDone = 0;    // files finished in this phase
  bool bActive = false;  // false: the phase counts in blocks only
};

class CUpdateReporter {
 public:
  enum class Icon { None, Stop, Exclamation, Information };

  virtual ~CUpdateReporter() = default;

  // Appends a line to the status list and makes it the selected, visible one.
  // It must be on screen (or flushed) when this returns.
  virtual void AddStatus(std::string strLine) = 0;
  // Empties the status list.
  virtual void ResetStatus() = 0;
  // Shows a message and returns once the user has seen it.
  virtual void MessageBox(const std::string& strText, Icon icon) = 0;
  // A cause, hint or warning that is not a status line (the status lines are
  // a contract of their own): the console writes it to stderr. Front ends
  // without a place for it may drop it.
  virtual void AddDetail(const std::string& strText) { (void)strText; }
  // True once the user asked the update to stop. The phases ask at every
  // block and between items, and then throw CCancelledException after
  // removing their partial file (or putting back the installed files).
  // Called from the update's thread while the answer may change on another.
  virtual bool IsCancelled() const { return false; }

  CByteProgress m_bytes;  // see CByteProgress; phases that count bytes fill it

  CStatic m_staticCurrent;          // caption above the current-file bar
  CProgressCtrl m_progressCurrent;  // the current file
  CStatic m_staticOverall;          // caption above the overall bar
  CProgressCtrl m_progressOverall;  // the whole phase
};
