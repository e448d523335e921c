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

namespace {

bool Fold(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    char x = a[i];
    char y = b[i];
    if (x >= 'A' && x <= 'Z') x = static_cast<char>(x + 32);
    if (y >= 'A' && y <= 'Z') y = static_cast<char>(y + 32);
    if (x != y) return false;
  }
  return true;
}

}  // namespace

std::optional<TReferenceFrame> ReferenceParse(std::string_view input) {
  std::string text(input);
  if (text.find(std::string_view("\0\n", 2)) == std::string::npos) text.append(std::string_view("\0\n", 2));
  TReferenceFrame frame;
  std::size_t position = 0;
  auto nextLine = [&](std::string& line) {
    if (position >= text.size()) return false;
    const std::size_t lf = text.find('\n', position);
    if (lf == std::string::npos) return false;
    line = text.substr(position, lf - position);
    position = lf + 1;
    return true;
  };
  if (!nextLine(frame.Command) || frame.Command.empty()) return std::nullopt;
  std::string line;
  for (;;) {
    if (!nextLine(line)) return std::nullopt;
    if (line.empty()) break;
    const std::size_t colon = line.find(':');
    if (colon == std::string::npos) return std::nullopt;
    const std::string name = line.substr(0, colon);
    const std::string value = line.substr(colon + 1);
    auto it = frame.Headers.begin();
    while (it != frame.Headers.end() && !Fold(it->first, name)) ++it;
    if (it != frame.Headers.end()) {
      if (value.empty()) {
        frame.Headers.erase(it);
      } else {
        it->second = value;
      }
    } else if (!value.empty()) {
      frame.Headers.emplace_back(name, value);
    }
  }
  const std::string body = text.substr(position);
  for (const auto& h : frame.Headers) {
    if (!Fold(h.first, "content-length")) continue;
    const std::optional<std::int64_t> n = ReferenceIntegerRule(h.second, 32);
    const std::size_t length = n && *n > 0 ? static_cast<std::size_t>(*n) : 0;
    if (body.size() < length + 2) return std::nullopt;
    frame.Body = body.substr(0, length);
    return frame;
  }
  const std::size_t end = body.find(std::string_view("\0\n", 2));
  if (end != std::string::npos) frame.Body = body.substr(0, end);
  return frame;
}

void FuzzCheck(bool condition, const char* what) {
  if (condition) return;
  std::fprintf(stderr, "fuzz property violated: %s\n", what);
  std::abort();
}

}  // namespace ks::fuzz
