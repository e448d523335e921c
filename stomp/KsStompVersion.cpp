#include "stomp/KsStompVersion.hpp"

#include <charconv>

namespace ks {

namespace {

std::string_view TrimBlanks(std::string_view text) {
  while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
  while (!text.empty() && (text.back() == ' ' || text.back() == '\t')) text.remove_suffix(1);
  return text;
}

bool ParseMillis(std::string_view text, std::uint32_t& value) {
  text = TrimBlanks(text);
  if (text.empty()) return false;
  const auto result = std::from_chars(text.data(), text.data() + text.size(), value);
  return result.ec == std::errc() && result.ptr == text.data() + text.size();
}

}  // namespace

std::string_view VersionText(TKsStompVersion version) noexcept {
  switch (version) {
    case TKsStompVersion::V1_1: return "1.1";
    case TKsStompVersion::V1_2: return "1.2";
    case TKsStompVersion::V1_0: break;
  }
  return "1.0";
}

bool ParseVersion(std::string_view text, TKsStompVersion& version) noexcept {
  for (TKsStompVersion v : {TKsStompVersion::V1_0, TKsStompVersion::V1_1, TKsStompVersion::V1_2}) {
    if (text == VersionText(v)) {
      version = v;
      return true;
    }
  }
  return false;
}

TKsVersionOffer TKsVersionOffer::All() noexcept {
  TKsVersionOffer offer;
  offer.bits_ = Bit(TKsStompVersion::V1_0) | Bit(TKsStompVersion::V1_1) | Bit(TKsStompVersion::V1_2);
  return offer;
}

bool TKsVersionOffer::Parse(std::string_view text, TKsVersionOffer& out) {
  std::uint8_t bits = 0;
  for (;;) {
    const std::size_t comma = text.find(',');
    TKsStompVersion version;
    if (!ParseVersion(TrimBlanks(text.substr(0, comma)), version)) return false;
    bits |= Bit(version);
    if (comma == std::string_view::npos) break;
    text.remove_prefix(comma + 1);
  }
  out.bits_ = bits;
  return true;
}

TKsStompVersion TKsVersionOffer::Highest() const noexcept {
  if (Contains(TKsStompVersion::V1_2)) return TKsStompVersion::V1_2;
  if (Contains(TKsStompVersion::V1_1)) return TKsStompVersion::V1_1;
  return TKsStompVersion::V1_0;
}

std::string TKsVersionOffer::Text() const {
  std::string text;
  for (TKsStompVersion v : {TKsStompVersion::V1_0, TKsStompVersion::V1_1, TKsStompVersion::V1_2}) {
    if (!Contains(v)) continue;
    if (!text.empty()) text += ',';
    text += VersionText(v);
  }
  return text;
}

bool ParseHeartBeat(std::string_view text, std::uint32_t& x, std::uint32_t& y) noexcept {
  const std::size_t comma = text.find(',');
  if (comma == std::string_view::npos) return false;
  std::uint32_t first = 0;
  std::uint32_t second = 0;
  if (!ParseMillis(text.substr(0, comma), first) || !ParseMillis(text.substr(comma + 1), second)) return false;
  x = first;
  y = second;
  return true;
}

}  // namespace ks
