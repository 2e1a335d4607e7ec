#pragma once
// The installation folder, reached only beneath a handle on it: every name is
// relative to the folder, "/"-separated, and every folder on the way must be a
// real folder. A symbolic link anywhere on the way is refused, never followed
// (kLinkOnTheWay), so that nothing the folder holds can steer a write, rename
// or removal outside it. The last component is not followed either: a link
// there is renamed, linked or removed as the link itself.
//
// Every step returns 0 or an error number (the system's: errno on POSIX, a
// Win32 code on Windows; or one of the k... values below); ErrorText puts it
// in words. One implementation per system (install_folder_posix.cpp,
// install_folder_win32.cpp); the phases use nothing else to change files.
#include <functional>
#include <string>
#include <vector>

#include "platform/types.h"

class CFile;

class CInstallFolder {
 public:
  // Errors of this interface, beside the system's.
  static constexpr int kLinkOnTheWay = -1;  // a folder on the way is a symbolic link
  static constexpr int kNotAFile = -2;      // a FIFO, socket, device or folder where a file was wanted
  static constexpr int kNotAFolder = -3;    // a file where a folder was wanted
  static constexpr int kIsAFolder = -4;     // a folder where a file was wanted
  static constexpr int kReadOnly = -5;      // a file marked as not to be changed
  static constexpr int kShortName = -6;     // (Windows) the short name of a file with another name
  static constexpr int kReplaced = -7;      // not the file expected at the name (see OpenForReading)

  // Whether SyncFileSystems can make many files durable at once. Windows
  // flushes a whole volume only for an administrator: there every file is
  // flushed as it is written instead, and SyncFileSystems has nothing to do.
#ifdef _WIN32
  static constexpr bool kSyncsFileSystems = false;
#else
  static constexpr bool kSyncsFileSystems = true;
#endif

  enum class Kind { kMissing, kFile, kFolder, kLink, kSpecial };

  // What stands at a name, not followed.
  struct Entry {
    Kind kind = Kind::kMissing;
    UINT nMode = 0;  // permission bits, set-user-ID and the like included
    UINT nOwner = 0;
    UINT nGroup = 0;
    ULONGLONG nDevice = 0;  // with nInode: two names of one file are equal
    ULONGLONG nInode = 0;
    BOOL bWritable = FALSE;  // a file this process may write to
  };

  CInstallFolder() = default;
  ~CInstallFolder();
  CInstallFolder(const CInstallFolder&) = delete;
  CInstallFolder& operator=(const CInstallFolder&) = delete;

  // Takes hold of the current directory; every later step is beneath it,
  // wherever the process goes.
  int Open();

  // What stands at strName. A name whose folders are missing, or are files,
  // is kMissing; a folder on the way that is a link is an error.
  int Stat(const std::string& strName, Entry& entry) const;

  // Creates strName, which must not exist, for writing: mode nMode exactly,
  // whatever the umask. With pOwner, run by the administrator, the file gets
  // pOwner's owner and group. The file is open in file on success. bHidden
  // marks one of the updater's own files: on Windows, where a leading dot
  // hides nothing, it gets the hidden attribute.
  int Create(const std::string& strName, UINT nMode, CFile& file, const Entry* pOwner = nullptr,
             bool bHidden = false) const;
  // Which file an open file is, whatever names it has: device and file
  // number (on Windows the volume and file index).
  struct FileId {
    ULONGLONG nDevice = 0;
    ULONGLONG nInode = 0;
    bool operator==(const FileId&) const = default;
  };
  static int IdentityOf(const CFile& file, FileId& id);
  // Opens a regular file for reading; anything else (a link, a FIFO) is
  // refused without being opened for real. With pExpected, any other file
  // than that one is refused too (kReplaced).
  int OpenForReading(const std::string& strName, CFile& file, const FileId* pExpected = nullptr) const;
  // Creates a folder with mode 0755, whatever the umask.
  int MakeFolder(const std::string& strName) const;

  // Renames over whatever stands at strTo (a folder excepted).
  int Rename(const std::string& strFrom, const std::string& strTo) const;
  // Gives strFrom the second name strTo, which must not exist.
  int Link(const std::string& strFrom, const std::string& strTo) const;
  // 0 when nothing keeps strName from being replaced; on Windows the sharing
  // violation of a program that holds the file open without letting it go.
  int CheckNotHeld(const std::string& strName) const;
  // Removes the name of anything but a folder.
  int Remove(const std::string& strName) const;
  // Removes an empty folder.
  int RemoveFolder(const std::string& strName) const;
  // Makes the entries of a folder ("" for the installation folder itself)
  // durable. File systems that cannot do this are not an error.
  int SyncFolder(const std::string& strName) const;
  // Makes everything written on the file systems that hold the folders
  // arrFolders ("" for the installation folder) durable: many new files at
  // once, one sync per file system instead of one per file.
  int SyncFileSystems(const std::vector<std::string>& arrFolders) const;

  // True when nError says that the name (or a folder on its way) does not exist.
  static bool IsMissing(int nError);
  // True when nError says that this user may not do that there.
  static bool IsAccessDenied(int nError);
  // True when a second name cannot be made on this file system, so a copy must do.
  static bool IsLinkUnsupported(int nError);
  // True when entry is a file this process's user made and no one else may
  // change (on Windows, where the folder's permissions decide, always).
  static bool IsOwnFile(const Entry& entry);
  // True when entry belongs to this process's user or to other's owner (when
  // other exists); on Windows, where the folder's permissions decide, always.
  static bool IsOwnedByThisUserOr(const Entry& entry, const Entry& other);
  // True when entry, found at strName, may hand its owner and mode on to
  // what replaces it: it is this user's, or no one but its owner could have
  // put it (or a folder on its way) there. Otherwise another user may have
  // planted it at a name the update installs, to own the installed file.
  bool MayHandOnOwner(const std::string& strName, const Entry& entry) const;
  static std::string ErrorText(int nError);

 private:
  // Opens the folder that holds strName and gives its last component; fd is
  // the folder's descriptor (to close) or m_fd itself.
  int OpenParent(const std::string& strName, int& fd, std::string& strLeaf) const;
  void CloseParent(int fd) const;
  // A step on two names (rename, link), each relative to its own folder.
  int OnTwoNames(const std::string& strFrom, const std::string& strTo,
                 const std::function<int(int, const char*, int, const char*)>& step) const;
  void ForgetFolders() const;

  // The folder's handle (on Windows the HANDLE, kept as CFile keeps one).
  int m_fd = -1;
  // Windows: the folder's full path ("\\?\C:\..."), which the wide calls take.
  std::wstring m_strRoot;
  // The two folders used last, so that a run of steps in one folder opens
  // it once. A folder once reached stays the one reached: replacing it with a
  // link afterwards does not lead the steps through the link.
  struct CacheSlot {
    std::string strFolder;
    int fd = -1;
    unsigned nLastUse = 0;
  };
  mutable CacheSlot m_cache[2];
  mutable unsigned m_nClock = 0;
};
