// qvnpack compress IN OUT and qvnpack expand IN OUT [--threads N]: the
// compressed file format (prefix length 0) from and to plain files, streamed
// through a fixed buffer whatever the size. OUT appears only when the command
// succeeds: the data go to a temporary file beside it, renamed over OUT at the
// end. A device or a pipe as OUT (/dev/null, /dev/stdout, a FIFO) is written
// to as it is.
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <limits>
#include <memory>
#include <string>

#include "compress/compressed_file.h"
#include "platform/file.h"
#include "platform/file_ops.h"
#include "platform/name_case.h"
#include "tools/args.h"
#include "tools/commands.h"
#include "tools/stop.h"
#include "tools/utf8_path.h"

namespace {

constexpr UINT kChunk = 1 << 20;

int Fail(const std::string& strMessage) {
  std::fprintf(stderr, "qvnpack: %s\n", strMessage.c_str());
  return 1;
}

// A unique name in OUT's folder, made by creating the file.
bool MakeTempBeside(const std::string& strOut, std::string& strTemp, std::string& strError) {
  std::string strReason;
  if (CreateUniqueFile(strOut + ".qvnpack-", strTemp, strReason)) return true;
  CFileException e(CFileException::genericException, -1, strOut, strReason);
  e.m_strAction = "create";
  strError = e.GetErrorMessage();
  return false;
}

bool PutInPlace(const std::string& strTemp, const std::string& strOut, std::string& strError) {
  std::string strReason;
  if (RenameOver(strTemp, strOut, strReason)) return true;
  CFileException e(CFileException::genericException, -1, strOut, strReason);
  e.m_strAction = "write";
  strError = e.GetErrorMessage();
  return false;
}

// What an existing OUT is, followed through symbolic links.
enum class OutputKind { kFile, kFolder, kStream };

OutputKind KindOf(const std::string& strOut) {
#ifdef _WIN32
  // NUL, CON and the like are devices in every folder, though no file shows them.
  const size_t nLast = strOut.find_last_of("/\\:");
  if (IsWindowsDeviceName(nLast == std::string::npos ? strOut : strOut.substr(nLast + 1))) {
    return OutputKind::kStream;
  }
#endif
  if (InheritedDescriptor(strOut) >= 0) return OutputKind::kStream;  // /dev/stdout, say
  std::error_code ec;
  const std::filesystem::file_status status = std::filesystem::status(PathFromUtf8(strOut), ec);
  if (ec || !std::filesystem::exists(status) || std::filesystem::is_regular_file(status)) {
    return OutputKind::kFile;
  }
  return std::filesystem::is_directory(status) ? OutputKind::kFolder : OutputKind::kStream;
}

// Where the output file goes: OUT, or the file a symbolic link OUT leads to.
// Renaming over the link would replace the link itself (/dev/stdout, for a
// command whose output is redirected to a file); empty when the link leads
// nowhere yet, and the file is then written through the link.
std::string PlaceOf(const std::string& strOut) {
  namespace fs = std::filesystem;
  std::error_code ec;
  if (!fs::is_symlink(LinkStatus(PathFromUtf8(strOut), ec))) return strOut;
  const fs::path target = fs::canonical(PathFromUtf8(strOut), ec);
  return ec ? std::string() : Utf8(target);
}

// Copies everything from source to target in chunks; returns the byte count.
ULONGLONG Pump(CFile& source, CFile& target, BYTE* pBuffer) {
  ULONGLONG nTotal = 0;
  for (;;) {
    const UINT n = source.Read(pBuffer, kChunk);
    if (n == 0) return nTotal;
    StopIfAsked();
    target.Write(pBuffer, n);
    nTotal += n;
  }
}

// The compressed side works on nThreads threads (0: one per processor).
void UseThreads(CFile&, int) {}
void UseThreads(COXCompressedFile& file, int nThreads) {
  file.SetThreads(nThreads);
}

// Runs one conversion: IN is read through Source and written through Target
// to a temporary file beside OUT, renamed over OUT once it is complete.
template <typename Source, typename Target>
int Convert(const Args& arrArgs, const char* pszCommand, bool bCheckSize) {
  ParsedArgs parsed;
  if (const int nStatus = SplitArgs(pszCommand, arrArgs, {"--threads"}, {}, parsed)) return nStatus;
  const Args& args = parsed.arrOperands;
  if (args.size() != 2) return UsageError(std::string(pszCommand) + " needs two arguments: IN OUT");
  int nThreads = 0;
  for (const auto& option : parsed.arrOptions) {
    const std::string& strValue = option.second;
    char* pEnd = nullptr;
    errno = 0;
    const long n = std::strtol(strValue.c_str(), &pEnd, 10);
    if (strValue.empty() || *pEnd != '\0' || errno != 0 || n < 1 || n > 64) {
      return UsageError(std::string(pszCommand) + ": --threads must be a number from 1 to 64, not '" +
                        strValue + "'");
    }
    nThreads = static_cast<int>(n);
  }
  const std::string& strIn = args[0];
  const std::string& strOut = args[1];
  if (strIn.empty() || strOut.empty())
    return UsageError(std::string(pszCommand) + ": IN and OUT must not be empty");
  // OUT replaces IN only once it is whole, so the command would "succeed" and
  // leave IN converted: almost surely a slip of the keyboard. (A device such
  // as /dev/null may well be both.)
  std::error_code ec;
  if (std::filesystem::is_regular_file(PathFromUtf8(strIn), ec) &&
      std::filesystem::equivalent(PathFromUtf8(strIn), PathFromUtf8(strOut), ec)) {
    return UsageError(std::string(pszCommand) + ": IN and OUT are the same file (" + strOut + ")");
  }

  Source source;
  Target target;
  UseThreads(source, nThreads);
  UseThreads(target, nThreads);
  CFileException error;
  if (!source.Open(strIn, CFile::modeRead, &error)) return Fail(error.GetErrorMessage());
  // Renaming a file over a device or a pipe would put a plain file in its
  // place (as root, instead of /dev/null for everyone): those are written to.
  const OutputKind kind = KindOf(strOut);
  if (kind == OutputKind::kFolder) return Fail("Cannot write " + strOut + ": it is a folder");
  const std::string strPlace = kind == OutputKind::kFile ? PlaceOf(strOut) : std::string();
  std::string strTemp;
  std::string strError;
  CatchStops();
  try {
    if (bCheckSize && source.GetLength() > static_cast<ULONGLONG>(std::numeric_limits<int>::max())) {
      return Fail("Cannot compress " + strIn +
                  ": it is larger than the 2147483647 bytes a compressed file holds");
    }
    if (!strPlace.empty() && !MakeTempBeside(strPlace, strTemp, strError)) return Fail(strError);
    const std::string& strTarget = strTemp.empty() ? strOut : strTemp;
    if (!target.Open(strTarget, CFile::modeCreate | CFile::modeWrite, &error)) {
      if (!strTemp.empty()) RemoveFile(strTemp);
      error.m_strFileName = strOut;
      return Fail(error.GetErrorMessage());
    }
    try {
      const std::unique_ptr<BYTE[]> pBuffer(new BYTE[kChunk]);
      Pump(source, target, pBuffer.get());
      target.Close();
    } catch (...) {
      target.Abort();
      throw;
    }
    if (!strTemp.empty()) {
      // An OUT that is replaced keeps its permissions, as one written in place would.
      namespace fs = std::filesystem;
      const fs::file_status status = fs::status(PathFromUtf8(strPlace), ec);
      if (!ec && fs::is_regular_file(status)) {
        fs::permissions(PathFromUtf8(strTemp), status.permissions() & fs::perms::all, ec);
      }
    }
    if (!strTemp.empty() && !PutInPlace(strTemp, strPlace, strError)) {
      RemoveFile(strTemp);
      return Fail(strError);
    }
    return 0;
  } catch (const CException& e) {
    if (!strTemp.empty()) RemoveFile(strTemp);
    std::string strMessage = e.GetErrorMessage();
    // Errors from the temporary file name OUT, which is what the user knows.
    if (!strTemp.empty()) {
      for (auto at = strMessage.find(strTemp); at != std::string::npos; at = strMessage.find(strTemp)) {
        strMessage.replace(at, strTemp.size(), strOut);
      }
    }
    return Fail(strMessage.empty() ? "Internal application error." : strMessage);
  } catch (const std::bad_alloc&) {
    if (!strTemp.empty()) RemoveFile(strTemp);
    return Fail("out of memory");
  } catch (const CStopped&) {
    if (!strTemp.empty()) RemoveFile(strTemp);
    Fail("stopped; " + strOut + (strTemp.empty() ? " holds what was written so far" : " was not written"));
    return kStoppedStatus;
  }
}

}  // namespace

int CmdCompress(const Args& args) {
  return Convert<CFile, COXCompressedFile>(args, "compress", true);
}

int CmdExpand(const Args& args) {
  return Convert<COXCompressedFile, CFile>(args, "expand", false);
}
