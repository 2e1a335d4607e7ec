#pragma once
// The updater's own version block. The values are macros so that the resource
// compiler reads them from this same file for res/qvnupdate.rc.
#define QVN_VERSION_FIXED 1, 1, 0, 0  // file and product version
#define QVN_VERSION_FILE_DESCRIPTION "Remote Update Utility Program"
#define QVN_VERSION_FILE_VERSION "1.1.0.0"
#define QVN_VERSION_PRODUCT_VERSION "1,1,0,0"
#define QVN_VERSION_INTERNAL_NAME "QVNUpdate.exe"
#define QVN_VERSION_PRODUCT_NAME "QVNUpdate"
#define QVN_VERSION_ORIGINAL_FILENAME "Updater.exe"
#define QVN_VERSION_COMPANY_NAME "Quorvane"
#define QVN_VERSION_LEGAL_COPYRIGHT "Copyright (C) Quorvane"

#ifndef RC_INVOKED
inline constexpr int kVersionFixed[4] = {QVN_VERSION_FIXED};
inline constexpr const char* kVersionFileDescription = QVN_VERSION_FILE_DESCRIPTION;
inline constexpr const char* kVersionFileVersion = QVN_VERSION_FILE_VERSION;
inline constexpr const char* kVersionProductVersion = QVN_VERSION_PRODUCT_VERSION;
inline constexpr const char* kVersionInternalName = QVN_VERSION_INTERNAL_NAME;
inline constexpr const char* kVersionProductName = QVN_VERSION_PRODUCT_NAME;
inline constexpr const char* kVersionOriginalFilename = QVN_VERSION_ORIGINAL_FILENAME;
inline constexpr const char* kVersionCompanyName = QVN_VERSION_COMPANY_NAME;
inline constexpr const char* kVersionLegalCopyright = QVN_VERSION_LEGAL_COPYRIGHT;
#endif
