// Cistern left running: descriptor and connection limits, deadlines, memory
// limits with producer flow control, and the start-up checks of logins.
#include <atomic>
#include <csignal>
#include <string>
#include <sys/resource.h>
#include <sys/socket.h>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "tests/broker/CisternTestUtil.hpp"
#include "tests/common/KsTestUtil.hpp"

using namespace ks::test;
using namespace std::chrono_literals;

namespace {

// Logs in, retrying until the deadline (a slot frees up only once Cistern has
// seen a connection end).
bool LoginSoon(TRawStompPeer& peer, const TCisternProcess& broker) {
  return WaitUntil([&] {
    peer.Close();
    return peer.Login(broker.Host(), broker.Port());
  });
}

// Keeps the kernel from buffering much of what this peer sends, so that
// what Cistern holds back stays with the peer.
void SmallSendBuffer(const TRawStompPeer& peer) {
  const int size = 65536;
  ::setsockopt(peer.Fd(), SOL_SOCKET, SO_SNDBUF, &size, sizeof size);
}

}  // namespace

TEST(CisternLimits, AtTheDescriptorLimitItKeepsServingAndStops) {
#if defined(__SANITIZE_ADDRESS__)
  // The sanitizer runtimes open descriptors of their own (a pipe to probe
  // memory) and report false faults when none is left; the plain build
  // runs this case.
  GTEST_SKIP() << "sanitizer runtimes need free descriptors of their own";
#endif
  TCisternProcess broker;
  ASSERT_TRUE(broker.Started());
  TRawStompPeer served;
  ASSERT_TRUE(served.Login(broker.Host(), broker.Port()));
  const rlimit low{32, 32};
  ASSERT_EQ(::prlimit(broker.Pid(), RLIMIT_NOFILE, &low, nullptr), 0);
  {
    std::vector<TRawStompPeer> idle(48);  // more than the broker has descriptors for
    for (auto& p : idle) ASSERT_TRUE(p.Connect(broker.Host(), broker.Port()));
    EXPECT_TRUE(Confirmed(served, "SEND", {{"destination", "jms.queue.still"}}, "served"));
  }
  // The idle ones are gone: there is room again.
  TRawStompPeer late;
  EXPECT_TRUE(LoginSoon(late, broker));
  EXPECT_TRUE(Confirmed(late, "SUBSCRIBE", {{"destination", "jms.queue.still"}}));
  EXPECT_EQ(broker.Stop(SIGTERM, 1000ms), std::optional<int>(0));
}

TEST(CisternLimits, ConnectionsPastTheCapAreRefusedWithError) {
  TCisternProcess broker({"--MaxConnections=3"});
  ASSERT_TRUE(broker.Started());
  TRawStompPeer first, second, third, fourth;
  ASSERT_TRUE(first.Login(broker.Host(), broker.Port()));
  ASSERT_TRUE(second.Login(broker.Host(), broker.Port()));
  ASSERT_TRUE(third.Login(broker.Host(), broker.Port()));
  ASSERT_TRUE(fourth.Connect(broker.Host(), broker.Port()));
  EXPECT_TRUE(RefusedAndClosed(fourth));
  first.Close();
  TRawStompPeer again;
  EXPECT_TRUE(LoginSoon(again, broker));
  EXPECT_TRUE(Confirmed(second, "SEND", {{"destination", "jms.queue.cap"}}, "still served"));
}

TEST(CisternLimits, SilentAndUnfinishedConnectionsAreClosed) {
  TCisternProcess broker({"--ConnectTimeout=1", "--FrameTimeout=1"});
  ASSERT_TRUE(broker.Started());
  TRawStompPeer silent, slowConnect, slowSend, idle;
  ASSERT_TRUE(silent.Connect(broker.Host(), broker.Port()));
  ASSERT_TRUE(slowConnect.Connect(broker.Host(), broker.Port()));
  ASSERT_TRUE(slowConnect.SendRaw("CONNECT\nlogin:a"));
  ASSERT_TRUE(slowSend.Login(broker.Host(), broker.Port()));
  ASSERT_TRUE(slowSend.SendRaw("SEND\ndestination:jms.queue.late\n\nmost of a bo"));
  ASSERT_TRUE(idle.Login(broker.Host(), broker.Port()));
  for (TRawStompPeer* p : {&silent, &slowConnect, &slowSend}) EXPECT_TRUE(RefusedAndClosed(*p));
  // A connection with nothing unfinished has no deadline.
  EXPECT_TRUE(Confirmed(idle, "SEND", {{"destination", "jms.queue.late"}}, "in time"));
}

