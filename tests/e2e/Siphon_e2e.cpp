// End-to-end tests of the Siphon program (and of Spigot feeding it): the
// real executables against a Cistern started on a free port, or against a
// scripted broker where the exact frames matter.
#include <gtest/gtest.h>

#include <csignal>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "tests/e2e/KsE2eSupport.hpp"

namespace ks::test {
namespace {

using namespace std::chrono_literals;

const std::string kSiphon = BuiltProgram("tools/Siphon");
const std::string kSpigot = BuiltProgram("tools/Spigot");

std::vector<std::string> Received(const std::vector<std::string>& lines) {
  std::vector<std::string> out;
  for (const auto& l : lines) {
    if (l.rfind("Received: ", 0) == 0) out.push_back(l.substr(10));
  }
  return out;
}

class SiphonTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(broker_.Started()); }
  TCisternProcess broker_;
};

TEST_F(SiphonTest, DefaultsConsumeTenMessagesFromSpigotAndEndWithoutInput) {
  std::vector<std::string> made;
  {
    TKsProcess spigot(kSpigot, {"--URL=" + broker_.Url()});
    spigot.CloseInput();  // end of input counts as Enter
    auto sent = spigot.ReadAll(30s);
    ASSERT_EQ(spigot.Wait(10s), 0);
    for (const auto& l : sent) {
      if (l.rfind("Sending message: ", 0) == 0) made.push_back(l.substr(17));
    }
  }
  TKsProcess siphon(kSiphon, {"--URL=" + broker_.Url()});
  auto lines = siphon.ReadAll(30s);
  ASSERT_EQ(siphon.Wait(10s), 0);
  ASSERT_EQ(lines.size(), 15u);
  EXPECT_EQ(lines[0], "Connecting to URL: " + broker_.Url());
  EXPECT_EQ(lines[1], "Consuming queue: ExampleQueue");
  EXPECT_EQ(lines[2], "Using a non-durable subscription");
  EXPECT_EQ(lines[3], "We are about to wait until we consume: 10 message(s) then we will shutdown");
  auto texts = Received(lines);
  ASSERT_EQ(texts.size(), 10u);
  for (int i = 0; i < 10; ++i) {
    EXPECT_EQ(texts[i].rfind("Message: " + std::to_string(i) + " sent at: ", 0), 0u) << texts[i];
  }
  // The 255-character texts arrive whole, blank padding included: Siphon
  // shows each exactly as Spigot did.
  EXPECT_EQ(texts, made);
  EXPECT_EQ(lines[14], "Closing connection");
}

TEST_F(SiphonTest, TextsLongerThanAHeaderLineArriveWhole) {
  TKsProcess spigot(kSpigot, {"--URL=" + broker_.Url(), "--Subject=large", "--MessageCount=5",
                              "--MessageSize=20000"});
  spigot.CloseInput();
  auto sent = spigot.ReadAll(30s);
  ASSERT_EQ(spigot.Wait(10s), 0);
  std::vector<std::string> made;
  for (const auto& l : sent) {
    if (l.rfind("Sending message: ", 0) == 0) made.push_back(l.substr(17));
  }
  ASSERT_EQ(made.size(), 5u);
  TKsProcess siphon(kSiphon, {"--URL=" + broker_.Url(), "--Subject=large", "--MaximumMessages=5"});
  auto lines = siphon.ReadAll(30s);
  ASSERT_EQ(siphon.Wait(10s), 0);
  EXPECT_EQ(Received(lines), made);
}

TEST_F(SiphonTest, ListenerModeKeepsPrintingAfterAPoisonedMessage) {
  TKsProcess siphon(kSiphon, {"--URL=" + broker_.Url(), "--Subject=poisoned", "--MaximumMessages=0"});
  ASSERT_TRUE(siphon.ReadUntil("Using a non-durable subscription", kLineWait).has_value());
  ASSERT_TRUE(PublishRaw(broker_, "jms.queue.poisoned", 1, "bad ", {{"transformation-error", "unreadable"}}));
  ASSERT_TRUE(PublishRaw(broker_, "jms.queue.poisoned", 2, "after "));
  auto line = siphon.ReadUntil("Received: after 1", kLineWait);
  ASSERT_TRUE(line.has_value()) << "Siphon stopped delivering after the poisoned message";
  EXPECT_TRUE(siphon.Running());
  siphon.Kill();
}

