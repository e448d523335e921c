#include "support/KsText.hpp"

#include <bit>
#include <cstdint>
#include <cstring>
#include <limits>

#if defined(KS_TEXT_AVX2)
#include <immintrin.h>
#endif

namespace ks {

namespace {

char FoldAscii(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c + 32) : c; }

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// The common case of the integer rule: nothing but decimal digits, too few
// to leave the signed range. False (value untouched) for any other text.
template <typename Signed>
bool ParsePlainDigits(std::string_view text, Signed& value) {
  using Unsigned = std::make_unsigned_t<Signed>;
  if (text.empty() || text.size() > static_cast<std::size_t>(std::numeric_limits<Signed>::digits10)) return false;
  Unsigned magnitude = 0;
  std::size_t i = 0;
  if constexpr (sizeof(Unsigned) == 8) {
    // Nine to sixteen digits (a wire time has thirteen) in two words.
    std::int64_t wide = 0;
    if (TryNineToSixteenDigits(text, wide)) {
      value = static_cast<Signed>(wide);
      return true;
    }
    // Eight digits at a time.
    for (; text.size() - i >= 8; i += 8) {
      std::uint32_t eight = 0;
      if (!EightDigitsOfWord(LoadDigitWord(text.data() + i), eight)) return false;
      magnitude = static_cast<Unsigned>(magnitude * 100000000u + eight);
    }
  }
  for (const char c : text.substr(i)) {
    const unsigned digit = static_cast<unsigned char>(c) - static_cast<unsigned>('0');
    if (digit > 9) return false;
    magnitude = static_cast<Unsigned>(magnitude * 10u + digit);
  }
  value = static_cast<Signed>(magnitude);
  return true;
}

// The hexadecimal digits of text from i on as a bit pattern of Signed's
// width, negated when negative; false when one is not a digit or the
// pattern does not fit.
template <typename Signed>
bool ParseHexDigits(std::string_view text, std::size_t i, bool negative, Signed& value) {
  using Unsigned = std::make_unsigned_t<Signed>;
  Unsigned pattern = 0;
  for (; i < text.size(); ++i) {
    const int d = HexDigit(text[i]);
    if (d < 0) return false;
    if (pattern > (std::numeric_limits<Unsigned>::max() >> 4)) return false;
    pattern = static_cast<Unsigned>((pattern << 4) | static_cast<Unsigned>(d));
  }
  if (negative) pattern = static_cast<Unsigned>(Unsigned{0} - pattern);
  value = static_cast<Signed>(pattern);
  return true;
}

// The decimal digits of text from i on, negated when negative; false when
// one is not a digit or the value leaves the signed range.
template <typename Signed>
bool ParseDecimalDigits(std::string_view text, std::size_t i, bool negative, Signed& value) {
  using Unsigned = std::make_unsigned_t<Signed>;
  const Unsigned limit = negative ? static_cast<Unsigned>(std::numeric_limits<Signed>::max()) + 1u
                                  : static_cast<Unsigned>(std::numeric_limits<Signed>::max());
  Unsigned magnitude = 0;
  if (text.size() - i <= static_cast<std::size_t>(std::numeric_limits<Signed>::digits10)) {
    // So few digits cannot leave the signed range: no check per digit.
    for (; i < text.size(); ++i) {
      const char c = text[i];
      if (c < '0' || c > '9') return false;
      magnitude = static_cast<Unsigned>(magnitude * 10u + static_cast<Unsigned>(c - '0'));
    }
  }
  for (; i < text.size(); ++i) {
    const char c = text[i];
    if (c < '0' || c > '9') return false;
    const Unsigned d = static_cast<Unsigned>(c - '0');
    if (magnitude > (limit - d) / 10u) return false;
    magnitude = static_cast<Unsigned>(magnitude * 10u + d);
  }
  value = negative ? static_cast<Signed>(Unsigned{0} - magnitude) : static_cast<Signed>(magnitude);
  return true;
}

// Parses the integer rule for a signed type of the given width.
template <typename Signed>
bool ParseInteger(std::string_view text, Signed& value) {
  if (ParsePlainDigits(text, value)) return true;
  std::size_t i = 0;
  while (i < text.size() && text[i] == ' ') ++i;
  bool negative = false;
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) {
    negative = text[i] == '-';
    ++i;
  }
  bool hex = false;
  if (i < text.size() && (text[i] == '$' || text[i] == 'x' || text[i] == 'X')) {
    hex = true;
    ++i;
  } else if (i + 1 < text.size() && text[i] == '0' && (text[i + 1] == 'x' || text[i + 1] == 'X')) {
    hex = true;
    i += 2;
  }
  if (i >= text.size()) return false;
  return hex ? ParseHexDigits(text, i, negative, value) : ParseDecimalDigits(text, i, negative, value);
}

bool IsContinuation(unsigned char c) { return (c & 0xC0) == 0x80; }

// Length in bytes of the UTF-8 sequence that starts at text[i]; 1 for a byte
// that does not start a complete, well-formed sequence.
std::size_t SequenceLength(std::string_view text, std::size_t i) {
  unsigned char c = static_cast<unsigned char>(text[i]);
  std::size_t n = c < 0x80 ? 1 : (c >> 5) == 0x6 ? 2 : (c >> 4) == 0xE ? 3 : (c >> 3) == 0x1E ? 4 : 1;
  if (n == 1 || i + n > text.size()) return 1;
  for (std::size_t k = 1; k < n; ++k) {
    if (!IsContinuation(static_cast<unsigned char>(text[i + k]))) return 1;
  }
  return n;
}

