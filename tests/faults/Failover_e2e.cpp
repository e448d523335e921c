// Failover over Cistern: a connection made from a failover URI goes on
// through a broker restart, dropped connections and a broker gone for good
// (on the next broker of its list); it comes back with its subscriptions,
// never acknowledges with an id of an earlier connection, rolls back a
// transaction that lost its connection, backs off between attempts, gives
// up when told to and never retries a refused log-in. The programs print
// each interruption and resumption, and Spigot's confirmed sends all
// arrive.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <csignal>
#include <map>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "jms/KsJMSConnectionFactory.hpp"
#include "jms/KsJMSInterfaces.hpp"
#include "tests/common/KsCisternProcess.hpp"
#include "tests/common/KsCollector.hpp"
#include "tests/common/KsProcess.hpp"
#include "tests/common/KsTapProxy.hpp"
#include "tests/common/KsTestUtil.hpp"
#include "tests/faults/KsFaultSupport.hpp"

namespace ks::test {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

const std::string kSpigot = BuiltProgram("tools/Spigot");
const std::string kSiphon = BuiltProgram("tools/Siphon");

long long MsBetween(Clock::time_point from, Clock::time_point to) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(to - from).count();
}

TEST(Failover, AClientWhoseBrokerDiesGoesOnOnTheNextBrokerOfItsListWithinThreeSeconds) {
  TCisternProcess first;
  TCisternProcess second;
  ASSERT_TRUE(first.Started() && second.Started());
  auto events = std::make_shared<TCollector>();
  auto received = std::make_shared<TCollector>();
  auto connection = StartConnection(FailoverUrl({first.Url(), second.Url()}), events);
  auto session = connection->CreateSession(false, AUTO_ACKNOWLEDGE);
  auto queue = session->CreateQueue("failover.next");
  auto producer = session->CreateProducer(queue);
  session->CreateConsumer(queue)->SetMessageListener(received);
  producer->Send(session->CreateTextMessage("on the first"));
  ASSERT_TRUE(received->WaitFor(1));

  const auto killed = Clock::now();
  first.Stop(SIGKILL);
  ASSERT_TRUE(events->WaitForResumed(1, 10s));
  const auto resumption = events->Transport().back();
  EXPECT_EQ(resumption.text, second.Url());
  EXPECT_LT(MsBetween(killed, resumption.at), 3000);
  // The listener's subscription came along to the second broker.
  producer->Send(session->CreateTextMessage("on the second"));
  ASSERT_TRUE(received->WaitFor(2));
  EXPECT_EQ(received->Texts()[1], "on the second");
  EXPECT_TRUE(events->Errors().empty());
  connection->Close();
}

TEST(Failover, ATransactionThatLostItsConnectionIsRolledBackAndOneWhoseCommitWentUnconfirmedIsInDoubt) {
  TCisternProcess broker;
  ASSERT_TRUE(broker.Started());
  auto events = std::make_shared<TCollector>();
  // Heart-beats find the restart and the freeze; a frozen broker's accepted
  // connection is given up after a second.
  auto connection = StartConnection(FailoverUrl({broker.Url()}, "acceptVersion=1.2&heartBeat=500,500&connectTimeout=1000"),
                            events);
  auto session = connection->CreateSession(true, SESSION_TRANSACTED);
  auto queue = session->CreateQueue("failover.transaction");
  auto producer = session->CreateProducer(queue);
  for (int i = 0; i < 5; ++i) producer->Send(session->CreateTextMessage("lost " + std::to_string(i)));
  ASSERT_TRUE(broker.Restart());
  ASSERT_TRUE(events->WaitForResumed(1));
  const std::string rolledBack = ErrorOf<ETransactionRolledBackException>([&] { session->Commit(); });
  EXPECT_NE(rolledBack.find("rolled back"), std::string::npos) << rolledBack;

  // The session goes on with a new transaction; nothing of the old one
  // was committed.
  producer->Send(session->CreateTextMessage("kept"));
  session->Commit();
  auto reader = std::make_shared<TCollector>();
  auto plain = StartConnection(broker.Url(), reader);
  auto readSession = plain->CreateSession(false, AUTO_ACKNOWLEDGE);
  auto consumer = readSession->CreateConsumer(readSession->CreateQueue("failover.transaction"));
  auto first = consumer->Receive(5000);
  ASSERT_TRUE(first);
  EXPECT_EQ(TextOf(first), "kept");
  EXPECT_FALSE(consumer->Receive(300));

  // A COMMIT that the frozen broker never confirmed: in doubt.
  producer->Send(session->CreateTextMessage("doubt"));
  ::kill(broker.Pid(), SIGUSR1);
  ASSERT_TRUE(broker.WaitForLine("Cistern frozen", 5000ms));
  const std::string doubt = ErrorOf<ETransactionRolledBackException>([&] { session->Commit(); });
  EXPECT_NE(doubt.find("in doubt"), std::string::npos) << doubt;
  ::kill(broker.Pid(), SIGUSR2);
  EXPECT_TRUE(events->WaitForResumed(2));
  EXPECT_TRUE(events->Errors().empty());
  connection->Close();
}

