#pragma once
// Signing an update directory: what qvnpack build --sign adds to OUT.
#include <cstdint>
#include <filesystem>
#include <string>
#include <utility>
#include <vector>

#include "trust/minisign.h"

// Reads a secret key as "qvnpack keygen" or "minisign -G -W" writes it.
// False, with a message for the publisher.
bool LoadSigningKey(const std::string& strKeyFile, MinisignSecretKey& key, std::string& strError);

// True for the names that signing writes at the top of OUT.
bool IsSignatureFileName(const std::string& strName);

// Writes INSTALLED.SHA256SUMS (arrInstalled: installed name and the SHA-256 of
// the bytes sent for it), then SHA256SUMS (the manifest, every name of arrSent and
// INSTALLED.SHA256SUMS, all read back from out), then SHA256SUMS.minisig,
// each through a temporary file renamed into place. A signature that expires
// carries "expires:<unix seconds>" nExpiresDays from now (0: none). Throws
// std::runtime_error or CException on failure.
void WriteSignatureFiles(const std::filesystem::path& out,
                         const std::vector<std::pair<std::string, std::string>>& arrInstalled,
                         const std::vector<std::string>& arrSent, const MinisignSecretKey& key,
                         std::int64_t nExpiresDays);

// Removes the signature of an earlier signed build from out, so that an
// unsigned build does not keep a signature that no longer matches; names
// the new build sends (arrSent) are the release's own files and stay.
void RemoveStaleSignature(const std::filesystem::path& out, const std::vector<std::string>& arrSent);
