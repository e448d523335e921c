// Cistern's topics: fan-out, noLocal and durable subscriptions.
#include <string>

#include <gtest/gtest.h>

#include "tests/broker/CisternTestUtil.hpp"

using namespace ks::test;
using namespace std::chrono_literals;

namespace {

struct TopicTest : ::testing::Test {
  void SetUp() override {
    ASSERT_TRUE(broker.Started());
    ASSERT_TRUE(producer.Login(broker.Host(), broker.Port()));
  }
  bool Publish(const std::string& body, const std::string& dest = "jms.topic.news") {
    return Confirmed(producer, "SEND", {{"destination", dest}}, body);
  }
  TCisternProcess broker;
  TRawStompPeer producer;
};

}  // namespace

TEST_F(TopicTest, EveryCurrentSubscriberGetsACopy) {
  ASSERT_TRUE(Publish("before anyone listened"));
  TRawStompPeer c[3], elsewhere;
  for (int i = 0; i < 3; ++i) {
    ASSERT_TRUE(c[i].Login(broker.Host(), broker.Port()));
    ASSERT_TRUE(Subscribed(c[i], "jms.topic.news", "t" + std::to_string(i)));
  }
  ASSERT_TRUE(elsewhere.Login(broker.Host(), broker.Port()));
  ASSERT_TRUE(Subscribed(elsewhere, "jms.topic.sport", "x"));
  for (int n = 0; n < 5; ++n) ASSERT_TRUE(Publish("n" + std::to_string(n)));
  for (int i = 0; i < 3; ++i) {
    auto got = ReadMessages(c[i], 5);
    EXPECT_EQ(Bodies(got), (std::vector<std::string>{"n0", "n1", "n2", "n3", "n4"}));
    for (const auto& f : got) EXPECT_EQ(f.Header("subscription"), "t" + std::to_string(i));
    EXPECT_TRUE(c[i].Quiet(20ms));
  }
  EXPECT_TRUE(elsewhere.Quiet(20ms));
  // An ended subscription gets nothing more.
  ASSERT_TRUE(Confirmed(c[0], "UNSUBSCRIBE", {{"id", "t0"}}));
  ASSERT_TRUE(Publish("after"));
  EXPECT_EQ(Bodies(ReadMessages(c[1], 1)), (std::vector<std::string>{"after"}));
  EXPECT_TRUE(c[0].Quiet(50ms));
}

TEST_F(TopicTest, NoLocalSuppressesOnlyTheOwnConnection) {
  TRawStompPeer a;
  ASSERT_TRUE(a.Login(broker.Host(), broker.Port()));
  ASSERT_TRUE(Subscribed(a, "jms.topic.chat", "quiet", {{"activemq.noLocal", "true"}}));
  ASSERT_TRUE(Subscribed(a, "jms.topic.chat", "loud"));
  std::vector<TRawFrame> got;  // the own copy may come before the receipt
  ASSERT_TRUE(Confirmed(a, "SEND", {{"destination", "jms.topic.chat"}}, "from-a", false, &got));
  ASSERT_TRUE(Publish("from-producer", "jms.topic.chat"));
  auto rest = ReadMessages(a, 3 - got.size());
  got.insert(got.end(), rest.begin(), rest.end());
  std::vector<std::string> quiet, loud;
  for (const auto& f : got) (f.Header("subscription") == "quiet" ? quiet : loud).push_back(f.body);
  EXPECT_EQ(quiet, (std::vector<std::string>{"from-producer"}));
  EXPECT_EQ(loud, (std::vector<std::string>{"from-a", "from-producer"}));
}

TEST_F(TopicTest, DurableSubscriptionKeepsMessagesWhileOfflineUntilDeleted) {
  const TRawHeaders durable{{"activemq.subscriptionName", "keeper"}};
  {
    TRawStompPeer c;
    ASSERT_TRUE(c.Login(broker.Host(), broker.Port(), {{"client-id", "app-1"}}));
    ASSERT_TRUE(Subscribed(c, "jms.topic.d", "d1", durable));
    ASSERT_TRUE(Publish("online", "jms.topic.d"));
    EXPECT_EQ(Bodies(ReadMessages(c, 1)), (std::vector<std::string>{"online"}));
    // The connection ends (confirmed, so nothing is sent to it on the way
    // out); the durable subscription stays.
    ASSERT_TRUE(Confirmed(c, "DISCONNECT", {}));
  }
  ASSERT_TRUE(Publish("offline-1", "jms.topic.d"));
  ASSERT_TRUE(Publish("offline-2", "jms.topic.d"));
  TRawStompPeer other;  // another client id has its own subscriptions
  ASSERT_TRUE(other.Login(broker.Host(), broker.Port(), {{"client-id", "app-2"}}));
  ASSERT_TRUE(Subscribed(other, "jms.topic.d", "d1", durable));
  EXPECT_TRUE(other.Quiet(30ms));

  TRawStompPeer c;
  ASSERT_TRUE(c.Login(broker.Host(), broker.Port(), {{"client-id", "app-1"}}));
  ASSERT_TRUE(Subscribed(c, "jms.topic.d", "again", durable));
  auto got = ReadMessages(c, 2);
  EXPECT_EQ(Bodies(got), (std::vector<std::string>{"offline-1", "offline-2"}));
  for (const auto& f : got) EXPECT_EQ(f.Header("subscription"), "again");
  // While held, a second holder is refused.
  {
    TRawStompPeer twin;
    ASSERT_TRUE(twin.Login(broker.Host(), broker.Port(), {{"client-id", "app-1"}}));
    ASSERT_TRUE(twin.SendFrame("SUBSCRIBE", {{"destination", "jms.topic.d"}, {"id", "x"}, durable[0]}));
    EXPECT_TRUE(RefusedAndClosed(twin));
  }
  // Deleting it drops what it kept.
  ASSERT_TRUE(Confirmed(c, "UNSUBSCRIBE", {{"id", "again"}}));
  ASSERT_TRUE(Publish("kept-then-dropped", "jms.topic.d"));
  ASSERT_TRUE(Confirmed(c, "UNSUBSCRIBE", {{"destination", "jms.topic.d"}, durable[0]}));
  ASSERT_TRUE(Publish("nobody", "jms.topic.d"));
  ASSERT_TRUE(Subscribed(c, "jms.topic.d", "fresh", durable));
  ASSERT_TRUE(Publish("new", "jms.topic.d"));
  EXPECT_EQ(Bodies(ReadMessages(c, 1)), (std::vector<std::string>{"new"}));
  EXPECT_TRUE(c.Quiet(30ms));
}

