// The adapter base: shared settings and the hand-over of calls to the
// application thread.
#include "stomp/KsCommAdapter.hpp"

#include <atomic>
#include <thread>

#include <gtest/gtest.h>

#include "stomp/KsCommAdapterIndy.hpp"
#include "stomp/KsStompFrame.hpp"

namespace ks {
namespace {

// A reader-side view of the protected dispatch, for the test below.
class TProbeAdapter : public TKsCommAdapterIndy {
 public:
  void FromReader(const std::string& text, const std::function<bool()>& cancelled) {
    DispatchFromReader(text, nullptr, cancelled);
  }
  void Parsed(const TKsParsedFrame& frame) { DoDataAvailable(std::string(), &frame); }
  bool Wants() const { return WantsParsedFrames(); }
};

// Counts the parsed frames handed to it.
struct TCountingReceiver : IStompFrameReceiver {
  int frames = 0;
  void StompFrameParsed(IStompCommAdapter*, const TKsParsedFrame&) override { ++frames; }
};

TEST(KsCommAdapter, TheLastOfFrameReceiverAndOnFrameParsedGetsTheParsedFrames) {
  TProbeAdapter adapter;
  TKsParsedFrame frame;
  frame.Parse("MESSAGE\nsubscription:s\n\nbody");
  TCountingReceiver receiver;
  int handled = 0;
  EXPECT_FALSE(adapter.Wants());
  adapter.SetFrameReceiver(&receiver);
  EXPECT_TRUE(adapter.Wants());
  adapter.Parsed(frame);
  adapter.SetOnFrameParsed([&](IStompCommAdapter*, const TKsParsedFrame&) { ++handled; });
  adapter.Parsed(frame);
  EXPECT_EQ(receiver.frames, 1);
  EXPECT_EQ(handled, 1);
  adapter.SetFrameReceiver(&receiver);
  adapter.Parsed(frame);
  EXPECT_EQ(receiver.frames, 2);
  EXPECT_EQ(handled, 1);
  adapter.SetFrameReceiver(nullptr);
  EXPECT_FALSE(adapter.Wants());
  adapter.Parsed(frame);
  EXPECT_EQ(receiver.frames, 2);
  EXPECT_EQ(handled, 1);
}

TEST(KsCommAdapter, SettingsAndOwnedOptions) {
  TKsCommAdapterIndy adapter;
  EXPECT_EQ(adapter.GetDirectDispatch(), IsConsoleProgram());
  adapter.SetConnectTimeout(1500);
  adapter.SetUseConnectTimeout(true);
  EXPECT_EQ(adapter.GetConnectTimeout(), 1500);
  EXPECT_TRUE(adapter.GetUseConnectTimeout());
  auto options = std::make_unique<TKsSSLOptions>();
  TKsSSLOptions* raw = options.get();
  adapter.SetSSLOptions(std::move(options));
  EXPECT_EQ(adapter.GetSSLOptions(), raw);
  EXPECT_FALSE(adapter.GetOnConnect());
  EXPECT_FALSE(adapter.GetOnDataAvailable());
}

TEST(KsCommAdapter, QueuedCallsRunOnTheDrainingThreadAndReturnTheirErrors) {
  TProbeAdapter adapter;
  adapter.SetDirectDispatch(false);
  std::thread::id ranOn;
  adapter.SetOnDataAvailable([&](IStompCommAdapter*, const std::string& text) {
    ranOn = std::this_thread::get_id();
    if (text == "bad") throw EKsStompError("handler failed");
  });
  std::atomic<int> outcome{0};
  std::thread reader([&] {
    adapter.FromReader("good", {});
    try {
      adapter.FromReader("bad", {});
      outcome = 1;
    } catch (const EKsStompError& e) {
      outcome = std::string(e.what()) == "handler failed" ? 2 : 3;
    }
  });
  int ran = 0;
  while (ran < 2) {
    if (CheckSynchronize(50)) ++ran;
  }
  reader.join();
  EXPECT_EQ(ranOn, std::this_thread::get_id());
  EXPECT_EQ(outcome.load(), 2);  // the error went back to the reader, not here

  // A call whose reader gives up before it ran is dropped.
  std::atomic<bool> cancel{false};
  std::thread quitter([&] { adapter.FromReader("never", [&] { return cancel.load(); }); });
  cancel = true;
  quitter.join();
  EXPECT_FALSE(CheckSynchronize(0));
}

}  // namespace
}  // namespace ks
