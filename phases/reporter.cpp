#include "phases/reporter.h"

#include <algorithm>

void CProgressCtrl::SetRange32(int nLower, int nUpper) {
  m_nLower = nLower;
  m_nUpper = nUpper;
  m_nPos = std::clamp(m_nPos, std::min(nLower, nUpper), std::max(nLower, nUpper));
  Changed();
}

int CProgressCtrl::SetPos(int nPos) {
  const int nOld = m_nPos;
  m_nPos = std::clamp(nPos, std::min(m_nLower, m_nUpper), std::max(m_nLower, m_nUpper));
  Changed();
  return nOld;
}

int CProgressCtrl::SetStep(int nStep) {
  const int nOld = m_nStep;
  m_nStep = nStep;
  return nOld;
}

int CProgressCtrl::StepIt() {
  const int nOld = m_nPos;
  // Widen so that a step near INT_MAX cannot overflow before the test.
  const long long nNext = static_cast<long long>(m_nPos) + m_nStep;
  m_nPos = nNext > m_nUpper ? m_nLower : static_cast<int>(nNext);
  Changed();
  return nOld;
}

void CStatic::SetWindowText(const std::string& strText) {
  m_strText = strText;
  if (m_onChange) m_onChange();
}
