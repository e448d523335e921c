// Load tests: four Spigot processes publish through Cistern to two Siphon
// processes on one queue (each message arrives once in total) and to two on
// one topic (each message arrives once at each subscriber); and 200
// connections open at once from one process. CI runs a small load (250
// messages per Spigot); scripts/load.sh runs the full 1 000 000 messages by
// setting KS_LOAD_PER_SPIGOT.
//
// Spigot numbers its messages from 0 in every process, so with four
// publishers each number must arrive exactly four times (per subscriber on
// the topic, in total on the queue), and each Siphon must see the messages
// of one publisher in order (a number never repeats more often than there
// are publishers before all lower numbers have been seen once).
#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "tests/common/KsCisternProcess.hpp"
#include "tests/common/KsProcess.hpp"
#include "tests/faults/KsFaultSupport.hpp"

namespace ks::test {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

const std::string kSiphon = BuiltProgram("tools/Siphon");
const std::string kSpigot = BuiltProgram("tools/Spigot");

long PerSpigot() {
  const char* v = std::getenv("KS_LOAD_PER_SPIGOT");
  return v ? std::strtol(v, nullptr, 10) : 250;
}

// Counts per sequence number of every "Received: " line.
std::map<long, long> CountBySequence(const std::vector<std::string>& lines) {
  std::map<long, long> counts;
  for (long n : ReceivedSequence(lines)) ++counts[n];
  return counts;
}

// Empty when every number 0..count-1 occurs exactly times times.
std::string CheckTimes(const std::map<long, long>& counts, long count, long times) {
  std::string problems;
  long shown = 0;
  for (long i = 0; i < count && shown < 10; ++i) {
    auto it = counts.find(i);
    const long got = it == counts.end() ? 0 : it->second;
    if (got != times) {
      problems += " #" + std::to_string(i) + "x" + std::to_string(got);
      ++shown;
    }
  }
  for (const auto& [n, c] : counts) {
    if (n < 0 || n >= count) problems += " foreign " + std::to_string(n) + "x" + std::to_string(c);
  }
  return problems;
}

struct TRun {
  std::vector<std::vector<std::string>> siphonLines;
  double seconds = 0;
};

// Two Siphons (timed loop) on the destination, then four Spigots at once.
TRun Publish(const TCisternProcess& broker, bool topic, long perSpigot) {
  const std::string subject = topic ? "load.topic" : "load.queue";
  std::vector<std::string> common = {"--URL=" + broker.Url(), "--Subject=" + subject};
  if (topic) common.push_back("--Topic");
  std::vector<std::unique_ptr<TKsProcess>> siphons;
  for (int i = 0; i < 2; ++i) {
    auto args = common;
    args.insert(args.end(), {"--MaximumMessages=0", "--ReceiveTimeOut=4000"});
    siphons.push_back(std::make_unique<TKsProcess>(kSiphon, args));
    EXPECT_TRUE(siphons.back()->ReadUntil("We will consume", 10000ms, true).has_value());
  }
  const auto start = Clock::now();
  std::vector<std::unique_ptr<TKsProcess>> spigots;
  for (int i = 0; i < 4; ++i) {
    auto args = common;
    args.insert(args.end(), {"--MessageCount=" + std::to_string(perSpigot), "--MessageSize=40", "--Verbose=false"});
    spigots.push_back(std::make_unique<TKsProcess>(kSpigot, args));
    spigots.back()->WriteInput("\n");
  }
  const auto budget = std::chrono::milliseconds(30000 + perSpigot * 2);
  for (auto& s : spigots) {
    EXPECT_TRUE(s->ReadUntil("Done.", budget).has_value()) << "a Spigot did not finish";
    EXPECT_EQ(s->Wait(10000ms), 0);
  }
  TRun run;
  for (auto& s : siphons) {
    run.siphonLines.push_back(s->ReadAll(budget));
    EXPECT_EQ(s->Wait(10000ms), 0);
  }
  run.seconds = std::chrono::duration<double>(Clock::now() - start).count();
  return run;
}

TEST(Load, FourSpigotsToTwoSiphonsOnOneQueueDeliverEachMessageOnce) {
  TCisternProcess broker;
  ASSERT_TRUE(broker.Started());
  const long n = PerSpigot();
  TRun run = Publish(broker, false, n);
  std::map<long, long> total;
  long received = 0;
  for (const auto& lines : run.siphonLines) {
    for (const auto& [seq, c] : CountBySequence(lines)) {
      total[seq] += c;
      received += c;
    }
    EXPECT_GT(CountBySequence(lines).size(), 0u) << "one Siphon got nothing: the queue did not share";
  }
  EXPECT_EQ(received, 4 * n);
  EXPECT_EQ(CheckTimes(total, n, 4), "");
  std::printf("queue: %ld messages in %.1f s (%.0f msg/s incl. a 4 s quiet period)\n", received, run.seconds,
              received / run.seconds);
}

TEST(Load, FourSpigotsToTwoSiphonsOnOneTopicDeliverEachMessageOncePerSubscriber) {
  TCisternProcess broker;
  ASSERT_TRUE(broker.Started());
  const long n = PerSpigot();
  TRun run = Publish(broker, true, n);
  long received = 0;
  for (const auto& lines : run.siphonLines) {
    const auto counts = CountBySequence(lines);
    EXPECT_EQ(CheckTimes(counts, n, 4), "");
    for (const auto& [seq, c] : counts) received += c;
  }
  EXPECT_EQ(received, 8 * n);
  std::printf("topic: %ld deliveries in %.1f s (%.0f msg/s incl. a 4 s quiet period)\n", received, run.seconds,
              received / run.seconds);
}

TEST(Load, TwoHundredConnectionsOpenAtOnceFromOneProcess) {
  TCisternProcess broker;
  ASSERT_TRUE(broker.Started());
  constexpr int kConnections = 200;
  std::vector<std::unique_ptr<TLibraryClient>> clients;
  const auto start = Clock::now();
  for (int i = 0; i < kConnections; ++i) {
    clients.push_back(std::make_unique<TLibraryClient>(broker.Url(), "many"));
  }
  // Every connection is open at the same time and sends one numbered message.
  for (int i = 0; i < kConnections; ++i) clients[i]->SendText("seq:" + std::to_string(i));
  auto consumer = clients[0]->Consumer();
  std::vector<long> got;
  for (int i = 0; i < kConnections; ++i) {
    auto m = consumer->Receive(5000);
    ASSERT_TRUE(m) << "message " << i << " missing";
    got.push_back(SequenceNumber(std::dynamic_pointer_cast<ITextMessage>(m)->GetText()));
  }
  EXPECT_EQ(CheckExactlyOnce(got, kConnections), "");
  // Each close pauses 200 ms before it closes its socket; close the
  // connections side by side (each one from a single thread).
  std::vector<std::thread> closers;
  for (auto& c : clients) closers.emplace_back([&c] { c->connection->Close(); });
  for (auto& t : closers) t.join();
  const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
  clients.clear();
  std::printf("200 connections opened, used and closed in %.2f s\n", seconds);
}

}  // namespace
}  // namespace ks::test
