// The fault matrix for the two programs: Spigot and Siphon against Cistern's
// fault hooks (frames written in small pieces, stray LF and blanks between
// frames, ERROR on CONNECT), against a scripted broker that breaks the
// framing (closing mid-frame and mid-header, oversized header blocks, bad
// content-lengths) or sends a message over the size limit, and against a
// broker killed while Siphon runs in each of its three modes. Each case checks the exact line the user sees, whether the
// program ends, and that the messages that were delivered are each there
// once, unaltered (sequence numbers in the bodies).
#include <gtest/gtest.h>

#include <csignal>
#include <cstdlib>
#include <ostream>
#include <string>
#include <vector>

#include "tests/common/KsCisternProcess.hpp"
#include "tests/common/KsProcess.hpp"
#include "tests/common/KsScriptedPeer.hpp"
#include "tests/faults/KsFaultSupport.hpp"

namespace ks::test {
namespace {

using namespace std::chrono_literals;

const std::string kSiphon = BuiltProgram("tools/Siphon");
const std::string kSpigot = BuiltProgram("tools/Spigot");
constexpr auto kWait = 15000ms;

// Runs Spigot to the end (it waits for Enter after "Done.").
std::vector<std::string> RunSpigot(const std::string& url, std::vector<std::string> args) {
  args.insert(args.begin(), "--URL=" + url);
  TKsProcess spigot(kSpigot, args);
  spigot.WriteInput("\n");
  auto lines = spigot.ReadAll(kWait);
  EXPECT_EQ(spigot.Wait(kWait), 0);
  return lines;
}

bool Has(const std::vector<std::string>& lines, const std::string& line) {
  for (const auto& l : lines) {
    if (l == line) return true;
  }
  return false;
}

std::string Joined(const std::vector<std::string>& lines) {
  std::string out;
  for (const auto& l : lines) out += l + "\n";
  return out;
}

// ---------------------------------------------------------------------------
// Cistern's framing hooks: every message arrives once, in order, unaltered.

class FramingFaults : public ::testing::TestWithParam<std::vector<std::string>> {};

TEST_P(FramingFaults, SpigotToSiphonLosesAndAltersNothing) {
  TCisternProcess broker(GetParam());
  ASSERT_TRUE(broker.Started());
  constexpr int kCount = 25;
  auto sent = RunSpigot(broker.Url(), {"--Subject=fm", "--MessageCount=25", "--MessageSize=40"});
  ASSERT_TRUE(Has(sent, "Done.")) << Joined(sent);

  TKsProcess siphon(kSiphon, {"--URL=" + broker.Url(), "--Subject=fm", "--MaximumMessages=25"});
  auto lines = siphon.ReadAll(kWait);
  ASSERT_EQ(siphon.Wait(kWait), 0) << Joined(lines);
  const auto seq = ReceivedSequence(lines);
  EXPECT_EQ(CheckExactlyOnce(seq, kCount), "") << Joined(lines);
  for (std::size_t i = 0; i < seq.size(); ++i) EXPECT_EQ(seq[i], static_cast<long>(i)) << "out of order";
  // The text is exactly the one Spigot made, blank padding included.
  std::vector<std::string> made;
  std::vector<std::string> shown;
  for (const auto& l : sent) {
    if (l.rfind("Sending message: ", 0) == 0) made.push_back(l.substr(17));
  }
  for (const auto& l : lines) {
    if (l.rfind("Received: ", 0) == 0) shown.push_back(l.substr(10));
  }
  EXPECT_EQ(shown, made);
  for (const auto& text : shown) EXPECT_EQ(text.size(), 40u) << text;
  EXPECT_TRUE(Has(lines, "Closing connection"));
}

INSTANTIATE_TEST_SUITE_P(CisternHooks, FramingFaults,
                         ::testing::Values(std::vector<std::string>{"--FaultChunk=1"},
                                           std::vector<std::string>{"--FaultStrayLF"},
                                           std::vector<std::string>{"--FaultChunk=3", "--FaultStrayLF"}),
                         CisternOptionsName);

TEST(FramingFaultsTimed, TimedLoopGetsEveryMessageThroughStrayLineFeeds) {
  TCisternProcess broker({"--FaultStrayLF"});
  ASSERT_TRUE(broker.Started());
  auto sent = RunSpigot(broker.Url(), {"--Subject=fmt", "--MessageCount=10", "--MessageSize=30"});
  ASSERT_TRUE(Has(sent, "Done.")) << Joined(sent);
  TKsProcess siphon(kSiphon,
                    {"--URL=" + broker.Url(), "--Subject=fmt", "--MaximumMessages=0", "--ReceiveTimeOut=2000"});
  auto lines = siphon.ReadAll(kWait);
  ASSERT_EQ(siphon.Wait(kWait), 0);
  EXPECT_EQ(CheckExactlyOnce(ReceivedSequence(lines), 10), "") << Joined(lines);
}

// The ERROR frame's "message" header, a blank and its body, inside the
// connection-failed text.
const std::string kRefused =
    "The JMS connection has failed due to a Transport problem: Access denied CONNECT refused on request. "
    "The connection is closed.";

TEST(ConnectFaults, ErrorOnConnectIsPrintedByBothProgramsWhichThenEnd) {
  TCisternProcess broker({"--FaultConnectError=Access denied"});
  ASSERT_TRUE(broker.Started());
  TKsProcess spigot(kSpigot, {"--URL=" + broker.Url()});
  spigot.WriteInput("\n");
  auto out = spigot.ReadAll(kWait);
  EXPECT_EQ(spigot.Wait(kWait), 1);
  ASSERT_GE(out.size(), 2u) << Joined(out);
  EXPECT_EQ(out[0], "Connecting to URL: " + broker.Url());
  EXPECT_FALSE(Has(out, "Done.")) << Joined(out);
  EXPECT_EQ(out.back(), kRefused) << Joined(out);

  TKsProcess siphon(kSiphon, {"--URL=" + broker.Url()});
  auto lines = siphon.ReadAll(kWait);
  EXPECT_EQ(siphon.Wait(kWait), 1);
  ASSERT_FALSE(lines.empty());
  EXPECT_EQ(lines.back(), kRefused) << Joined(lines);
  EXPECT_FALSE(Has(lines, "Closing connection"));
}

// ---------------------------------------------------------------------------
// A scripted broker that delivers good frames, then a broken one.

class TBreakingBroker {
 public:
  TBreakingBroker() : peer_(Options()) {}
  static TKsScriptedPeerOptions Options() {
    TKsScriptedPeerOptions o;
    o.AutoConnected = true;
    return o;
  }
  std::string Url() const { return peer_.Url(); }
  // Waits for the client's SUBSCRIBE and returns its id.
  std::string AwaitSubscribe() { return AwaitSubscribeId(peer_, kWait); }
  void Deliver(const std::string& id, int seq) {
    const std::string body = "seq:" + std::to_string(seq);
    peer_.Send("MESSAGE\nsubscription:" + id + "\nmessage-id:m" + std::to_string(seq) + "\ncontent-length:" +
               std::to_string(body.size()) + "\n\n" + body + std::string(1, '\0') + "\n");
  }
  void SendRaw(const std::string& bytes) { peer_.Send(bytes); }
  void Close() { peer_.Close(); }

