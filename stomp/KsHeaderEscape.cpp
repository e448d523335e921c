#include "stomp/KsHeaderEscape.hpp"

#include <array>
#include <cstdint>
#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace ks {

namespace {

// 1 for the bytes that escaping versions treat specially: a table, as most
// header names and values are shorter than one vector step.
constexpr std::array<std::uint8_t, 256> kEscapeBytes = [] {
  std::array<std::uint8_t, 256> table{};
  for (unsigned char c : {'\\', ':', '\n', '\r', '\0'}) table[c] = 1;
  return table;
}();

inline bool IsEscapeByte(char c) noexcept { return kEscapeBytes[static_cast<unsigned char>(c)] != 0; }

}  // namespace

std::size_t FindEscapeByte(std::string_view text) noexcept {
  const char* const begin = text.data();
  const char* p = begin;
  const char* const end = begin + text.size();
#if defined(__SSE2__)
  // Sixteen bytes at a time: every header of every frame is looked at.
  const __m128i backslash = _mm_set1_epi8('\\');
  const __m128i colon = _mm_set1_epi8(':');
  const __m128i lf = _mm_set1_epi8('\n');
  const __m128i cr = _mm_set1_epi8('\r');
  const __m128i nul = _mm_setzero_si128();
  for (; end - p >= 16; p += 16) {
    const __m128i chunk = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
    const __m128i hits = _mm_or_si128(
        _mm_or_si128(_mm_cmpeq_epi8(chunk, backslash), _mm_cmpeq_epi8(chunk, colon)),
        _mm_or_si128(_mm_or_si128(_mm_cmpeq_epi8(chunk, lf), _mm_cmpeq_epi8(chunk, cr)), _mm_cmpeq_epi8(chunk, nul)));
    const int mask = _mm_movemask_epi8(hits);
    if (mask != 0) return static_cast<std::size_t>(p - begin) + static_cast<unsigned>(__builtin_ctz(mask));
  }
#endif
  for (; p < end; ++p) {
    if (IsEscapeByte(*p)) return static_cast<std::size_t>(p - begin);
  }
  return std::string_view::npos;
}

std::size_t EscapedSize(std::string_view text, TKsStompVersion version) noexcept {
  std::size_t size = text.size();
  for (std::size_t at = FindEscapeByte(text); at != std::string_view::npos;) {
    const char c = text[at];
    if (c == '\0' || (c == '\r' && version < TKsStompVersion::V1_2)) return std::string_view::npos;
    ++size;
    const std::size_t next = FindEscapeByte(text.substr(at + 1));
    at = next == std::string_view::npos ? next : at + 1 + next;
  }
  return size;
}

char* AppendEscaped(char* out, std::string_view text) noexcept {
  for (;;) {
    const std::size_t at = FindEscapeByte(text);
    const std::size_t plain = at == std::string_view::npos ? text.size() : at;
    if (plain != 0) std::memcpy(out, text.data(), plain);
    out += plain;
    if (at == std::string_view::npos) return out;
    *out++ = '\\';
    switch (text[at]) {
      case ':': *out++ = 'c'; break;
      case '\n': *out++ = 'n'; break;
      case '\r': *out++ = 'r'; break;
      default: *out++ = '\\'; break;
    }
    text.remove_prefix(at + 1);
  }
}

bool Unescape(std::string_view text, TKsStompVersion version, std::string& out) {
  for (;;) {
    const std::size_t at = text.find('\\');
    out.append(text.substr(0, at));
    if (at == std::string_view::npos) return true;
    if (at + 1 == text.size()) return false;
    switch (text[at + 1]) {
      case '\\': out.push_back('\\'); break;
      case 'c': out.push_back(':'); break;
      case 'n': out.push_back('\n'); break;
      case 'r':
        if (version < TKsStompVersion::V1_2) return false;
        out.push_back('\r');
        break;
      default: return false;
    }
    text.remove_prefix(at + 2);
  }
}

}  // namespace ks
