// qvnpack lint [--json] FILE: reads a manifest exactly as the updater reads
// the server's response body, and shows the record the updater would build
// from it, with every diagnostic of the parser.
//
// Beside the parser's diagnostics (what the format tolerates, as the updater
// does) it lists errors: what the parser reads without complaint but what
// breaks or misleads every updater (see tools/manifest_check.h).
//
// Exit status: 0 neither a diagnostic nor an error, 1 at least one of either,
// 2 the file cannot be read or the arguments are wrong.
#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "manifest/item_name.h"
#include "manifest/line_splitter.h"
#include "manifest/update_info.h"
#include "platform/file.h"
#include "tools/args.h"
#include "tools/commands.h"
#include "tools/manifest_check.h"

namespace {

// The manifest's single-byte text as UTF-8: as it is when it already is
// UTF-8, otherwise read as Latin-1. Quotes, backslashes and control
// characters are escaped as in JSON, so that the result is safe to print;
// quotes are left as they are when !bQuotes, for plain text.
std::string EscapeText(const std::string& s, bool bQuotes = true) {
  const bool bUtf8 = IsValidUtf8(s);
  std::string strOut;
  strOut.reserve(s.size());
  for (const char c : s) {
    const unsigned char b = static_cast<unsigned char>(c);
    if (bQuotes && (c == '"' || c == '\\')) {
      strOut += '\\';
      strOut += c;
    } else if (b < 0x20 || b == 0x7F) {
      char szEscape[8];
      std::snprintf(szEscape, sizeof szEscape, "\\u%04x", b);
      strOut += szEscape;
    } else if (b >= 0x80 && !bUtf8) {
      strOut += static_cast<char>(0xC0 | (b >> 6));
      strOut += static_cast<char>(0x80 | (b & 0x3F));
    } else {
      strOut += c;
    }
  }
  return strOut;
}

std::string Quoted(const std::string& s) {
  return '"' + EscapeText(s) + '"';
}

const char* JsonBool(BOOL b) {
  return b ? "true" : "false";
}
const char* YesNo(BOOL b) {
  return b ? "yes" : "no";
}

long CurrentItemIndex(const CUpdateInfo& info) {
  for (std::size_t i = 0; i < info.m_arrItems.size(); ++i) {
    if (info.m_arrItems[i].get() == info.m_pCurItem) return static_cast<long>(i);
  }
  return -1;
}

std::string FormatJson(const CUpdateInfo& info, const std::vector<std::string>& arrErrors) {
  std::string s = "{\"version\": " + Quoted(info.m_strVersion);
  s += ", \"reboot\": ";
  s += JsonBool(info.m_bReboot);
  s += ", \"numberItems\": " + std::to_string(info.m_nNumberItems);
  s += ", \"numberRegItems\": " + std::to_string(info.m_nNumberRegItems);
  s += ", \"items\": [";
  for (std::size_t i = 0; i < info.m_arrItems.size(); ++i) {
    const CUpdateFileItem& item = *info.m_arrItems[i];
    if (i > 0) s += ", ";
    s += "{\"name\": " + Quoted(item.m_strName);
    s += ", \"size\": " + std::to_string(item.m_nSize);
    s += ", \"location\": " + Quoted(item.m_strLocation);
    s += ", \"replace\": " + std::to_string(item.m_nReplace);
    s += ", \"compressed\": ";
    s += JsonBool(item.m_bCompressed);
    s += '}';
  }
  s += "], \"selfVersion\": " + Quoted(info.m_strSelfVersion);
  s += ", \"selfName\": " + Quoted(info.m_strSelfName);
  s += ", \"selfCompressed\": ";
  s += JsonBool(info.m_bSelfCompressed);
  s += ", \"section\": " + std::to_string(info.m_nSection);
  s += ", \"corrupt\": ";
  s += JsonBool(info.m_bCorrupt);
  s += ", \"itemError\": ";
  s += JsonBool(info.m_bItemError);
  s += ", \"messages\": [";
  for (std::size_t i = 0; i < info.m_arrMessages.size(); ++i) {
    if (i > 0) s += ", ";
    s += Quoted(info.m_arrMessages[i]);
  }
  s += "], \"curItem\": ";
  const long nCurrent = CurrentItemIndex(info);
  s += nCurrent < 0 ? std::string("null") : std::to_string(nCurrent);
  s += ", \"errors\": [";
  for (std::size_t i = 0; i < arrErrors.size(); ++i) {
    if (i > 0) s += ", ";
    s += Quoted(arrErrors[i]);
  }
  s += "]}\n";
  return s;
}

const char* ReplaceLetter(LONG nReplace) {
  switch (nReplace) {
    case 1:
      return "Y";
    case -1:
      return "N";
    case 0:
      return "A";
    default:
      return "?";
  }
}

std::string FormatText(const std::string& strFile, const CUpdateInfo& info, std::uint64_t nBytes,
                       const std::vector<std::string>& arrErrors) {
  std::string s = "Manifest " + Quoted(strFile) + " (" + std::to_string(nBytes) + " bytes)\n";
  s += "Version:      " + Quoted(info.m_strVersion) + "\n";
  s += "Reboot:       " + std::string(YesNo(info.m_bReboot)) + "\n";
  s += "File items:   " + std::to_string(info.m_arrItems.size()) + " listed, " +
       std::to_string(info.m_nNumberItems) + " declared\n";
  for (std::size_t i = 0; i < info.m_arrItems.size(); ++i) {
    const CUpdateFileItem& item = *info.m_arrItems[i];
    s += "  #" + std::to_string(i + 1) + " " + Quoted(item.m_strName) + "\n";
    s += "     size " + std::to_string(item.m_nSize) + " bytes, compressed " + YesNo(item.m_bCompressed) +
         ", replace " + ReplaceLetter(item.m_nReplace) + " (" + std::to_string(item.m_nReplace) +
         "), location " + Quoted(item.m_strLocation) + "\n";
  }
  s += "Registry:     " + std::to_string(info.m_nNumberRegItems) + " items declared\n";
  s += "Self entry:   version " + Quoted(info.m_strSelfVersion) + ", name " + Quoted(info.m_strSelfName) +
       ", compressed " + YesNo(info.m_bSelfCompressed) + "\n";
  if (info.m_arrMessages.empty()) {
    s += "Diagnostics:  none\n";
  } else {
    s += "Diagnostics:  " + std::to_string(info.m_arrMessages.size()) +
         " (structural faults: " + YesNo(info.m_bCorrupt) + ", item errors: " + YesNo(info.m_bItemError) +
         ")\n";
    for (const std::string& strMessage : info.m_arrMessages) s += "  " + EscapeText(strMessage) + "\n";
  }
  if (arrErrors.empty()) {
    s += "Errors:       none\n";
  } else {
    s += "Errors:       " + std::to_string(arrErrors.size()) + " (every updater refuses or misreads this)\n";
    for (const std::string& strError : arrErrors) s += "  " + EscapeText(strError, false) + "\n";
  }
  return s;
}

// Reads strFile through the same line splitter as the updater; false with
// strError set when the file cannot be read.
bool ParseManifestFile(const std::string& strFile, CUpdateInfo& info, CManifestChecker& checker,
                       std::uint64_t& nBytes, std::string& strError) {
  // Through CFile, which takes UTF-8 names on every system.
  auto reason = [&strError](CFileException e) {
    e.m_strFileName.clear();  // the caller names the file
    strError = e.GetErrorMessage();
    return false;
  };
  CFile file;
  CFileException error;
  if (!file.Open(strFile, CFile::modeRead, &error)) return reason(error);
  CLineSplitter splitter;
  auto onLine = [&info, &checker](const std::string& strLine) {
    info.ParseLine(strLine);
    checker.Line(strLine, info);
  };
  char buffer[4096];
  std::uint64_t nLength = 0;
  try {
    // Past the updater's limit the rest is not read, as the updater would
    // not: a device or a huge file costs no more than that.
    while (splitter.BytesFed() <= kMaxManifestBytes) {
      const UINT n = file.Read(buffer, sizeof buffer);
      if (n == 0) break;
      splitter.Feed(buffer, n, onLine);
    }
    nLength = file.GetLength();
  } catch (const CFileException& e) {
    return reason(e);
  }
  splitter.Finish(onLine);
  nBytes = std::max<std::uint64_t>(splitter.BytesFed(), nLength);
  return true;
}

}  // namespace

