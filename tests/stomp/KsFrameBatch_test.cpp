// The write buffer of batched sending, with a writer that records what it
// is given.
#include "stomp/KsFrameBatch.hpp"

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "support/KsErrors.hpp"

namespace ks {
namespace {

using namespace std::string_literals;

struct TWrites {
  std::vector<std::string> joined;  // each write's bytes
  std::vector<const char*> bodyAt;  // where a three-part write's body lay
  bool fail = false;
};

TKsFrameBatch::TWriter Recorder(TWrites& writes) {
  return [&writes](const std::string_view* parts, std::size_t count, std::int32_t) {
    if (writes.fail) throw EKsConnClosedGracefully();
    std::string bytes;
    for (std::size_t i = 0; i < count; ++i) bytes.append(parts[i]);
    writes.joined.push_back(bytes);
    writes.bodyAt.push_back(count == 3 ? parts[1].data() : nullptr);
  };
}

TEST(FrameBatch, AFrameTooLargeToGatherGoesOutAfterWhatIsHeldFromWhereItLiesAndIsCountedWhenLost) {
  const std::string_view end("\0\n", 2);
  const std::string large(TKsFrameBatch::kCapacity + 10, 'L');
  const std::string_view small[3] = {"SEND\n\n", "s", end};
  const std::string_view big[3] = {"SEND\n\n", large, end};
  TWrites writes;
  {
    TKsFrameBatch batch(Recorder(writes), 10000, nullptr);
    batch.Add(small, 3, -1);
    EXPECT_TRUE(writes.joined.empty());
    batch.Add(big, 3, -1);
    // What was held first, then the large frame on its own, its body not
    // copied on the way.
    ASSERT_EQ(writes.joined.size(), 2u);
    EXPECT_EQ(writes.joined[0], "SEND\n\ns\0\n"s);
    EXPECT_EQ(writes.joined[1], "SEND\n\n" + large + "\0\n"s);
    EXPECT_EQ(writes.bodyAt[1], large.data());
    EXPECT_EQ(batch.Abandon(), 0u);
    // A held frame whose write fails is lost with it, and so is a large one
    // whose own write fails; each is counted once.
    batch.Add(small, 3, -1);
    writes.fail = true;
    EXPECT_THROW(batch.Add(big, 3, -1), EKsConnClosedGracefully);
    EXPECT_THROW(batch.Flush(), EKsConnClosedGracefully);  // the error is kept
    EXPECT_EQ(batch.Abandon(), 1u);
    batch.Reset();
    EXPECT_THROW(batch.Add(big, 3, -1), EKsConnClosedGracefully);
    EXPECT_EQ(batch.Abandon(), 1u);
  }
}

TEST(FrameBatch, AFrameHeldAfterAWriteIsWrittenByTheTimerWithoutAnotherCall) {
  const std::string_view end("\0\n", 2);
  const std::string_view first[3] = {"SEND\n\n", "1", end};
  const std::string_view second[3] = {"SEND\n\n", "2", end};
  std::mutex lock;
  std::condition_variable changed;
  std::vector<std::string> written;
  TKsFrameBatch batch(
      [&](const std::string_view* parts, std::size_t count, std::int32_t) {
        std::string bytes;
        for (std::size_t i = 0; i < count; ++i) bytes.append(parts[i]);
        std::lock_guard<std::mutex> guard(lock);
        written.push_back(bytes);
        changed.notify_all();
      },
      20, nullptr);
  // The timer waits for the first frame's due time when the flush writes
  // it; the second frame, held after that write, is due later and has only
  // the timer to bring it out.
  batch.Add(first, 3, -1);
  batch.Flush();
  batch.Add(second, 3, -1);
  std::unique_lock<std::mutex> guard(lock);
  ASSERT_TRUE(changed.wait_for(guard, std::chrono::seconds(5), [&] { return written.size() == 2; }));
  EXPECT_EQ(written[1], "SEND\n\n2\0\n"s);
}

}  // namespace
}  // namespace ks
