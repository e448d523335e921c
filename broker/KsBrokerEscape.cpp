#include "broker/KsBrokerEscape.hpp"

#include <cstring>

namespace ks {

std::string_view VersionText(TBrokerVersion version) {
  switch (version) {
    case TBrokerVersion::V1_1: return "1.1";
    case TBrokerVersion::V1_2: return "1.2";
    default: return "1.0";
  }
}

bool NeedsEscape(std::string_view text) {
  for (char c : text)
    if (c == '\\' || c == '\n' || c == '\r' || c == ':') return true;
  return false;
}

char* PutEscapedAbove10(char* to, std::string_view text, TBrokerVersion version) {
  if (!NeedsEscape(text)) return PutBytes(to, text);
  const bool escapeCR = version == TBrokerVersion::V1_2;
  for (char c : text) {
    switch (c) {
      case '\\': *to++ = '\\'; *to++ = '\\'; break;
      case '\n': *to++ = '\\'; *to++ = 'n'; break;
      case ':': *to++ = '\\'; *to++ = 'c'; break;
      case '\r':
        if (escapeCR) *to++ = '\\';
        *to++ = escapeCR ? 'r' : '\r';
        break;
      default: *to++ = c;
    }
  }
  return to;
}

bool AppendUnescaped(std::string_view escaped, TBrokerVersion version, std::string& out) {
  std::size_t pos = 0;
  while (pos < escaped.size()) {
    const void* found = std::memchr(escaped.data() + pos, '\\', escaped.size() - pos);
    const std::size_t at = found ? static_cast<std::size_t>(static_cast<const char*>(found) - escaped.data())
                                 : escaped.size();
    out.append(escaped.data() + pos, at - pos);
    if (at == escaped.size()) break;
    if (at + 1 == escaped.size()) return false;
    switch (escaped[at + 1]) {
      case '\\': out.push_back('\\'); break;
      case 'n': out.push_back('\n'); break;
      case 'c': out.push_back(':'); break;
      case 'r':
        if (version != TBrokerVersion::V1_2) return false;
        out.push_back('\r');
        break;
      default: return false;
    }
    pos = at + 2;
  }
  return true;
}

}  // namespace ks
