// qvnpack: the publisher's side of the updater. Builds, checks and serves
// update directories, and works with the compressed file format.
#include <cstdio>
#include <string>
#include <vector>

#include "core/version_block.h"
#include "platform/args.h"
#include "tools/commands.h"

namespace {

struct Command {
  const char* name;
  int (*run)(const Args&);
};

constexpr Command kCommands[] = {
    {"lint", CmdLint},         {"version", CmdVersion}, {"vercmp", CmdVercmp},
    {"compress", CmdCompress}, {"expand", CmdExpand},   {"build", CmdBuild},
    {"serve", CmdServe},       {"keygen", CmdKeygen},   {"verify", CmdVerify},
};

void PrintUsage(std::FILE* out) {
  std::fputs(
      "Usage: qvnpack COMMAND [ARGS]\n"
      "\n"
      "Commands:\n"
      "  build SRC OUT [--version V] [--store PATTERN]... [--reboot]\n"
      "                      make OUT an update directory holding the files of SRC;\n"
      "                      the version is V, else the ProductVersion of\n"
      "                      SRC/Quorvane.exe; files matching a --store shell pattern\n"
      "                      (on the whole name, or on the file name alone when the\n"
      "                      pattern has no \"/\") are sent as they are, not compressed\n"
      "      [--sign KEYFILE [--expires DAYS]]\n"
      "                      also write SHA256SUMS, its signature SHA256SUMS.minisig\n"
      "                      made with the secret key KEYFILE (qvnpack keygen or\n"
      "                      minisign -G; a password is asked on the terminal),\n"
      "                      expiring after DAYS, and INSTALLED.SHA256SUMS\n"
      "  keygen DIR          write a new key pair DIR/qvnpack.key, DIR/qvnpack.pub\n"
      "  verify OUT --pubkey KEY\n"
      "                      check the signed update directory OUT as the updater\n"
      "                      would, with the public key KEY (.pub file or base64)\n"
      "  serve DIR [--port N] [--bind ADDR]\n"
      "                      serve DIR as the server's /Updates/ directory over HTTP\n"
      "                      (default 127.0.0.1:8080; --port 0 picks a free port)\n"
#ifdef _WIN32
      "                      (Linux only: this Windows build answers status 2)\n"
#endif
      "  lint [--json] FILE  check a manifest (UpdateInfo.txt) and show what it says:\n"
      "                      the parser's diagnostics, and the errors (names, sizes,\n"
      "                      versions, counts) that make every updater refuse or\n"
      "                      misread it\n"
      "  version FILE        print the ProductVersion of a Windows executable\n"
      "  vercmp A B          compare two versions: >0 A is newer, 0 equal, <0 older\n"
      "  compress IN OUT [--threads N]\n"
      "                      write IN in the compressed file format (.crz)\n"
      "  expand IN OUT [--threads N]\n"
      "                      write the data of the compressed file IN; --threads\n"
      "                      sets how many threads compress or expand (default: one\n"
      "                      per processor, at most 8)\n"
      "\n"
      "  --help              show this help and exit\n"
      "  --version           show the version and exit\n"
      "\n"
      "  COMMAND --help      the same help\n"
      "\n"
      "Exit status: 0 success; 1 the command failed (lint: a diagnostic or an error\n"
      "was found; version: no version was read; verify: the directory fails a\n"
      "check; build: a file, name or version the updater could not use, a manifest\n"
      "over 1 MiB, or an input/output error; serve: the port is taken; keygen,\n"
      "compress, expand: bad input or an input/output error); 2 wrong arguments,\n"
      "or a file or folder given to lint, build or serve that cannot be read; 130\n"
      "build, compress or expand was stopped (Ctrl-C, SIGTERM): no temporary file\n"
      "is left, and OUT is as it was.\n",
      out);
}

// Every command answers "--help" or "-h" alone; the commands with options
// also answer it among other arguments (before "--"). The others take their
// operands as they stand: "vercmp --help 0" compares two versions. keygen
// and verify answer it themselves, with their own usage.
bool WantsHelp(const std::string& strCommand, const Args& args) {
  const auto isHelp = [](const std::string& str) { return str == "--help" || str == "-h"; };
  if (strCommand == "keygen" || strCommand == "verify") return false;
  if (args.size() == 1 && isHelp(args[0])) return true;
  if (strCommand == "version" || strCommand == "vercmp") return false;
  for (const std::string& strArg : args) {
    if (strArg == "--") return false;
    if (isHelp(strArg)) return true;
  }
  return false;
}

}  // namespace

int UsageError(const std::string& strMessage) {
  std::fprintf(stderr, "qvnpack: %s\nTry 'qvnpack --help' for more information.\n", strMessage.c_str());
  return 2;
}

int main(int argc, char** argv) {
  UseUtf8Console();
  const std::vector<std::string> arrArgs = CommandLineArguments(argc, argv);
  if (arrArgs.empty()) return UsageError("no command given");
  const std::string strCommand = arrArgs[0];
  if (strCommand == "--help" || strCommand == "-h" || strCommand == "help") {
    PrintUsage(stdout);
    return 0;
  }
  if (strCommand == "--version") {
    std::printf("qvnpack (%s) %s\n", kVersionProductName, kVersionFileVersion);
    return 0;
  }
  const Args args(arrArgs.begin() + 1, arrArgs.end());
  for (const Command& command : kCommands) {
    if (strCommand != command.name) continue;
    if (WantsHelp(strCommand, args)) {
      PrintUsage(stdout);
      return 0;
    }
    return command.run(args);
  }
  return UsageError("unknown command '" + strCommand + "'");
}
