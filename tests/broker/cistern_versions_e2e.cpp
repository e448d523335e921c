// Cistern under STOMP 1.0, 1.1 and 1.2: negotiation at CONNECT, header
// escaping by version, and acknowledgement by version.
#include <poll.h>
#include <regex>
#include <set>
#include <string>
#include <sys/socket.h>

#include <gtest/gtest.h>

#include "tests/broker/CisternTestUtil.hpp"

using namespace ks::test;
using namespace std::chrono_literals;

namespace {

// Logs peer in offering versions (empty: no "accept-version"), with more
// CONNECT headers when given.
::testing::AssertionResult LoginAs(TRawStompPeer& peer, const TCisternProcess& broker, const std::string& versions,
                                   TRawHeaders extra = {}) {
  if (!versions.empty()) extra.emplace_back("accept-version", versions);
  if (peer.Login(broker.Host(), broker.Port(), extra)) return ::testing::AssertionSuccess();
  const auto& reply = peer.LastReply();
  return ::testing::AssertionFailure() << "no CONNECTED: " << (reply ? reply->command + " " + reply->Header("message") : "nothing");
}

// Raw bytes until a frame end (NUL LF) arrived or the deadline passed.
std::string ReadFirstFrameBytes(int fd) {
  std::string out;
  const auto deadline = std::chrono::steady_clock::now() + 5s;
  while (out.find(std::string("\0\n", 2)) == std::string::npos && std::chrono::steady_clock::now() < deadline) {
    pollfd p{fd, POLLIN, 0};
    if (::poll(&p, 1, 100) <= 0) continue;
    char buf[4096];
    const ssize_t n = ::recv(fd, buf, sizeof buf, 0);
    if (n <= 0) break;
    out.append(buf, static_cast<std::size_t>(n));
  }
  return out;
}

// Sends three messages "1", "2", "3" to the queue.
void SendThree(TRawStompPeer& producer, const std::string& queue) {
  for (const char* body : {"1", "2", "3"}) ASSERT_TRUE(Confirmed(producer, "SEND", {{"destination", queue}}, body));
}

// What an auto-acknowledging consumer that subscribes now receives from the
// queue: the bodies of the count messages expected, each with "r" appended
// when it is flagged redelivered, and of any more that come.
std::vector<std::string> Remaining(const TCisternProcess& broker, const std::string& queue, std::size_t count) {
  TRawStompPeer next;
  EXPECT_TRUE(next.Login(broker.Host(), broker.Port()));
  EXPECT_TRUE(Subscribed(next, queue, "rest"));
  std::vector<std::string> out;
  while (auto f = next.ReadFrame(out.size() < count ? 5000ms : 100ms))
    out.push_back(f->body + (f->Header("redelivered") == "true" ? "r" : ""));
  return out;
}

}  // namespace

