// The heart-beat timer's rules, stepped through time without waiting, and
// once on its own thread.
#include "stomp/KsHeartBeat.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>

namespace ks {
namespace {

using namespace std::chrono_literals;
using Clock = TKsHeartBeat::TClock;

// A link whose counters the test moves; beats succeed unless busy.
class TFakeLink : public IKsHeartBeatLink {
 public:
  std::uint64_t BytesReceived() const noexcept override { return received.load(); }
  std::uint64_t BytesSent() const noexcept override { return sent.load(); }
  std::uint64_t BytesWaiting() noexcept override { return waiting.load(); }
  bool TryWriteBeat() noexcept override {
    if (busy) return false;
    ++beats;
    ++sent;
    return true;
  }
  std::atomic<std::uint64_t> received{0}, sent{0}, waiting{0};
  std::atomic<int> beats{0};
  bool busy = false;
};

TKsHeartBeatTimes Times(std::chrono::milliseconds out, std::chrono::milliseconds in) {
  TKsHeartBeatTimes times;
  times.outgoing = out;
  times.incoming = in;
  times.grace = 2.5;
  return times;
}

TEST(HeartBeat, BeatsWhenTheClientIsSilentForHalfTheIntervalAndNotWhenItWrites) {
  TFakeLink link;
  TKsHeartBeat beat(link, nullptr);
  const auto t0 = Clock::now();
  beat.Arm(Times(1000ms, 0ms), t0);
  EXPECT_EQ(beat.Step(t0 + 499ms), t0 + 500ms);
  EXPECT_EQ(link.beats, 0);
  beat.Step(t0 + 500ms);
  EXPECT_EQ(link.beats, 1);
  // The application's own writes are beats enough.
  link.sent += 100;
  EXPECT_EQ(beat.Step(t0 + 900ms), t0 + 1400ms);
  beat.Step(t0 + 1300ms);
  EXPECT_EQ(link.beats, 1);
  // A link busy with a send is not idle: tried again soon, not skipped for
  // a whole interval.
  link.busy = true;
  const auto next = beat.Step(t0 + 1400ms);
  EXPECT_EQ(link.beats, 1);
  EXPECT_LE(next, t0 + 1600ms);
  link.busy = false;
  beat.Step(next);
  EXPECT_EQ(link.beats, 2);
  EXPECT_EQ(beat.GetState(), TKsHeartBeat::TState::Watching);
}

TEST(HeartBeat, ABrokerSilentForGraceTimesItsIntervalIsLostWhateverWaitsUnread) {
  TFakeLink link;
  TKsHeartBeat beat(link, nullptr);
  const auto t0 = Clock::now();
  beat.Arm(Times(0ms, 1000ms), t0);
  // Bytes read, or bytes piling up unread (a listener busy for longer than
  // the interval, a connection that never reads), keep it alive.
  link.received += 1;
  beat.Step(t0 + 2000ms);
  link.waiting = 1;
  beat.Step(t0 + 4000ms);
  link.waiting = 2;
  beat.Step(t0 + 6000ms);
  EXPECT_EQ(beat.GetState(), TKsHeartBeat::TState::Watching);
  // The same bytes waiting do not: the broker has stopped sending.
  beat.Step(t0 + 8499ms);
  EXPECT_EQ(beat.GetState(), TKsHeartBeat::TState::Watching);
  beat.Step(t0 + 8500ms);
  EXPECT_EQ(beat.GetState(), TKsHeartBeat::TState::Lost);
  EXPECT_EQ(beat.LostCause(),
            "Missed heart-beats: nothing received from the broker for 2500 ms (heart-beat interval 1000 ms)");

  // A full receive window is no sign of a dead broker: it cannot send more.
  TKsHeartBeat full(link, nullptr);
  link.waiting = TKsHeartBeat::kManyWaiting;
  full.Arm(Times(0ms, 1000ms), t0);
  full.Step(t0 + 10000ms);
  EXPECT_EQ(full.GetState(), TKsHeartBeat::TState::Watching);
}

TEST(HeartBeat, OnItsThreadALossIsReportedOnceAndTheReportMayStopIt) {
  TFakeLink link;
  std::mutex mutex;
  std::condition_variable reported;
  int losses = 0;
  std::string cause;
  TKsHeartBeat* self = nullptr;
  TKsHeartBeat beat(link, [&](const std::string& text) {
    self->Stop();  // what a connection closed from its exception listener does
    std::lock_guard<std::mutex> lock(mutex);
    ++losses;
    cause = text;
    reported.notify_all();
  });
  self = &beat;
  const auto start = Clock::now();
  beat.Start(Times(40ms, 40ms));
  std::unique_lock<std::mutex> lock(mutex);
  ASSERT_TRUE(reported.wait_for(lock, 5s, [&] { return losses > 0; }));
  EXPECT_GE(Clock::now() - start, 100ms);  // 2.5 × 40 ms
  EXPECT_GE(link.beats, 1);
  lock.unlock();
  beat.Stop();
  EXPECT_EQ(losses, 1);
  EXPECT_EQ(beat.GetState(), TKsHeartBeat::TState::Stopped);
  EXPECT_NE(cause.find("Missed heart-beats"), std::string::npos);
}

}  // namespace
}  // namespace ks
