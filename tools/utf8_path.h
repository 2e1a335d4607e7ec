#pragma once
// Names are UTF-8 throughout; a path's plain string() is in the ANSI code page
// on Windows, so paths cross to and from strings only through these.
#include <filesystem>
#include <string>

inline std::string Utf8(const std::u8string& str) {
  return std::string(str.begin(), str.end());
}

inline std::string Utf8(const std::filesystem::path& path) {
  return Utf8(path.u8string());
}

inline std::filesystem::path PathFromUtf8(const std::string& str) {
  return std::filesystem::path(std::u8string(str.begin(), str.end()));
}
