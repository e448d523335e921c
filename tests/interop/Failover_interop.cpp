// Failover across a real broker's restart (SIGKILL, then started again on
// the same port), once per broker, with four clients at work across the
// same restart:
// - Spigot with confirmed persistent sends over a failover URL: it ends with
//   status 0, and every message arrives at least once, twice at most once
//   per resumption;
// - a listener-mode Siphon with client acknowledgement, through a relay that
//   records its traffic: every message at least once, a message twice only
//   when the first connection delivered it, and no acknowledgement on a
//   connection that did not deliver what it names;
// - a durable subscriber held away while messages are published after the
//   restart: it gets them when it is let back;
// - a transaction with five sends, open across the restart: its Commit
//   raises ETransactionRolledBackException and no consumer ever sees the
//   five.
#include <gtest/gtest.h>

#include <chrono>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "jms/KsJMSConnectionFactory.hpp"
#include "jms/KsJMSInterfaces.hpp"
#include "tests/common/KsCollector.hpp"
#include "tests/common/KsProcess.hpp"
#include "tests/common/KsTapProxy.hpp"
#include "tests/common/KsTestUtil.hpp"
#include "tests/faults/KsFaultSupport.hpp"
#include "tests/interop/KsInteropSupport.hpp"

namespace ks::test {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

enum class TBroker { ActiveMQ, RabbitMQ };

class FailoverAcrossARestart : public ::testing::TestWithParam<TBroker> {
 protected:
  void SetUp() override {
    if (GetParam() == TBroker::ActiveMQ) {
      KS_REQUIRE_PEER(ActiveMQUnavailableReason());
      // A broker of its own: it keeps persistent messages across the
      // restart, which the shared one does not.
      activemq_ = std::make_unique<TActiveMQProcess>(false, 60s, TActiveMQSsl{}, true);
      ASSERT_TRUE(activemq_->Started()) << activemq_->Failure();
      port_ = activemq_->Port();
      dialect_ = "activemq";
    } else {
      KS_REQUIRE_PEER(RabbitMQUnavailableReason());
      auto& broker = SharedRabbitMQ();
      ASSERT_TRUE(broker.Started()) << broker.Failure();
      port_ = broker.Port();
      dialect_ = "rabbitmq";
    }
  }

