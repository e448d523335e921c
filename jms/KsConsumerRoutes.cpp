#include "jms/KsConsumerRoutes.hpp"

#include <utility>

namespace ks {

namespace {

// The fewest slots an array has.
constexpr std::size_t kMinSlots = 8;

}  // namespace

void TKsConsumerRoutes::Allocate(std::size_t slots) {
  if (routes_ && mask_ + 1 == slots) {
    for (std::size_t i = 0; i < slots; ++i) routes_[i] = TRoute{};
  } else {
    routes_ = std::make_unique<TRoute[]>(slots);
    mask_ = slots - 1;
  }
  count_ = 0;
}

void TKsConsumerRoutes::Clear(std::size_t expected) {
  // A quarter full: a look-up then reads a second route in about one case
  // in six (half full, one in three).
  std::size_t slots = kMinSlots;
  while (slots < 4 * expected) slots *= 2;
  longIds_.clear();
  Allocate(slots);
}

void TKsConsumerRoutes::Add(std::string_view id, const std::shared_ptr<TKsMessageConsumer>& consumer) {
  if (!routes_ || 2 * (count_ + 1) > mask_ + 1) {
    // Twice the slots (or the first array), the routes placed anew.
    std::unique_ptr<TRoute[]> old = std::move(routes_);
    const std::size_t oldSlots = old ? mask_ + 1 : 0;
    Allocate(oldSlots == 0 ? kMinSlots : 2 * oldSlots);
    for (std::size_t i = 0; i < oldSlots; ++i) {
      const TRoute& route = old[i];
      if (route.at == nullptr) continue;
      if (route.size == kLongId) {
        const std::string* text = LongId(route);
        Place(*text, route.consumer, route.at, text);
      } else {
        Place(std::string_view(route.id, route.size), route.consumer, route.at, nullptr);
      }
    }
  }
  if (id.size() < kInlineIdBytes) {
    Place(id, consumer, consumer.get(), nullptr);
    return;
  }
  if (Find(id) != nullptr) return;
  longIds_.push_back(std::make_unique<std::string>(id));
  Place(id, consumer, consumer.get(), longIds_.back().get());
}

void TKsConsumerRoutes::Place(std::string_view id, const std::weak_ptr<TKsMessageConsumer>& consumer,
                              const TKsMessageConsumer* at, const std::string* longId) {
  std::size_t slot = Hash(id) & mask_;
  for (; routes_[slot].at != nullptr; slot = (slot + 1) & mask_) {
    if (Matches(routes_[slot], id)) return;
  }
  TRoute& route = routes_[slot];
  route.consumer = consumer;
  route.at = at;
  if (longId != nullptr) {
    route.size = kLongId;
    std::memcpy(route.id, &longId, sizeof longId);
  } else {
    route.size = static_cast<std::uint8_t>(id.size());
    if (!id.empty()) std::memcpy(route.id, id.data(), id.size());
  }
  ++count_;
}

}  // namespace ks