#if defined(KS_TEXT_AVX2)
// The hits of c (want) in the 32 bytes at p, one bit per byte.
[[gnu::target("avx2")]] inline std::uint32_t Hits32(const char* p, __m256i want) noexcept {
  const __m256i chunk = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p));
  return static_cast<std::uint32_t>(_mm256_movemask_epi8(_mm256_cmpeq_epi8(chunk, want)));
}

// The hits of want in the 32 bytes at p, as bytes of all ones.
[[gnu::target("avx2")]] inline __m256i Matches32(const char* p, __m256i want) noexcept {
  return _mm256_cmpeq_epi8(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(p)), want);
}

// The first hit of four 32-byte matches in a row (one holds a hit), as an
// offset from the start of the first.
[[gnu::target("avx2")]] inline std::size_t FirstOfFour(__m256i a, __m256i b, __m256i c, __m256i d) noexcept {
  const auto low = static_cast<std::uint64_t>(static_cast<std::uint32_t>(_mm256_movemask_epi8(a))) |
                   static_cast<std::uint64_t>(static_cast<std::uint32_t>(_mm256_movemask_epi8(b))) << 32;
  if (low != 0) return static_cast<std::size_t>(std::countr_zero(low));
  const auto high = static_cast<std::uint64_t>(static_cast<std::uint32_t>(_mm256_movemask_epi8(c))) |
                    static_cast<std::uint64_t>(static_cast<std::uint32_t>(_mm256_movemask_epi8(d))) << 32;
  return 64 + static_cast<std::size_t>(std::countr_zero(high));
}
#endif

}  // namespace

#if defined(KS_TEXT_AVX2)
const bool kHasAvx2 = [] {
  __builtin_cpu_init();
  return __builtin_cpu_supports("avx2") != 0;
}();

// 128 bytes a step, then 32; the last step looks at the last 32 bytes,
// overlapping bytes already seen to hold no c.
[[gnu::target("avx2")]] const char* FindByteAvx2(const char* p, const char* end, char c) noexcept {
  const __m256i want = _mm256_set1_epi8(c);
  if (end - p >= 128) {
    for (const char* const last = end - 128; p <= last; p += 128) {
      const __m256i first = Matches32(p, want);
      const __m256i second = Matches32(p + 32, want);
      const __m256i third = Matches32(p + 64, want);
      const __m256i fourth = Matches32(p + 96, want);
      if (_mm256_movemask_epi8(_mm256_or_si256(_mm256_or_si256(first, second), _mm256_or_si256(third, fourth))) != 0) {
        return p + FirstOfFour(first, second, third, fourth);
      }
    }
  }
  for (; end - p >= 32; p += 32) {
    if (const std::uint32_t hits = Hits32(p, want)) return p + std::countr_zero(hits);
  }
  if (p == end) return end;
  const char* const last = end - 32;
  if (const std::uint32_t hits = Hits32(last, want)) return last + std::countr_zero(hits);
  return end;
}
#endif

const char* FindByteInMemory(const char* p, const char* end, char c) noexcept {
  if (p == end) return end;
  const void* hit = std::memchr(p, static_cast<unsigned char>(c), static_cast<std::size_t>(end - p));
  return hit != nullptr ? static_cast<const char*>(hit) : end;
}

bool SameTextSlow(std::string_view a, std::string_view b) noexcept {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (FoldAscii(a[i]) != FoldAscii(b[i])) return false;
  }
  return true;
}

std::string Trim(std::string_view text) {
  std::size_t begin = 0;
  std::size_t end = text.size();
  while (begin < end && static_cast<unsigned char>(text[begin]) <= ' ') ++begin;
  while (end > begin && static_cast<unsigned char>(text[end - 1]) <= ' ') --end;
  return std::string(text.substr(begin, end - begin));
}

bool TryStrToInt32(std::string_view text, std::int32_t& value) { return ParseInteger(text, value); }

bool TryStrToInt64(std::string_view text, std::int64_t& value) { return ParseInteger(text, value); }

std::int32_t StrToInt32Def(std::string_view text, std::int32_t fallback) {
  std::int32_t v;
  return ParseInteger(text, v) ? v : fallback;
}

std::int64_t StrToInt64Def(std::string_view text, std::int64_t fallback) {
  std::int64_t v;
  return ParseInteger(text, v) ? v : fallback;
}

std::string IntToStr(std::int64_t value) { return std::to_string(value); }

std::size_t Utf8Length(std::string_view text) {
  std::size_t count = 0;
  for (std::size_t i = 0; i < text.size(); i += SequenceLength(text, i)) ++count;
  return count;
}

std::string Utf8Left(std::string_view text, std::size_t count) {
  std::size_t i = 0;
  while (count > 0 && i < text.size()) {
    i += SequenceLength(text, i);
    --count;
  }
  return std::string(text.substr(0, i));
}

std::string Ellipsize(std::string_view text, std::size_t maxChars) {
  std::string cut = Utf8Left(text, maxChars);
  if (cut.size() < text.size()) cut += "...";
  return cut;
}

}  // namespace ks
