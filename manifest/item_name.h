#pragma once
// Checks on the item names that a manifest gives. The name is used twice:
// as a path below the server's update directory, and as the name of the file
// that gets replaced below the current directory. A name must therefore not
// be able to reach outside either.
//
// Beyond what reaches outside (absolute paths, drive letters, ".."), empty
// components ("a//b", a trailing "/") and "." components are refused too: a
// trailing "/" names a folder, not a file, and "a//b" or "a/./b" would be a
// second spelling of "a/b", so two items could overwrite one file while
// looking different. No publisher needs them, and refusing costs nothing.
#include <string>
#include <string_view>
#include <vector>

// True when name is a relative path that stays below the directory it is
// resolved in; subfolders ("bin/a.dll") are allowed. On false, *pReason (when
// pReason is not null) gets a short explanation for users, such as
// "the name is an absolute path".
bool IsSafeItemName(const std::string& name, std::string* pReason);

// name with A to Z in lower case: names as Windows compares them, near enough.
std::string FoldAsciiCase(std::string name);

// The "/"-separated parts of name, in order, empty ones included: "a//b" has
// three parts, "a/" two, "" one.
std::vector<std::string_view> PathParts(std::string_view name);

// str with every byte for which pfnEscape returns true written as %XX
// (upper-case hex); every other byte as it is.
std::string PercentEncode(std::string_view str, bool (*pfnEscape)(unsigned char b));

// The name as it can stand in a URL path: space, control bytes, bytes from
// 0x80 up, "#" and "?" become %XX (upper-case hex); every other byte, "/" and
// "%" included, is kept as it is.
std::string EncodeUrlPath(const std::string& name);
