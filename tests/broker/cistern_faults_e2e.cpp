// Cistern's fault hooks, verbose log, options and signals.
#include <csignal>
#include <optional>
#include <poll.h>
#include <string>
#include <sys/socket.h>

#include <gtest/gtest.h>

#include "tests/broker/CisternTestUtil.hpp"

using namespace ks::test;
using namespace std::chrono_literals;

namespace {

std::size_t CountFrameEnds(const std::string& bytes) {
  std::size_t n = 0;
  for (std::size_t i = 0; i + 1 < bytes.size(); ++i)
    if (bytes[i] == '\0' && bytes[i + 1] == '\n') ++n;
  return n;
}

// Reads raw bytes until frames frame ends (NUL LF) arrived or the deadline
// passes; counts the reads that returned data.
std::string ReadRawFrames(int fd, std::size_t frames, int& reads, std::chrono::milliseconds timeout = 5000ms) {
  std::string out;
  reads = 0;
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (CountFrameEnds(out) < frames) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    if (left.count() < 0) break;
    pollfd p{fd, POLLIN, 0};
    if (::poll(&p, 1, static_cast<int>(left.count())) <= 0) break;
    char buf[65536];
    const ssize_t n = ::recv(fd, buf, sizeof buf, 0);
    if (n <= 0) break;
    ++reads;
    out.append(buf, static_cast<std::size_t>(n));
  }
  return out;
}

}  // namespace

TEST(CisternFaults, ChunkedWritesStillCarryWholeFrames) {
  TCisternProcess broker({"--FaultChunk=7"});
  ASSERT_TRUE(broker.Started());
  TRawStompPeer consumer, producer;
  ASSERT_TRUE(consumer.Login(broker.Host(), broker.Port()));
  ASSERT_TRUE(producer.Login(broker.Host(), broker.Port()));
  ASSERT_TRUE(Subscribed(consumer, "jms.queue.chunk", "s"));
  const std::string body(300, 'z');
  ASSERT_TRUE(producer.SendFrame("SEND", {{"destination", "jms.queue.chunk"}}, body, true));
  ASSERT_TRUE(producer.SendFrame("SEND", {{"destination", "jms.queue.chunk"}}, "second"));
  auto got = ReadMessages(consumer, 2);
  EXPECT_EQ(Bodies(got), (std::vector<std::string>{body, "second"}));

  // The bytes really come in small pieces.
  TRawStompPeer raw;
  ASSERT_TRUE(raw.Connect(broker.Host(), broker.Port()));
  ASSERT_TRUE(raw.SendFrame("CONNECT", {{"receipt", std::string(200, 'r')}}));
  int reads = 0;
  const std::string bytes = ReadRawFrames(raw.Fd(), 2, reads);
  EXPECT_EQ(CountFrameEnds(bytes), 2u);
  EXPECT_EQ(bytes.rfind("CONNECTED\n", 0), 0u);
  EXPECT_GT(reads, 10) << bytes.size() << " bytes";
}

TEST(CisternFaults, StrayBytesBetweenFrames) {
  TCisternProcess broker({"--FaultStrayLF"});
  ASSERT_TRUE(broker.Started());
  TRawStompPeer raw;
  ASSERT_TRUE(raw.Connect(broker.Host(), broker.Port()));
  ASSERT_TRUE(raw.SendFrame("CONNECT", {{"receipt", "r"}}));
  int reads = 0;
  const std::string bytes = ReadRawFrames(raw.Fd(), 2, reads);
  const std::size_t firstEnd = bytes.find(std::string("\0\n", 2));
  ASSERT_NE(firstEnd, std::string::npos);
  const std::size_t next = bytes.find("RECEIPT");
  ASSERT_NE(next, std::string::npos);
  const std::string between = bytes.substr(firstEnd + 2, next - firstEnd - 2);
  EXPECT_FALSE(between.empty());
  EXPECT_NE(between.find('\n'), std::string::npos);
  EXPECT_EQ(between.find_first_not_of("\n \t\r"), std::string::npos);

  // Frames with and without content-length still read whole.
  TRawStompPeer consumer, producer;
  ASSERT_TRUE(consumer.Login(broker.Host(), broker.Port()));
  ASSERT_TRUE(producer.Login(broker.Host(), broker.Port()));
  ASSERT_TRUE(Subscribed(consumer, "jms.topic.stray", "s"));
  ASSERT_TRUE(producer.SendFrame("SEND", {{"destination", "jms.topic.stray"}}, std::string("a\0b", 3), true));
  ASSERT_TRUE(producer.SendFrame("SEND", {{"destination", "jms.topic.stray"}}, "text"));
  EXPECT_EQ(Bodies(ReadMessages(consumer, 2)), (std::vector<std::string>{std::string("a\0b", 3), "text"}));
}

