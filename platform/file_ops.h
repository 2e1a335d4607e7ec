#pragma once
// The whole-file steps the tools take on the file system. Each returns false
// with the system's reason in words when it fails.
#include <filesystem>
#include <string>
#include <system_error>

// Creates a new, empty file named strPrefix followed by a unique tail, with the
// permissions a new file gets; strName receives its name.
bool CreateUniqueFile(const std::string& strPrefix, std::string& strName, std::string& strReason);
// Renames strFrom to strTo, replacing a file strTo in one step.
bool RenameOver(const std::string& strFrom, const std::string& strTo, std::string& strReason);
// Whether the file can be read, or with bFolder, the folder listed and entered.
bool CanRead(const std::string& strPath, bool bFolder, std::string& strReason);
// Removes the file, quietly: for cleaning up after a failure.
void RemoveFile(const std::string& strPath);
// The descriptor of this process that strPath names (/dev/stdout, /dev/fd/N,
// /proc/self/fd/N, followed through links), or -1 for any other path. Written
// through the descriptor itself, output goes on where the process's own does,
// as the shell that set it up expects (">>", or several commands into one file).
int InheritedDescriptor(const std::string& strPath);

// What stands at path itself, a link not followed: std::filesystem's
// symlink_status, except that on Windows, where the library sees no links,
// every reparse point (a symbolic link, a junction) counts as a link.
std::filesystem::file_status LinkStatus(const std::filesystem::path& path, std::error_code& ec);
