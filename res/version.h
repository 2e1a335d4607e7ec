#pragma once
// The updater's own version block.
inline constexpr int kVersionFixed[4] = {1, 1, 0, 0};  // file and product version
inline constexpr const char* kVersionFileDescription = "Remote Update Utility Program";
inline constexpr const char* kVersionFileVersion = "1.1.0.0";
inline constexpr const char* kVersionProductVersion = "1,1,0,0";
inline constexpr const char* kVersionInternalName = "QVNUpdate.exe";
inline constexpr const char* kVersionProductName = "QVNUpdate";
inline constexpr const char* kVersionOriginalFilename = "Updater.exe";
inline constexpr const char* kVersionCompanyName = "Quorvane";
inline constexpr const char* kVersionLegalCopyright = "Copyright (C) Quorvane";
