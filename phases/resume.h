#pragma once
// Downloads of a signed update that the network (or the server) broke off are
// kept, so that the next run continues them with a range request instead of
// fetching them again. Only a signed hash makes this safe: the joined file is
// checked against it, and is started over once from zero when it fails.
//
// The partial of the file whose SHA-256 is H is ".qvnupdate-part-H" in the
// current directory, mode 0600, never longer than the signed size. The record
// ".qvnupdate-parts" lists the hashes of the partials kept, one a line, so
// that a partial no later release wants is found and removed by its exact
// name, without looking at any other file. A full disk, a stop, a body that
// breaks the signed size or hash, and any other failure remove the partial.
#include <set>
#include <string>

#include "manifest/updater_names.h"
#include "phases/reporter.h"
#include "phases/request.h"
#include "platform/file.h"
#include "trust/sha256_sums.h"

// ".qvnupdate-part-" + the hash.
std::string PartialFileName(const std::string& strSha256);

// Removes every kept partial whose hash is not in setWanted, and the record
// when none is left. Errors are ignored: a partial that stays is checked
// again before any use.
void DiscardOtherPartials(const std::set<std::string>& setWanted);

// One signed item's download into its partial file.
class CResumableDownload {
 public:
  CResumableDownload(const CUpdateReporter& view, std::string strSha256, ULONGLONG nSize);
  // Removes the partial unless Keep saw a network failure or Finish moved it.
  ~CResumableDownload();
  CResumableDownload(const CResumableDownload&) = delete;
  CResumableDownload& operator=(const CResumableDownload&) = delete;

  const std::string& GetName() const { return m_strName; }
  // Opens the kept partial at its end, or creates a new one. FALSE, with the
  // cause in *pError, when the partial can be neither opened nor created.
  BOOL Open(CFile& file, CFileException* pError);
  // Bytes already held when the download was opened: where the request starts.
  ULONGLONG GetHeld() const { return m_nHeld; }
  // Feeds the bytes held to sha.
  void HashHeld(CFile& file, CSha256& sha);

  // Sends the request, from GetHeld() on. TRUE when the answer continues the
  // partial (206 with a Content-Range that starts at GetHeld()) or holds the
  // whole file (200: the partial is emptied and GetHeld() becomes 0). FALSE,
  // with the cause in strWhy, for any other answer; the partial is kept. A
  // network failure keeps the partial and throws.
  BOOL Send(CInternetSession& session, const CHttpUrl& url, CFile& file, CUpdateRequest& request,
            std::string& strWhy);
  // Reads the body; a network failure, or a body that ends short of the
  // signed size, writes what arrived before it to file, keeps the partial and
  // throws.
  UINT Read(CUpdateRequest& request, CFile& file, void* pBuffer, UINT nCount);

  // After the whole failed its hash, or Send failed on an answer that cannot
  // continue the partial (RangeRefused): TRUE, with the partial removed, when
  // it was continued from an earlier run, so that it is fetched once more
  // from zero.
  BOOL Restart();
  // Send failed because the server answered the range request with a 206
  // for other bytes or with 416: asking again the same way would only fail
  // again.
  bool RangeRefused() const { return m_bRangeRefused; }
  // The whole file has its hash: moves it to strTempName (replacing any file
  // of that name) and forgets it.
  void Finish(const std::string& strTempName);

 private:
  void Remove();

  const CUpdateReporter& m_view;
  std::string m_strSha256;
  std::string m_strName;
  ULONGLONG m_nSize;
  ULONGLONG m_nHeld = 0;
  ULONGLONG m_nReceived = 0;  // the partial's length with what Read has returned
  bool m_bKeep = false;
  bool m_bDone = false;
  bool m_bRangeRefused = false;
};
