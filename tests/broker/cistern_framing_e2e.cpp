// Cistern's reading and writing of frames, over real sockets with
// hand-written bytes.
#include <string>

#include <gtest/gtest.h>

#include "tests/broker/CisternTestUtil.hpp"

using namespace ks::test;
using namespace std::chrono_literals;

TEST(CisternFraming, ConnectGivesUniqueSessionsAndHonoursReceipt) {
  TCisternProcess broker;
  ASSERT_TRUE(broker.Started());
  TRawStompPeer a, b;
  ASSERT_TRUE(a.Login(broker.Host(), broker.Port()));
  ASSERT_TRUE(b.Connect(broker.Host(), broker.Port()));
  ASSERT_TRUE(b.SendFrame("CONNECT", {{"login", "x"}, {"passcode", "y"}, {"receipt", "c1"}}));
  auto connected = b.ReadFrame();
  ASSERT_TRUE(connected);
  EXPECT_EQ(connected->command, "CONNECTED");
  auto receipt = b.ReadFrame();
  ASSERT_TRUE(receipt);
  EXPECT_EQ(receipt->command, "RECEIPT");
  EXPECT_EQ(receipt->Header("receipt-id"), "c1");
  const std::string s1 = a.LastReply()->Header("session");
  EXPECT_FALSE(s1.empty());
  EXPECT_NE(s1, connected->Header("session"));
}

TEST(CisternFraming, BodiesArriveWholeWithAndWithoutContentLength) {
  TCisternProcess broker;
  ASSERT_TRUE(broker.Started());
  TRawStompPeer consumer, producer;
  ASSERT_TRUE(consumer.Login(broker.Host(), broker.Port()));
  ASSERT_TRUE(producer.Login(broker.Host(), broker.Port()));
  ASSERT_TRUE(Subscribed(consumer, "jms.queue.bodies", "s1"));

  const std::string binary("a\0b\0\0c", 6);
  ASSERT_TRUE(producer.SendFrame("SEND", {{"destination", "jms.queue.bodies"}}, "plain text"));
  ASSERT_TRUE(producer.SendFrame("SEND", {{"destination", "jms.queue.bodies"}}, binary, true));
  ASSERT_TRUE(producer.SendFrame("SEND", {{"destination", "jms.queue.bodies"}}, "", true));
  // CR LF line ends, junk between frames, and a frame cut into single bytes.
  static const char kRaw[] =
      "\n\r\n  \t\nSEND\r\ndestination:jms.queue.bodies\r\nk:v\r\n\r\ncrlf\0\n\n\n"
      "SEND\ndestination:jms.queue.bodies\ncontent-length:2\n\n\0\0\0";
  ASSERT_TRUE(producer.SendRaw(std::string(kRaw, sizeof kRaw - 1)));
  const std::string split = TRawStompPeer::Encode("SEND", {{"destination", "jms.queue.bodies"}}, "split");
  for (char c : split) ASSERT_TRUE(producer.SendRaw(std::string(1, c)));

  auto got = ReadMessages(consumer, 6);
  ASSERT_EQ(got.size(), 6u);
  EXPECT_EQ(got[0].body, "plain text");
  EXPECT_FALSE(got[0].Has("content-length"));
  EXPECT_EQ(got[1].body, binary);
  EXPECT_EQ(got[1].Header("content-length"), "6");
  EXPECT_EQ(got[2].body, "");
  EXPECT_EQ(got[2].Header("content-length"), "0");
  EXPECT_EQ(got[3].body, "crlf");
  EXPECT_EQ(got[3].Header("k"), "v");
  EXPECT_EQ(got[4].body, std::string("\0\0", 2));
  EXPECT_EQ(got[5].body, "split");
  EXPECT_TRUE(consumer.Violation().empty()) << consumer.Violation();
}

