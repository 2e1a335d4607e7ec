#pragma once
// Asking the person at the terminal, not whatever feeds standard input.
#include <string>

#include "platform/types.h"

// Shows strPrompt on the controlling terminal and reads one line without
// echoing it. FALSE when the process has no terminal or the line cannot be read.
BOOL ReadSecretFromTerminal(const std::string& strPrompt, std::string& strSecret);
