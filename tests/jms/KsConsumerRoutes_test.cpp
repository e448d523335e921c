#include "jms/KsConsumerRoutes.hpp"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "jms/KsConsumerID.hpp"

using namespace ks;

namespace {

// Stand-ins for consumers: the table compares their addresses and holds
// weak references, and never follows either, so a reference that shares
// an ordinary object's ownership and names a distinct address per entry
// does.
struct TStandIns {
  std::shared_ptr<std::vector<char>> owner = std::make_shared<std::vector<char>>(4096);
  std::shared_ptr<TKsMessageConsumer> At(std::size_t i) const {
    return std::shared_ptr<TKsMessageConsumer>(owner, reinterpret_cast<TKsMessageConsumer*>(owner->data() + i));
  }
};

}  // namespace

TEST(ConsumerRoutes, FindsEveryIdOfManySizesAndNothingElse) {
  const TStandIns consumers;
  std::vector<std::string> ids;
  for (int i = 0; i < 1000; ++i) ids.push_back(TKsConsumerID::NewGUIDText());
  // Renewed subscriptions, names chosen by callers, and ids of the sizes
  // around the inline limit.
  ids.push_back(ids[0] + ".1");
  ids.push_back(ids[1] + ".12");
  ids.push_back("");
  ids.push_back("a");
  ids.push_back("durable-name");
  for (std::size_t n = 14; n <= 70; ++n) ids.push_back(std::string(n, 'x') + std::to_string(n));
  ids.push_back(std::string(300, 'y'));
  TKsConsumerRoutes routes;
  // Fewer expected than added: the table grows on the way.
  routes.Clear(10);
  for (std::size_t i = 0; i < ids.size(); ++i) routes.Add(ids[i], consumers.At(i));
  ASSERT_EQ(routes.Size(), ids.size());
  for (std::size_t i = 0; i < ids.size(); ++i) {
    const TKsConsumerRoutes::TRoute* route = routes.Find(ids[i]);
    ASSERT_NE(route, nullptr) << ids[i];
    EXPECT_EQ(route->at, consumers.At(i).get()) << ids[i];
    EXPECT_EQ(route->consumer.lock().get(), consumers.At(i).get()) << ids[i];
    EXPECT_TRUE(TKsConsumerRoutes::Matches(*route, ids[i]));
  }
  // Same sizes with another last byte, prefixes, extensions.
  for (std::size_t i = 0; i < ids.size(); ++i) {
    const std::string& id = ids[i];
    if (!id.empty()) {
      std::string other = id;
      other.back() = static_cast<char>(other.back() ^ 1);
      const std::string prefix = id.substr(0, id.size() - 1);
      for (const std::string& near : {other, prefix}) {
        if (const TKsConsumerRoutes::TRoute* route = routes.Find(near)) {
          EXPECT_NE(route->at, consumers.At(i).get()) << near;
        }
      }
    }
    EXPECT_EQ(routes.Find(id + "?"), nullptr) << id;
  }
  EXPECT_EQ(routes.Find("{00000000-0000-4000-8000-000000000000}"), nullptr);
}

TEST(ConsumerRoutes, KeepsTheFirstOfTwoConsumersOfOneIdAndForgetsOnClear) {
  const TStandIns consumers;
  const std::string shared = TKsConsumerID::NewGUIDText();
  const std::string longShared(80, 'z');
  TKsConsumerRoutes routes;
  routes.Clear(2);
  routes.Add(shared, consumers.At(1));
  routes.Add(longShared, consumers.At(2));
  routes.Add(shared, consumers.At(3));
  routes.Add(longShared, consumers.At(4));
  EXPECT_EQ(routes.Size(), 2u);
  EXPECT_EQ(routes.Find(shared)->at, consumers.At(1).get());
  EXPECT_EQ(routes.Find(longShared)->at, consumers.At(2).get());

  routes.Clear(1);
  EXPECT_EQ(routes.Find(shared), nullptr);
  EXPECT_EQ(routes.Find(longShared), nullptr);
  routes.Add(longShared, consumers.At(5));
  EXPECT_EQ(routes.Find(longShared)->at, consumers.At(5).get());
}

TEST(ConsumerRoutes, HoldsConsumersWeakly) {
  const std::string id = TKsConsumerID::NewGUIDText();
  TKsConsumerRoutes routes;
  routes.Clear(1);
  {
    const TStandIns consumers;
    routes.Add(id, consumers.At(0));
    EXPECT_NE(routes.Find(id)->consumer.lock(), nullptr);
  }
  ASSERT_NE(routes.Find(id), nullptr);
  EXPECT_EQ(routes.Find(id)->consumer.lock(), nullptr);
}
