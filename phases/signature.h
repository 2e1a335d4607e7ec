#pragma once
// The check of a signed update, between reading the manifest and acting on
// it: SHA256SUMS.minisig and SHA256SUMS are fetched from the server's
// "/Updates/" folder and checked against the updater's public key.
#include <string>
#include <vector>

#include "manifest/update_info.h"
#include "phases/reporter.h"
#include "platform/http_client.h"
#include "trust/signed_update.h"

// With a key (the text of a .pub file or its base64 line), fetches and checks
// the signed list, and that strManifest (the manifest body as received) and
// every item of info are listed: adds "Signature verified (key ID ...)" and
// fills signedUpdate, or adds a line that starts with "Signature check
// failed" and returns FALSE. Without a key (empty), warns once through
// AddDetail that the update is not verified and returns TRUE, leaving
// signedUpdate unloaded.
BOOL CheckUpdateSignature(CUpdateReporter& view, CInternetSession& session, const CHttpUrl& serverUrl,
                          const std::string& strPublicKey, const std::string& strManifest,
                          const CUpdateInfo& info, CSignedUpdate& signedUpdate);

// Downloads the items of info (see DownloadFiles). With a signed update
// that lists INSTALLED.SHA256SUMS, an item whose installed file already has
// the SHA-256 listed there is not fetched ("Unchanged File <installed name>"
// stands in its place) and is taken out of info, so that the later phases
// neither expand nor replace it. A listed INSTALLED.SHA256SUMS that does not
// match fails the signature check.
BOOL DownloadChangedFiles(CUpdateReporter& view, CInternetSession& session, CUpdateInfo& info,
                          const CHttpUrl& serverUrl, const CSignedUpdate* pSigned);

// The status line of a failed check.
std::string SignatureFailure(const std::string& strWhat);