TEST(Failover, ReconnectAttemptsBackOffFromTheInitialToTheMaximumDelayAndResumeOnceTheBrokerAnswers) {
  TCisternProcess broker;
  ASSERT_TRUE(broker.Started());
  TTapProxy proxy(broker.Port());
  ASSERT_NE(proxy.Port(), 0);
  auto events = std::make_shared<TCollector>();
  auto connection = StartConnection(FailoverUrl({proxy.Url()}, "initialReconnectDelay=100&maxReconnectDelay=2000"), events);
  auto session = connection->CreateSession(false, AUTO_ACKNOWLEDGE);
  // A listener's reader sees the drop at once.
  session->CreateConsumer(session->CreateQueue("failover.backoff"))->SetMessageListener(std::make_shared<TCollector>());
  const std::size_t before = proxy.Accepted();
  proxy.Refuse(true);
  proxy.DropAll();
  // Ten seconds of attempts at 100, 200, 400, 800, 1600 and then every
  // 2000 ms (each give or take 20 %) are about nine.
  EXPECT_FALSE(WaitUntil([&] { return proxy.Accepted() - before > 12; }, 10000ms));
  const std::size_t attempts = proxy.Accepted() - before;
  EXPECT_GE(attempts, 6u);
  EXPECT_LE(attempts, 12u);
  proxy.Refuse(false);
  EXPECT_TRUE(events->WaitForResumed(1, 5s));
  EXPECT_EQ(events->Interruptions(), 1u);
  connection->Close();
}

TEST(Failover, GivingUpTellsTheExceptionListenerOnceAndABlockedReceiveEndsWithinTheReconnectTimeout) {
  TCisternProcess broker;
  ASSERT_TRUE(broker.Started());
  auto events = std::make_shared<TCollector>();
  auto connection = StartConnection(
      FailoverUrl({broker.Url()}, "maxReconnectAttempts=3&initialReconnectDelay=200&reconnectTimeout=1000"), events);
  auto session = connection->CreateSession(false, AUTO_ACKNOWLEDGE);
  auto queue = session->CreateQueue("failover.giveup");
  auto consumer = session->CreateConsumer(queue);
  auto producer = session->CreateProducer(queue);
  std::atomic<bool> receiving{false};
  std::string ended;
  Clock::time_point endedAt;
  std::thread receiver([&] {
    receiving = true;
    try {
      consumer->Receive();
      ended = "<returned>";
    } catch (const EConnectionFailedException& error) {
      ended = error.what();
    }
    endedAt = Clock::now();
  });
  ASSERT_TRUE(WaitUntil([&] { return receiving.load(); }));
  const auto killed = Clock::now();
  broker.Stop(SIGKILL);
  receiver.join();
  EXPECT_NE(ended.find("not resumed within 1000 ms"), std::string::npos) << ended;
  EXPECT_LT(MsBetween(killed, endedAt), TimeBoundMs(1700));
  // Three attempts, about 0.2 + 0.4 + 0.8 s apart, then one report.
  ASSERT_TRUE(WaitUntil([&] { return !events->Errors().empty(); }, 10000ms));
  EXPECT_FALSE(WaitUntil([&] { return events->Errors().size() > 1; }, 500ms));
  const auto errors = events->Errors();
  EXPECT_TRUE(errors[0].lost);
  EXPECT_NE(errors[0].text.find("Gave up after 3 reconnect attempts"), std::string::npos) << errors[0].text;
  EXPECT_EQ(events->Interruptions(), 1u);
  EXPECT_THROW(producer->Send(session->CreateTextMessage("too late")), EConnectionFailedException);
  connection->Close();
}

