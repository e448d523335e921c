// KsText: the small text helpers that several layers share.
//
// Text is std::string holding UTF-8. Case-insensitive comparison folds ASCII
// letters only. Character counts are Unicode code points; cutting never splits
// a UTF-8 sequence.
//
// The integer rule (TryStrToInt32/64) is the one used for command-line values,
// property maps, header values and content lengths: optional leading blanks,
// an optional "+" or "-", then decimal digits, or hexadecimal digits (either
// case) after "$", "x", "X", "0x" or "0X"; nothing may follow. A decimal value
// must fit the signed range; a hexadecimal value may use every bit and is
// taken as a two's-complement pattern ($FFFFFFFF is -1 for 32 bits); "-"
// before the prefix negates the pattern.
//
// Thread safety: all functions are reentrant.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif
#if defined(__x86_64__) && defined(__GNUC__)
#define KS_TEXT_AVX2 1  // FindByteInLong has an AVX2 way, chosen at run time
#endif

namespace ks {

// Searches of one text [begin, end) for a byte, from many places, such as
// the search for the ':' and the LF of each line of a header block: sixteen
// bytes at a time where the processor allows it (header lines are too short
// for a library call to pay off), with the bound of those steps worked out
// once, so that each search starts with one comparison.
class TKsByteFinder {
 public:
  TKsByteFinder(const char* begin, const char* end) noexcept
      : end_(end), last_(end - begin >= 16 ? reinterpret_cast<std::uintptr_t>(end) - 16 : 0) {}
  // The first byte in [p, end) equal to a or to b, or end.
  const char* Either(const char* p, char a, char b) const noexcept {
#if defined(__SSE2__)
    const __m128i wantA = _mm_set1_epi8(a);
    const __m128i wantB = _mm_set1_epi8(b);
    for (; reinterpret_cast<std::uintptr_t>(p) <= last_; p += 16) {
      const __m128i chunk = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
      const int hits = _mm_movemask_epi8(_mm_or_si128(_mm_cmpeq_epi8(chunk, wantA), _mm_cmpeq_epi8(chunk, wantB)));
      if (hits != 0) return p + static_cast<unsigned>(__builtin_ctz(static_cast<unsigned>(hits)));
    }
#endif
    for (; p < end_; ++p) {
      if (*p == a || *p == b) return p;
    }
    return end_;
  }
  const char* Byte(const char* p, char c) const noexcept { return Either(p, c, c); }

 private:
  const char* end_;
  std::uintptr_t last_;  // the last place a sixteen-byte step may start; 0 for none
};

// The index of the lowest set bit of a mask that is not 0, as a whole word
// for adding to a pointer. On x86-64 it is one tzcnt, with no widening step
// after it (a processor without tzcnt runs it as bsf, which gives the same
// index for a mask that is not 0).
inline std::uint64_t LowestBit64(std::uint64_t mask) noexcept {
#if defined(__x86_64__) && defined(__GNUC__)
  std::uint64_t index;
  __asm__("tzcntq %1, %0" : "=r"(index) : "rm"(mask) : "cc");
  return index;
#else
  return static_cast<std::uint64_t>(__builtin_ctzll(mask));
#endif
}

// mask with bit index (modulo 64) set; was tells whether it was set
// before: one bts on x86-64.
inline std::uint64_t WithBitSet(std::uint64_t mask, std::uint64_t index, bool& was) noexcept {
#if defined(__x86_64__) && defined(__GNUC__)
  __asm__("btsq %2, %0" : "+r"(mask), "=@ccc"(was) : "r"(index));
  return mask;
#else
  was = ((mask >> (index & 63)) & 1) != 0;
  return mask | std::uint64_t{1} << (index & 63);
#endif
}

// One bit per byte of the 16 at p (which must all be readable), bit i set
// when p[i] is c: one look at a short field such as a header name.
inline std::uint32_t ByteMask16(const char* p, char c) noexcept {
#if defined(__SSE2__)
  const __m128i chunk = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
  return static_cast<std::uint32_t>(_mm_movemask_epi8(_mm_cmpeq_epi8(chunk, _mm_set1_epi8(c))));
#else
  std::uint32_t mask = 0;
  for (int i = 0; i < 16; ++i) {
    if (p[i] == c) mask |= std::uint32_t{1} << i;
  }
  return mask;
#endif
}

// The places of one byte C in a text [begin, end), in order, such as the LF
// that ends each line of a header block: marked sixty-four bytes at a time
// and handed out one by one, so that a caller walking line after line finds
// each line's end without a search of its own. Marks are made only for
// windows of 64 bytes that have at least 16 more bytes of the text after
// them; Next answers nullptr from the first window that has not, and the
// caller searches on its own from there. A text under 80 bytes gets none.
template <char C>
class TKsByteMarks {
 public:
  TKsByteMarks(const char* begin, const char* end) noexcept
      : at_(reinterpret_cast<std::uintptr_t>(begin) - 64),
        last_(end - begin >= 80 ? reinterpret_cast<std::uintptr_t>(end) - 80 : 0) {}
  // True when the marks reach the first C at or after the place Pop last
  // passed (at first: begin); false when they do not (from then on,
  // always).
  bool More() noexcept {
    while (__builtin_expect(bits_ == 0, 0)) {
      at_ += 64;
      if (at_ > last_) return false;
      bits_ = Window(reinterpret_cast<const char*>(at_));
    }
    return true;
  }
  // After More answered true: that C. It has at least 16 bytes of the text
  // after it.
  const char* Next() const noexcept {
    return reinterpret_cast<const char*>(at_ + LowestBit64(bits_));
  }
  // Passes the C that Next answers.
  void Pop() noexcept { bits_ &= bits_ - 1; }