TEST(CisternFraming, MessageCarriesSendHeadersAndBrokerFields) {
  TCisternProcess broker;
  ASSERT_TRUE(broker.Started());
  TRawStompPeer consumer, producer;
  ASSERT_TRUE(consumer.Login(broker.Host(), broker.Port()));
  ASSERT_TRUE(producer.Login(broker.Host(), broker.Port()));
  ASSERT_TRUE(Subscribed(consumer, "jms.queue.h", "sub-7"));

  const std::int64_t before = UnixMillisNow();
  // Forged broker fields are replaced; transaction-free SEND with receipt.
  ASSERT_TRUE(Confirmed(producer, "SEND",
                        {{"destination", "jms.queue.h"},
                         {"priority", "7"},
                         {"type", "order"},
                         {"correlation-id", "c-1"},
                         {"reply-to", "jms.queue.replies"},
                         {"persistent", "true"},
                         {"expires", "0"},
                         {"colour", "red"},
                         {"message-id", "forged"},
                         {"Subscription", "forged"},
                         {"redelivered", "true"}},
                        "one"));
  ASSERT_TRUE(Confirmed(producer, "SEND", {{"destination", "jms.queue.h"}, {"timestamp", "1234"}}, "two"));
  auto got = ReadMessages(consumer, 2);
  ASSERT_EQ(got.size(), 2u);
  const TRawFrame& m = got[0];
  EXPECT_EQ(m.Header("destination"), "jms.queue.h");
  EXPECT_EQ(m.Header("subscription"), "sub-7");
  EXPECT_EQ(m.Header("priority"), "7");
  EXPECT_EQ(m.Header("type"), "order");
  EXPECT_EQ(m.Header("correlation-id"), "c-1");
  EXPECT_EQ(m.Header("reply-to"), "jms.queue.replies");
  EXPECT_EQ(m.Header("persistent"), "true");
  EXPECT_EQ(m.Header("colour"), "red");
  EXPECT_FALSE(m.Has("receipt"));
  EXPECT_FALSE(m.Has("redelivered"));
  EXPECT_FALSE(m.Has("Subscription"));
  EXPECT_NE(m.Header("message-id"), "forged");
  EXPECT_NE(m.Header("message-id"), got[1].Header("message-id"));
  int ids = 0;
  for (const auto& h : m.headers) ids += h.first == "message-id" ? 1 : 0;
  EXPECT_EQ(ids, 1);
  const std::int64_t stamp = std::stoll(m.Header("timestamp"));
  EXPECT_GE(stamp, before);
  EXPECT_LE(stamp, UnixMillisNow());
  EXPECT_EQ(got[1].Header("timestamp"), "1234");
}

// Each bad input on its own connection: ERROR with a message and a body,
// then the connection ends; the broker keeps serving.
TEST(CisternFraming, BadInputIsRefusedAndClosed) {
  TCisternProcess broker;
  ASSERT_TRUE(broker.Started());
  const std::string connect = TRawStompPeer::Encode("CONNECT", {});
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"frame before CONNECT", TRawStompPeer::Encode("SEND", {{"destination", "jms.queue.a"}}, "x")},
      {"unknown command", connect + TRawStompPeer::Encode("PUBLISH", {{"destination", "jms.queue.a"}})},
      {"lower-case command", connect + TRawStompPeer::Encode("send", {{"destination", "jms.queue.a"}})},
      {"missing destination", connect + TRawStompPeer::Encode("SEND", {}, "x")},
      {"foreign destination", connect + TRawStompPeer::Encode("SEND", {{"destination", "/exchange/a"}}, "x")},
      {"subscribe without destination", connect + TRawStompPeer::Encode("SUBSCRIBE", {{"id", "1"}})},
      {"bad ack mode", connect + TRawStompPeer::Encode("SUBSCRIBE", {{"destination", "jms.queue.a"}, {"ack", "sometimes"}})},
      {"ack without message-id", connect + TRawStompPeer::Encode("ACK", {})},
      {"begin without transaction", connect + TRawStompPeer::Encode("BEGIN", {})},
      {"unsubscribe without id", connect + TRawStompPeer::Encode("UNSUBSCRIBE", {})},
      {"header line without colon", connect + "SEND\ndestination:jms.queue.a\nnocolon\n\nx" + std::string(1, '\0')},
      {"NUL in a header", connect + std::string("SEND\ndestination:jms.queue.a\nk:a\0b\n\nx\0", 37)},
      {"empty header name", connect + "SEND\n:v\n\nx" + std::string(1, '\0')},
      {"bad content-length", connect + "SEND\ndestination:jms.queue.a\ncontent-length:abc\n\nx" + std::string(1, '\0')},
      {"content-length body without NUL", connect + "SEND\ndestination:jms.queue.a\ncontent-length:1\n\nxy\n"},
      {"content-length over 16 MiB", connect + "SEND\ndestination:jms.queue.a\ncontent-length:16777217\n\n"},
      {"header block over 64 KiB", connect + "SEND\ndestination:jms.queue.a\nbig:" + std::string(70000, 'h')},
      {"second CONNECT", connect + connect},
      {"durable without client-id",
       connect + TRawStompPeer::Encode("SUBSCRIBE", {{"destination", "jms.topic.t"}, {"activemq.subscriptionName", "d"}})},
      {"unsupported selector",
       connect + TRawStompPeer::Encode("SUBSCRIBE", {{"destination", "jms.queue.a"}, {"selector", "a = 1 OR b = 2"}})},
      {"commit of unknown transaction", connect + TRawStompPeer::Encode("COMMIT", {{"transaction", "nope"}})},
      {"send in unknown transaction",
       connect + TRawStompPeer::Encode("SEND", {{"destination", "jms.queue.a"}, {"transaction", "nope"}}, "x")},
      {"repeated transaction id",
       connect + TRawStompPeer::Encode("BEGIN", {{"transaction", "t"}}) + TRawStompPeer::Encode("BEGIN", {{"transaction", "t"}})},
      {"duplicate subscription id",
       connect + TRawStompPeer::Encode("SUBSCRIBE", {{"destination", "jms.queue.a"}, {"id", "1"}}) +
           TRawStompPeer::Encode("SUBSCRIBE", {{"destination", "jms.queue.b"}, {"id", "1"}})},
  };
  for (const auto& [name, bytes] : cases) {
    SCOPED_TRACE(name);
    TRawStompPeer peer;
    ASSERT_TRUE(peer.Connect(broker.Host(), broker.Port()));
    ASSERT_TRUE(peer.SendRaw(bytes));
    std::vector<TRawFrame> before;
    auto error = peer.ReadUntil("ERROR", 5000ms, &before);
    ASSERT_TRUE(error) << peer.Violation();
    EXPECT_FALSE(error->Header("message").empty());
    EXPECT_FALSE(error->body.empty());
    EXPECT_EQ(error->body.find('\0'), std::string::npos);
    EXPECT_TRUE(peer.WaitClosed());
  }
  // A NUL-terminated body that never ends is refused once over 16 MiB.
  {
    TRawStompPeer peer;
    ASSERT_TRUE(peer.Login(broker.Host(), broker.Port()));
    const std::string chunk(1 << 20, 'b');
    bool sent = peer.SendRaw("SEND\ndestination:jms.queue.a\n\n");
    for (int i = 0; i < 17 && sent; ++i) sent = peer.SendRaw(chunk);
    EXPECT_TRUE(RefusedAndClosed(peer));
  }
  TRawStompPeer still;
  EXPECT_TRUE(still.Login(broker.Host(), broker.Port()));
  EXPECT_TRUE(Confirmed(still, "SEND", {{"destination", "jms.topic.alive"}}, "x"));
}

