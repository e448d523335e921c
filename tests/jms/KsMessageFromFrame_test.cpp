// The header scan of a received frame, against the rules written out plainly.
#include <gtest/gtest.h>

#include <cstdint>
#include <memory>
#include <random>
#include <string>
#include <string_view>
#include <vector>

#include "jms/KsMessageFromFrame.hpp"
#include "support/KsText.hpp"

namespace ks {
namespace {

// Lists drawn from the known names, their upper-case spellings and near
// misses (one byte changed anywhere: the next byte, "=", or for "-" the
// control byte that differs from it only in the case bit), names of every
// length up to 24; duplicates, empty lists and lists over 64. Each name sits
// alone in memory of its exact size, so a read past it shows under the
// address sanitizer.
TEST(HeaderScan, MatchesTheRulesForAnyList) {
  struct TKnown {
    std::string_view spelling;
    int slot;  // -1: none
    bool standard;
  };
  const TKnown known[] = {
      {"message-id", TKsHeaderScan::kMessageId, true},
      {"correlation-id", TKsHeaderScan::kCorrelationId, true},
      {"expires", TKsHeaderScan::kExpires, true},
      {"persistent", TKsHeaderScan::kPersistent, true},
      {"priority", TKsHeaderScan::kPriority, true},
      {"reply-to", TKsHeaderScan::kReplyTo, true},
      {"timestamp", TKsHeaderScan::kTimestamp, true},
      {"type", TKsHeaderScan::kType, true},
      {"redelivered", TKsHeaderScan::kRedelivered, true},
      {"destination", -1, true},
      {"subscription", TKsHeaderScan::kSubscription, false},
      {"transformation-error", TKsHeaderScan::kTransformationError, false},
      {"content-type", TKsHeaderScan::kContentType, false},
  };
  std::vector<std::string> pool;
  for (const TKnown& k : known) {
    const std::string name(k.spelling);
    pool.push_back(name);
    std::string upper = name;
    for (char& c : upper) c = (c >= 'a' && c <= 'z') ? static_cast<char>(c - 32) : c;
    pool.push_back(upper);
    for (std::size_t i = 0; i < name.size(); ++i) {
      std::string near = name;
      near[i] = name[i] == '-' ? '\r' : static_cast<char>(name[i] + 1);
      pool.push_back(near);
      near[i] = '=';
      pool.push_back(near);
    }
    pool.push_back(name + "x");
    pool.push_back(name.substr(1));
  }
  for (std::size_t size = 0; size <= 24; ++size) {
    pool.push_back(std::string(size, 'a'));
    pool.push_back(std::string(size, '\xFF'));
    if (size > 0) pool.push_back(std::string(size - 1, 'k') + "=");
  }

  constexpr std::string_view kValues = "vv";
  std::mt19937 random(7);
  for (int round = 0; round < 4000; ++round) {
    const std::size_t count = round % 50 == 0 ? 60 + random() % 10 : random() % 12;
    std::vector<std::unique_ptr<char[]>> store;
    std::vector<TKsHeaderView> list;
    for (std::size_t i = 0; i < count; ++i) {
      const std::string& name = pool[random() % pool.size()];
      store.push_back(std::make_unique<char[]>(name.size()));
      name.copy(store.back().get(), name.size());
      list.emplace_back(std::string_view(store.back().get(), name.size()), kValues.substr(0, i % 3));
    }
    const TKsHeaderScan scan(list.data(), list.size());

    // The first entry per folded name fills a slot; every name that is not
    // exactly a standard one is a property; the first 64 entries are marked.
    std::vector<const std::string_view*> slots(TKsHeaderScan::kSlotCount, nullptr);
    std::vector<const char*> marked;
    std::size_t propertyCount = 0;
    std::size_t propertyBytes = 0;
    bool withEquals = false;
    for (std::size_t i = 0; i < count; ++i) {
      const std::string_view name = list[i].first;
      bool standard = false;
      for (const TKnown& k : known) {
        if (k.slot >= 0 && SameText(name, k.spelling) && slots[k.slot] == nullptr) slots[k.slot] = &list[i].second;
        standard = standard || (k.standard && name == k.spelling);
      }
      if (standard) continue;
      if (i < 64) marked.push_back(name.data());
      ++propertyCount;
      propertyBytes += name.size() + list[i].second.size();
      withEquals = withEquals || name.find('=') != std::string_view::npos;
    }
    for (int slot = 0; slot < TKsHeaderScan::kSlotCount; ++slot) {
      ASSERT_EQ(scan.Find(static_cast<TKsHeaderScan::TSlot>(slot)), slots[slot]) << "round " << round;
    }
    ASSERT_EQ(scan.Appendable(), count <= 64 && !withEquals) << "round " << round;
    ASSERT_EQ(scan.PropertyCount(), propertyCount) << "round " << round;
    ASSERT_EQ(scan.PropertyBytes(), propertyBytes) << "round " << round;
    std::vector<const char*> visited;
    scan.ForEachProperty([&visited](std::string_view name, std::string_view) { visited.push_back(name.data()); });
    ASSERT_EQ(visited, marked) << "round " << round;
  }
}

}  // namespace
}  // namespace ks