TEST(CisternVersions, ConnectAgreesOnTheHighestCommonVersion) {
  TCisternProcess broker;
  ASSERT_TRUE(broker.Started());
  {
    // No "accept-version": 1.0, and CONNECTED exactly as ever.
    TRawStompPeer peer;
    ASSERT_TRUE(peer.Connect(broker.Host(), broker.Port()));
    ASSERT_TRUE(peer.SendFrame("CONNECT", {{"login", "u"}, {"passcode", "p"}, {"heart-beat", "100,100"}}));
    const std::string bytes = ReadFirstFrameBytes(peer.Fd());
    const std::string head = "CONNECTED\nsession:cistern-session-";
    const std::string tail("\n\n\0\n", 4);
    ASSERT_GT(bytes.size(), head.size() + tail.size()) << bytes;
    EXPECT_EQ(bytes.substr(0, head.size()), head);
    EXPECT_EQ(bytes.substr(bytes.size() - tail.size()), tail);
    const std::string session = bytes.substr(head.size(), bytes.size() - head.size() - tail.size());
    EXPECT_TRUE(std::regex_match(session, std::regex("[0-9]+-[0-9]+"))) << session;
  }
  struct TCase {
    const char* command;
    const char* offered;
    const char* agreed;
  };
  for (const TCase& c : {TCase{"CONNECT", "1.0", "1.0"}, TCase{"CONNECT", "1.0,1.1", "1.1"},
                         TCase{"STOMP", "1.1,1.0,1.2", "1.2"}, TCase{"STOMP", " 1.1 , 2.0", "1.1"}}) {
    SCOPED_TRACE(std::string(c.command) + " " + c.offered);
    TRawStompPeer peer;
    ASSERT_TRUE(peer.Connect(broker.Host(), broker.Port()));
    // Without --VirtualHost any host is welcome.
    ASSERT_TRUE(peer.SendFrame(c.command, {{"accept-version", c.offered}, {"host", "anywhere"}}));
    auto f = peer.ReadFrame();
    ASSERT_TRUE(f);
    EXPECT_EQ(f->command, "CONNECTED");
    EXPECT_EQ(f->Header("version"), c.agreed);
    EXPECT_EQ(f->Header("heart-beat"), "0,0");
    EXPECT_FALSE(f->Header("session").empty());
  }
  // Nothing in common: ERROR naming what Cistern speaks, then the end.
  TRawStompPeer peer;
  ASSERT_TRUE(peer.Connect(broker.Host(), broker.Port()));
  ASSERT_TRUE(peer.SendFrame("CONNECT", {{"accept-version", "2.0,3.1"}}));
  auto f = peer.ReadFrame();
  ASSERT_TRUE(f);
  EXPECT_EQ(f->command, "ERROR");
  EXPECT_EQ(f->Header("version"), "1.0,1.1,1.2");
  EXPECT_EQ(f->Header("message"), "Supported protocol versions are 1.0,1.1,1.2");
  EXPECT_TRUE(peer.WaitClosed());
}

TEST(CisternVersions, VirtualHostRefusesAnotherHost) {
  TCisternProcess broker({"--VirtualHost=/prod"});
  ASSERT_TRUE(broker.Started());
  TRawStompPeer named, unnamed, other;
  EXPECT_TRUE(LoginAs(named, broker, "1.2", {{"host", "/prod"}}));
  EXPECT_TRUE(LoginAs(unnamed, broker, "1.2"));
  ASSERT_TRUE(other.Connect(broker.Host(), broker.Port()));
  ASSERT_TRUE(other.SendFrame("CONNECT", {{"accept-version", "1.2"}, {"host", "localhost"}}));
  auto f = other.ReadFrame();
  ASSERT_TRUE(f);
  EXPECT_EQ(f->command, "ERROR");
  EXPECT_EQ(f->Header("message"), "Virtual host 'localhost' access denied");
  EXPECT_TRUE(other.WaitClosed());
}

