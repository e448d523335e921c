// Cistern's queues: round robin, ordering by priority, client
// acknowledgement with redelivery, transactions, expiry and selectors.
#include <string>

#include <gtest/gtest.h>

#include "tests/broker/CisternTestUtil.hpp"

using namespace ks::test;
using namespace std::chrono_literals;

namespace {

struct QueueTest : ::testing::Test {
  void SetUp() override {
    ASSERT_TRUE(broker.Started());
    ASSERT_TRUE(producer.Login(broker.Host(), broker.Port()));
  }
  bool Send(const std::string& dest, const std::string& body, TRawHeaders extra = {}) {
    TRawHeaders h{{"destination", dest}};
    h.insert(h.end(), extra.begin(), extra.end());
    return producer.SendFrame("SEND", h, body);
  }
  TCisternProcess broker;
  TRawStompPeer producer;
};

}  // namespace

TEST_F(QueueTest, EachMessageGoesToOneSubscriberRoundRobin) {
  TRawStompPeer c[3];
  for (int i = 0; i < 3; ++i) {
    ASSERT_TRUE(c[i].Login(broker.Host(), broker.Port()));
    ASSERT_TRUE(Subscribed(c[i], "jms.queue.rr", "s" + std::to_string(i)));
  }
  for (int n = 0; n < 9; ++n) ASSERT_TRUE(Send("jms.queue.rr", "m" + std::to_string(n)));
  for (int i = 0; i < 3; ++i) {
    auto got = ReadMessages(c[i], 3);
    EXPECT_EQ(Bodies(got), (std::vector<std::string>{"m" + std::to_string(i), "m" + std::to_string(i + 3),
                                                      "m" + std::to_string(i + 6)}));
    for (const auto& f : got) EXPECT_EQ(f.Header("subscription"), "s" + std::to_string(i));
    EXPECT_TRUE(c[i].Quiet(50ms));
  }
}

TEST_F(QueueTest, WaitingMessagesLeaveByPriorityThenArrival) {
  ASSERT_TRUE(Send("jms.queue.prio", "a4", {{"priority", "4"}}));
  ASSERT_TRUE(Send("jms.queue.prio", "b9", {{"priority", "9"}}));
  ASSERT_TRUE(Send("jms.queue.prio", "c0", {{"priority", "0"}}));
  ASSERT_TRUE(Send("jms.queue.prio", "d9", {{"priority", "9"}}));
  ASSERT_TRUE(Send("jms.queue.prio", "e-default"));
  ASSERT_TRUE(Confirmed(producer, "SEND", {{"destination", "jms.queue.prio"}, {"priority", "1"}}, "f1"));
  TRawStompPeer consumer;
  ASSERT_TRUE(consumer.Login(broker.Host(), broker.Port()));
  ASSERT_TRUE(Subscribed(consumer, "jms.queue.prio", "s"));
  EXPECT_EQ(Bodies(ReadMessages(consumer, 6)),
            (std::vector<std::string>{"b9", "d9", "a4", "e-default", "f1", "c0"}));
}

TEST_F(QueueTest, UnacknowledgedMessagesAreRedeliveredAfterDisconnect) {
  for (int n = 1; n <= 4; ++n) ASSERT_TRUE(Send("jms.queue.ack", "m" + std::to_string(n)));
  std::vector<TRawFrame> got;
  {
    TRawStompPeer first;
    ASSERT_TRUE(first.Login(broker.Host(), broker.Port()));
    ASSERT_TRUE(Subscribed(first, "jms.queue.ack", "s", {{"ack", "client"}}));
    got = ReadMessages(first, 4);
    ASSERT_EQ(got.size(), 4u);
    // Acknowledging m2 acknowledges m1 too.
    ASSERT_TRUE(Confirmed(first, "ACK", {{"message-id", got[1].Header("message-id")}}));
  }  // the connection ends without acknowledging m3, m4
  TRawStompPeer second;
  ASSERT_TRUE(second.Login(broker.Host(), broker.Port()));
  ASSERT_TRUE(Subscribed(second, "jms.queue.ack", "s2", {{"ack", "client"}}));
  auto again = ReadMessages(second, 2);
  ASSERT_EQ(again.size(), 2u);
  EXPECT_EQ(Bodies(again), (std::vector<std::string>{"m3", "m4"}));
  EXPECT_EQ(again[0].Header("redelivered"), "true");
  EXPECT_EQ(again[0].Header("message-id"), got[2].Header("message-id"));
  // Ending the subscription also returns them, ahead of newer messages.
  ASSERT_TRUE(Send("jms.queue.ack", "m5"));
  auto m5 = ReadMessages(second, 1);
  ASSERT_TRUE(Confirmed(second, "UNSUBSCRIBE", {{"id", "s2"}}));
  ASSERT_TRUE(Send("jms.queue.ack", "m6"));
  ASSERT_TRUE(Subscribed(second, "jms.queue.ack", "s3"));
  auto last = ReadMessages(second, 4);
  EXPECT_EQ(Bodies(last), (std::vector<std::string>{"m3", "m4", "m5", "m6"}));
  ASSERT_EQ(last.size(), 4u);
  EXPECT_EQ(last[2].Header("redelivered"), "true");
  EXPECT_FALSE(last[3].Has("redelivered"));
}

