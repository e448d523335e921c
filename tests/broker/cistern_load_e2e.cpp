// Cistern under load: exactly-once delivery through one queue, slow
// consumers that hold up nobody, many simultaneous connections.
#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "tests/broker/CisternTestUtil.hpp"

using namespace ks::test;
using namespace std::chrono_literals;

TEST(CisternLoad, HundredThousandMessagesFourProducersThreeConsumersExactlyOnce) {
  constexpr int kProducers = 4;
  constexpr int kConsumers = 3;
  constexpr int kPerProducer = 25000;
  constexpr int kTotal = kProducers * kPerProducer;
  TCisternProcess broker;
  ASSERT_TRUE(broker.Started());

  TRawStompPeer consumers[kConsumers];
  for (int c = 0; c < kConsumers; ++c) {
    ASSERT_TRUE(consumers[c].Login(broker.Host(), broker.Port()));
    ASSERT_TRUE(Subscribed(consumers[c], "jms.queue.load", "c" + std::to_string(c)));
  }
  // seen[p * kPerProducer + n] counts the arrivals of message n of producer p.
  std::vector<std::atomic<int>> seen(kTotal);
  std::atomic<int> received{0};
  std::atomic<int> outOfOrder{0};
  std::vector<std::thread> threads;
  for (int c = 0; c < kConsumers; ++c) {
    threads.emplace_back([&, c] {
      std::vector<int> last(kProducers, -1);
      const auto deadline = std::chrono::steady_clock::now() + 60s;
      while (received.load() < kTotal && std::chrono::steady_clock::now() < deadline) {
        auto f = consumers[c].ReadFrame(200ms);
        if (!f) {
          if (!consumers[c].Violation().empty() || consumers[c].PeerClosed()) return;
          continue;
        }
        const std::string& b = f->body;  // "p:n"
        const std::size_t colon = b.find(':');
        const int p = std::stoi(b.substr(0, colon));
        const int n = std::stoi(b.substr(colon + 1));
        if (n <= last[static_cast<std::size_t>(p)]) ++outOfOrder;
        last[static_cast<std::size_t>(p)] = n;
        seen[static_cast<std::size_t>(p * kPerProducer + n)]++;
        ++received;
      }
    });
  }
  for (int p = 0; p < kProducers; ++p) {
    threads.emplace_back([&, p] {
      TRawStompPeer producer;
      if (!producer.Login(broker.Host(), broker.Port())) return;
      std::string batch;
      for (int n = 0; n < kPerProducer; ++n) {
        batch += TRawStompPeer::Encode("SEND", {{"destination", "jms.queue.load"}},
                                       std::to_string(p) + ":" + std::to_string(n), n % 2 == 0);
        if (batch.size() > 32768 || n + 1 == kPerProducer) {
          if (!producer.SendRaw(batch)) return;
          batch.clear();
        }
      }
      producer.SendFrame("DISCONNECT", {{"receipt", "done"}});
      producer.ReadFrame(30s);
    });
  }
  for (auto& t : threads) t.join();
  EXPECT_EQ(received.load(), kTotal);
  EXPECT_EQ(outOfOrder.load(), 0);
  int missing = 0, duplicated = 0;
  for (auto& s : seen) {
    missing += s.load() == 0 ? 1 : 0;
    duplicated += s.load() > 1 ? 1 : 0;
  }
  EXPECT_EQ(missing, 0);
  EXPECT_EQ(duplicated, 0);
  for (auto& c : consumers) EXPECT_TRUE(c.Violation().empty()) << c.Violation();
}

