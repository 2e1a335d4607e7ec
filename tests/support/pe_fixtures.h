#pragma once
// The product images of tests/data/pe (made by windres and ld; rebuilt by
// make-fixtures.sh there), each built as 32-bit and as 64-bit, read and
// written whole so that a test can damage a copy.
#include <gtest/gtest.h>

#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "platform/types.h"

namespace qvntest {

inline const std::string kPeDir = QVN_TEST_DATA_DIR "/pe/";
inline const char* const kPeBits[] = {"32", "64"};

inline std::vector<BYTE> ReadImage(const std::string& strPath) {
  std::ifstream in(strPath, std::ios::binary);
  EXPECT_TRUE(in.good()) << "cannot read " << strPath;
  return std::vector<BYTE>(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

inline void WriteImage(const std::string& strPath, const std::vector<BYTE>& bytes) {
  std::ofstream out(strPath, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
  ASSERT_TRUE(out.good()) << "cannot write " << strPath;
}

}  // namespace qvntest
