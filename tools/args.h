#pragma once
// The arguments of a qvnpack command split into options and operands. An
// option is "--name VALUE" or "--name=VALUE" when it takes a value, "--name"
// alone when it is a flag. "--" ends the options: every argument after it is
// an operand, whatever it starts with. Before it, "-" alone is an operand and
// any other argument that starts with "-" is an option.
#include <string>
#include <utility>
#include <vector>

#include "tools/commands.h"

struct ParsedArgs {
  std::vector<std::pair<std::string, std::string>> arrOptions;  // name and value, in the order given
  std::vector<std::string> arrOperands;
};

// Splits the arguments of pszCommand, knowing the options that take a value
// and the flags. Returns 0, or the exit status of a usage error that it has
// reported: an unknown option, an option without its value, a flag with one.
int SplitArgs(const char* pszCommand, const Args& args, const std::vector<std::string>& arrValued,
              const std::vector<std::string>& arrFlags, ParsedArgs& parsed);