TEST_F(QueueTest, TransactionsTakeEffectAtCommitAndVanishAtAbort) {
  TRawStompPeer consumer;
  ASSERT_TRUE(consumer.Login(broker.Host(), broker.Port()));
  ASSERT_TRUE(Subscribed(consumer, "jms.queue.tx", "s"));
  ASSERT_TRUE(Confirmed(producer, "BEGIN", {{"transaction", "t1"}}));
  ASSERT_TRUE(Send("jms.queue.tx", "tx-a", {{"transaction", "t1"}}));
  ASSERT_TRUE(Send("jms.queue.tx", "tx-b", {{"transaction", "t1"}}));
  ASSERT_TRUE(Send("jms.queue.tx", "plain-1"));
  // The plain message overtakes the uncommitted ones.
  EXPECT_EQ(Bodies(ReadMessages(consumer, 1)), (std::vector<std::string>{"plain-1"}));
  ASSERT_TRUE(Confirmed(producer, "COMMIT", {{"transaction", "t1"}}));
  auto committed = ReadMessages(consumer, 2);
  EXPECT_EQ(Bodies(committed), (std::vector<std::string>{"tx-a", "tx-b"}));
  for (const auto& f : committed) EXPECT_FALSE(f.Has("transaction"));

  ASSERT_TRUE(Confirmed(producer, "BEGIN", {{"transaction", "t2"}}));
  ASSERT_TRUE(Send("jms.queue.tx", "dropped", {{"transaction", "t2"}}));
  ASSERT_TRUE(Confirmed(producer, "ABORT", {{"transaction", "t2"}}));
  // A connection that ends aborts its open transactions.
  {
    TRawStompPeer quitter;
    ASSERT_TRUE(quitter.Login(broker.Host(), broker.Port()));
    ASSERT_TRUE(Confirmed(quitter, "BEGIN", {{"transaction", "t3"}}));
    ASSERT_TRUE(Confirmed(quitter, "SEND", {{"destination", "jms.queue.tx"}, {"transaction", "t3"}}, "lost"));
  }
  ASSERT_TRUE(Send("jms.queue.tx", "plain-2"));
  EXPECT_EQ(Bodies(ReadMessages(consumer, 1)), (std::vector<std::string>{"plain-2"}));
  EXPECT_TRUE(consumer.Quiet(100ms));
  // A committed id may not be committed again.
  ASSERT_TRUE(producer.SendFrame("COMMIT", {{"transaction", "t1"}}));
  EXPECT_TRUE(RefusedAndClosed(producer));
}

TEST_F(QueueTest, AcknowledgementsInATransactionCountOnlyAtCommit) {
  for (int n = 1; n <= 2; ++n) ASSERT_TRUE(Send("jms.queue.txack", "m" + std::to_string(n)));
  {
    TRawStompPeer c;
    ASSERT_TRUE(c.Login(broker.Host(), broker.Port()));
    ASSERT_TRUE(Subscribed(c, "jms.queue.txack", "s", {{"ack", "client"}}));
    auto got = ReadMessages(c, 2);
    ASSERT_EQ(got.size(), 2u);
    ASSERT_TRUE(Confirmed(c, "BEGIN", {{"transaction", "a"}}));
    ASSERT_TRUE(Confirmed(c, "ACK", {{"message-id", got[1].Header("message-id")}, {"transaction", "a"}}));
    ASSERT_TRUE(Confirmed(c, "ABORT", {{"transaction", "a"}}));
    ASSERT_TRUE(Confirmed(c, "BEGIN", {{"transaction", "b"}}));
    ASSERT_TRUE(Confirmed(c, "ACK", {{"message-id", got[0].Header("message-id")}, {"transaction", "b"}}));
    ASSERT_TRUE(Confirmed(c, "COMMIT", {{"transaction", "b"}}));
  }
  TRawStompPeer c2;
  ASSERT_TRUE(c2.Login(broker.Host(), broker.Port()));
  ASSERT_TRUE(Subscribed(c2, "jms.queue.txack", "s"));
  auto again = ReadMessages(c2, 1);
  EXPECT_EQ(Bodies(again), (std::vector<std::string>{"m2"}));
  EXPECT_TRUE(c2.Quiet(50ms));
}