TEST_F(SiphonTest, TimedLoopEndsAtTheFirstQuietPeriod) {
  ASSERT_TRUE(PublishRaw(broker_, "jms.queue.timed", 3, "timed "));
  TKsProcess siphon(kSiphon, {"--URL=" + broker_.Url(), "--Subject=timed", "--MaximumMessages=0",
                              "--ReceiveTimeOut=500"});
  auto lines = siphon.ReadAll(30s);
  ASSERT_EQ(siphon.Wait(10s), 0);
  ASSERT_EQ(lines.size(), 8u);
  EXPECT_EQ(lines[3], "We will consume messages while they continue to be delivered within: 500 ms, and then we will shutdown");
  EXPECT_EQ(Received(lines), (std::vector<std::string>{"timed 0", "timed 1", "timed 2"}));
  EXPECT_EQ(lines[7], "Closing connection");
}

TEST_F(SiphonTest, ListenerModePrintsMessagesAsTheyArriveUntilKilled) {
  TKsProcess siphon(kSiphon, {"--URL=" + broker_.Url(), "--Subject=live", "--MaximumMessages=0"});
  ASSERT_TRUE(siphon.ReadUntil("Using a non-durable subscription", kLineWait).has_value());
  for (int round = 0; round < 2; ++round) {
    ASSERT_TRUE(PublishRaw(broker_, "jms.queue.live", 2, "r" + std::to_string(round) + " "));
    auto first = siphon.ReadLine(kLineWait);
    auto second = siphon.ReadLine(kLineWait);
    ASSERT_TRUE(first && second);
    EXPECT_EQ(*first, "Received: r" + std::to_string(round) + " 0");
    EXPECT_EQ(*second, "Received: r" + std::to_string(round) + " 1");
  }
  EXPECT_TRUE(siphon.Running());
  siphon.Kill();
}

TEST_F(SiphonTest, ClientAcknowledgedMessagesAreGoneAndRepliesReachTheReplyQueue) {
  TRawStompPeer replies;
  ASSERT_TRUE(SubscribeRaw(replies, broker_, "jms.queue.replies"));
  ASSERT_TRUE(PublishRaw(broker_, "jms.queue.acked", 3, "ack ", {{"reply-to", "jms.queue.replies"}}));
  TKsProcess siphon(kSiphon, {"--URL=" + broker_.Url(), "--Subject=acked", "--MaximumMessages=3",
                              "--AckMode=CLIENT_ACKNOWLEDGE"});
  auto lines = siphon.ReadAll(30s);
  ASSERT_EQ(siphon.Wait(10s), 0);
  EXPECT_EQ(Received(lines).size(), 3u);
  auto answers = ReadMessages(replies, 3);
  ASSERT_EQ(answers.size(), 3u);
  std::set<std::string> ids;
  for (const auto& a : answers) {
    EXPECT_EQ(a.body.rfind("Reply: ", 0), 0u);
    EXPECT_GT(a.body.size(), 7u);
    ids.insert(a.body);
  }
  EXPECT_EQ(ids.size(), 3u);
  // Every message was acknowledged: nothing comes back to a new subscriber.
  TRawStompPeer after;
  ASSERT_TRUE(SubscribeRaw(after, broker_, "jms.queue.acked"));
  EXPECT_TRUE(after.Quiet(300ms));
}

