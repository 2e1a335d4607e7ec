#pragma once
// Root of every error the updater raises. Nothing between the failing call and
// the front end catches these: the front end shows GetErrorMessage() and the
// session is over.
#include <stdexcept>
#include <string>

class CException : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;

  // The error's own text in words a user can act on; empty when it has none,
  // in which case the front end says "Internal application error.".
  virtual std::string GetErrorMessage() const { return what(); }
};

// An operation the object does not offer (for instance Flush on a compressed file).
class CNotSupportedException : public CException {
 public:
  CNotSupportedException() : CException("The requested operation is not supported.") {}
};

// The user asked the update to stop. Whatever was being done is abandoned at
// the next block; the front end reports the stop, not an error.
class CCancelledException : public CException {
 public:
  CCancelledException() : CException("Update cancelled") {}
};