TEST(CisternLoad, SlowConsumerHoldsUpNobody) {
  TCisternProcess broker;
  ASSERT_TRUE(broker.Started());
  TRawStompPeer slow, fast, fastTopic, producer;
  ASSERT_TRUE(slow.Login(broker.Host(), broker.Port()));
  ASSERT_TRUE(fast.Login(broker.Host(), broker.Port()));
  ASSERT_TRUE(fastTopic.Login(broker.Host(), broker.Port()));
  ASSERT_TRUE(producer.Login(broker.Host(), broker.Port()));
  ASSERT_TRUE(Subscribed(slow, "jms.queue.slow", "s"));
  ASSERT_TRUE(Subscribed(slow, "jms.topic.slow", "t"));
  ASSERT_TRUE(Subscribed(fast, "jms.queue.slow", "f"));
  ASSERT_TRUE(Subscribed(fastTopic, "jms.topic.slow", "ft"));
  // 40 MB to the topic and 40 MB to the queue; slow reads nothing meanwhile.
  constexpr int kCount = 4000;
  const std::string body(10000, 'x');
  std::thread writer([&] {
    for (int n = 0; n < kCount; ++n) {
      if (!producer.SendFrame("SEND", {{"destination", "jms.topic.slow"}, {"n", std::to_string(n)}}, body, true)) return;
      if (!producer.SendFrame("SEND", {{"destination", "jms.queue.slow"}, {"n", std::to_string(n)}}, body, true)) return;
    }
  });
  int topicCount = 0;
  std::thread topicReader([&] {
    while (topicCount < kCount) {
      auto f = fastTopic.ReadFrame(10s);
      if (!f) return;
      ++topicCount;
    }
  });
  // The fast queue consumer gets everything the slow one could not absorb.
  std::vector<bool> got(kCount, false);
  int fastCount = 0;
  while (true) {
    auto f = fast.ReadFrame(1000ms);
    if (!f) break;
    got[static_cast<std::size_t>(std::stoi(f->Header("n")))] = true;
    ++fastCount;
  }
  writer.join();
  topicReader.join();
  EXPECT_EQ(topicCount, kCount);
  EXPECT_GT(fastCount, kCount / 2);
  // Now the slow consumer catches up: the topic copies and its share of the
  // queue, which together with the fast share is every message once.
  int slowQueue = 0, slowTopic = 0;
  while (slowTopic < kCount || slowQueue + fastCount < kCount) {
    auto f = slow.ReadFrame(10s);
    if (!f) break;
    if (f->Header("subscription") == "t") {
      ++slowTopic;
      continue;
    }
    const auto n = static_cast<std::size_t>(std::stoi(f->Header("n")));
    EXPECT_FALSE(got[n]) << n;
    got[n] = true;
    ++slowQueue;
  }
  EXPECT_EQ(slowTopic, kCount);
  EXPECT_EQ(slowQueue + fastCount, kCount);
  EXPECT_TRUE(slow.Quiet(50ms));
}

TEST(CisternLoad, FiveHundredSimultaneousConnections) {
  constexpr int kPeers = 500;
  TCisternProcess broker;
  ASSERT_TRUE(broker.Started());
  std::vector<TRawStompPeer> peers(kPeers);
  for (auto& p : peers) {
    ASSERT_TRUE(p.Connect(broker.Host(), broker.Port()));
    ASSERT_TRUE(p.SendFrame("CONNECT", {}));
  }
  for (int i = 0; i < kPeers; ++i) {
    auto f = peers[static_cast<std::size_t>(i)].ReadFrame();
    ASSERT_TRUE(f);
    ASSERT_EQ(f->command, "CONNECTED");
    ASSERT_TRUE(peers[static_cast<std::size_t>(i)].SendFrame(
        "SUBSCRIBE", {{"destination", "jms.topic.all"}, {"id", std::to_string(i)}, {"receipt", "s"}}));
  }
  for (auto& p : peers) ASSERT_TRUE(p.ReadUntil("RECEIPT", 5000ms));
  TRawStompPeer producer;
  ASSERT_TRUE(producer.Login(broker.Host(), broker.Port()));
  ASSERT_TRUE(producer.SendFrame("SEND", {{"destination", "jms.topic.all"}}, "hello everyone"));
  int delivered = 0;
  for (int i = 0; i < kPeers; ++i) {
    auto f = peers[static_cast<std::size_t>(i)].ReadFrame();
    if (f && f->body == "hello everyone" && f->Header("subscription") == std::to_string(i)) ++delivered;
  }
  EXPECT_EQ(delivered, kPeers);
}

TEST(CisternLoad, ClientThatDoesNotReadItsReceiptsLosesNone) {
  TCisternProcess broker;
  ASSERT_TRUE(broker.Started());
  TRawStompPeer flooder;
  ASSERT_TRUE(flooder.Login(broker.Host(), broker.Port()));
  constexpr int kFrames = 150000;  // about 25 MB of receipts
  const std::string pad(120, 'p');
  std::atomic<bool> sent{false};
  std::thread writer([&] {
    std::string batch;
    for (int n = 0; n < kFrames; ++n) {
      batch += TRawStompPeer::Encode("BEGIN", {{"transaction", "t" + std::to_string(n)}, {"receipt", pad + std::to_string(n)}});
      if (batch.size() > 65536 || n + 1 == kFrames) {
        if (!flooder.SendRaw(batch)) return;
        batch.clear();
      }
    }
    sent = true;
  });
  // Others are served meanwhile.
  TRawStompPeer other;
  ASSERT_TRUE(other.Login(broker.Host(), broker.Port()));
  EXPECT_TRUE(Confirmed(other, "SEND", {{"destination", "jms.queue.x"}}, "x"));
  int next = 0;
  while (next < kFrames) {
    auto f = flooder.ReadFrame(10s);
    if (!f) break;
    if (f->Header("receipt-id") != pad + std::to_string(next)) break;
    ++next;
  }
  writer.join();
  EXPECT_TRUE(sent.load());
  EXPECT_EQ(next, kFrames);
}
