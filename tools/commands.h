#pragma once
// The commands of qvnpack. Each takes the arguments after its name and
// returns the exit status: 0 success, 1 the command failed, 2 bad usage.
#include <string>
#include <vector>

using Args = std::vector<std::string>;

int CmdLint(const Args& args);      // lint [--json] FILE
int CmdVersion(const Args& args);   // version FILE
int CmdVercmp(const Args& args);    // vercmp A B
int CmdCompress(const Args& args);  // compress IN OUT [--threads N]
int CmdExpand(const Args& args);    // expand IN OUT [--threads N]
int CmdBuild(const Args& args);   // build SRC OUT [--version V] [--store PATTERN]... [--reboot] [--sign KEY]
int CmdKeygen(const Args& args);  // keygen DIR
int CmdVerify(const Args& args);  // verify OUT --pubkey KEY
int CmdServe(const Args& args);   // serve DIR [--port N] [--bind ADDR]

// Prints "qvnpack: <message>" and the hint to --help on stderr; returns 2.
int UsageError(const std::string& strMessage);