 private:
  // One bit per byte of the 64 at p, bit i set when p[i] is C.
  static std::uint64_t Window(const char* p) noexcept {
    return std::uint64_t{ByteMask16(p, C)} | std::uint64_t{ByteMask16(p + 16, C)} << 16 |
           std::uint64_t{ByteMask16(p + 32, C)} << 32 | std::uint64_t{ByteMask16(p + 48, C)} << 48;
  }

  std::uintptr_t at_;          // the window marked last
  const std::uintptr_t last_;  // the last place a window may start; 0 for none
  std::uint64_t bits_ = 0;     // the window's C not yet passed
};

// The first byte in [p, end) equal to a or to b, or end when there is none.
inline const char* FindEitherByte(const char* p, const char* end, char a, char b) noexcept {
  return TKsByteFinder(p, end).Either(p, a, b);
}

// One bit per byte of the n bytes at p (n at most 16), bit i set when p[i]
// equals a or b: for scanners that look at every byte of a header block
// once and act on the hits in order.
inline std::uint32_t ByteMask(const char* p, std::size_t n, char a, char b) noexcept {
#if defined(__SSE2__)
  if (n == 16) {
    const __m128i chunk = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
    const __m128i hits = _mm_or_si128(_mm_cmpeq_epi8(chunk, _mm_set1_epi8(a)), _mm_cmpeq_epi8(chunk, _mm_set1_epi8(b)));
    return static_cast<std::uint32_t>(_mm_movemask_epi8(hits));
  }
#endif
  std::uint32_t mask = 0;
  for (std::size_t i = 0; i < n; ++i) {
    if (p[i] == a || p[i] == b) mask |= std::uint32_t{1} << i;
  }
  return mask;
}

// The index of the lowest set bit of a mask that is not 0.
inline unsigned LowestBit(std::uint32_t mask) noexcept { return static_cast<unsigned>(__builtin_ctz(mask)); }

// True when any byte of text equals one of Bytes, for checks of short texts
// on every message, where a library call costs more than the look: sixteen
// bytes at a time where the processor allows it (the last sixteen, or the
// two halves of a shorter text, overlapping), else eight.
template <char... Bytes>
inline bool HasAnyByte(std::string_view text) noexcept {
  const char* p = text.data();
  const std::size_t n = text.size();
#if defined(__SSE2__)
  auto hits = [](__m128i chunk) {
    __m128i found = _mm_setzero_si128();
    ((found = _mm_or_si128(found, _mm_cmpeq_epi8(chunk, _mm_set1_epi8(Bytes)))), ...);
    return _mm_movemask_epi8(found);
  };
  if (n >= 16) {
    for (std::size_t i = 0; i + 16 < n; i += 16) {
      if (hits(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p + i))) != 0) return true;
    }
    return hits(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p + n - 16))) != 0;
  }
  if (n >= 8) {
    const __m128i low = _mm_loadl_epi64(reinterpret_cast<const __m128i*>(p));
    const __m128i high = _mm_loadl_epi64(reinterpret_cast<const __m128i*>(p + n - 8));
    return hits(_mm_unpacklo_epi64(low, high)) != 0;
  }
#else
  constexpr std::uint64_t kOnes = 0x0101010101010101ULL;
  constexpr std::uint64_t kHighs = 0x8080808080808080ULL;
  // The high bit of a byte is set for every byte of word that equals one
  // of Bytes (and maybe for bytes above one that does: "any" stays exact).
  auto any = [](std::uint64_t word) {
    std::uint64_t found = 0;
    ((found |= ((word ^ (kOnes * static_cast<unsigned char>(Bytes))) - kOnes) &
               ~(word ^ (kOnes * static_cast<unsigned char>(Bytes)))),
     ...);
    return (found & kHighs) != 0;
  };
  if (n >= 8) {
    std::uint64_t word;
    for (std::size_t i = 0; i + 8 < n; i += 8) {
      std::memcpy(&word, p + i, 8);
      if (any(word)) return true;
    }
    std::memcpy(&word, p + n - 8, 8);
    return any(word);
  }
