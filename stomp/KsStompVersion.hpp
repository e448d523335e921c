// KsStompVersion: the protocol versions this library speaks (1.0, 1.1 and
// 1.2), the set of them a client offers in CONNECT's "accept-version", and
// the small rules of the CONNECT/CONNECTED exchange that depend on them:
// which version the broker chose and how the heart-beat intervals of the two
// sides combine.
//
// What changes with the version on the wire: from 1.1 on, header names and
// values are escaped (KsHeaderEscape.hpp), never trimmed, and a repeated
// header reads as its first value; 1.2 also reads CR LF line ends.
// Acknowledgement frames carry what the version asks (KsStompCustomClient).
// CONNECT and CONNECTED are written and read by the 1.0 rules in every
// version.
//
// Threads: plain values and pure functions; any thread.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace ks {

enum class TKsStompVersion : std::uint8_t { V1_0 = 0, V1_1 = 1, V1_2 = 2 };

// "1.0", "1.1" or "1.2".
std::string_view VersionText(TKsStompVersion version) noexcept;
// The version named by text exactly ("1.0", "1.1", "1.2"); false for any
// other text.
bool ParseVersion(std::string_view text, TKsStompVersion& version) noexcept;

// A set of versions: what a client offers. Never empty once parsed.
class TKsVersionOffer {
 public:
  // Only 1.0: the offer of a client that does not negotiate (CONNECT
  // without "accept-version").
  TKsVersionOffer() noexcept = default;
  static TKsVersionOffer All() noexcept;

  // A comma list of versions ("1.0,1.1,1.2"; blanks around items are
  // allowed, order and repeats do not matter). False, with out unchanged,
  // for an empty list or an unknown item.
  static bool Parse(std::string_view text, TKsVersionOffer& out);

  bool Contains(TKsStompVersion version) const noexcept { return (bits_ & Bit(version)) != 0; }
  // True when the offer names a version above 1.0: CONNECT then negotiates.
  bool Negotiates() const noexcept { return (bits_ & ~Bit(TKsStompVersion::V1_0)) != 0; }
  TKsStompVersion Highest() const noexcept;
  // The offer as "accept-version" writes it: ascending, comma separated.
  std::string Text() const;

  bool operator==(const TKsVersionOffer& other) const noexcept { return bits_ == other.bits_; }

 private:
  static constexpr std::uint8_t Bit(TKsStompVersion version) noexcept {
    return static_cast<std::uint8_t>(1u << static_cast<unsigned>(version));
  }
  std::uint8_t bits_ = 1;  // 1.0
};

// A "heart-beat" header value "x,y" (two whole numbers of milliseconds).
// False for anything else.
bool ParseHeartBeat(std::string_view text, std::uint32_t& x, std::uint32_t& y) noexcept;

// One direction's interval as both sides agree on it: 0 (none) when either
// side gives 0, else the larger of the two.
constexpr std::uint32_t AgreedInterval(std::uint32_t mine, std::uint32_t theirs) noexcept {
  return mine == 0 || theirs == 0 ? 0 : (mine > theirs ? mine : theirs);
}

}  // namespace ks
