#pragma once
// A dotted version number ("1.0.0.2") as a list of 16-bit parts, and the
// comparison that decides whether an update is due.
#include <cstddef>
#include <string>
#include <vector>

#include "platform/types.h"

class CVersionArray {
 public:
  CVersionArray() = default;

  // Appends the parts of a dotted version string: a string with k dots gives
  // k + 1 parts. Each part is read as atoi reads a number (leading white space,
  // an optional sign, then digits up to the first non-digit; no digits is 0)
  // and stored modulo 65536, so "-1" is 65535. Never fails.
  void FromString(const std::string& str);

  // > 0 when this version is newer than `other`, 0 when equal, < 0 when older.
  // The first differing part decides (A[i] - B[i], in -65535..65535); when one
  // is a proper prefix of the other the longer one is newer (result +1 or -1).
  int Compare(const CVersionArray& other) const;

  std::size_t GetSize() const { return m_arrParts.size(); }
  WORD GetAt(std::size_t i) const { return m_arrParts.at(i); }
  const std::vector<WORD>& GetParts() const { return m_arrParts; }

  // The parts joined with dots, for messages and tests ("1.0.0.2").
  std::string ToString() const;

 private:
  std::vector<WORD> m_arrParts;
};