// Every header value and name is stored as its producer meant it and
// written in each consumer's own version; bodies are never touched.
TEST(CisternVersions, HeadersAreEscapedForEachConnectionsVersion) {
  TCisternProcess broker;
  ASSERT_TRUE(broker.Started());
  TRawStompPeer v10, v11, v12, producer12, producer10;
  ASSERT_TRUE(LoginAs(v10, broker, ""));
  ASSERT_TRUE(LoginAs(v11, broker, "1.1"));
  ASSERT_TRUE(LoginAs(v12, broker, "1.0,1.1,1.2"));
  ASSERT_TRUE(LoginAs(producer12, broker, "1.2"));
  ASSERT_TRUE(LoginAs(producer10, broker, "1.0"));
  // A 1.2 subscription id with a colon comes back escaped.
  for (TRawStompPeer* p : {&v10, &v11}) ASSERT_TRUE(Subscribed(*p, "jms.topic.esc", "s"));
  ASSERT_TRUE(Subscribed(v12, "jms.topic.esc", "s\\c1"));

  // Meant: "a:b" LF "c\d" CR "e " (a trailing blank), and " lead".
  const std::string body("x\0\\n:y\n", 7);
  ASSERT_TRUE(Confirmed(producer12, "SEND",
                        {{"destination", "jms.topic.esc"},
                         {"odd", "a\\cb\\nc\\\\d\\re "},
                         {"blank", " lead"},
                         {"we\\cird", "name"},
                         {"twice", "first"},
                         {"twice", "second"},
                         {"content-type", "application/octet-stream"}},
                        body, true));
  // A 1.0 producer's backslash and colon are its text as it stands.
  ASSERT_TRUE(Confirmed(producer10, "SEND", {{"destination", "jms.topic.esc"}, {"path", "C:\\dir\\n"}}, "plain"));

  auto at12 = ReadMessages(v12, 2);
  auto at11 = ReadMessages(v11, 2);
  auto at10 = ReadMessages(v10, 2);
  ASSERT_EQ(at12.size(), 2u);
  ASSERT_EQ(at11.size(), 2u);
  ASSERT_EQ(at10.size(), 2u);
  EXPECT_EQ(at12[0].Header("odd"), "a\\cb\\nc\\\\d\\re ");
  EXPECT_EQ(at11[0].Header("odd"), "a\\cb\\nc\\\\d\re ");
  EXPECT_EQ(at10[0].Header("odd"), "a:b c\\d e ");
  EXPECT_EQ(at12[0].Header("we\\cird"), "name");
  EXPECT_EQ(at11[0].Header("we\\cird"), "name");
  EXPECT_EQ(at10[0].Header("we"), "ird:name");
  for (const auto* got : {&at10, &at11, &at12}) {
    const TRawFrame& m = (*got)[0];
    EXPECT_EQ(m.Header("blank"), " lead");
    EXPECT_EQ(m.Header("twice"), "first");
    EXPECT_EQ(m.Header("content-type"), "application/octet-stream");
    EXPECT_EQ(m.body, body);
  }
  EXPECT_EQ(at12[1].Header("path"), "C\\c\\\\dir\\\\n");
  EXPECT_EQ(at11[1].Header("path"), "C\\c\\\\dir\\\\n");
  EXPECT_EQ(at10[1].Header("path"), "C:\\dir\\n");
  EXPECT_EQ(at12[0].Header("subscription"), "s\\c1");
  EXPECT_EQ(at12[0].Header("message-id").rfind("ID\\ccistern-", 0), 0u) << at12[0].Header("message-id");
  EXPECT_EQ(at10[0].Header("message-id").rfind("ID:cistern-", 0), 0u);
  // A 1.1 client names the message by its id escaped, as it received it.
  ASSERT_TRUE(Subscribed(v11, "jms.queue.esc", "q", {{"ack", "client"}}));
  ASSERT_TRUE(Confirmed(producer12, "SEND", {{"destination", "jms.queue.esc"}}, "ack me"));
  auto queued = ReadMessages(v11, 1);
  ASSERT_EQ(queued.size(), 1u);
  EXPECT_TRUE(Confirmed(v11, "ACK", {{"message-id", queued[0].Header("message-id")}, {"subscription", "q"}}));
}

// A backslash sequence the version does not define is a fault of the frame:
// ERROR and the end, as for every bad frame. Under 1.0 it is plain text.
TEST(CisternVersions, UndefinedEscapeIsRefused) {
  TCisternProcess broker;
  ASSERT_TRUE(broker.Started());
  struct TCase {
    const char* version;
    const char* value;
  };
  for (const TCase& c : {TCase{"1.2", "a\\tb"}, TCase{"1.1", "a\\rb"}, TCase{"1.2", "ab\\"}}) {
    SCOPED_TRACE(std::string(c.version) + " " + c.value);
    TRawStompPeer peer;
    ASSERT_TRUE(LoginAs(peer, broker, c.version));
    ASSERT_TRUE(peer.SendFrame("SEND", {{"destination", "jms.queue.bad"}, {"k", c.value}}, "x"));
    EXPECT_TRUE(RefusedAndClosed(peer));
  }
  TRawStompPeer old;
  ASSERT_TRUE(LoginAs(old, broker, ""));
  EXPECT_TRUE(Confirmed(old, "SEND", {{"destination", "jms.queue.bad"}, {"k", "a\\tb"}}, "x"));
}