 private:
  TKsScriptedPeer peer_;
};

struct TBrokenCase {
  const char* name;
  std::string tail;     // sent after two good messages
  bool closeAfter;      // the broker then closes the connection
  std::string expected; // Siphon's last line
};

// Failure lines name the case instead of dumping its bytes.
void PrintTo(const TBrokenCase& c, std::ostream* out) { *out << c.name; }

class BrokenFrames : public ::testing::TestWithParam<TBrokenCase> {};

TEST_P(BrokenFrames, SiphonPrintsTheErrorEndsAndKeepsTheGoodMessages) {
  const TBrokenCase& c = GetParam();
  TBreakingBroker broker;
  TKsProcess siphon(kSiphon, {"--URL=" + broker.Url(), "--Subject=q", "--MaximumMessages=5"});
  const std::string id = broker.AwaitSubscribe();
  ASSERT_FALSE(id.empty());
  broker.Deliver(id, 0);
  broker.Deliver(id, 1);
  std::string tail = c.tail;
  for (std::size_t at; (at = tail.find("<id>")) != std::string::npos;) tail.replace(at, 4, id);
  broker.SendRaw(tail);
  if (c.closeAfter) broker.Close();
  auto lines = siphon.ReadAll(kWait);
  ASSERT_EQ(siphon.Wait(kWait), 1) << "Siphon did not end, or ended as if all was well: " << Joined(lines);
  ASSERT_FALSE(lines.empty());
  EXPECT_EQ(lines.back(), c.expected) << Joined(lines);
  EXPECT_EQ(ReceivedSequence(lines), (std::vector<long>{0, 1})) << Joined(lines);
}

const std::string kNul(1, '\0');
const std::string kClosed = "The JMS connection has failed due to a Transport problem: Connection Closed Gracefully.";

INSTANTIATE_TEST_SUITE_P(
    Matrix, BrokenFrames,
    ::testing::Values(
        TBrokenCase{"ClosedMidBody", "MESSAGE\nsubscription:<id>\nmessage-id:m2\ncontent-length:20\n\nseq:2 par", true,
                    kClosed},
        TBrokenCase{"ClosedMidHeader", "MESSAGE\nsubscription:<id>\nmessa", true, kClosed},
        TBrokenCase{"ClosedMidBodyWithoutLength", "MESSAGE\nsubscription:<id>\nmessage-id:m2\n\nseq:2 no NUL yet", true,
                    kClosed},
        TBrokenCase{"LengthLongerThanData",
                    "MESSAGE\nsubscription:<id>\nmessage-id:m2\ncontent-length:500\n\nseq:2" + kNul + "\n", true,
                    kClosed},
        // Skipped (and said), not the end of the connection: the broker's
        // close ends the run.
        TBrokenCase{"HeaderBlockOverTheLimit",
                    "MESSAGE\nsubscription:<id>\nbig:" + std::string(70000, 'h') + "\n\n" + kNul + "\n", true, kClosed},
        TBrokenCase{"NegativeLength", "MESSAGE\nsubscription:<id>\ncontent-length:-5\n\nseq:2" + kNul + "\n", false,
                    "Invalid content-length \"-5\": negative"},
        TBrokenCase{"LengthNotANumber", "MESSAGE\nsubscription:<id>\ncontent-length:12abc\n\nseq:2" + kNul + "\n",
                    false, "Invalid content-length \"12abc\": not a number"},
        TBrokenCase{"LengthOverflows",
                    "MESSAGE\nsubscription:<id>\ncontent-length:99999999999999999999\n\nseq:2" + kNul + "\n", false,
                    "Invalid content-length \"99999999999999999999\": not a number"},
        TBrokenCase{"LengthHuge", "MESSAGE\nsubscription:<id>\ncontent-length:4294967296\n\nseq:2" + kNul + "\n",
                    false, "Invalid content-length \"4294967296\": too large"}),
    [](const ::testing::TestParamInfo<TBrokenCase>& info) { return std::string(info.param.name); });

TEST(BrokenFramesTimed, AHugeLengthWithoutItsDataEndsTheTimedLoopAtTheQuietPeriod) {
  // A length the broker never fills: the frame stays incomplete, nothing is
  // delivered from it, and the timed loop ends at its quiet period. The
  // RECEIPT of the DISCONNECT is lost inside the unfinished frame, so the
  // close is not confirmed and Siphon says so.
  TBreakingBroker broker;
  TKsProcess siphon(kSiphon, {"--URL=" + broker.Url() + "?receiptTimeout=500", "--Subject=q",
                              "--MaximumMessages=0", "--ReceiveTimeOut=1500"});
  const std::string id = broker.AwaitSubscribe();
  ASSERT_FALSE(id.empty());
  broker.Deliver(id, 0);
  broker.SendRaw("MESSAGE\nsubscription:" + id + "\ncontent-length:2000000000\n\nseq:1");
  auto lines = siphon.ReadAll(kWait);
  ASSERT_EQ(siphon.Wait(kWait), 1) << Joined(lines);
  EXPECT_EQ(ReceivedSequence(lines), (std::vector<long>{0})) << Joined(lines);
  EXPECT_TRUE(Has(lines, "Closing connection")) << Joined(lines);
  EXPECT_EQ(lines.back(),
            "The JMS connection has failed due to a Transport problem: The broker did not confirm DISCONNECT within "
            "500 ms");
}

TEST(SkippedMessages, ASiphonThatSkippedAMessageEndsWithStatusOne) {
  TBreakingBroker broker;
  TKsProcess siphon(kSiphon, {"--URL=" + broker.Url() + "?maxFrameSize=1000", "--Subject=q",
                              "--MaximumMessages=2", "--AckMode=CLIENT_ACKNOWLEDGE"});
  const std::string id = broker.AwaitSubscribe();
  ASSERT_FALSE(id.empty());
  broker.SendRaw("MESSAGE\ndestination:jms.queue.q\nsubscription:" + id +
                 "\nmessage-id:big\ncontent-length:5000\n\n" + std::string(5000, 'x') + kNul + "\n");
  broker.Deliver(id, 0);
  broker.Deliver(id, 1);
  auto lines = siphon.ReadAll(kWait);
  ASSERT_EQ(siphon.Wait(kWait), 1) << Joined(lines);
  EXPECT_EQ(ReceivedSequence(lines), (std::vector<long>{0, 1})) << Joined(lines);
  EXPECT_TRUE(Has(lines, "Frame body of 5000 bytes exceeds the maximum frame size of 1000 bytes; MESSAGE \"big\" from "
                         "\"jms.queue.q\" skipped"))
      << Joined(lines);
  EXPECT_EQ(lines.back(), "Messages skipped: 1");
}

// ---------------------------------------------------------------------------
// The broker is killed while Siphon runs.

class BrokerKilled : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(broker_.Started());
    auto sent = RunSpigot(broker_.Url(), {"--Subject=k", "--MessageCount=10", "--MessageSize=30"});
    ASSERT_TRUE(Has(sent, "Done.")) << Joined(sent);
  }
  // Starts Siphon with args, waits for the ten messages, kills the broker.
  std::vector<std::string> ReceiveThenKill(TKsProcess& siphon) {
    std::vector<std::string> lines;
    int received = 0;
    while (received < 10) {
      auto line = siphon.ReadLine(kWait);
      if (!line) break;
      lines.push_back(*line);
      if (line->rfind("Received: ", 0) == 0) ++received;
    }
    EXPECT_EQ(received, 10) << Joined(lines);
    broker_.Stop(SIGKILL);
    return lines;
  }
  TCisternProcess broker_;
};

