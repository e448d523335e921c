// KsConsumerRoutes: TKsConsumerRoutes, the table in which a connection's
// reader looks up the consumer of every incoming message by its
// subscription id.
//
// The table is built whole (Clear, then Add for each consumer) whenever the
// consumers change, and read for every message. Each route is one cache line
// that holds what a delivery needs: the id's bytes (up to kInlineIdBytes;
// a longer id is a pointer to the table's own copy), the consumer's weak
// reference and its address. The routes lie in one array, a quarter full
// once built (never more than half), found by the id's hash with linear
// probing: a look-up among many consumers reads one line of the table in the
// usual case, where a node-based map followed a bucket, a node and the
// node's key to separate lines.
//
// Ownership: the table owns its routes and its copies of long ids; it refers
// to the consumers weakly (a route never keeps a consumer alive).
// Threads: none of its own; the caller serialises every use (the connection
// uses it only on the thread that reads frames, one at a time).
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace ks {

class TKsMessageConsumer;

class TKsConsumerRoutes {
 public:
  // Ids up to this size are held in the route itself.
  static constexpr std::size_t kInlineIdBytes = 39;

  // One consumer's route. at is the consumer's address: compared, never
  // followed (anything that uses the consumer takes consumer.lock()).
  struct alignas(64) TRoute {
    std::weak_ptr<TKsMessageConsumer> consumer;
    const TKsMessageConsumer* at = nullptr;  // nullptr: an empty slot
    // The id's size when it is held inline, else kLongId; the id bytes
    // follow (zeros past the size), or a pointer to the long id's copy.
    std::uint8_t size = 0;
    char id[kInlineIdBytes] = {};
  };
  static constexpr std::uint8_t kLongId = 0xFF;
  static_assert(kInlineIdBytes < kLongId);

  TKsConsumerRoutes() = default;
  TKsConsumerRoutes(const TKsConsumerRoutes&) = delete;
  TKsConsumerRoutes& operator=(const TKsConsumerRoutes&) = delete;

  // Empties the table and makes room for expected routes (more may be
  // added: the table grows).
  void Clear(std::size_t expected);
  // Adds a route for id to consumer, unless id has one already (the first
  // consumer added keeps an id that two share).
  void Add(std::string_view id, const std::shared_ptr<TKsMessageConsumer>& consumer);
  // The route of id, or nullptr.
  const TRoute* Find(std::string_view id) const noexcept {
    if (count_ == 0) return nullptr;
    for (std::size_t slot = Hash(id) & mask_;; slot = (slot + 1) & mask_) {
      const TRoute& route = routes_[slot];
      if (route.at == nullptr) return nullptr;
      if (Matches(route, id)) return &route;
    }
  }
  std::size_t Size() const noexcept { return count_; }

  // True when route is id's.
  static bool Matches(const TRoute& route, std::string_view id) noexcept {
    const std::size_t n = id.size();
    if (n < kInlineIdBytes) {
      if (route.size != n) return false;
      if (MidSize(n)) return SameMidSizeBytes(id.data(), route.id, n);
      return std::memcmp(id.data(), route.id, n) == 0;
    }
    return route.size == kLongId && *LongId(route) == id;
  }

  // True for the id sizes SameMidSizeBytes compares: 16 to 64 bytes.
  static constexpr bool MidSize(std::size_t n) noexcept { return n - 16 <= 48; }
  // True when the n bytes at a and at b are equal, for n from 16 to 64 (a
  // consumer id is a GUID text of 38), without a library call: a message's
  // subscription is compared so for every message, and a call would cost
  // the caller more than the compare. Overlapping blocks of sixteen where
  // the processor allows it.
  static bool SameMidSizeBytes(const char* a, const char* b, std::size_t n) noexcept {
#if defined(__SSE2__)
    const auto block = [a, b](std::size_t at) {
      return _mm_xor_si128(_mm_loadu_si128(reinterpret_cast<const __m128i*>(a + at)),
                           _mm_loadu_si128(reinterpret_cast<const __m128i*>(b + at)));
    };
    __m128i diff = _mm_or_si128(block(0), block(n - 16));
    if (n > 32) diff = _mm_or_si128(diff, block(16));
    if (n > 48) diff = _mm_or_si128(diff, block(32));
    return _mm_movemask_epi8(_mm_cmpeq_epi8(diff, _mm_setzero_si128())) == 0xFFFF;
#else
    return std::memcmp(a, b, n) == 0;
#endif
  }

  // Eight bytes at a time, each word multiplied in: an id of a few dozen
  // bytes hashes in a few dozen instructions (the standard hash costs about
  // a hundred, on the path of every message to one of many consumers).
  static std::uint64_t Hash(std::string_view text) noexcept {
    const char* p = text.data();
    const std::size_t n = text.size();
    std::uint64_t h = 0x9E3779B97F4A7C15ULL ^ n;
    const auto mix = [&h](std::uint64_t word) {
      h = (h ^ word) * 0xBF58476D1CE4E5B9ULL;
      h ^= h >> 31;
    };
    if (n < 8) {
      std::uint64_t word = 0;
      for (std::size_t i = 0; i < n; ++i) word = (word << 8) | static_cast<unsigned char>(p[i]);
      mix(word);
      return h;
    }
    // The last word overlaps the one before it unless n is a multiple of 8.
    const char* const last = p + n - 8;
    for (; p < last; p += 8) mix(Word(p));
    mix(Word(last));
    return h;
  }

 private:
  static std::uint64_t Word(const char* p) noexcept {
    std::uint64_t word;
    std::memcpy(&word, p, sizeof word);
    return word;
  }
  static const std::string* LongId(const TRoute& route) noexcept {
    const std::string* text;
    std::memcpy(&text, route.id, sizeof text);
    return text;
  }
  // A new empty array of (a power of two) slots.
  void Allocate(std::size_t slots);
  // Puts a route into the array (which has room), unless id has one.
  void Place(std::string_view id, const std::weak_ptr<TKsMessageConsumer>& consumer, const TKsMessageConsumer* at,
             const std::string* longId);

  std::unique_ptr<TRoute[]> routes_;
  std::size_t mask_ = 0;   // slots - 1
  std::size_t count_ = 0;  // routes in use
  std::vector<std::unique_ptr<std::string>> longIds_;  // the copies of ids past kInlineIdBytes
};

static_assert(sizeof(TKsConsumerRoutes::TRoute) == 64, "a route is one cache line");

}  // namespace ks