TEST(Failover, AWrongPasswordFailsStartAfterOneConnectAndIsNeverRetried) {
  TCisternProcess broker({"--User=user", "--Password=secret"});
  ASSERT_TRUE(broker.Started());
  TTapProxy proxy(broker.Port());
  auto events = std::make_shared<TCollector>();
  EXPECT_THROW(StartConnection(FailoverUrl({proxy.Url(), proxy.Url()}, "startupMaxReconnectAttempts=5&initialReconnectDelay=10"),
                       events, std::string(), "user", "wrong"),
               EConnectionFailedException);
  EXPECT_EQ(proxy.Accepted(), 1u);
}

TEST(Failover, ADurableSubscriberAwayDuringAnOutageGetsWhatWasPublishedMeanwhileAndNoStaleAcknowledgementGoesOut) {
  TCisternProcess broker;
  ASSERT_TRUE(broker.Started());
  TTapProxy proxy(broker.Port());
  auto events = std::make_shared<TCollector>();
  // A subscriber that only receives now and then learns of the loss from
  // the heart-beats.
  auto connection = StartConnection(
      FailoverUrl({proxy.Url()}, "acceptVersion=1.2&heartBeat=500,500&initialReconnectDelay=20&maxReconnectDelay=100"),
      events, "failover-durable");
  auto session = connection->CreateSession(false, CLIENT_ACKNOWLEDGE);
  auto subscriber = session->CreateDurableSubscriber(session->CreateTopic("failover.durable"), "failover-durable");
  auto publisherEvents = std::make_shared<TCollector>();
  auto publisher = StartConnection(broker.Url(), publisherEvents);
  auto publishSession = publisher->CreateSession(false, AUTO_ACKNOWLEDGE);
  auto producer = publishSession->CreateProducer(publishSession->CreateTopic("failover.durable"));
  // Sent until it arrives: the broker may not have the subscription yet
  // when the first one comes.
  std::shared_ptr<IMessage> before;
  for (int i = 0; i < 20 && !before; ++i) {
    producer->Send(publishSession->CreateTextMessage("before"));
    before = subscriber->Receive(500);
  }
  ASSERT_TRUE(before);

  proxy.Refuse(true);
  proxy.DropAll();
  ASSERT_TRUE(WaitUntil([&] { return events->Interruptions() == 1; }));
  for (int i = 0; i < 10; ++i) producer->Send(publishSession->CreateTextMessage("away " + std::to_string(i)));
  proxy.Refuse(false);
  ASSERT_TRUE(events->WaitForResumed(1));
  // Held across the outage, the first message is a delivery of a
  // connection that is gone: acknowledging it sends nothing.
  before->Acknowledge();
  std::vector<std::string> texts;
  while (auto message = subscriber->Receive(3000)) {
    // "before" comes again (never acknowledged on a connection that
    // lasted); what matters is everything sent while the subscriber was
    // away.
    if (TextOf(message) != "before") texts.push_back(TextOf(message));
    message->Acknowledge();
  }
  std::vector<std::string> expected;
  for (int i = 0; i < 10; ++i) expected.push_back("away " + std::to_string(i));
  EXPECT_EQ(texts, expected);
  EXPECT_TRUE(StaleAcknowledgements(proxy).empty()) << StaleAcknowledgements(proxy).front();
  EXPECT_EQ(events->Interruptions(), 1u);
  connection->Close();
}

