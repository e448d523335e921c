// The byte helpers of KsText that the receive path runs on every message.
#include <gtest/gtest.h>

#include <string>

#include "support/KsText.hpp"

namespace ks {
namespace {

// CopyBytes moves short texts in overlapping words: every length must come
// out exact, from any alignment, with no byte before or after the copy
// touched.
TEST(Text, CopyBytesCopiesEveryLengthExactlyAndNothingMore) {
  std::string source(100, '\0');
  for (std::size_t i = 0; i < source.size(); ++i) source[i] = static_cast<char>('A' + i % 50);
  for (std::size_t offset = 0; offset < 3; ++offset) {
    for (std::size_t n = 0; n <= 70; ++n) {
      std::string target(n + 16, '#');
      CopyBytes(target.data() + 8, source.data() + offset, n);
      EXPECT_EQ(target.substr(0, 8), std::string(8, '#')) << n;
      EXPECT_EQ(target.substr(8, n), source.substr(offset, n)) << n;
      EXPECT_EQ(target.substr(8 + n), std::string(8, '#')) << n;
    }
  }
}

}  // namespace
}  // namespace ks