TEST(CisternAck, IndividualTakesOneMessageClientTakesAllBefore) {
  TCisternProcess broker;
  ASSERT_TRUE(broker.Started());
  TRawStompPeer producer;
  ASSERT_TRUE(producer.Login(broker.Host(), broker.Port()));
  struct TCase {
    const char* version;
    const char* mode;
    std::vector<std::string> left;
  };
  int n = 0;
  for (const TCase& c : {TCase{"1.2", "client-individual", {"1r", "3r"}}, TCase{"1.2", "client", {"3r"}},
                         TCase{"1.1", "client-individual", {"1r", "3r"}}, TCase{"1.1", "client", {"3r"}}}) {
    SCOPED_TRACE(std::string(c.version) + " " + c.mode);
    const std::string queue = "jms.queue.ack" + std::to_string(++n);
    SendThree(producer, queue);
    {
      TRawStompPeer consumer;
      ASSERT_TRUE(LoginAs(consumer, broker, c.version));
      ASSERT_TRUE(Subscribed(consumer, queue, "s", {{"ack", c.mode}}));
      auto got = ReadMessages(consumer, 3);
      ASSERT_EQ(got.size(), 3u);
      const TRawFrame& second = got[1];
      if (std::string(c.version) == "1.2") {
        std::set<std::string> ids;
        for (const TRawFrame& m : got) ids.insert(m.Header("ack"));
        EXPECT_EQ(ids.size(), 3u);
        EXPECT_EQ(ids.count(""), 0u);
        ASSERT_TRUE(Confirmed(consumer, "ACK", {{"id", second.Header("ack")}}));
      } else {
        EXPECT_FALSE(second.Has("ack"));
        ASSERT_TRUE(Confirmed(consumer, "ACK", {{"message-id", second.Header("message-id")}, {"subscription", "s"}}));
      }
      ASSERT_TRUE(Confirmed(consumer, "DISCONNECT", {}));
    }
    EXPECT_EQ(Remaining(broker, queue, c.left.size()), c.left);
  }
}

// Each version names the message its own way; one that is not waiting for
// an acknowledgement is refused from 1.1 on (so a stale id shows), and
// quietly ignored under 1.0, as ever.
TEST(CisternAck, EachVersionNamesTheMessageItsOwnWay) {
  TCisternProcess broker;
  ASSERT_TRUE(broker.Started());
  TRawStompPeer producer;
  ASSERT_TRUE(producer.Login(broker.Host(), broker.Port()));
  ASSERT_TRUE(Confirmed(producer, "SEND", {{"destination", "jms.queue.forms"}}, "m"));
  {
    // The 1.1 form on a 1.2 connection.
    TRawStompPeer v12;
    ASSERT_TRUE(LoginAs(v12, broker, "1.2"));
    ASSERT_TRUE(Subscribed(v12, "jms.queue.forms", "s", {{"ack", "client-individual"}}));
    auto got = ReadMessages(v12, 1);
    ASSERT_EQ(got.size(), 1u);
    ASSERT_TRUE(v12.SendFrame("ACK", {{"message-id", got[0].Header("message-id")}, {"subscription", "s"}}));
    EXPECT_TRUE(RefusedAndClosed(v12));
  }
  // A message acknowledged already, or an id never given.
  for (const char* version : {"1.2", "1.1"}) {
    SCOPED_TRACE(version);
    const bool v12 = std::string(version) == "1.2";
    const std::string queue = std::string("jms.queue.twice") + version;
    ASSERT_TRUE(Confirmed(producer, "SEND", {{"destination", queue}}, "m"));
    TRawStompPeer peer;
    ASSERT_TRUE(LoginAs(peer, broker, version));
    ASSERT_TRUE(Subscribed(peer, queue, "s", {{"ack", "client-individual"}}));
    auto got = ReadMessages(peer, 1);
    ASSERT_EQ(got.size(), 1u);
    const TRawHeaders ack = v12 ? TRawHeaders{{"id", got[0].Header("ack")}}
                                : TRawHeaders{{"message-id", got[0].Header("message-id")}, {"subscription", "s"}};
    ASSERT_TRUE(Confirmed(peer, "ACK", ack));
    ASSERT_TRUE(peer.SendFrame("ACK", ack));
    EXPECT_TRUE(RefusedAndClosed(peer));
  }
  TRawStompPeer unknown;
  ASSERT_TRUE(LoginAs(unknown, broker, "1.2"));
  ASSERT_TRUE(unknown.SendFrame("NACK", {{"id", "not-an-ack-id"}}));
  EXPECT_TRUE(RefusedAndClosed(unknown));
  // 1.0: unknown ids change nothing, NACK is not a command, and there is no
  // individual acknowledgement.
  TRawStompPeer old;
  ASSERT_TRUE(LoginAs(old, broker, ""));
  EXPECT_TRUE(Confirmed(old, "ACK", {{"message-id", "ID:none"}}));
  ASSERT_TRUE(old.SendFrame("NACK", {{"message-id", "ID:none"}}));
  EXPECT_TRUE(RefusedAndClosed(old));
  TRawStompPeer old2;
  ASSERT_TRUE(LoginAs(old2, broker, ""));
  ASSERT_TRUE(old2.SendFrame("SUBSCRIBE", {{"destination", "jms.queue.forms"}, {"ack", "client-individual"}}));
  EXPECT_TRUE(RefusedAndClosed(old2));
}

