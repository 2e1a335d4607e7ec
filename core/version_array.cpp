#include "core/version_array.h"

namespace {

// One part as atoi reads it, reduced modulo 65536. The digits are accumulated
// modulo 65536 in unsigned arithmetic, so a part of any length (say
// "99999999999999999999") has a defined value, where atoi's would be undefined.
WORD ConvertPart(const std::string& str, std::size_t nBegin, std::size_t nEnd) {
  std::size_t i = nBegin;
  while (i < nEnd && (str[i] == ' ' || (str[i] >= '\t' && str[i] <= '\r'))) ++i;
  bool bNegative = false;
  if (i < nEnd && (str[i] == '+' || str[i] == '-')) {
    bNegative = str[i] == '-';
    ++i;
  }
  std::uint32_t nValue = 0;
  for (; i < nEnd && str[i] >= '0' && str[i] <= '9'; ++i) {
    nValue = (nValue * 10 + static_cast<std::uint32_t>(str[i] - '0')) & 0xFFFFu;
  }
  if (bNegative) nValue = (0x10000u - nValue) & 0xFFFFu;
  return static_cast<WORD>(nValue);
}

}  // namespace

void CVersionArray::FromString(const std::string& str) {
  std::size_t nStart = 0;
  for (;;) {
    const std::size_t nDot = str.find('.', nStart);
    if (nDot == std::string::npos) break;
    m_arrParts.push_back(ConvertPart(str, nStart, nDot));
    nStart = nDot + 1;
  }
  m_arrParts.push_back(ConvertPart(str, nStart, str.size()));
}

int CVersionArray::Compare(const CVersionArray& other) const {
  const std::size_t nSize = m_arrParts.size();
  const std::size_t nOtherSize = other.m_arrParts.size();
  const std::size_t n = nSize > nOtherSize ? nSize : nOtherSize;
  for (std::size_t i = 0; i < n; ++i) {
    if (i >= nSize) return -1;
    if (i >= nOtherSize) return 1;
    if (m_arrParts[i] != other.m_arrParts[i])
      return static_cast<int>(m_arrParts[i]) - static_cast<int>(other.m_arrParts[i]);
  }
  return 0;
}

std::string CVersionArray::ToString() const {
  std::string str;
  for (std::size_t i = 0; i < m_arrParts.size(); ++i) {
    if (i > 0) str += '.';
    str += std::to_string(m_arrParts[i]);
  }
  return str;
}
