#pragma once
// Helpers shared by the compression tests.
#include <cstdint>
#include <string>
#include <vector>

#include "platform/types.h"

using Bytes = std::vector<BYTE>;

inline Bytes BytesOf(const std::string& s) {
  return Bytes(s.begin(), s.end());
}

inline Bytes Hex(const std::string& text) {
  Bytes out;
  int nibbles = 0;
  int value = 0;
  for (char ch : text) {
    int v;
    if (ch >= '0' && ch <= '9') {
      v = ch - '0';
    } else if (ch >= 'A' && ch <= 'F') {
      v = ch - 'A' + 10;
    } else if (ch >= 'a' && ch <= 'f') {
      v = ch - 'a' + 10;
    } else {
      continue;
    }
    value = value * 16 + v;
    if (++nibbles == 2) {
      out.push_back(static_cast<BYTE>(value));
      nibbles = 0;
      value = 0;
    }
  }
  return out;
}

// A fixed pseudo-random generator, so that data made from it never changes.
class TestRandom {
 public:
  explicit TestRandom(std::uint64_t seed) : m_state(seed * 2862933555777941757ULL + 3037000493ULL) {}
  std::uint32_t Next() {
    m_state = m_state * 6364136223846793005ULL + 1442695040888963407ULL;
    return static_cast<std::uint32_t>(m_state >> 33);
  }

 private:
  std::uint64_t m_state;
};

// Text-like data: words of a small vocabulary, spaces and line breaks.
inline Bytes MakeText(size_t size, std::uint64_t seed) {
  static const char* const kWords[] = {"the",    "update", "file",  "version",  "server", "block", "of",
                                       "window", "and",    "data",  "Quorvane", "is",     "a",     "to",
                                       "copy",   "length", "bytes", "new",      "status", "item"};
  TestRandom rnd(seed);
  Bytes out;
  while (out.size() < size) {
    const char* w = kWords[rnd.Next() % 20];
    while (*w && out.size() < size) out.push_back(static_cast<BYTE>(*w++));
    if (out.size() < size) out.push_back(rnd.Next() % 9 == 0 ? '\n' : ' ');
  }
  return out;
}

inline Bytes MakeRandom(size_t size, std::uint64_t seed) {
  TestRandom rnd(seed);
  Bytes out(size);
  for (auto& b : out) b = static_cast<BYTE>(rnd.Next());
  return out;
}

// Binary-like data: little-endian records with small numbers, zeros and runs.
inline Bytes MakeBinary(size_t size, std::uint64_t seed) {
  TestRandom rnd(seed);
  Bytes out;
  std::uint32_t counter = 0x401000;
  while (out.size() < size) {
    switch (rnd.Next() % 4) {
      case 0:
        counter += rnd.Next() % 64;
        for (int i = 0; i < 4; ++i) out.push_back(static_cast<BYTE>(counter >> (8 * i)));
        break;
      case 1:
        out.insert(out.end(), rnd.Next() % 12, 0);
        break;
      case 2:
        out.push_back(static_cast<BYTE>(0x48 + rnd.Next() % 8));
        out.push_back(0x8B);
        out.push_back(static_cast<BYTE>(rnd.Next() % 256));
        break;
      default:
        out.push_back(static_cast<BYTE>(rnd.Next()));
        break;
    }
  }
  out.resize(size);
  return out;
}
