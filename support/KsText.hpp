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

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>

#if defined(__SSE2__)
#include <emmintrin.h>
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

// Copies n bytes from from to to (which do not overlap). Texts of up to 32
// bytes, such as the header names and ids copied for every received message,
// are moved in two loads and two stores of overlapping words, without a
// library call; longer ones go to memcpy.
inline void CopyBytes(char* to, const char* from, std::size_t n) noexcept {
  if (n > 32) {
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

// True when a and b are equal with ASCII letters folded to lower case.
bool SameTextSlow(std::string_view a, std::string_view b) noexcept;
inline bool SameText(std::string_view a, std::string_view b) noexcept {
  // Most comparisons fail on the length; most of the rest match exactly.
  return a.size() == b.size() && (a == b || SameTextSlow(a, b));
}

// The text with blanks and control characters (bytes <= 0x20) removed from
// both ends.
std::string Trim(std::string_view text);

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
