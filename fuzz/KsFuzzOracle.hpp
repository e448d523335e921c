// KsFuzzOracle: what the fuzz targets check their results against.
//
// ReferenceIntegerRule is a second, deliberately plain implementation of the
// library's integer rule (leading blanks, an optional sign, decimal digits or
// hexadecimal digits after "$", "x", "X", "0x" or "0X", nothing after the
// digits; decimal values within the signed range, hexadecimal values within
// the width's bits taken as a two's-complement pattern, "-" negating it). The
// targets compare the library's conversions with it.
//
// ReferenceParse is a plain, copying reader of a received frame text with
// the frame rules (a text without NUL LF read as if it ended with one; one
// header entry per name with ASCII folding, the last value winning, an empty
// value removing the entry; the body by content-length, any spelling, when
// it is a non-negative 32-bit integer, else up to the first NUL LF). The
// frame-parse target compares the library's parser with it.
//
// FuzzCheck aborts the fuzzer (libFuzzer then saves the input as a crash)
// when a property does not hold, printing what was expected.
//
// Threads: reentrant. Used only by the fuzz targets.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace ks::fuzz {

// The value of text under the integer rule for the given width (32 or 64
// bits), or nothing when the text is not an integer of that width.
std::optional<std::int64_t> ReferenceIntegerRule(std::string_view text, int bits);

struct TReferenceFrame {
  std::string Command;
  std::vector<std::pair<std::string, std::string>> Headers;
  std::string Body;
};

// The frame a text holds, or nothing when the text is not a frame (an empty
// command, a header line without ':', a header block or body cut short).
std::optional<TReferenceFrame> ReferenceParse(std::string_view text);

// Aborts with the message when condition is false.
void FuzzCheck(bool condition, const char* what);

}  // namespace ks::fuzz
