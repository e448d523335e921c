// The byte helpers of KsText that the receive path runs on every message.
#include <gtest/gtest.h>

#include <memory>
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

// The finder steps sixteen bytes at a time up to a bound worked out once
// per text: from every start in texts of every length it must find the
// first wanted byte, or answer the end, and read nothing past the end (the
// texts sit in buffers of their exact size, for the address sanitizer).
TEST(Text, ByteFinderFindsTheFirstWantedByteFromEveryStartAndReadsNoFurther) {
  for (std::size_t n = 0; n <= 50; ++n) {
    for (std::size_t wanted = 0; wanted <= n; ++wanted) {  // wanted == n: none
      std::unique_ptr<char[]> text(new char[n == 0 ? 1 : n]);
      for (std::size_t i = 0; i < n; ++i) text[i] = i == wanted ? ':' : (i > wanted ? '\n' : 'a');
      const char* const end = text.get() + n;
      const TKsByteFinder find(text.get(), end);
      for (std::size_t from = 0; from <= n; ++from) {
        const char* const expected = from <= wanted ? text.get() + wanted : text.get() + from;
        EXPECT_EQ(find.Either(text.get() + from, ':', '\n'), from < n ? expected : end) << n << " " << from;
        EXPECT_EQ(find.Byte(text.get() + from, ':'), from <= wanted ? text.get() + wanted : end) << n << " " << from;
      }
    }
  }
}

}  // namespace
}  // namespace ks
