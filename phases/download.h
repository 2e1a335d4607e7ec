#pragma once
// The first phase: every item of the manifest is fetched from the server's
// "/Updates/" folder into its temporary file (see temp_file_name.h).
#include <string>
#include <vector>

#include "manifest/update_info.h"
#include "phases/reporter.h"
#include "platform/http_client.h"
#include "trust/signed_update.h"

// Checks every item's name, and the installed name it leads to, before
// anything is fetched: a name that could reach outside the current directory
// (or the server's update folder), or that would land on one of the
// updater's own files, stops the update with one status line that names the
// item and ends in "- ABORTING". So does an installed name that the update
// would reach through a symbolic link (a folder on its way is one), or that is
// a FIFO, socket or device. Returns FALSE then.
BOOL CheckItemNames(CUpdateReporter& view, const CUpdateInfo& info);

// The URL of an item's payload on the server: serverUrl + "/Updates/" +
// the name, with the bytes that cannot stand in a URL path percent-encoded.
CHttpUrl PayloadUrl(const CHttpUrl& serverUrl, const std::string& strName);

// Downloads every item in list order, showing progress in the captions and
// bars and adding "Downloaded File %s - %d second(s)" for each. Returns 1 when
// every item was stored whole; 0, after a status line saying why, when a name
// is unsafe, a temporary file cannot be created, the server does not answer
// an item with 200 (a 206 holds only a part), or (for an item whose size is
// above 0) the body is longer or shorter than that size: "Unable to open
// remote file %s - ABORTING". A longer body is cut off at the size, before it reaches the
// disk. A body that breaks off or a server that stalls throws
// CInternetException; a failed write (a full disk) throws CFileException.
// The cause of a failure goes to view.AddDetail, and the byte counts to
// view.m_bytes. A stop (view.IsCancelled) throws CCancelledException.
// Each temporary file is made afresh (see CTempFile); one whose download
// fails, however it fails (a stop included), is removed.
//
// With a checked signed list (pSigned), every size is exact, 0 included, and
// every body must have the SHA-256 the list gives its name, or the download
// stops with a line that starts with "Signature check failed". An item
// marked in pUnchanged is not fetched: "Unchanged File <installed name>"
// stands in its place, and the temporary files are numbered over the items
// fetched only (see DownloadChangedFiles).
// Each listed item is written through its partial file (see resume.h): a
// body that breaks off, or an answer that is not the file, keeps it for the
// next run, which continues it with a range request; a continued file that
// fails its hash is fetched once more from zero. Partials kept for anything
// else are removed first, with or without a key.
int DownloadFiles(CUpdateReporter& view, CInternetSession& session, const CUpdateInfo& info,
                  const CHttpUrl& serverUrl, const CSignedUpdate* pSigned = nullptr,
                  const std::vector<bool>* pUnchanged = nullptr);