TEST_F(SiphonTest, DurableSubscriptionNeedsMatchingClientIdAndKeepsMessagesWhileAway) {
  {
    TKsProcess siphon(kSiphon, {"--URL=" + broker_.Url(), "--Durable", "--Topic", "--Subject=news"});
    auto lines = siphon.ReadAll(30s);
    ASSERT_EQ(siphon.Wait(10s), 1);  // the run ended on an error
    ASSERT_EQ(lines.size(), 4u);
    EXPECT_EQ(lines[2], "Using a durable subscription");
    EXPECT_EQ(lines[3], "You cannot create a durable subscriber without specifying a unique clientID on a Connection");
  }
  {
    TKsProcess siphon(kSiphon, {"--URL=" + broker_.Url(), "--Durable", "--Topic", "--Subject=news", "--ClientId=other"});
    auto lines = siphon.ReadAll(30s);
    ASSERT_EQ(siphon.Wait(10s), 1);
    ASSERT_EQ(lines.size(), 4u);
    EXPECT_EQ(lines[3], "You must specify the same clientId on the connection and subcriptionName on the subscribe");
  }
  const std::vector<std::string> durable = {"--URL=" + broker_.Url(), "--Durable", "--Topic", "--Subject=news",
                                            "--ClientId=Vorlan"};
  {
    auto args = durable;
    args.insert(args.end(), {"--MaximumMessages=0", "--ReceiveTimeOut=200"});
    TKsProcess siphon(kSiphon, args);
    auto lines = siphon.ReadAll(30s);
    ASSERT_EQ(siphon.Wait(10s), 0);
    EXPECT_EQ(lines.back(), "Closing connection");
  }
  ASSERT_TRUE(PublishRaw(broker_, "jms.topic.news", 3, "while away "));
  auto args = durable;
  args.push_back("--MaximumMessages=3");
  TKsProcess siphon(kSiphon, args);
  auto lines = siphon.ReadAll(30s);
  ASSERT_EQ(siphon.Wait(10s), 0);
  EXPECT_EQ(Received(lines), (std::vector<std::string>{"while away 0", "while away 1", "while away 2"}));
}

TEST_F(SiphonTest, TopicFansOutAndQueueSharesWithNothingLostOrDoubled) {
  // Two listeners on one topic both get every message.
  TKsProcess a(kSiphon, {"--URL=" + broker_.Url(), "--Topic", "--Subject=fan", "--MaximumMessages=5"});
  TKsProcess b(kSiphon, {"--URL=" + broker_.Url(), "--Topic", "--Subject=fan", "--MaximumMessages=5"});
  ASSERT_TRUE(a.ReadUntil("We are about to wait", kLineWait, true).has_value());
  ASSERT_TRUE(b.ReadUntil("We are about to wait", kLineWait, true).has_value());
  // Each Siphon has sent its SUBSCRIBE before announcing the loop, and the
  // broker reads it before it can accept Spigot's login.
  TKsProcess spigot(kSpigot, {"--URL=" + broker_.Url(), "--Topic", "--Subject=fan", "--MessageCount=5",
                              "--MessageSize=12", "--Verbose=false"});
  spigot.CloseInput();
  ASSERT_EQ(spigot.Wait(30s), 0);
  auto la = Received(a.ReadAll(30s));
  auto lb = Received(b.ReadAll(30s));
  EXPECT_EQ(la.size(), 5u);
  EXPECT_EQ(la, lb);

  // Two consumers on one queue share 20 messages.
  TKsProcess c(kSiphon, {"--URL=" + broker_.Url(), "--Subject=share", "--MaximumMessages=0", "--ReceiveTimeOut=700"});
  TKsProcess d(kSiphon, {"--URL=" + broker_.Url(), "--Subject=share", "--MaximumMessages=0", "--ReceiveTimeOut=700"});
  ASSERT_TRUE(c.ReadUntil("We will consume", kLineWait, true).has_value());
  ASSERT_TRUE(d.ReadUntil("We will consume", kLineWait, true).has_value());
  ASSERT_TRUE(PublishRaw(broker_, "jms.queue.share", 20, "s"));
  auto lc = Received(c.ReadAll(30s));
  auto ld = Received(d.ReadAll(30s));
  std::multiset<std::string> all(lc.begin(), lc.end());
  all.insert(ld.begin(), ld.end());
  EXPECT_EQ(all.size(), 20u);
  for (int i = 0; i < 20; ++i) EXPECT_EQ(all.count("s" + std::to_string(i)), 1u) << i;
}

TEST_F(SiphonTest, PauseBeforeShutdownWaitsForALine) {
  ASSERT_TRUE(PublishRaw(broker_, "jms.queue.pause", 1, "p"));
  TKsProcess siphon(kSiphon, {"--URL=" + broker_.Url(), "--Subject=pause", "--MaximumMessages=1",
                              "--PauseBeforeShutdown", "--SleepTime=300"});
  auto start = std::chrono::steady_clock::now();
  auto lines = siphon.ReadUntil("Press return to shut down", kLineWait);
  ASSERT_TRUE(lines.has_value());
  EXPECT_GE(std::chrono::steady_clock::now() - start, 300ms) << "the pause after the message was skipped";
  EXPECT_EQ((*lines)[lines->size() - 2], "Closing connection");
  EXPECT_FALSE(siphon.Wait(200ms).has_value());
  siphon.WriteInput("\n");
  EXPECT_EQ(siphon.Wait(10s), 0);
}

