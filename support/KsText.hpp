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
#include <string>
#include <string_view>

namespace ks {

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
