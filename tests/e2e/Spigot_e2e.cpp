// End-to-end tests of the Spigot program: the real executable against a
// Cistern started on a free port (or a scripted peer where the exact frames
// matter), reading its output line by line and checking what a raw-socket
// subscriber receives.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/common/KsTestUtil.hpp"
#include "tests/common/KsScriptedPeer.hpp"
#include "tests/e2e/KsE2eSupport.hpp"

namespace ks::test {
namespace {

const std::string kSpigot = BuiltProgram("tools/Spigot");

// Runs Spigot to its end: collects every output line, answers its final
// wait for Enter, and returns the exit status.
struct TSpigotRun {
  std::vector<std::string> lines;
  std::optional<int> status;
};

TSpigotRun RunSpigot(const std::vector<std::string>& args) {
  TKsProcess spigot(kSpigot, args);
  spigot.WriteInput("\n");
  TSpigotRun run;
  run.lines = spigot.ReadAll(std::chrono::seconds(30));
  run.status = spigot.Wait(std::chrono::seconds(10));
  return run;
}

int CountPrefixed(const std::vector<std::string>& lines, const std::string& prefix) {
  int n = 0;
  for (const auto& l : lines) n += l.rfind(prefix, 0) == 0 ? 1 : 0;
  return n;
}

class SpigotTest : public ::testing::Test {
 protected:
  TCisternProcess broker_;
};

TEST_F(SpigotTest, DefaultsPublishTenPaddedTextsToExampleQueue) {
  ASSERT_TRUE(broker_.Started());
  TRawStompPeer sub;
  ASSERT_TRUE(SubscribeRaw(sub, broker_, "jms.queue.ExampleQueue"));

  auto run = RunSpigot({"--URL=" + broker_.Url()});
  ASSERT_EQ(run.status, 0);
  ASSERT_GE(run.lines.size(), 15u);
  EXPECT_EQ(run.lines[0], "Connecting to URL: " + broker_.Url());
  EXPECT_EQ(run.lines[1], "Publishing a Message with size 255 to queue: ExampleQueue");
  EXPECT_EQ(run.lines[2], "Using non-persistent messages");
  EXPECT_EQ(run.lines[3], "Sleeping between publish 0 ms");
  for (int i = 0; i < 10; ++i) {
    const std::string& line = run.lines[4 + i];
    std::string expected = "Sending message: Message: " + std::to_string(i) + " sent at: ";
    EXPECT_EQ(line.rfind(expected, 0), 0u) << line;
    EXPECT_EQ(line.size(), std::string("Sending message: ").size() + 50 + 3) << line;
    EXPECT_EQ(line.substr(line.size() - 3), "...");
  }
  EXPECT_EQ(run.lines[14], "Done.");

  auto frames = ReadMessages(sub, 10);
  ASSERT_EQ(frames.size(), 10u);
  for (int i = 0; i < 10; ++i) {
    EXPECT_EQ(frames[i].Header("destination"), "jms.queue.ExampleQueue");
    EXPECT_EQ(frames[i].body.size(), 255u);
    EXPECT_EQ(frames[i].body.rfind("Message: " + std::to_string(i) + " sent at: ", 0), 0u) << frames[i].body;
    EXPECT_FALSE(frames[i].Has("persistent"));
    EXPECT_FALSE(frames[i].Has("expires"));
  }
}

TEST_F(SpigotTest, MessageCountAndSizeOptions) {
  ASSERT_TRUE(broker_.Started());
  {
    TRawStompPeer sub;
    ASSERT_TRUE(SubscribeRaw(sub, broker_, "jms.queue.none"));
    auto run = RunSpigot({"--URL=" + broker_.Url(), "--Subject=none", "--MessageCount=0"});
    EXPECT_EQ(run.status, 0);
    ASSERT_EQ(run.lines.size(), 5u);
    EXPECT_EQ(run.lines[4], "Done.");
    EXPECT_TRUE(sub.Quiet(std::chrono::milliseconds(200)));
  }
  {
    TRawStompPeer sub;
    ASSERT_TRUE(SubscribeRaw(sub, broker_, "jms.queue.empty"));
    auto run = RunSpigot({"--URL=" + broker_.Url(), "--Subject=empty", "--MessageSize=0", "--MessageCount=2"});
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(CountPrefixed(run.lines, "Sending message: "), 2);
    EXPECT_EQ(run.lines[4], "Sending message: ");
    auto frames = ReadMessages(sub, 2);
    ASSERT_EQ(frames.size(), 2u);
    EXPECT_EQ(frames[0].body, "");
  }
  {
    TRawStompPeer sub;
    ASSERT_TRUE(SubscribeRaw(sub, broker_, "jms.queue.ten"));
    auto run = RunSpigot({"--URL=" + broker_.Url(), "--Subject=ten", "--MessageSize=10", "--MessageCount=4",
                          "--SleepTime=-5"});
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.lines[1], "Publishing a Message with size 10 to queue: ten");
    EXPECT_EQ(run.lines[3], "Sleeping between publish -5 ms");
    EXPECT_EQ(run.lines[7], "Sending message: Message: 3");
    auto frames = ReadMessages(sub, 4);
    ASSERT_EQ(frames.size(), 4u);
    EXPECT_EQ(frames[3].body, "Message: 3");
  }
}

TEST_F(SpigotTest, TimeToLivePersistentQuietAndTopic) {
  ASSERT_TRUE(broker_.Started());
  {
    TRawStompPeer sub;
    ASSERT_TRUE(SubscribeRaw(sub, broker_, "jms.queue.ttl"));
    auto run = RunSpigot({"--URL=" + broker_.Url(), "--Subject=ttl", "--TimeToLive=5000", "--Persistent",
                          "--Verbose=false", "--MessageCount=3"});
    EXPECT_EQ(run.status, 0);
    ASSERT_EQ(run.lines.size(), 6u);
    EXPECT_EQ(run.lines[2], "Using persistent messages");
    EXPECT_EQ(run.lines[4], "Messages time to live 5000 ms");
    EXPECT_EQ(run.lines[5], "Done.");
    EXPECT_EQ(CountPrefixed(run.lines, "Sending message: "), 0);
    auto frames = ReadMessages(sub, 3);
    ASSERT_EQ(frames.size(), 3u);
    for (const auto& f : frames) {
      EXPECT_EQ(f.Header("persistent"), "true");
      long long expires = std::stoll(f.Header("expires"));
      long long timestamp = std::stoll(f.Header("timestamp"));
      EXPECT_EQ(expires % 1000, 0);  // whole seconds on the wire
      EXPECT_GE(expires - timestamp, 3900);
      EXPECT_LE(expires - timestamp, 6100);
    }
  }
  {
    TRawStompPeer sub;
    ASSERT_TRUE(SubscribeRaw(sub, broker_, "jms.topic.news"));
    auto run = RunSpigot({"--URL=" + broker_.Url(), "--Topic", "--Subject=news", "--MessageCount=2"});
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.lines[1], "Publishing a Message with size 255 to topic: news");
    auto frames = ReadMessages(sub, 2);
    ASSERT_EQ(frames.size(), 2u);
    EXPECT_EQ(frames[0].Header("destination"), "jms.topic.news");
  }
}