TEST_F(BrokerKilled, CountedLoopPrintsTheCloseAndEnds) {
  TKsProcess siphon(kSiphon, {"--URL=" + broker_.Url(), "--Subject=k", "--MaximumMessages=20"});
  auto lines = ReceiveThenKill(siphon);
  auto rest = siphon.ReadAll(kWait);
  ASSERT_EQ(siphon.Wait(kWait), 1);
  lines.insert(lines.end(), rest.begin(), rest.end());
  EXPECT_EQ(lines.back(), kClosed) << Joined(lines);
  EXPECT_EQ(CheckExactlyOnce(ReceivedSequence(lines), 10), "");
}

TEST_F(BrokerKilled, TimedLoopPrintsTheCloseAndEndsBeforeItsQuietPeriod) {
  TKsProcess siphon(kSiphon,
                    {"--URL=" + broker_.Url(), "--Subject=k", "--MaximumMessages=0", "--ReceiveTimeOut=60000"});
  auto lines = ReceiveThenKill(siphon);
  auto rest = siphon.ReadAll(kWait);
  ASSERT_EQ(siphon.Wait(kWait), 1) << "the timed loop waited for its quiet period on a dead connection";
  lines.insert(lines.end(), rest.begin(), rest.end());
  EXPECT_EQ(lines.back(), kClosed) << Joined(lines);
  EXPECT_EQ(CheckExactlyOnce(ReceivedSequence(lines), 10), "");
}

TEST_F(BrokerKilled, ListenerModePrintsTheLossAndEndsWithStatusOne) {
  TKsProcess siphon(kSiphon, {"--URL=" + broker_.Url(), "--Subject=k", "--MaximumMessages=0"});
  auto lines = ReceiveThenKill(siphon);
  EXPECT_EQ(CheckExactlyOnce(ReceivedSequence(lines), 10), "");
  auto error = siphon.ReadLine(kWait);
  ASSERT_TRUE(error.has_value()) << "no line after the broker was killed";
  EXPECT_NE(error->find("[ERROR]"), std::string::npos) << *error;
  EXPECT_NE(error->find("Connection Closed Gracefully."), std::string::npos) << *error;
  // It no longer runs on against a dead connection: the error's text, then
  // the end, with status 1.
  auto rest = siphon.ReadAll(kWait);
  ASSERT_EQ(siphon.Wait(kWait), 1) << Joined(rest);
  ASSERT_FALSE(rest.empty());
  EXPECT_EQ(rest.back(), kClosed);
}

}  // namespace
}  // namespace ks::test