// A queue, a queue whose consumer never acknowledges, and a topic with an
// offline durable subscription: at the limit the producer is held back, and
// once a consumer drains the backlog every message arrives, once, in order.
TEST(CisternLimits, FullDestinationsHoldTheirProducerBackAndLoseNothing) {
  constexpr int kCount = 6000;  // 60 MB, more than the sockets' buffers hold
  const std::string body(10000, 'm');
  for (const std::string kind : {"queue", "unacknowledged", "durable"}) {
    SCOPED_TRACE(kind);
    TCisternProcess broker({"--Verbose", "--MaxQueueBytes=64K"});
    ASSERT_TRUE(broker.Started());
    const std::string destination = kind == "durable" ? "jms.topic.full" : "jms.queue.full";
    TRawStompPeer stalled;
    if (kind == "unacknowledged") {
      ASSERT_TRUE(stalled.Login(broker.Host(), broker.Port()));
      ASSERT_TRUE(Subscribed(stalled, destination, "never-acks", {{"ack", "client"}}));
    } else if (kind == "durable") {
      ASSERT_TRUE(stalled.Login(broker.Host(), broker.Port(), {{"client-id", "offline"}}));
      ASSERT_TRUE(Subscribed(stalled, destination, "d", {{"activemq.subscriptionName", "d"}}));
      stalled.Close();
    }
    TRawStompPeer producer;
    ASSERT_TRUE(producer.Login(broker.Host(), broker.Port()));
    SmallSendBuffer(producer);
    std::atomic<bool> sent{false};
    std::thread writer([&] {
      for (int n = 0; n < kCount; ++n)
        if (!producer.SendFrame("SEND", {{"destination", destination}, {"n", std::to_string(n)}}, body, true)) return;
      sent = true;
    });
    EXPECT_TRUE(broker.WaitForLine(" paused: ", 10000ms));
    EXPECT_FALSE(sent.load());
    stalled.Close();  // the unacknowledged messages go back to the queue
    TRawStompPeer consumer;
    if (kind == "durable") {
      ASSERT_TRUE(consumer.Login(broker.Host(), broker.Port(), {{"client-id", "offline"}}));
      ASSERT_TRUE(consumer.SendFrame("SUBSCRIBE", {{"destination", destination}, {"activemq.subscriptionName", "d"}}));
    } else {
      ASSERT_TRUE(consumer.Login(broker.Host(), broker.Port()));
      ASSERT_TRUE(consumer.SendFrame("SUBSCRIBE", {{"destination", destination}}));
    }
    int next = 0;
    while (next < kCount) {
      auto f = consumer.ReadFrame(10s);
      if (!f || f->Header("n") != std::to_string(next) || f->body != body) break;
      ++next;
    }
    EXPECT_EQ(next, kCount) << consumer.Violation();
    writer.join();
    EXPECT_TRUE(sent.load());
    EXPECT_TRUE(broker.WaitForLine(" resumed", 5000ms));
  }
}

// A topic subscriber that reads nothing, and one that reads but never
// acknowledges, are cut off; the producer is never held back for them.
TEST(CisternLimits, TopicSubscribersTooFarBehindAreCutOff) {
  TCisternProcess broker({"--MaxTopicLag=256K"});
  ASSERT_TRUE(broker.Started());
  TRawStompPeer deaf, hoarder, producer;
  ASSERT_TRUE(deaf.Login(broker.Host(), broker.Port()));
  ASSERT_TRUE(Subscribed(deaf, "jms.topic.lag", "deaf"));
  ASSERT_TRUE(hoarder.Login(broker.Host(), broker.Port()));
  ASSERT_TRUE(Subscribed(hoarder, "jms.topic.lag", "hoarder", {{"ack", "client"}}));
  ASSERT_TRUE(producer.Login(broker.Host(), broker.Port()));
  constexpr int kCount = 6000;  // 60 MB, more than the sockets' buffers hold
  const std::string body(10000, 't');
  // Neither of them holds the producer back.
  for (int n = 0; n < kCount; ++n)
    ASSERT_TRUE(producer.SendFrame("SEND", {{"destination", "jms.topic.lag"}}, body, true)) << n;
  auto cut = hoarder.ReadUntil("ERROR", 10000ms);
  ASSERT_TRUE(cut) << hoarder.Violation();
  EXPECT_EQ(cut->Header("message"), "Slow consumer");
  EXPECT_TRUE(hoarder.WaitClosed());
  EXPECT_TRUE(deaf.ReadUntil("ERROR", 10000ms)) << deaf.Violation();
  EXPECT_TRUE(deaf.WaitClosed());
  EXPECT_TRUE(Confirmed(producer, "SEND", {{"destination", "jms.topic.lag"}}, "still accepted"));
}

TEST(CisternLimits, CredentialsComeInPairsAndOpenAddressesAreWarnedAbout) {
  for (const char* alone : {"--User=a", "--Password=b"}) {
    SCOPED_TRACE(alone);
    TCisternProcess broker({alone}, 3000ms);
    EXPECT_FALSE(broker.Started());
    EXPECT_EQ(broker.Stop(), std::optional<int>(1));
  }
  TCisternProcess open({"--Host=0.0.0.0"});
  ASSERT_TRUE(open.Started());
  EXPECT_TRUE(open.WaitForLine("Warning: Cistern accepts any login on 0.0.0.0:", 1000ms));
  for (const std::vector<std::string>& quiet :
       {std::vector<std::string>{"--Host=0.0.0.0", "--User=a", "--Password=b"}, std::vector<std::string>{}}) {
    TCisternProcess broker(quiet);
    ASSERT_TRUE(broker.Started());
    for (const std::string& line : broker.Lines()) EXPECT_EQ(line.find("Warning"), std::string::npos) << line;
  }
}