#endif
  for (std::size_t i = 0; i < n; ++i) {
    if (((p[i] == Bytes) || ...)) return true;
  }
  return false;
}

// The n bytes at from (one to two Word sizes) to to: the first and the last
// Word of them, loaded before either is stored, so that the two may overlap.
template <class Word>
inline void CopyTwoWords(char* to, const char* from, std::size_t n) noexcept {
  Word head;
  Word tail;
  std::memcpy(&head, from, sizeof(Word));
  std::memcpy(&tail, from + n - sizeof(Word), sizeof(Word));
  std::memcpy(to, &head, sizeof(Word));
  std::memcpy(to + n - sizeof(Word), &tail, sizeof(Word));
}

// Copies n bytes from from to to (which do not overlap). Texts of up to 64
// bytes, such as the header names, ids and subscription ids copied for every
// received message, are moved in loads and stores of overlapping words (the
// first and the last 32 bytes, or 16, 8 or 4), without a library call;
// longer ones go to memcpy.
inline void CopyBytes(char* to, const char* from, std::size_t n) noexcept {
  if (n > 32) {
#if defined(__SSE2__)
    if (n <= 64) {
      const __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i*>(from));
      const __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i*>(from + 16));
      const __m128i c = _mm_loadu_si128(reinterpret_cast<const __m128i*>(from + n - 32));
      const __m128i d = _mm_loadu_si128(reinterpret_cast<const __m128i*>(from + n - 16));
      _mm_storeu_si128(reinterpret_cast<__m128i*>(to), a);
      _mm_storeu_si128(reinterpret_cast<__m128i*>(to + 16), b);
      _mm_storeu_si128(reinterpret_cast<__m128i*>(to + n - 32), c);
      _mm_storeu_si128(reinterpret_cast<__m128i*>(to + n - 16), d);
      return;
    }
#endif
    std::memcpy(to, from, n);
  } else if (n >= 16) {
#if defined(__SSE2__)
    CopyTwoWords<__m128i>(to, from, n);
#else
    std::memcpy(to, from, n);
#endif
  } else if (n >= 8) {
    CopyTwoWords<std::uint64_t>(to, from, n);
  } else if (n >= 4) {
    CopyTwoWords<std::uint32_t>(to, from, n);
  } else {
    for (std::size_t i = 0; i < n; ++i) to[i] = from[i];
  }
}

// The first byte in [p, end) equal to c, or end.
inline const char* FindByte(const char* p, const char* end, char c) noexcept { return FindEitherByte(p, end, c, c); }

// FindByteInLong: the first byte in [p, end) equal to c, or end, for a
// text of any length such as a frame's body: 128 bytes at a time where the
// processor has AVX2 (kHasAvx2, set at start-up; false until then), else
// FindByteInMemory, the C library's memchr.
const char* FindByteInMemory(const char* p, const char* end, char c) noexcept;
#if defined(KS_TEXT_AVX2)
extern const bool kHasAvx2;
const char* FindByteAvx2(const char* p, const char* end, char c) noexcept;
inline const char* FindByteInLong(const char* p, const char* end, char c) noexcept {
  return kHasAvx2 && end - p >= 32 ? FindByteAvx2(p, end, c) : FindByteInMemory(p, end, c);
}
#else
inline const char* FindByteInLong(const char* p, const char* end, char c) noexcept {
  return FindByteInMemory(p, end, c);
}
#endif

// True when a and b are equal with ASCII letters folded to lower case.
bool SameTextSlow(std::string_view a, std::string_view b) noexcept;
inline bool SameText(std::string_view a, std::string_view b) noexcept {
  // Most comparisons fail on the length; most of the rest match exactly.
  return a.size() == b.size() && (a == b || SameTextSlow(a, b));
}

// The text with blanks and control characters (bytes <= 0x20) removed from
// both ends.
std::string Trim(std::string_view text);

// The value of the eight decimal digits of word, as loaded from memory with
// the first digit in its lowest byte (false when a byte is not a digit): all
// eight converted together.
inline bool EightDigitsOfWord(std::uint64_t word, std::uint32_t& value) noexcept {
  // Every byte 0x30..0x39: high nibbles all 3, and adding 6 carries no byte
  // past 0x3F.
  if ((word & 0xF0F0F0F0F0F0F0F0ULL) != 0x3030303030303030ULL ||
      ((word + 0x0606060606060606ULL) & 0xF0F0F0F0F0F0F0F0ULL) != 0x3030303030303030ULL) {
    return false;
  }
  word -= 0x3030303030303030ULL;
  // The first digit is the lowest byte: pairs, then quadruples, then all.
  word = (word * 10 + (word >> 8)) & 0x00FF00FF00FF00FFULL;
  word = (word * 100 + (word >> 16)) & 0x0000FFFF0000FFFFULL;
  word = (word * 10000 + (word >> 32)) & 0x00000000FFFFFFFFULL;
  value = static_cast<std::uint32_t>(word);
  return true;
}

