#include "platform/name_case.h"

#include <algorithm>
#include <string>

bool IsWindowsDeviceName(std::string_view part) {
  std::string strStem(part.substr(0, part.find('.')));
  while (!strStem.empty() && strStem.back() == ' ') strStem.pop_back();
  for (char& c : strStem) c = static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
  // COM and LPT take a digit, or a superscript 1, 2 or 3 (in UTF-8).
  const std::string_view digit = std::string_view(strStem).substr(std::min<size_t>(3, strStem.size()));
  const bool bPort = (strStem.rfind("com", 0) == 0 || strStem.rfind("lpt", 0) == 0) &&
                     ((digit.size() == 1 && digit[0] >= '0' && digit[0] <= '9') || digit == "\xC2\xB9" ||
                      digit == "\xC2\xB2" || digit == "\xC2\xB3");
  return strStem == "con" || strStem == "prn" || strStem == "aux" || strStem == "nul" || bPort;
}
