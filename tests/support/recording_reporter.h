#pragma once
// A reporter that writes down everything the session and the phases show, in
// order, so that tests can compare the exact sequence:
//   "status <line>", "reset", "message <text>",
//   "current caption <text>", "overall caption <text>",
//   "current bar <pos> of <lower>..<upper>" (and "overall bar ...") after every
//   change of a bar (range, position, step taken).
#include <string>
#include <vector>

#include "phases/reporter.h"

namespace qvntest {

class RecordingReporter : public CUpdateReporter {
 public:
  RecordingReporter() {
    m_staticCurrent.m_onChange = [this] {
      m_arrEvents.push_back("current caption " + m_staticCurrent.GetWindowText());
    };
    m_staticOverall.m_onChange = [this] {
      m_arrEvents.push_back("overall caption " + m_staticOverall.GetWindowText());
    };
    m_progressCurrent.m_onChange = [this] { m_arrEvents.push_back("current bar " + Bar(m_progressCurrent)); };
    m_progressOverall.m_onChange = [this] { m_arrEvents.push_back("overall bar " + Bar(m_progressOverall)); };
  }

  void AddStatus(std::string strLine) override {
    m_arrEvents.push_back("status " + strLine);
    m_arrStatus.push_back(strLine);
  }
  void ResetStatus() override {
    m_arrEvents.push_back("reset");
    m_arrStatus.clear();
  }
  void MessageBox(const std::string& strText, Icon) override { m_arrEvents.push_back("message " + strText); }

  static std::string Bar(const CProgressCtrl& bar) {
    return std::to_string(bar.GetPos()) + " of " + std::to_string(bar.GetLower()) + ".." +
           std::to_string(bar.GetUpper());
  }

  // The events whose text starts with strPrefix, prefix removed.
  std::vector<std::string> Events(const std::string& strPrefix) const {
    std::vector<std::string> arr;
    for (const auto& e : m_arrEvents) {
      if (e.rfind(strPrefix, 0) == 0) arr.push_back(e.substr(strPrefix.size()));
    }
    return arr;
  }

  std::vector<std::string> m_arrEvents;
  std::vector<std::string> m_arrStatus;  // the status list as it stands
};

}  // namespace qvntest