TEST(Failover, BatchedSendsNotYetWrittenWhenTheConnectionDropsAreWrittenOnTheNextOne) {
  TCisternProcess broker;
  ASSERT_TRUE(broker.Started());
  TTapProxy proxy(broker.Port());
  auto events = std::make_shared<TCollector>();
  // The batch holds its sends for two seconds; the drop comes first.
  auto connection = StartConnection(
      FailoverUrl({proxy.Url()}, "batchSend=true&batchDelay=2000&initialReconnectDelay=10&acceptVersion=1.2"), events);
  auto session = connection->CreateSession(false, AUTO_ACKNOWLEDGE);
  auto queue = session->CreateQueue("failover.batch");
  auto received = std::make_shared<TCollector>();
  session->CreateConsumer(queue)->SetMessageListener(received);
  auto producer = session->CreateProducer(queue);
  for (int i = 0; i < 5; ++i) producer->Send(session->CreateTextMessage("held " + std::to_string(i)));
  proxy.DropAll();
  ASSERT_TRUE(events->WaitForResumed(1));
  ASSERT_TRUE(received->WaitFor(5));
  EXPECT_EQ(received->Texts(),
            (std::vector<std::string>{"held 0", "held 1", "held 2", "held 3", "held 4"}));
  // The first connection never carried them.
  EXPECT_TRUE(DeliveredBodies(proxy, 0).empty());
  connection->Close();
}

TEST(FailoverPrograms, SpigotWithConfirmedSendsDeliversEveryMessageAcrossDroppedConnections) {
  TCisternProcess broker;
  ASSERT_TRUE(broker.Started());
  TTapProxy proxy(broker.Port());
  TKsProcess spigot(kSpigot, {"--URL=" + FailoverUrl({proxy.Url()}, "syncSend=true&initialReconnectDelay=10"),
                              "--MessageCount=10000", "--Persistent", "--MessageSize=30", "--Subject=failover.spigot"});
  spigot.WriteInput("\n");
  // Spigot's connection is dropped three times on its way.
  std::vector<std::string> sent;
  for (const char* at : {"2000", "5000", "8000"}) {
    auto lines = spigot.ReadUntil(std::string("Sending message: Message: ") + at + " ", 60000ms, true);
    ASSERT_TRUE(lines.has_value()) << "no message " << at;
    sent.insert(sent.end(), lines->begin(), lines->end());
    proxy.DropAll();
  }
  const auto rest = spigot.ReadAll(60000ms);
  sent.insert(sent.end(), rest.begin(), rest.end());
  ASSERT_EQ(spigot.Wait(10000ms), 0) << (sent.empty() ? "" : sent.back());
  const auto resumed = LinesAfter(sent, "Transport resumed: ");
  EXPECT_EQ(resumed.size(), 3u);
  EXPECT_EQ(LinesAfter(sent, "Transport interrupted: ").size(), resumed.size());
  EXPECT_EQ(sent.back(), "Done.");

  TKsProcess siphon(kSiphon, {"--URL=" + broker.Url(), "--MaximumMessages=0", "--ReceiveTimeOut=2000",
                              "--Subject=failover.spigot"});
  const auto lines = siphon.ReadAll(120000ms);
  ASSERT_EQ(siphon.Wait(10000ms), 0);
  const auto numbers = ReceivedSequence(lines);
  EXPECT_EQ(CheckAtLeastOnce(numbers, 10000), "");
  // A message is sent twice only when its receipt was lost with a
  // connection: at most once per resumption.
  EXPECT_LE(numbers.size(), 10000 + resumed.size());
}

TEST(FailoverPrograms, AListenerSiphonWithClientAcknowledgementGetsEveryMessageAndAcknowledgesNoneOfAnEarlierConnection) {
  TCisternProcess broker;
  ASSERT_TRUE(broker.Started());
  TTapProxy proxy(broker.Port());
  constexpr long kCount = 300;
  {
    TLibraryClient loader(broker.Url(), "failover.listener");
    for (long i = 0; i < kCount; ++i) loader.SendText("Message: " + std::to_string(i));
  }
  TKsProcess siphon(kSiphon, {"--URL=" + FailoverUrl({proxy.Url()}, "acceptVersion=1.2&initialReconnectDelay=20"),
                              "--MaximumMessages=0", "--AckMode=CLIENT_ACKNOWLEDGE", "--SleepTime=5",
                              "--Subject=failover.listener"});
  std::vector<std::string> lines;
  std::set<long> seen;
  const auto deadline = Clock::now() + 60s;
  bool dropped = false;
  while (static_cast<long>(seen.size()) < kCount && Clock::now() < deadline) {
    auto line = siphon.ReadLine(5000ms);
    if (!line) break;
    lines.push_back(*line);
    if (line->rfind("Received: ", 0) == 0) seen.insert(SequenceNumber(*line));
    if (!dropped && seen.size() == 100) {
      proxy.DropAll();
      dropped = true;
    }
  }
  siphon.Kill();
  EXPECT_EQ(static_cast<long>(seen.size()), kCount);
  EXPECT_EQ(LinesAfter(lines, "Transport interrupted: ").size(), 1u);
  EXPECT_EQ(LinesAfter(lines, "Transport resumed: "), std::vector<std::string>{proxy.Url()});
  // Only what the first connection delivered (and did not get
  // acknowledged) comes twice.
  std::set<long> first;
  for (const std::string& body : DeliveredBodies(proxy, 0)) first.insert(SequenceNumber(body));
  std::map<long, int> times;
  for (long n : ReceivedSequence(lines)) ++times[n];
  for (const auto& [n, count] : times) {
    if (count > 1) {
      EXPECT_EQ(first.count(n), 1u) << n << " came twice but the first connection never had it";
    }
  }
  EXPECT_GT(AcknowledgementCount(proxy), 0u);
  const auto stale = StaleAcknowledgements(proxy);
  EXPECT_TRUE(stale.empty()) << stale.front();
}

