#include "jms/KsConsumerID.hpp"

#include <cstdint>
#include <random>

namespace ks {

namespace {

std::mt19937_64& Generator() {
  thread_local std::mt19937_64 generator = [] {
    std::random_device device;
    std::seed_seq seed{device(), device(), device(), device(), device(), device(), device(), device()};
    return std::mt19937_64(seed);
  }();
  return generator;
}

}  // namespace

std::string TKsConsumerID::NewGUIDText() {
  std::uint8_t bytes[16];
  auto& generator = Generator();
  const std::uint64_t high = generator();
  const std::uint64_t low = generator();
  for (int i = 0; i < 8; ++i) {
    bytes[i] = static_cast<std::uint8_t>(high >> (8 * i));
    bytes[8 + i] = static_cast<std::uint8_t>(low >> (8 * i));
  }
  bytes[6] = static_cast<std::uint8_t>((bytes[6] & 0x0F) | 0x40);  // version 4
  bytes[8] = static_cast<std::uint8_t>((bytes[8] & 0x3F) | 0x80);  // RFC 4122 variant
  static constexpr char kHex[] = "0123456789ABCDEF";
  std::string text;
  text.reserve(38);
  text.push_back('{');
  for (int i = 0; i < 16; ++i) {
    if (i == 4 || i == 6 || i == 8 || i == 10) text.push_back('-');
    text.push_back(kHex[bytes[i] >> 4]);
    text.push_back(kHex[bytes[i] & 0x0F]);
  }
  text.push_back('}');
  return text;
}

TKsConsumerID::TKsConsumerID() : id_(NewGUIDText()) {}

}  // namespace ks