// The eight bytes at p as a word whose lowest byte is p[0].
inline std::uint64_t LoadDigitWord(const char* p) noexcept {
  std::uint64_t word = 0;
  if constexpr (std::endian::native == std::endian::little) {
    std::memcpy(&word, p, sizeof word);
  } else {
    for (int k = 0; k < 8; ++k) word |= static_cast<std::uint64_t>(static_cast<unsigned char>(p[k])) << (8 * k);
  }
  return word;
}

// The common case of the integer rule, in place for callers that read a
// number on every message (a wire time): text of nine to sixteen decimal
// digits and nothing else. False, value untouched, for any other text,
// which the rule (TryStrToInt64) may still read.
inline bool TryNineToSixteenDigits(std::string_view text, std::int64_t& value) noexcept {
  const std::size_t n = text.size();
  if (n < 9 || n > 16) return false;
  // The first eight digits, then the last eight, of which the bytes already
  // counted (the lowest 16 - n) read as leading zeros.
  static constexpr std::uint32_t kPow10[9] = {1, 10, 100, 1000, 10000, 100000, 1000000, 10000000, 100000000};
  // By n - 8: the bytes of the last word counted already.
  static constexpr std::uint64_t kCounted[9] = {0, 0x00FFFFFFFFFFFFFFULL, 0x0000FFFFFFFFFFFFULL, 0x000000FFFFFFFFFFULL,
                                                0x00000000FFFFFFFFULL, 0x0000000000FFFFFFULL, 0x000000000000FFFFULL,
                                                0x00000000000000FFULL, 0};
  const std::uint64_t counted = kCounted[n - 8];
  const std::uint64_t head = LoadDigitWord(text.data());
  const std::uint64_t tail = (LoadDigitWord(text.data() + n - 8) & ~counted) | (0x3030303030303030ULL & counted);
  std::uint32_t high = 0;
  std::uint32_t low = 0;
#if defined(__SSE2__)
  // Both words side by side, all sixteen digits checked and converted
  // together: pairs, then quadruples, then the two eights.
  const __m128i digits =
      _mm_sub_epi8(_mm_set_epi64x(static_cast<long long>(tail), static_cast<long long>(head)), _mm_set1_epi8('0'));
  const __m128i nine = _mm_set1_epi8(9);
  if (_mm_movemask_epi8(_mm_cmpeq_epi8(_mm_max_epu8(digits, nine), nine)) != 0xFFFF) return false;
  const __m128i tens = _mm_and_si128(digits, _mm_set1_epi16(0x00FF));  // the first digit of each pair
  const __m128i pairs = _mm_add_epi16(_mm_mullo_epi16(tens, _mm_set1_epi16(10)), _mm_srli_epi16(digits, 8));
  const __m128i quads = _mm_madd_epi16(pairs, _mm_set1_epi32((1 << 16) | 100));
  const __m128i eights = _mm_madd_epi16(_mm_packs_epi32(quads, quads), _mm_set1_epi32((1 << 16) | 10000));
  high = static_cast<std::uint32_t>(_mm_cvtsi128_si32(eights));
  low = static_cast<std::uint32_t>(_mm_cvtsi128_si32(_mm_srli_si128(eights, 4)));
#else
  if (!EightDigitsOfWord(head, high) || !EightDigitsOfWord(tail, low)) return false;
#endif
  value = static_cast<std::int64_t>(static_cast<std::uint64_t>(high) * kPow10[n - 8] + low);
  return true;
}

bool TryStrToInt32(std::string_view text, std::int32_t& value);
bool TryStrToInt64(std::string_view text, std::int64_t& value);

// TryStrToInt32 with a fallback for text that does not convert.
std::int32_t StrToInt32Def(std::string_view text, std::int32_t fallback);
std::int64_t StrToInt64Def(std::string_view text, std::int64_t fallback);

std::string IntToStr(std::int64_t value);

// Number of Unicode code points (a byte that is not a valid UTF-8 lead counts
// as one).
std::size_t Utf8Length(std::string_view text);

// The first count code points of text.
std::string Utf8Left(std::string_view text, std::size_t count);

// Cuts text to maxChars code points and appends "..." when it was longer.
std::string Ellipsize(std::string_view text, std::size_t maxChars);

}  // namespace ks
