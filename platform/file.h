#pragma once
// A binary file over a POSIX descriptor, with the open modes and the error
// causes the updater's file handling is written against. Every failure throws
// CFileException, except Open (which reports through its result) and the
// destructor and Abort (which never throw).
//
// Small writes are gathered in memory and handed to the system in large
// pieces (a block-by-block writer would otherwise pay one system call per
// block). Every other operation sees them as written, and Close, Flush, Seek,
// reads and length changes hand them over first. A write failure therefore
// shows at the next of these at the latest: a writer calls Close (or Flush)
// to learn that its data reached the file. The destructor and Abort still
// write what is gathered, but cannot report a failure.
#include <memory>
#include <string>

#include "platform/exception.h"
#include "platform/types.h"

using LONGLONG = std::int64_t;

class CFileException : public CException {
 public:
  enum {
    none,
    genericException,
    fileNotFound,
    badPath,
    tooManyOpenFiles,
    accessDenied,
    invalidFile,
    removeCurrentDir,
    directoryFull,
    badSeek,
    hardIO,
    sharingViolation,
    lockViolation,
    diskFull,
    endOfFile,
  };

  // lOsError is an errno value, or -1 when the failure has no system error.
  // strDetail, when given, replaces the cause's generic wording in the message.
  explicit CFileException(int cause = none, LONG lOsError = -1, std::string strFileName = {},
                          std::string strDetail = {});

  // "Cannot write to QVNUPD1.TMP: No space left on device", or the cause's own
  // wording when there is no system error.
  std::string GetErrorMessage() const override;
  // The same text as GetErrorMessage, kept in step with the fields.
  const char* what() const noexcept override;

  // The cause that best describes an errno value.
  static int OsErrorToException(int nOsError);
  // Throws the exception that describes errno value nOsError for the file;
  // strAction says what was being done ("read", "write to", ...).
  [[noreturn]] static void ThrowOsError(int nOsError, const std::string& strFileName,
                                        const std::string& strAction);

  int m_cause;
  LONG m_lOsError;
  std::string m_strFileName;
  // What was being done when the failure came ("open", "read", "write to", ...);
  // empty when unknown.
  std::string m_strAction;
  // Replaces the cause's generic wording; empty for the generic wording.
  std::string m_strDetail;

 private:
  mutable std::string m_strWhat;
};

class CFile {
 public:
  enum OpenFlags : UINT {
    modeRead = 0x0000,
    modeWrite = 0x0001,
    modeReadWrite = 0x0002,
    shareCompat = 0x0000,
    shareExclusive = 0x0010,
    shareDenyWrite = 0x0020,
    shareDenyRead = 0x0030,
    shareDenyNone = 0x0040,
    modeNoInherit = 0x0080,
    // Only a regular file opens: a link or FIFO is refused, never followed or waited on.
    modeNoFollow = 0x0100,
    modeCreate = 0x1000,      // create, or truncate an existing file
    modeNoTruncate = 0x2000,  // with modeCreate: keep an existing file's contents
    typeText = 0x4000,
    typeBinary = 0x8000,
  };
  enum SeekPosition : UINT { begin = 0x0, current = 0x1, end = 0x2 };
  static constexpr int hFileNull = -1;

  CFile() = default;
  // Opens the file or throws the CFileException that Open would report.
  CFile(const std::string& strFileName, UINT nOpenFlags);
  // Closes the file if it is still open, dropping any error.
  virtual ~CFile();

  CFile(CFile&& other) noexcept;
  CFile& operator=(CFile&& other) noexcept;
  CFile(const CFile&) = delete;
  CFile& operator=(const CFile&) = delete;

  // Position in the file, in bytes from the start.
  virtual ULONGLONG GetPosition() const;
  // The name as given to Open, and its last component.
  virtual std::string GetFilePath() const { return m_strFileName; }
  virtual std::string GetFileName() const;
  virtual std::string GetFileTitle() const { return GetFileName(); }
  virtual void SetFilePath(const std::string& strNewName) { m_strFileName = strNewName; }

  // Opens the file. On failure returns FALSE and, when pError is given, fills it
  // with the cause, the system error and the file name; never throws.
  // modeCreate|modeWrite creates the file or truncates an existing one.
  virtual BOOL Open(const std::string& strFileName, UINT nOpenFlags, CFileException* pError = nullptr);
  // A second object on the same open file, with its own descriptor.
  virtual CFile* Duplicate() const;
  // Moves to lOff from nFrom (begin, current or end); returns the new position.
  // A negative target throws badSeek.
  virtual ULONGLONG Seek(LONGLONG lOff, UINT nFrom);
  virtual void SetLength(ULONGLONG dwNewLen);
  virtual ULONGLONG GetLength() const;
  // Reads up to nCount bytes; fewer only at the end of the file, 0 there.
  virtual UINT Read(void* lpBuf, UINT nCount);
  // Takes all nCount bytes or throws (a short write is diskFull or hardIO).
  // Below kDirectWriteSize they may wait in memory; see above.
  virtual void Write(const void* lpBuf, UINT nCount);
  virtual void LockRange(ULONGLONG dwPos, ULONGLONG dwCount);
  virtual void UnlockRange(ULONGLONG dwPos, ULONGLONG dwCount);
  // Closes without reporting anything; the object is then closed.
  virtual void Abort();
  // Pushes written data to the disk.
  virtual void Flush();
  // Hands over what is gathered and closes the file, throwing what the
  // system reports; the file is closed even then.
  virtual void Close();

  // Reads up to nCount bytes at dwPos without moving the file position; fewer
  // only at the end of the file.
  UINT ReadAt(ULONGLONG dwPos, void* lpBuf, UINT nCount) const;
  bool IsOpen() const { return m_hFile != hFileNull; }

  int m_hFile = hFileNull;

  // Gathered writes go to the system in pieces of this size; a write of at
  // least kDirectWriteSize goes at once.
  static constexpr UINT kWriteBehindSize = 1 << 20;
  static constexpr UINT kDirectWriteSize = 64 << 10;

 protected:
  // Throws invalidFile when no file is open.
  void CheckOpen(const char* pszAction) const;
  [[noreturn]] void ThrowErrno(int nOsError, const char* pszAction) const;

  std::string m_strFileName;

 private:
  // Writes all of p[0..nCount) at the file position; returns 0 or the errno.
  int WriteAll(const char* p, size_t nCount) const noexcept;
  // Hands the gathered bytes to the system; throws what that reports. The
  // bytes are gone either way, so that a failure is reported once.
  void WritePending() const;
  // The same, for the ways out that cannot throw; returns 0 or the errno.
  int WritePendingQuietly() const noexcept;

  // Writes not yet handed to the system: kWriteBehindSize bytes, made on the
  // first small write. Reading sides (GetLength, ReadAt, ...) are const but
  // must see them written, so they are mutable.
  mutable std::unique_ptr<char[]> m_pPending;
  mutable UINT m_nPending = 0;
};