TEST_F(QueueTest, ExpiredMessagesAreNotDelivered) {
  const std::int64_t now = UnixMillisNow();
  ASSERT_TRUE(Send("jms.queue.exp", "past", {{"expires", std::to_string(now - 1000)}}));
  ASSERT_TRUE(Send("jms.queue.exp", "never", {{"expires", "0"}}));
  ASSERT_TRUE(Send("jms.queue.exp", "future", {{"expires", std::to_string(now + 600000)}}));
  ASSERT_TRUE(Confirmed(producer, "SEND", {{"destination", "jms.queue.exp"}, {"expires", "1"}}, "ancient"));
  TRawStompPeer consumer;
  ASSERT_TRUE(consumer.Login(broker.Host(), broker.Port()));
  ASSERT_TRUE(Subscribed(consumer, "jms.queue.exp", "s"));
  auto got = ReadMessages(consumer, 2);
  EXPECT_EQ(Bodies(got), (std::vector<std::string>{"never", "future"}));
  EXPECT_TRUE(consumer.Quiet(50ms));
}

TEST_F(QueueTest, SelectorsPickMessagesAndOthersWait) {
  TRawStompPeer red, big;
  ASSERT_TRUE(red.Login(broker.Host(), broker.Port()));
  ASSERT_TRUE(big.Login(broker.Host(), broker.Port()));
  ASSERT_TRUE(Subscribed(red, "jms.queue.sel", "r", {{"selector", "colour = 'red'"}}));
  ASSERT_TRUE(Subscribed(big, "jms.queue.sel", "b", {{"selector", "size >= 10 and colour <> 'red' AND JMSType = 'box'"}}));
  ASSERT_TRUE(Send("jms.queue.sel", "red-1", {{"colour", "red"}}));
  ASSERT_TRUE(Send("jms.queue.sel", "blue-big", {{"colour", "blue"}, {"size", "12"}, {"type", "box"}}));
  ASSERT_TRUE(Send("jms.queue.sel", "blue-small", {{"colour", "blue"}, {"size", "3"}, {"type", "box"}}));
  ASSERT_TRUE(Send("jms.queue.sel", "red-2", {{"colour", "red"}, {"size", "50"}}));
  ASSERT_TRUE(Send("jms.queue.sel", "no-colour"));
  EXPECT_EQ(Bodies(ReadMessages(red, 2)), (std::vector<std::string>{"red-1", "red-2"}));
  EXPECT_EQ(Bodies(ReadMessages(big, 1)), (std::vector<std::string>{"blue-big"}));
  // Messages no selector matched wait for a subscriber that takes them.
  TRawStompPeer any;
  ASSERT_TRUE(any.Login(broker.Host(), broker.Port()));
  ASSERT_TRUE(Subscribed(any, "jms.queue.sel", "a"));
  EXPECT_EQ(Bodies(ReadMessages(any, 2)), (std::vector<std::string>{"blue-small", "no-colour"}));
  // Quotes, numbers and priorities.
  ASSERT_TRUE(Subscribed(red, "jms.queue.sel2", "q", {{"selector", "name = 'O''Hara' AND JMSPriority = 7 AND n = 2.5"}}));
  ASSERT_TRUE(Send("jms.queue.sel2", "match", {{"name", "O'Hara"}, {"priority", "7"}, {"n", "2.50"}}));
  EXPECT_EQ(Bodies(ReadMessages(red, 1)), (std::vector<std::string>{"match"}));
  for (const char* bad : {"a LIKE 'x%'", "a = 1 OR b = 2", "(a = 1)", "a =", "NOT a = 1", "a = 'open", "a IS NULL"}) {
    SCOPED_TRACE(bad);
    TRawStompPeer p;
    ASSERT_TRUE(p.Login(broker.Host(), broker.Port()));
    ASSERT_TRUE(p.SendFrame("SUBSCRIBE", {{"destination", "jms.queue.sel"}, {"selector", bad}}));
    EXPECT_TRUE(RefusedAndClosed(p));
  }
}

TEST_F(QueueTest, NoLocalSubscriberSkipsItsOwnConnection) {
  TRawStompPeer mixed;
  ASSERT_TRUE(mixed.Login(broker.Host(), broker.Port()));
  ASSERT_TRUE(Subscribed(mixed, "jms.queue.nl", "s", {{"activemq.noLocal", "true"}}));
  ASSERT_TRUE(Confirmed(mixed, "SEND", {{"destination", "jms.queue.nl"}}, "own"));
  ASSERT_TRUE(Send("jms.queue.nl", "foreign"));
  EXPECT_EQ(Bodies(ReadMessages(mixed, 1)), (std::vector<std::string>{"foreign"}));
  TRawStompPeer other;
  ASSERT_TRUE(other.Login(broker.Host(), broker.Port()));
  ASSERT_TRUE(Subscribed(other, "jms.queue.nl", "o"));
  EXPECT_EQ(Bodies(ReadMessages(other, 1)), (std::vector<std::string>{"own"}));
}