TEST_F(SiphonTest, ABrokerThatGoesAwayEndsTheCountedLoopWithTheError) {
  TKsProcess siphon(kSiphon, {"--URL=" + broker_.Url(), "--Subject=gone"});
  ASSERT_TRUE(siphon.ReadUntil("We are about to wait", kLineWait, true).has_value());
  broker_.Stop(SIGKILL);
  auto lines = siphon.ReadAll(15s);
  ASSERT_EQ(siphon.Wait(10s), 1) << "Siphon kept waiting for a broker that is gone, or ended as if all was well";
  ASSERT_FALSE(lines.empty());
  EXPECT_EQ(lines.back(), "The JMS connection has failed due to a Transport problem: Connection Closed Gracefully.");
}

TEST(SiphonFramesTest, AckModesDecideWhatIsSentAfterEachMessage) {
  struct Case {
    std::vector<std::string> args;
    std::string ack;
    std::vector<std::string> commands;  // after CONNECT
  };
  const std::vector<Case> cases = {
      {{"--AckMode=CLIENT_ACKNOWLEDGE"}, "client", {"SUBSCRIBE", "SEND", "ACK", "SEND", "ACK", "UNSUBSCRIBE", "DISCONNECT"}},
      {{"--AckMode=client_acknowledge"}, "auto", {"SUBSCRIBE", "SEND", "SEND", "UNSUBSCRIBE", "DISCONNECT"}},
      // A transacted session consumes inside its transaction: "ack:client"
      // and an ACK with the transaction for every message, before the
      // listener's reply; the transacted acknowledge mode alone commits
      // each message as --Transacted does.
      {{"--AckMode=SESSION_TRANSACTED"}, "client",
       {"BEGIN", "SUBSCRIBE", "ACK", "SEND", "COMMIT", "BEGIN", "ACK", "SEND", "COMMIT", "BEGIN", "UNSUBSCRIBE", "ABORT",
        "BEGIN", "DISCONNECT"}},
      {{"--Transacted", "--AckMode=CLIENT_ACKNOWLEDGE"}, "client",
       {"BEGIN", "SUBSCRIBE", "ACK", "SEND", "COMMIT", "BEGIN", "ACK", "SEND", "COMMIT", "BEGIN", "UNSUBSCRIBE", "ABORT",
        "BEGIN", "DISCONNECT"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.args.front());
    TScriptedBroker broker;
    std::vector<std::string> args = {"--URL=" + broker.Url(), "--MaximumMessages=2"};
    args.insert(args.end(), c.args.begin(), c.args.end());
    TKsProcess siphon(kSiphon, args);
    std::string subscribe = broker.Expect("SUBSCRIBE");
    ASSERT_FALSE(subscribe.empty());
    EXPECT_EQ(TScriptedBroker::Header(subscribe, "ack"), c.ack);
    std::string id = TScriptedBroker::Header(subscribe, "id");
    EXPECT_EQ(id.size(), 38u);
    broker.Deliver(id, "m1", "first", "jms.queue.replies");
    broker.Deliver(id, "m2", "second", "jms.queue.replies");
    auto frames = broker.Rest();
    auto commands = Commands(frames);
    ASSERT_FALSE(commands.empty());
    commands.erase(commands.begin());  // CONNECT
    EXPECT_EQ(commands, c.commands);
    for (const auto& f : frames) {
      if (f.rfind("SEND\n", 0) == 0) {
        EXPECT_EQ(TScriptedBroker::Header(f, "destination"), "jms.queue.replies");
        EXPECT_FALSE(TScriptedBroker::Header(f, "persistent") == "true");
      }
      if (f.rfind("ACK\n", 0) == 0) {
        EXPECT_FALSE(TScriptedBroker::Header(f, "message-id").empty());
        const bool transacted = commands.front() == "BEGIN";
        EXPECT_EQ(TScriptedBroker::Header(f, "transaction").empty(), !transacted) << f;
      }
    }
    // Each reply carries the id of the message it answers, before its ACK.
    std::string all;
    for (const auto& f : frames) all += f;
    EXPECT_NE(all.find("Reply: m1"), std::string::npos);
    EXPECT_NE(all.find("Reply: m2"), std::string::npos);
    EXPECT_EQ(siphon.Wait(10s), 0);
  }
}

}  // namespace
}  // namespace ks::test