int CmdLint(const Args& args) {
  ParsedArgs parsed;
  if (const int nStatus = SplitArgs("lint", args, {}, {"--json"}, parsed)) return nStatus;
  const bool bJson = !parsed.arrOptions.empty();
  const std::vector<std::string>& files = parsed.arrOperands;
  if (files.size() != 1) return UsageError("lint takes exactly one FILE (lint [--json] FILE)");
  const std::string& strFile = files[0];

  CUpdateInfo info;
  CManifestChecker checker;
  std::uint64_t nBytes = 0;
  std::string strError;
  if (!ParseManifestFile(strFile, info, checker, nBytes, strError)) {
    std::fprintf(stderr, "qvnpack: cannot read the manifest '%s': %s\n", strFile.c_str(), strError.c_str());
    return 2;
  }
  const std::vector<std::string> arrErrors = checker.Errors(info, nBytes);
  const std::string strOut =
      bJson ? FormatJson(info, arrErrors) : FormatText(strFile, info, nBytes, arrErrors);
  std::fwrite(strOut.data(), 1, strOut.size(), stdout);
  if (std::fflush(stdout) != 0) {
    std::fprintf(stderr, "qvnpack: cannot write the report: %s\n", std::strerror(errno));
    return 2;
  }
  return info.m_arrMessages.empty() && arrErrors.empty() ? 0 : 1;
}