TEST(CisternFaults, CloseAfterCutsTheLastMessage) {
  TCisternProcess broker({"--FaultCloseAfter=3"});
  ASSERT_TRUE(broker.Started());
  TRawStompPeer consumer, producer;
  ASSERT_TRUE(consumer.Login(broker.Host(), broker.Port()));  // frame 1
  ASSERT_TRUE(consumer.SendFrame("SUBSCRIBE", {{"destination", "jms.queue.cut"}, {"ack", "client"}}));
  ASSERT_TRUE(producer.Login(broker.Host(), broker.Port()));
  for (int n = 1; n <= 4; ++n)
    ASSERT_TRUE(producer.SendFrame("SEND", {{"destination", "jms.queue.cut"}}, "message number " + std::to_string(n)));
  auto first = consumer.ReadFrame();  // frame 2
  ASSERT_TRUE(first);
  EXPECT_EQ(first->body, "message number 1");
  EXPECT_FALSE(consumer.ReadFrame(2000ms));  // frame 3 is cut, then the end
  EXPECT_TRUE(consumer.PeerClosed());
  EXPECT_TRUE(consumer.Violation().empty());
  const std::string rest = consumer.Pending();
  EXPECT_EQ(rest.rfind("MESSAGE\n", 0), 0u) << rest;
  EXPECT_EQ(rest.find('\0'), std::string::npos);
  // Unacknowledged messages, the cut one included, go to the next consumer.
  TRawStompPeer next;
  ASSERT_TRUE(next.Login(broker.Host(), broker.Port()));
  ASSERT_TRUE(next.SendFrame("SUBSCRIBE", {{"destination", "jms.queue.cut"}}));
  auto again = next.ReadFrame();
  ASSERT_TRUE(again);
  EXPECT_EQ(again->body, "message number 1");
  EXPECT_EQ(again->Header("redelivered"), "true");
}

TEST(CisternFaults, ConnectErrorRefusesEveryLogin) {
  TCisternProcess broker({"--FaultConnectError=Broker says no"});
  ASSERT_TRUE(broker.Started());
  TRawStompPeer peer;
  ASSERT_TRUE(peer.Connect(broker.Host(), broker.Port()));
  ASSERT_TRUE(peer.SendFrame("CONNECT", {{"login", "a"}}));
  auto f = peer.ReadFrame();
  ASSERT_TRUE(f);
  EXPECT_EQ(f->command, "ERROR");
  EXPECT_EQ(f->Header("message"), "Broker says no");
  EXPECT_TRUE(peer.WaitClosed());
}

TEST(CisternFaults, VerboseLogsConnectionsAndRefusals) {
  TCisternProcess broker({"--Verbose"});
  ASSERT_TRUE(broker.Started());
  {
    TRawStompPeer peer;
    ASSERT_TRUE(peer.Login(broker.Host(), broker.Port()));
    ASSERT_TRUE(peer.SendFrame("BOGUS", {}));
    EXPECT_TRUE(RefusedAndClosed(peer));
  }
  EXPECT_TRUE(broker.WaitForLine("Connection 1 opened from 127.0.0.1:", 5000ms));
  EXPECT_TRUE(broker.WaitForLine("Connection 1 refused frame: Unknown command", 5000ms));
  EXPECT_TRUE(broker.WaitForLine("Connection 1 closed", 5000ms));
}

TEST(CisternFaults, SignalsStopCleanlyAndBadOptionsFail) {
  for (int sig : {SIGTERM, SIGINT}) {
    TCisternProcess broker;
    ASSERT_TRUE(broker.Started());
    TRawStompPeer idle;  // an open connection does not hold up the exit
    ASSERT_TRUE(idle.Login(broker.Host(), broker.Port()));
    EXPECT_EQ(broker.Stop(sig), std::optional<int>(0));
  }
  for (const char* bad : {"--Port=70000", "--Nonsense=1", "--FaultChunk=x", "plain"}) {
    SCOPED_TRACE(bad);
    TCisternProcess broker({bad}, 3000ms);
    EXPECT_FALSE(broker.Started());
    EXPECT_EQ(broker.Stop(), std::optional<int>(1));
  }
  // A taken port is reported, not ignored.
  TCisternProcess first;
  ASSERT_TRUE(first.Started());
  TCisternProcess second({"--Port=" + std::to_string(first.Port())}, 3000ms);
  EXPECT_FALSE(second.Started());
  EXPECT_TRUE(second.WaitForLine("Cannot listen", 3000ms));
}