TEST_F(TopicTest, DurableClientAckRedeliversAfterReconnect) {
  const TRawHeaders durable{{"activemq.subscriptionName", "acker"}, {"ack", "client"}};
  {
    TRawStompPeer c;
    ASSERT_TRUE(c.Login(broker.Host(), broker.Port(), {{"client-id", "app"}}));
    ASSERT_TRUE(Subscribed(c, "jms.topic.da", "s", durable));
    ASSERT_TRUE(Publish("one", "jms.topic.da"));
    ASSERT_TRUE(Publish("two", "jms.topic.da"));
    auto got = ReadMessages(c, 2);
    ASSERT_EQ(got.size(), 2u);
    ASSERT_TRUE(Confirmed(c, "ACK", {{"message-id", got[0].Header("message-id")}}));
  }
  ASSERT_TRUE(Publish("three", "jms.topic.da"));
  TRawStompPeer c;
  ASSERT_TRUE(c.Login(broker.Host(), broker.Port(), {{"client-id", "app"}}));
  ASSERT_TRUE(Subscribed(c, "jms.topic.da", "s", durable));
  auto got = ReadMessages(c, 2);
  EXPECT_EQ(Bodies(got), (std::vector<std::string>{"two", "three"}));
  ASSERT_EQ(got.size(), 2u);
  EXPECT_EQ(got[0].Header("redelivered"), "true");
  EXPECT_FALSE(got[1].Has("redelivered"));
}

TEST_F(TopicTest, DurableSubscriptionHonoursItsSelectorWhileOffline) {
  const TRawHeaders durable{{"activemq.subscriptionName", "picky"}, {"selector", "kind = 'keep'"}};
  {
    TRawStompPeer c;
    ASSERT_TRUE(c.Login(broker.Host(), broker.Port(), {{"client-id", "sel"}}));
    ASSERT_TRUE(Subscribed(c, "jms.topic.ds", "s", durable));
    ASSERT_TRUE(Confirmed(c, "DISCONNECT", {}));
  }
  ASSERT_TRUE(Confirmed(producer, "SEND", {{"destination", "jms.topic.ds"}, {"kind", "drop"}}, "d"));
  ASSERT_TRUE(Confirmed(producer, "SEND", {{"destination", "jms.topic.ds"}, {"kind", "keep"}}, "k"));
  TRawStompPeer c;
  ASSERT_TRUE(c.Login(broker.Host(), broker.Port(), {{"client-id", "sel"}}));
  ASSERT_TRUE(Subscribed(c, "jms.topic.ds", "s", durable));
  EXPECT_EQ(Bodies(ReadMessages(c, 1)), (std::vector<std::string>{"k"}));
  EXPECT_TRUE(c.Quiet(30ms));
}

TEST_F(TopicTest, DeletingAHeldDurableSubscription) {
  const TRawHeaders durable{{"activemq.subscriptionName", "held"}};
  TRawStompPeer owner, stranger;
  ASSERT_TRUE(owner.Login(broker.Host(), broker.Port(), {{"client-id", "own"}}));
  ASSERT_TRUE(Subscribed(owner, "jms.topic.h", "s", durable));
  // Another connection with the same client id may not delete it.
  ASSERT_TRUE(stranger.Login(broker.Host(), broker.Port(), {{"client-id", "own"}}));
  ASSERT_TRUE(stranger.SendFrame("UNSUBSCRIBE", {{"destination", "h"}, durable[0]}));
  EXPECT_TRUE(RefusedAndClosed(stranger));
  // The holding connection may: its subscription ends with it (the library
  // names the topic without prefix here).
  ASSERT_TRUE(Confirmed(owner, "UNSUBSCRIBE", {{"destination", "h"}, durable[0]}));
  ASSERT_TRUE(Publish("gone", "jms.topic.h"));
  EXPECT_TRUE(owner.Quiet(50ms));
  ASSERT_TRUE(Subscribed(owner, "jms.topic.h", "s", durable));
  ASSERT_TRUE(Publish("fresh", "jms.topic.h"));
  EXPECT_EQ(Bodies(ReadMessages(owner, 1)), (std::vector<std::string>{"fresh"}));
}
