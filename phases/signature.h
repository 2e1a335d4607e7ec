#pragma once
// The check of a signed update, between reading the manifest and acting on
// it: SHA256SUMS.minisig and SHA256SUMS are fetched from the server's
// "/Updates/" folder and checked against the updater's public key.
#include <string>

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
BOOL CheckUpdateSignature(CUpdateReporter& view, CInternetSession& session, const std::string& strServerUrl,
                          const std::string& strPublicKey, const std::string& strManifest,
                          const CUpdateInfo& info, CSignedUpdate& signedUpdate);

// The status line of a failed check.
std::string SignatureFailure(const std::string& strWhat);
