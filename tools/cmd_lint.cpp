// qvnpack lint [--json] FILE: reads a manifest exactly as the updater reads
// the server's response body, and shows the record the updater would build
// from it, with every diagnostic of the parser.
//
// Exit status: 0 no diagnostic, 1 at least one diagnostic, 2 the file cannot
// be read or the arguments are wrong. The notes of the text output (names the
// updater refuses, a missing version, ...) do not change the exit status: it
// says only whether the parser recorded a diagnostic, which other tools rely on.
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
#include "tools/commands.h"

namespace {

// The updater refuses manifest bodies larger than this.
constexpr std::uint64_t kMaxManifestBytes = 1024 * 1024;

// Length of the well-formed UTF-8 sequence at s[i], or 0 when there is none
// (overlong forms, surrogates and code points above U+10FFFF are not well formed).
std::size_t Utf8SequenceLength(const std::string& s, std::size_t i) {
  const auto byte = [&s](std::size_t n) { return static_cast<unsigned char>(s[n]); };
  const unsigned char b0 = byte(i);
  if (b0 < 0x80) return 1;
  std::size_t nLength = 0;
  unsigned char nMin = 0x80;
  unsigned char nMax = 0xBF;  // bounds of the second byte
  if (b0 >= 0xC2 && b0 <= 0xDF) {
    nLength = 2;
  } else if (b0 >= 0xE0 && b0 <= 0xEF) {
    nLength = 3;
    if (b0 == 0xE0) nMin = 0xA0;
    if (b0 == 0xED) nMax = 0x9F;
  } else if (b0 >= 0xF0 && b0 <= 0xF4) {
    nLength = 4;
    if (b0 == 0xF0) nMin = 0x90;
    if (b0 == 0xF4) nMax = 0x8F;
  } else {
    return 0;
  }
  if (i + nLength > s.size()) return 0;
  if (byte(i + 1) < nMin || byte(i + 1) > nMax) return 0;
  for (std::size_t k = 2; k < nLength; ++k) {
    if (byte(i + k) < 0x80 || byte(i + k) > 0xBF) return 0;
  }
  return nLength;
}

bool IsValidUtf8(const std::string& s) {
  for (std::size_t i = 0; i < s.size();) {
    const std::size_t n = Utf8SequenceLength(s, i);
    if (n == 0) return false;
    i += n;
  }
  return true;
}

// The manifest's single-byte text as UTF-8: as it is when it already is
// UTF-8, otherwise read as Latin-1. Quotes, backslashes and control
// characters are escaped as in JSON, so that the result is safe to print.
std::string EscapeText(const std::string& s) {
  const bool bUtf8 = IsValidUtf8(s);
  std::string strOut;
  strOut.reserve(s.size());
  for (const char c : s) {
    const unsigned char b = static_cast<unsigned char>(c);
    if (c == '"' || c == '\\') {
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

std::string FormatJson(const CUpdateInfo& info) {
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
  s += "}\n";
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

bool EndsWith(const std::string& s, const std::string& strSuffix) {
  return s.size() >= strSuffix.size() &&
         s.compare(s.size() - strSuffix.size(), strSuffix.size(), strSuffix) == 0;
}

// What the parser does not flag but a publisher should hear of.
std::vector<std::string> CollectNotes(const CUpdateInfo& info, std::uint64_t nBytes) {
  std::vector<std::string> notes;
  if (nBytes > kMaxManifestBytes) {
    notes.push_back("the file has " + std::to_string(nBytes) +
                    " bytes; the updater refuses manifests larger than 1 MiB (1048576 bytes)");
  }
  if (info.m_strVersion.empty()) {
    notes.push_back("no version is given; the updater reads it as 0 and never installs this update");
  }
  if (info.m_arrItems.size() != info.m_nNumberItems) {
    notes.push_back("NUMBERITEMS declares " + std::to_string(info.m_nNumberItems) + " file items, but " +
                    std::to_string(info.m_arrItems.size()) + " are listed");
  }
  for (std::size_t i = 0; i < info.m_arrItems.size(); ++i) {
    const CUpdateFileItem& item = *info.m_arrItems[i];
    const std::string strItem = "item #" + std::to_string(i + 1) + " " + Quoted(item.m_strName) + ": ";
    std::string strReason;
    if (!IsSafeItemName(item.m_strName, &strReason)) {
      notes.push_back(strItem + "the updater refuses this name: " + strReason);
    } else if (item.m_bCompressed && !EndsWith(item.m_strName, ".crz")) {
      notes.push_back(strItem + "it is marked compressed, but its name does not end in \".crz\"");
    }
  }
  return notes;
}

std::string FormatText(const std::string& strFile, const CUpdateInfo& info, std::uint64_t nBytes) {
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
  const std::vector<std::string> notes = CollectNotes(info, nBytes);
  if (!notes.empty()) {
    s += "Notes:\n";
    for (const std::string& strNote : notes) s += "  " + strNote + "\n";
  }
  return s;
}

// Reads strFile through the same line splitter as the updater; false with
// strError set when the file cannot be read.
bool ParseManifestFile(const std::string& strFile, CUpdateInfo& info, std::uint64_t& nBytes,
                       std::string& strError) {
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
  auto onLine = [&info](const std::string& strLine) { info.ParseLine(strLine); };
  char buffer[4096];
  try {
    while (const UINT n = file.Read(buffer, sizeof buffer)) splitter.Feed(buffer, n, onLine);
  } catch (const CFileException& e) {
    return reason(e);
  }
  splitter.Finish(onLine);
  nBytes = splitter.BytesFed();
  return true;
}

}  // namespace

int CmdLint(const Args& args) {
  bool bJson = false;
  bool bOptionsDone = false;
  std::vector<std::string> files;
  for (const std::string& strArg : args) {
    if (!bOptionsDone && strArg == "--json") {
      bJson = true;
    } else if (!bOptionsDone && strArg == "--") {
      bOptionsDone = true;
    } else if (!bOptionsDone && strArg.size() > 1 && strArg[0] == '-') {
      return UsageError("lint: unknown option '" + strArg + "'");
    } else {
      files.push_back(strArg);
    }
  }
  if (files.size() != 1) return UsageError("lint takes exactly one FILE (lint [--json] FILE)");
  const std::string& strFile = files[0];

  CUpdateInfo info;
  std::uint64_t nBytes = 0;
  std::string strError;
  if (!ParseManifestFile(strFile, info, nBytes, strError)) {
    std::fprintf(stderr, "qvnpack: cannot read the manifest '%s': %s\n", strFile.c_str(), strError.c_str());
    return 2;
  }
  const std::string strOut = bJson ? FormatJson(info) : FormatText(strFile, info, nBytes);
  std::fwrite(strOut.data(), 1, strOut.size(), stdout);
  if (std::fflush(stdout) != 0) {
    std::fprintf(stderr, "qvnpack: cannot write the report: %s\n", std::strerror(errno));
    return 2;
  }
  return info.m_arrMessages.empty() ? 0 : 1;
}