  std::string Direct() const { return "stomp://127.0.0.1:" + std::to_string(port_); }
  // A failover URL to address whose attempts come at least once a second.
  std::string Failover(const std::string& address, const std::string& more = std::string()) const {
    return FailoverUrl({address}, "dialect=" + dialect_ + "&heartBeat=1000,1000&maxReconnectDelay=1000" +
                                      (more.empty() ? "" : "&" + more));
  }
  bool Restart() {
    return GetParam() == TBroker::ActiveMQ ? activemq_->Restart() : SharedRabbitMQ().Restart();
  }
  std::unique_ptr<TActiveMQProcess> activemq_;
  std::uint16_t port_ = 0;
  std::string dialect_;
};

TEST_P(FailoverAcrossARestart, ProgramsDurableSubscribersAndTransactionsComeThroughOneRestart) {
  const std::string queue = "failover.programs";
  const std::string topic = "failover.durable";
  const std::string txQueue = "failover.transaction";
  constexpr long kCount = 10000;

  // The durable subscriber, through a relay that keeps it away on demand.
  TTapProxy away(port_);
  auto subscriberEvents = std::make_shared<TCollector>();
  auto subscribed = std::make_shared<TCollector>();
  auto subscriber = StartConnection(Failover(away.Url(), "initialReconnectDelay=20"), subscriberEvents, "failover-durable");
  auto subscriberSession = subscriber->CreateSession(false, AUTO_ACKNOWLEDGE);
  subscriberSession->CreateDurableSubscriber(subscriberSession->CreateTopic(topic), "failover-durable")
      ->SetMessageListener(subscribed);
  auto publisherEvents = std::make_shared<TCollector>();
  {
    // Sent until it arrives: the broker may not have made the subscription
    // when the first one comes.
    auto publisher = StartConnection(Direct() + "?dialect=" + dialect_, publisherEvents);
    auto session = publisher->CreateSession(false, AUTO_ACKNOWLEDGE);
    auto producer = session->CreateProducer(session->CreateTopic(topic));
    for (int i = 0; i < 20 && subscribed->Count() == 0; ++i) {
      producer->Send(session->CreateTextMessage("before"));
      subscribed->WaitFor(1, 500ms);
    }
    publisher->Close();
  }
  ASSERT_GE(subscribed->Count(), 1u);

  // The transaction, open across the restart.
  auto txEvents = std::make_shared<TCollector>();
  auto transacted = StartConnection(Failover(Direct()), txEvents);
  auto txSession = transacted->CreateSession(true, SESSION_TRANSACTED);
  auto txProducer = txSession->CreateProducer(txSession->CreateQueue(txQueue));
  txProducer->SetDeliveryMode(TDeliveryMode::Persistent);
  for (int i = 0; i < 5; ++i) txProducer->Send(txSession->CreateTextMessage("never " + std::to_string(i)));

  // Spigot and a listener Siphon at work on one queue.
  TTapProxy relay(port_);
  TKsProcess siphon(BuiltProgram("tools/Siphon"),
                    {"--URL=" + Failover(relay.Url()), "--MaximumMessages=0", "--AckMode=CLIENT_ACKNOWLEDGE",
                     "--Subject=" + queue});
  TKsProcess spigot(BuiltProgram("tools/Spigot"),
                    {"--URL=" + Failover(Direct(), "syncSend=true"), "--MessageCount=" + std::to_string(kCount),
                     "--Persistent", "--MessageSize=30", "--Subject=" + queue});
  spigot.WriteInput("\n");
  auto sent = spigot.ReadUntil("Sending message: Message: 2000 ", 120000ms, true);
  ASSERT_TRUE(sent.has_value());
  std::vector<std::string> siphoned;
  auto first = siphon.ReadUntil("Received: ", 60000ms, true);
  ASSERT_TRUE(first.has_value());
  siphoned = *first;

  away.Refuse(true);
  ASSERT_TRUE(Restart());
  // Published while the durable subscriber is away (a broker that listens
  // may not take clients yet: the first Start tries again).
  {
    auto publisher = StartConnection(Failover(Direct(), "startupMaxReconnectAttempts=60"), publisherEvents);
    auto session = publisher->CreateSession(false, AUTO_ACKNOWLEDGE);
    auto producer = session->CreateProducer(session->CreateTopic(topic));
    producer->SetDeliveryMode(TDeliveryMode::Persistent);
    for (int i = 0; i < 10; ++i) producer->Send(session->CreateTextMessage("away " + std::to_string(i)));
    publisher->Close();
  }
  away.Refuse(false);

  // The transaction lost its link with the broker: rolled back.
  ASSERT_TRUE(txEvents->WaitForResumed(1, 30s));
  const std::string rolledBack = ErrorOf<ETransactionRolledBackException>([&] { txSession->Commit(); });
  EXPECT_NE(rolledBack.find("rolled back"), std::string::npos) << rolledBack;

  // The durable subscriber gets what was published while it was away.
  ASSERT_TRUE(subscriberEvents->WaitForResumed(1, 30s));
  EXPECT_TRUE(WaitUntil(
      [&] {
        std::set<std::string> texts;
        for (const auto& t : subscribed->Texts()) texts.insert(t);
        for (int i = 0; i < 10; ++i) {
          if (texts.count("away " + std::to_string(i)) == 0) return false;
        }
        return true;
      },
      30000ms))
      << subscribed->Count() << " messages";

  // Spigot confirms every message; Siphon gets each at least once.
  const auto rest = spigot.ReadAll(180000ms);
  sent->insert(sent->end(), rest.begin(), rest.end());
  ASSERT_EQ(spigot.Wait(10000ms), 0) << (sent->empty() ? "" : sent->back());
  const auto resumed = LinesAfter(*sent, "Transport resumed: ");
  EXPECT_GE(resumed.size(), 1u);
  std::set<long> distinct;
  for (long n : ReceivedSequence(siphoned)) distinct.insert(n);
  const auto deadline = Clock::now() + 120s;
  while (static_cast<long>(distinct.size()) < kCount && Clock::now() < deadline) {
    auto line = siphon.ReadLine(10000ms);
    if (!line) break;
    siphoned.push_back(*line);
    if (line->rfind("Received: ", 0) == 0) distinct.insert(SequenceNumber(*line));
  }
  siphon.Kill();
  const auto numbers = ReceivedSequence(siphoned);
  EXPECT_EQ(CheckAtLeastOnce(numbers, kCount), "");
  EXPECT_EQ(LinesAfter(siphoned, "Transport resumed: ").size(), 1u);
  // A message comes twice only when the lost connection delivered it
  // (without its acknowledgement reaching the broker), or when Spigot sent
  // it twice (at most once per resumption).
  std::set<long> firstConnection;
  for (const std::string& body : DeliveredBodies(relay, 0)) firstConnection.insert(SequenceNumber(body));
  std::map<long, int> times;
  for (long n : numbers) ++times[n];
  std::size_t unexplained = 0;
  for (const auto& [n, count] : times) {
    if (count > 1 && firstConnection.count(n) == 0) ++unexplained;
  }
  EXPECT_LE(unexplained, resumed.size());
  const auto stale = StaleAcknowledgements(relay);
  EXPECT_TRUE(stale.empty()) << stale.front();

  // No consumer ever sees the five sends of the rolled-back transaction.
  {
    auto readerEvents = std::make_shared<TCollector>();
    auto reader = StartConnection(Direct() + "?dialect=" + dialect_, readerEvents);
    auto session = reader->CreateSession(false, AUTO_ACKNOWLEDGE);
    auto consumer = session->CreateConsumer(session->CreateQueue(txQueue));
    const auto none = consumer->Receive(1000);
    EXPECT_FALSE(none) << TextOf(none);
    reader->Close();
  }
  for (const auto* events : {subscriberEvents.get(), txEvents.get()}) {
    EXPECT_TRUE(events->Errors().empty()) << events->Errors().front().text;
  }
  transacted->Close();
  subscriber->Close();
}

INSTANTIATE_TEST_SUITE_P(Brokers, FailoverAcrossARestart, ::testing::Values(TBroker::ActiveMQ, TBroker::RabbitMQ),
                         [](const ::testing::TestParamInfo<TBroker>& info) {
                           return info.param == TBroker::ActiveMQ ? std::string("ActiveMQ") : std::string("RabbitMQ");
                         });

}  // namespace
}  // namespace ks::test