TEST(SpigotFramesTest, TransactedSendsBeginSendCommitPerMessage) {
  TKsScriptedPeerOptions options;
  options.AutoConnected = true;
  TKsScriptedPeer peer(options);
  TKsProcess spigot(kSpigot, {"--URL=" + peer.Url(), "--Transacted", "--MessageCount=2", "--MessageSize=12",
                              "--Verbose=false"});
  spigot.WriteInput("\n");
  std::vector<std::string> frames;
  for (;;) {
    std::string f = peer.ReadFrame(std::chrono::seconds(10));
    if (f.empty()) break;
    frames.push_back(f);
    if (f.rfind("DISCONNECT", 0) == 0) break;
  }
  const std::string nul(1, '\0');
  ASSERT_EQ(frames.size(), 9u);
  EXPECT_EQ(frames[0], "CONNECT\n\n" + nul);
  EXPECT_EQ(frames[1], "BEGIN\ntransaction:tx0\n\n" + nul);
  EXPECT_EQ(frames[2], "SEND\ndestination:jms.queue.ExampleQueue\ntransaction:tx0\n\nMessage: 0 s" + nul);
  // COMMIT and DISCONNECT ask for receipts: once they came, the broker has
  // what was sent before them.
  EXPECT_EQ(frames[3], "COMMIT\ntransaction:tx0\nreceipt:ks-1\n\n" + nul);
  EXPECT_EQ(frames[4], "BEGIN\ntransaction:tx1\n\n" + nul);
  EXPECT_EQ(frames[5], "SEND\ndestination:jms.queue.ExampleQueue\ntransaction:tx1\n\nMessage: 1 s" + nul);
  EXPECT_EQ(frames[6], "COMMIT\ntransaction:tx1\nreceipt:ks-2\n\n" + nul);
  EXPECT_EQ(frames[7], "BEGIN\ntransaction:tx2\n\n" + nul);
  EXPECT_EQ(frames[8], "DISCONNECT\nreceipt:ks-3\n\n" + nul);
  EXPECT_EQ(spigot.Wait(std::chrono::seconds(10)), 0);
}

TEST(SpigotErrorsTest, ErrorsArePrintedAloneAndTheProgramStillWaitsAndExitsOne) {
  {
    std::string url = "stomp://127.0.0.1:" + std::to_string(FreePort());
    auto run = RunSpigot({"--URL=" + url});
    EXPECT_EQ(run.status, 1);
    ASSERT_GE(run.lines.size(), 5u);
    EXPECT_EQ(run.lines[0], "Connecting to URL: " + url);
    EXPECT_EQ(run.lines[4].rfind("The JMS connection has failed due to a Transport problem: Socket Error # ", 0), 0u)
        << run.lines[4];
    EXPECT_EQ(CountPrefixed(run.lines, "Done."), 0);
  }
  {
    auto run = RunSpigot({"--URL=tcp://host:1"});
    EXPECT_EQ(run.status, 1);
    ASSERT_EQ(run.lines.size(), 5u);
    EXPECT_EQ(run.lines[4], "Unsupported Protocol!");
  }
  {
    auto run = RunSpigot({"--URL="});
    EXPECT_EQ(run.status, 1);
    ASSERT_EQ(run.lines.size(), 5u);
    EXPECT_EQ(run.lines[0], "Connecting to URL: ");
    EXPECT_EQ(run.lines[4], "BrokerURL not set.");
  }
  {
    auto run = RunSpigot({"--MessageCount=ten"});
    EXPECT_EQ(run.status, 1);
    ASSERT_EQ(run.lines.size(), 1u);
    EXPECT_EQ(run.lines[0], "''ten'' is not a valid integer value");
  }
}

TEST(SpigotErrorsTest, WaitsForEnterBeforeEnding) {
  TKsProcess spigot(kSpigot, {"--URL=tcp://host:1"});
  auto lines = spigot.ReadUntil("Unsupported Protocol!", kLineWait);
  ASSERT_TRUE(lines.has_value());
  EXPECT_FALSE(spigot.Wait(std::chrono::milliseconds(200)).has_value()) << "ended without Enter";
  spigot.WriteInput("\n");
  EXPECT_EQ(spigot.Wait(std::chrono::seconds(10)), 1);
}

}  // namespace
}  // namespace ks::test