TEST(CisternFraming, LargeHeadersAndBodiesWithinLimitsPass) {
  TCisternProcess broker;
  ASSERT_TRUE(broker.Started());
  TRawStompPeer consumer, producer;
  ASSERT_TRUE(consumer.Login(broker.Host(), broker.Port()));
  ASSERT_TRUE(producer.Login(broker.Host(), broker.Port()));
  ASSERT_TRUE(Subscribed(consumer, "jms.topic.big", "s"));
  const std::string header(60000, 'v');
  std::string body(8 << 20, 'x');
  body[100] = '\0';
  ASSERT_TRUE(producer.SendFrame("SEND", {{"destination", "jms.topic.big"}, {"big", header}}, body, true));
  auto got = ReadMessages(consumer, 1, 10000ms);
  ASSERT_EQ(got.size(), 1u);
  EXPECT_EQ(got[0].Header("big"), header);
  EXPECT_TRUE(got[0].body == body);
}

TEST(CisternFraming, ASendWithAHeaderBlockOverItsLimitIsRefusedNotForwarded) {
  // What Cistern forwards must stay within a client's usual 64 KiB header
  // limit, with the headers it adds on delivery.
  TCisternProcess broker;
  ASSERT_TRUE(broker.Started());
  TRawStompPeer consumer, producer, other;
  ASSERT_TRUE(consumer.Login(broker.Host(), broker.Port()));
  ASSERT_TRUE(producer.Login(broker.Host(), broker.Port()));
  ASSERT_TRUE(other.Login(broker.Host(), broker.Port()));
  ASSERT_TRUE(Subscribed(consumer, "jms.queue.headers", "s"));
  ASSERT_TRUE(producer.SendFrame("SEND", {{"destination", "jms.queue.headers"}, {"big", std::string(62000, 'v')}}, "x"));
  EXPECT_TRUE(RefusedAndClosed(producer));
  ASSERT_TRUE(Confirmed(other, "SEND", {{"destination", "jms.queue.headers"}}, "after"));
  auto got = ReadMessages(consumer, 1, 5000ms);
  ASSERT_EQ(got.size(), 1u);
  EXPECT_EQ(got[0].body, "after");
}

TEST(CisternFraming, CredentialsAreChecked) {
  TCisternProcess broker({"--User=alice", "--Password=secret"});
  ASSERT_TRUE(broker.Started());
  TRawStompPeer wrong, none, right;
  ASSERT_TRUE(wrong.Connect(broker.Host(), broker.Port()));
  ASSERT_TRUE(wrong.SendFrame("CONNECT", {{"login", "alice"}, {"passcode", "guess"}}));
  EXPECT_TRUE(RefusedAndClosed(wrong));
  ASSERT_TRUE(none.Connect(broker.Host(), broker.Port()));
  ASSERT_TRUE(none.SendFrame("CONNECT", {}));
  EXPECT_TRUE(RefusedAndClosed(none));
  EXPECT_TRUE(right.Login(broker.Host(), broker.Port(), {{"login", "alice"}, {"passcode", "secret"}}));
}

TEST(CisternFraming, DisconnectAnswersItsReceiptThenCloses) {
  TCisternProcess broker;
  ASSERT_TRUE(broker.Started());
  TRawStompPeer peer;
  ASSERT_TRUE(peer.Login(broker.Host(), broker.Port()));
  ASSERT_TRUE(peer.SendFrame("DISCONNECT", {{"receipt", "bye"}}));
  auto r = peer.ReadFrame();
  ASSERT_TRUE(r);
  EXPECT_EQ(r->command, "RECEIPT");
  EXPECT_EQ(r->Header("receipt-id"), "bye");
  EXPECT_TRUE(peer.WaitClosed());
}
