// Cistern's heart-beats under STOMP 1.1 and 1.2: it beats at the agreed
// interval and drops a client that stays silent for twice its own.
#include <poll.h>
#include <string>
#include <sys/socket.h>

#include <gtest/gtest.h>

#include "tests/broker/CisternTestUtil.hpp"

using namespace ks::test;
using namespace std::chrono_literals;

namespace {

using TClock = std::chrono::steady_clock;

std::string LoginBeat(TRawStompPeer& peer, const TCisternProcess& broker, const TRawHeaders& headers) {
  if (!peer.Login(broker.Host(), broker.Port(), headers)) return "no CONNECTED";
  return peer.LastReply()->Header("heart-beat");
}

// The arrival times of the next count bytes on fd, each of which must be an
// LF; fewer when the time runs out.
std::vector<TClock::time_point> BeatTimes(int fd, std::size_t count, std::chrono::milliseconds timeout) {
  std::vector<TClock::time_point> out;
  const auto deadline = TClock::now() + timeout;
  while (out.size() < count) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - TClock::now());
    pollfd p{fd, POLLIN, 0};
    if (left.count() <= 0 || ::poll(&p, 1, static_cast<int>(left.count())) <= 0) break;
    char buf[16];
    const ssize_t n = ::recv(fd, buf, sizeof buf, 0);
    if (n <= 0) break;
    for (ssize_t i = 0; i < n; ++i) {
      EXPECT_EQ(buf[i], '\n');
      out.push_back(TClock::now());
    }
  }
  return out;
}

// Whether a byte is waiting on fd now.
bool Readable(int fd) {
  pollfd p{fd, POLLIN, 0};
  return ::poll(&p, 1, 0) > 0;
}

}  // namespace

TEST(CisternHeartBeat, BeatsAtTheAgreedIntervalAndNoMoreOften) {
  TCisternProcess broker({"--HeartBeat=300"});
  ASSERT_TRUE(broker.Started());
  // The client would take a beat every 100 ms; Cistern's least is 300.
  TRawStompPeer beaten, quiet10, quiet12, asked;
  ASSERT_EQ(LoginBeat(beaten, broker, {{"accept-version", "1.2"}, {"heart-beat", "0,100"}}), "300,0");
  const auto connected = TClock::now();
  // 1.0, and 1.2 without "heart-beat": no beats either way.
  ASSERT_EQ(LoginBeat(quiet10, broker, {{"heart-beat", "0,100"}}), "");
  ASSERT_EQ(LoginBeat(quiet12, broker, {{"accept-version", "1.2"}}), "0,0");
  // A client that could beat every 100 ms is asked for one every 300 ms.
  ASSERT_EQ(LoginBeat(asked, broker, {{"accept-version", "1.1"}, {"heart-beat", "100,0"}}), "0,300");

  const auto times = BeatTimes(beaten.Fd(), 4, 3000ms);
  ASSERT_EQ(times.size(), 4u);
  auto previous = connected;
  for (const auto& t : times) {
    const auto gap = std::chrono::duration_cast<std::chrono::milliseconds>(t - previous).count();
    EXPECT_GE(gap, 250);
    EXPECT_LE(gap, 500);
    previous = t;
  }
  EXPECT_FALSE(Readable(quiet10.Fd()));
  EXPECT_FALSE(Readable(quiet12.Fd()));
}

TEST(CisternHeartBeat, SilentClientIsDroppedBeatingClientIsNot) {
  TCisternProcess broker;
  ASSERT_TRUE(broker.Started());
  TRawStompPeer silent, beating;
  ASSERT_EQ(LoginBeat(silent, broker, {{"accept-version", "1.2"}, {"heart-beat", "200,0"}}), "0,200");
  const auto start = TClock::now();
  ASSERT_EQ(LoginBeat(beating, broker, {{"accept-version", "1.1"}, {"heart-beat", "200,0"}}), "0,200");

  // The beating client sends an LF every 100 ms throughout.
  std::optional<TRawFrame> error;
  auto droppedAt = start;
  while (TClock::now() - start < 1200ms) {
    ASSERT_TRUE(beating.SendRaw("\n"));
    if (!error && (error = silent.ReadFrame(100ms))) {
      droppedAt = TClock::now();
    } else if (error) {
      EXPECT_FALSE(beating.ReadFrame(100ms)) << "the beating client got a frame";
    }
  }
  ASSERT_TRUE(error) << "the silent client was not dropped";
  EXPECT_EQ(error->command, "ERROR");
  EXPECT_EQ(error->Header("message"), "Heart-beat timeout");
  EXPECT_TRUE(silent.WaitClosed());
  const auto after = std::chrono::duration_cast<std::chrono::milliseconds>(droppedAt - start).count();
  EXPECT_GE(after, 380);
  EXPECT_LT(after, 1000);
  EXPECT_TRUE(Confirmed(beating, "SUBSCRIBE", {{"destination", "jms.queue.alive"}, {"id", "s"}}));
}

// While Cistern holds a producer back (its queue is full), it does not read
// from it: that silence is Cistern's, and the producer is not dropped.
TEST(CisternHeartBeat, ProducerHeldBackIsNotDropped) {
  TCisternProcess broker({"--Verbose", "--MaxQueueBytes=16K"});
  ASSERT_TRUE(broker.Started());
  TRawStompPeer producer;
  // Promises a beat every second and sends none: dropped after 2 s of
  // silence that counts, so the 2.5 s it is held back below must not count,
  // and the steps after the hold have 2 s even on a loaded machine.
  ASSERT_EQ(LoginBeat(producer, broker, {{"accept-version", "1.2"}, {"heart-beat", "1000,0"}}), "0,1000");
  const std::string body(10000, 'f');
  for (int n = 0; n < 2; ++n) ASSERT_TRUE(Confirmed(producer, "SEND", {{"destination", "jms.queue.full"}}, body));
  ASSERT_TRUE(broker.WaitForLine(" paused: ", 5000ms));
  ASSERT_TRUE(producer.SendFrame("SEND", {{"destination", "jms.queue.full"}, {"receipt", "late"}}, body));
  EXPECT_FALSE(producer.ReadFrame(2500ms)) << "a frame came while the producer was held back";

  TRawStompPeer consumer;
  ASSERT_TRUE(consumer.Login(broker.Host(), broker.Port()));
  ASSERT_TRUE(consumer.SendFrame("SUBSCRIBE", {{"destination", "jms.queue.full"}}));
  EXPECT_EQ(ReadMessages(consumer, 3).size(), 3u);
  auto receipt = producer.ReadFrame();
  ASSERT_TRUE(receipt);
  EXPECT_EQ(receipt->command, "RECEIPT");
  EXPECT_EQ(receipt->Header("receipt-id"), "late");
}
