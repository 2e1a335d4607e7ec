#include "tools/args.h"

#include <algorithm>

namespace {

bool Contains(const std::vector<std::string>& arr, const std::string& str) {
  return std::find(arr.begin(), arr.end(), str) != arr.end();
}

}  // namespace

int SplitArgs(const char* pszCommand, const Args& args, const std::vector<std::string>& arrValued,
              const std::vector<std::string>& arrFlags, ParsedArgs& parsed) {
  const std::string strCommand = pszCommand;
  for (size_t i = 0; i < args.size(); ++i) {
    if (args[i] == "--") {
      parsed.arrOperands.insert(parsed.arrOperands.end(), args.begin() + static_cast<long>(i) + 1,
                                args.end());
      return 0;
    }
    if (args[i].size() < 2 || args[i][0] != '-') {
      parsed.arrOperands.push_back(args[i]);
      continue;
    }
    // A slip such as "-o OUT" would otherwise be taken for a file named "-o".
    if (args[i][1] != '-') return UsageError(strCommand + ": unknown option '" + args[i] + "'");
    const size_t nEquals = args[i].find('=');
    const std::string strName = args[i].substr(0, nEquals);
    const bool bHasValue = nEquals != std::string::npos;
    if (Contains(arrValued, strName)) {
      if (!bHasValue && i + 1 >= args.size()) {
        return UsageError(strCommand + ": option '" + strName + "' needs a value");
      }
      parsed.arrOptions.emplace_back(strName, bHasValue ? args[i].substr(nEquals + 1) : args[++i]);
    } else if (Contains(arrFlags, strName)) {
      if (bHasValue) return UsageError(strCommand + ": option '" + strName + "' takes no value");
      parsed.arrOptions.emplace_back(strName, std::string());
    } else {
      return UsageError(strCommand + ": unknown option '" + args[i] + "'");
    }
  }
  return 0;
}
