// The byte helpers and the digit runs of KsText that the receive path runs
// on every message.
#include <gtest/gtest.h>

#include <cstdint>
#include <memory>
#include <string>

#include "support/KsText.hpp"

namespace ks {
namespace {

// CopyBytes moves short texts in overlapping words: every length must come
// out exact, from any alignment, with no byte before or after the copy
// touched.
TEST(Text, CopyBytesCopiesEveryLengthExactlyAndNothingMore) {
  std::string source(110, '\0');
  for (std::size_t i = 0; i < source.size(); ++i) source[i] = static_cast<char>(40 + i);  // all distinct
  for (std::size_t offset = 0; offset < 3; ++offset) {
    for (std::size_t n = 0; n <= 100; ++n) {
      std::string target(n + 16, '#');
      CopyBytes(target.data() + 8, source.data() + offset, n);
      EXPECT_EQ(target.substr(0, 8), std::string(8, '#')) << n;
      EXPECT_EQ(target.substr(8, n), source.substr(offset, n)) << n;
      EXPECT_EQ(target.substr(8 + n), std::string(8, '#')) << n;
    }
  }
}

// Runs of digits are read eight at a time, from overlapping words: every
// length must give the value, a byte next to the digits ('/', ':') or a
// high byte at any place must refuse the text, and the range must hold.
TEST(Text, IntegerRuleReadsDigitRunsOfEveryLengthAndRefusesAnyOtherByte) {
  const std::string digits = "9876543210123456789";
  for (std::size_t n = 1; n <= digits.size(); ++n) {
    const std::string text = digits.substr(digits.size() - n);
    std::int64_t value = -1;
    std::int64_t inPlace = -1;
    EXPECT_EQ(TryStrToInt64(text, value), n <= 18) << text;
    EXPECT_EQ(TryNineToSixteenDigits(text, inPlace), n >= 9 && n <= 16) << text;
    if (n <= 18) {
      EXPECT_EQ(value, std::stoll(text)) << text;
    }
    if (n >= 9 && n <= 16) {
      EXPECT_EQ(inPlace, std::stoll(text)) << text;
    }
    for (std::size_t at = 0; at < n; ++at) {
      for (const char bad : {'/', ':', '\xB5', '\0'}) {
        std::string spoilt = text;
        spoilt[at] = bad;
        EXPECT_FALSE(TryStrToInt64(spoilt, value)) << n << " " << at << " " << static_cast<int>(bad);
        EXPECT_FALSE(TryNineToSixteenDigits(spoilt, inPlace)) << n << " " << at;
      }
    }
  }
  std::int64_t value = 0;
  EXPECT_TRUE(TryStrToInt64("9223372036854775807", value));
  EXPECT_EQ(value, INT64_MAX);
  EXPECT_FALSE(TryStrToInt64("9223372036854775808", value));
  EXPECT_TRUE(TryStrToInt64(" +1765100000000", value));
  EXPECT_EQ(value, 1765100000000);
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

// The marks come in windows of 64 bytes that must leave 16 readable bytes
// behind them: in texts of every length around those steps they must give
// every wanted byte in order up to where they stop, stop where no further
// window fits (the caller searches on from there), and read nothing past
// the end (exact-size buffers, for the address sanitizer).
TEST(Text, ByteMarksGiveEveryMarkInOrderAndStopWhereNoWindowFits) {
  for (std::size_t n = 0; n <= 300; ++n) {
    std::unique_ptr<char[]> text(new char[n == 0 ? 1 : n]);
    for (std::size_t i = 0; i < n; ++i) text[i] = (i * 7 + n) % 5 == 0 ? '\n' : 'a';
    const char* const begin = text.get();
    TKsByteMarks<'\n'> marks(begin, begin + n);
    // The windows that fit: each starts 64 bytes after the one before and
    // ends at least 16 bytes before the end.
    const std::size_t reach = n >= 80 ? ((n - 80) / 64 + 1) * 64 : 0;
    std::size_t from = 0;
    while (marks.More()) {
      const char* const mark = marks.Next();
      std::size_t expected = from;
      while (expected < n && text[expected] != '\n') ++expected;
      ASSERT_EQ(mark, begin + expected) << n;
      ASSERT_LT(expected + 16, n) << n;
      marks.Pop();
      from = expected + 1;
    }
    for (std::size_t i = from; i < reach; ++i) EXPECT_NE(text[i], '\n') << n << " " << i;
    EXPECT_FALSE(marks.More()) << n;
  }
}

// FindByteInLong steps through long texts in blocks of 128 and 32 bytes and
// ends with an overlapping look: at every length around those steps it must
// find the first byte wanted (not a later one) and read nothing past the end.
TEST(Text, LongFinderFindsTheFirstByteAtEveryLengthAndReadsNoFurther) {
  for (std::size_t n = 0; n <= 300; ++n) {
    for (std::size_t wanted = 0; wanted <= n; ++wanted) {  // wanted == n: none
      std::unique_ptr<char[]> text(new char[n == 0 ? 1 : n]);
      for (std::size_t i = 0; i < n; ++i) text[i] = (i == wanted || (i > wanted && i % 7 == 0)) ? '\0' : 'a';
      EXPECT_EQ(FindByteInLong(text.get(), text.get() + n, '\0'), text.get() + wanted) << n << " " << wanted;
    }
  }
}

}  // namespace
}  // namespace ks
