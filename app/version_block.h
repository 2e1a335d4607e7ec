#pragma once
// Values of the updater's own version block.
inline constexpr const char* kVersionFileDescription = "Remote Update Utility Program";
inline constexpr const char* kVersionFileVersion = "1.1.0.0";
inline constexpr const char* kVersionProductVersion = "1,1,0,0";
inline constexpr const char* kVersionInternalName = "QVNUpdate.exe";
inline constexpr const char* kVersionProductName = "QVNUpdate";
inline constexpr const char* kVersionOriginalFilename = "Updater.exe";