TEST(CisternAck, NackHandsMessagesBackRedelivered) {
  TCisternProcess broker;
  ASSERT_TRUE(broker.Started());
  TRawStompPeer producer;
  ASSERT_TRUE(producer.Login(broker.Host(), broker.Port()));
  struct TCase {
    const char* mode;
    std::vector<std::string> again;
  };
  int n = 0;
  for (const TCase& c : {TCase{"client-individual", {"2"}}, TCase{"client", {"1", "2"}}}) {
    SCOPED_TRACE(c.mode);
    const std::string queue = "jms.queue.nack" + std::to_string(++n);
    SendThree(producer, queue);
    TRawStompPeer consumer;
    ASSERT_TRUE(LoginAs(consumer, broker, "1.2"));
    ASSERT_TRUE(Subscribed(consumer, queue, "s", {{"ack", c.mode}}));
    auto got = ReadMessages(consumer, 3);
    ASSERT_EQ(got.size(), 3u);
    // What is handed back may come before the receipt.
    std::vector<TRawFrame> again;
    ASSERT_TRUE(Confirmed(consumer, "NACK", {{"id", got[1].Header("ack")}}, {}, false, &again));
    for (TRawFrame& m : ReadMessages(consumer, c.again.size() - again.size())) again.push_back(std::move(m));
    EXPECT_EQ(Bodies(again), c.again);
    for (const TRawFrame& m : again) {
      EXPECT_EQ(m.Header("redelivered"), "true");
      EXPECT_NE(m.Header("ack"), got[1].Header("ack"));
    }
    EXPECT_TRUE(consumer.Quiet(100ms));
  }
  // Inside a transaction a NACK waits for COMMIT, and ABORT forgets it; the
  // same for a durable topic subscription.
  TRawStompPeer consumer;
  ASSERT_TRUE(LoginAs(consumer, broker, "1.1", {{"client-id", "me"}}));
  ASSERT_TRUE(Subscribed(consumer, "jms.topic.nack", "d",
                         {{"ack", "client-individual"}, {"activemq.subscriptionName", "durable"}}));
  ASSERT_TRUE(Confirmed(producer, "SEND", {{"destination", "jms.topic.nack"}}, "t"));
  auto got = ReadMessages(consumer, 1);
  ASSERT_EQ(got.size(), 1u);
  const TRawHeaders nack{{"message-id", got[0].Header("message-id")}, {"subscription", "d"}};
  ASSERT_TRUE(Confirmed(consumer, "BEGIN", {{"transaction", "tx1"}}));
  TRawHeaders inTx = nack;
  inTx.emplace_back("transaction", "tx1");
  ASSERT_TRUE(Confirmed(consumer, "NACK", inTx));
  ASSERT_TRUE(Confirmed(consumer, "ABORT", {{"transaction", "tx1"}}));
  ASSERT_TRUE(Confirmed(consumer, "BEGIN", {{"transaction", "tx2"}}));
  inTx.back().second = "tx2";
  ASSERT_TRUE(Confirmed(consumer, "NACK", inTx));
  EXPECT_TRUE(consumer.Quiet(200ms));
  ASSERT_TRUE(consumer.SendFrame("COMMIT", {{"transaction", "tx2"}}));
  auto back = ReadMessages(consumer, 1);
  ASSERT_EQ(back.size(), 1u);
  EXPECT_EQ(back[0].body, "t");
  EXPECT_EQ(back[0].Header("redelivered"), "true");
}