// Frozen, Cistern keeps every socket open and says nothing: no frames, no
// heart-beats, no CONNECTED to a new connection, no drop of a silent
// client. Thawed, it goes on as if nothing had happened.
TEST(CisternFaults, FreezeHoldsEverythingUntilThaw) {
  TCisternProcess broker;
  ASSERT_TRUE(broker.Started());
  TRawStompPeer consumer, producer;
  // Beats from Cistern every 200 ms; silence from the consumer is allowed
  // for 600 ms.
  ASSERT_TRUE(consumer.Login(broker.Host(), broker.Port(), {{"accept-version", "1.2"}, {"heart-beat", "300,200"}}));
  ASSERT_TRUE(producer.Login(broker.Host(), broker.Port()));
  ASSERT_TRUE(Subscribed(consumer, "jms.queue.frozen", "s"));

  ASSERT_EQ(::kill(broker.Pid(), SIGUSR1), 0);
  ASSERT_TRUE(broker.WaitForLine("Cistern frozen", 5000ms));
  ASSERT_TRUE(producer.SendFrame("SEND", {{"destination", "jms.queue.frozen"}}, "held"));
  TRawStompPeer late;
  ASSERT_TRUE(late.Connect(broker.Host(), broker.Port()));
  ASSERT_TRUE(late.SendFrame("CONNECT", {}));
  pollfd p{consumer.Fd(), POLLIN, 0};
  EXPECT_EQ(::poll(&p, 1, 1000), 0) << "a byte arrived from a frozen broker";
  EXPECT_TRUE(late.Quiet(10ms));
  EXPECT_FALSE(late.PeerClosed());

  ASSERT_EQ(::kill(broker.Pid(), SIGUSR2), 0);
  ASSERT_TRUE(broker.WaitForLine("Cistern thawed", 5000ms));
  auto held = ReadMessages(consumer, 1);
  ASSERT_EQ(held.size(), 1u);
  EXPECT_EQ(held[0].body, "held");
  EXPECT_TRUE(Confirmed(consumer, "UNSUBSCRIBE", {{"id", "s"}}));
  auto connected = late.ReadFrame();
  ASSERT_TRUE(connected);
  EXPECT_EQ(connected->command, "CONNECTED");
}

TEST(CisternFaults, RefusedConnectsEndBeforeAnyAnswer) {
  TCisternProcess broker({"--FaultRefuseConnects=2"});
  ASSERT_TRUE(broker.Started());
  for (int n = 0; n < 2; ++n) {
    TRawStompPeer refused;
    ASSERT_TRUE(refused.Connect(broker.Host(), broker.Port()));
    refused.SendFrame("CONNECT", {});
    EXPECT_FALSE(refused.ReadFrame());
    EXPECT_TRUE(refused.PeerClosed() || !refused.Violation().empty() || !refused.IsOpen());
  }
  TRawStompPeer served;
  EXPECT_TRUE(served.Login(broker.Host(), broker.Port()));
}

// A broker stopped with clients connected can listen on the same port again
// at once, while the old connections linger in TIME_WAIT.
TEST(CisternFaults, RestartsOnTheSamePortAtOnce) {
  std::optional<TCisternProcess> broker(std::in_place);
  ASSERT_TRUE(broker->Started());
  const std::uint16_t port = broker->Port();
  TRawStompPeer client;
  ASSERT_TRUE(client.Login(broker->Host(), port));
  EXPECT_EQ(broker->Stop(), std::optional<int>(0));
  EXPECT_TRUE(client.WaitClosed());
  client.Close();
  broker.emplace(std::vector<std::string>{"--Port=" + std::to_string(port)});
  ASSERT_TRUE(broker->Started()) << "could not listen on port " << port << " again";
  EXPECT_EQ(broker->Port(), port);
  EXPECT_TRUE(client.Login(broker->Host(), port));
}