TEST(Failover, ReconnectsRacingSendsOnSeveralSessionsReceivesListenersAndCloseKeepEveryConfirmedMessage) {
  TCisternProcess broker({"--FaultCloseAfter=200"});
  ASSERT_TRUE(broker.Started());
  auto events = std::make_shared<TCollector>();
  auto connection =
      StartConnection(FailoverUrl({broker.Url()}, "syncSend=true&acceptVersion=1.2&initialReconnectDelay=5&maxReconnectDelay=50"),
              events);
  constexpr int kThreads = 3;
  constexpr int kEach = 150;
  // A listener on a topic of its own, fed by a sender that keeps going
  // until the connection is closed under it.
  auto listened = std::make_shared<TCollector>();
  auto listenSession = connection->CreateSession(false, CLIENT_ACKNOWLEDGE);
  auto topic = listenSession->CreateTopic("failover.race.topic");
  listenSession->CreateConsumer(topic)->SetMessageListener(listened);
  std::atomic<bool> stopTopic{false};
  std::thread topicSender([&] {
    auto session = connection->CreateSession(false, AUTO_ACKNOWLEDGE);
    auto producer = session->CreateProducer(topic);
    try {
      for (int i = 0; !stopTopic; ++i) producer->Send(session->CreateTextMessage("topic " + std::to_string(i)));
    } catch (const Exception&) {
      // The connection was closed under the send.
    }
  });
  std::vector<std::thread> senders;
  for (int t = 0; t < kThreads; ++t) {
    senders.emplace_back([&, t] {
      auto session = connection->CreateSession(false, AUTO_ACKNOWLEDGE);
      auto producer = session->CreateProducer(session->CreateQueue("failover.race"));
      for (int i = 0; i < kEach; ++i) {
        producer->Send(session->CreateTextMessage("Message: " + std::to_string(t * kEach + i)));
      }
    });
  }
  // Acknowledged one by one: a message the broker wrote just before a drop
  // comes again (with automatic acknowledgement it would be gone).
  std::vector<long> received;
  std::thread receiver([&] {
    auto session = connection->CreateSession(false, INDIVIDUAL_ACKNOWLEDGE);
    auto consumer = session->CreateConsumer(session->CreateQueue("failover.race"));
    std::set<long> distinct;
    const auto deadline = Clock::now() + 90s;
    while (static_cast<int>(distinct.size()) < kThreads * kEach && Clock::now() < deadline) {
      if (auto message = consumer->Receive(200)) {
        received.push_back(SequenceNumber(TextOf(message)));
        distinct.insert(received.back());
        message->Acknowledge();
      }
    }
  });
  for (auto& sender : senders) sender.join();
  receiver.join();
  EXPECT_EQ(CheckAtLeastOnce(received, kThreads * kEach), "");
  EXPECT_GT(events->Interruptions(), 0u);
  connection->Close();
  stopTopic = true;
  topicSender.join();
  EXPECT_TRUE(events->Errors().empty()) << events->Errors().front().text;
}

}  // namespace
}  // namespace ks::test
