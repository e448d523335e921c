#include "fuzz/KsFuzzOracle.hpp"

#include <cstdio>
#include <cstdlib>

namespace ks::fuzz {

std::optional<std::int64_t> ReferenceIntegerRule(std::string_view text, int bits) {
  std::size_t i = 0;
  while (i < text.size() && text[i] == ' ') ++i;
  bool negative = false;
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) negative = text[i++] == '-';
  int base = 10;
  if (text.substr(i, 2) == "0x" || text.substr(i, 2) == "0X") {
    base = 16;
    i += 2;
  } else if (i < text.size() && (text[i] == '$' || text[i] == 'x' || text[i] == 'X')) {
    base = 16;
    i += 1;
  }
  if (i >= text.size()) return std::nullopt;
  // Accumulate in 128 bits; stop counting once far beyond any 64-bit value.
  unsigned __int128 magnitude = 0;
  bool tooBig = false;
  for (; i < text.size(); ++i) {
    const char c = text[i];
    int d = -1;
    if (c >= '0' && c <= '9') d = c - '0';
    else if (base == 16 && c >= 'a' && c <= 'f') d = c - 'a' + 10;
    else if (base == 16 && c >= 'A' && c <= 'F') d = c - 'A' + 10;
    if (d < 0) return std::nullopt;
    if (!tooBig) {
      magnitude = magnitude * static_cast<unsigned>(base) + static_cast<unsigned>(d);
      if (magnitude > (static_cast<unsigned __int128>(1) << 70)) tooBig = true;
    }
  }
  if (tooBig) return std::nullopt;
  const unsigned __int128 one = 1;
  if (base == 16) {
    if (magnitude >= (one << bits)) return std::nullopt;
    unsigned __int128 pattern = negative ? ((one << bits) - magnitude) & ((one << bits) - 1) : magnitude;
    // Sign-extend the pattern of the given width.
    if (pattern >= (one << (bits - 1))) return static_cast<std::int64_t>(static_cast<__int128>(pattern) -
                                                                         static_cast<__int128>(one << bits));
    return static_cast<std::int64_t>(pattern);
  }
  const unsigned __int128 limit = negative ? (one << (bits - 1)) : (one << (bits - 1)) - 1;
  if (magnitude > limit) return std::nullopt;
  return negative ? static_cast<std::int64_t>(-static_cast<__int128>(magnitude))
                  : static_cast<std::int64_t>(magnitude);
}

void FuzzCheck(bool condition, const char* what) {
  if (condition) return;
  std::fprintf(stderr, "fuzz property violated: %s\n", what);
  std::abort();
}

}  // namespace ks::fuzz
