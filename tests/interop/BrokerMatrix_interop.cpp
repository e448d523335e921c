// The same cases on every broker the library is used with: ActiveMQ (dialect
// activemq), RabbitMQ (dialect rabbitmq) and Cistern under both namings
// ("jms." with the default dialect, "/queue/" and "/topic/" with dialect
// activemq). The Python client reaches each broker under its own native
// names. A case is skipped, with the reason, only where the broker cannot do
// what it checks.
#include <gtest/gtest.h>

#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "jms/KsJMSConnectionFactory.hpp"
#include "jms/KsJMSInterfaces.hpp"
#include "tests/common/KsCisternProcess.hpp"
#include "tests/common/KsProcess.hpp"
#include "tests/common/KsTestUtil.hpp"
#include "tests/faults/KsFaultSupport.hpp"
#include "tests/interop/KsInteropSupport.hpp"

namespace ks::test {
namespace {

using namespace std::chrono_literals;

enum class TKind { ActiveMQ, RabbitMQ, CisternJms, CisternSlash };

const char* KindName(TKind kind) {
  switch (kind) {
    case TKind::ActiveMQ: return "ActiveMQ";
    case TKind::RabbitMQ: return "RabbitMQ";
    case TKind::CisternJms: return "CisternJmsNames";
    case TKind::CisternSlash: return "CisternSlashNames";
  }
  return "";
}

// The Cistern of this test binary, stopped when the binary ends.
std::unique_ptr<TCisternProcess>& CisternSlot() {
  static std::unique_ptr<TCisternProcess> cistern;
  return cistern;
}

class TCisternEnvironment : public ::testing::Environment {
 public:
  void TearDown() override { CisternSlot().reset(); }
};

[[maybe_unused]] ::testing::Environment* const kCisternEnvironment =
    ::testing::AddGlobalTestEnvironment(new TCisternEnvironment);

// Case names and failure lines show the broker, not its bytes.
void PrintTo(TKind kind, std::ostream* out) { *out << KindName(kind); }

class BrokerMatrix : public ::testing::TestWithParam<TKind> {
 protected:
  void SetUp() override {
    const std::string& python = PythonPeerUnavailableReason();
    if (!python.empty()) GTEST_SKIP() << python;
    switch (GetParam()) {
      case TKind::ActiveMQ: {
        if (!InteropUnavailableReason().empty()) GTEST_SKIP() << InteropUnavailableReason();
        auto& broker = SharedActiveMQ();
        ASSERT_TRUE(broker.Started()) << broker.Failure();
        base_ = broker.Url();
        port_ = broker.Port();
        dialect_ = "activemq";
        break;
      }
      case TKind::RabbitMQ: {
        if (!RabbitMQUnavailableReason().empty()) GTEST_SKIP() << RabbitMQUnavailableReason();
        auto& broker = SharedRabbitMQ();
        ASSERT_TRUE(broker.Started()) << broker.Failure();
        base_ = broker.Url();
        port_ = broker.Port();
        dialect_ = "rabbitmq";
        break;
      }
      case TKind::CisternJms:
      case TKind::CisternSlash: {
        auto& slot = CisternSlot();
        if (!slot) slot = std::make_unique<TCisternProcess>();
        ASSERT_TRUE(slot->Started());
        base_ = slot->Url();
        port_ = slot->Port();
        dialect_ = GetParam() == TKind::CisternJms ? "jms" : "activemq";
        break;
      }
    }
  }

  bool Is(TKind kind) const { return GetParam() == kind; }
  // The broker's address with this case's dialect.
  std::string Url() const { return base_ + "?dialect=" + dialect_; }
  std::string UrlArg() const { return "--URL=" + Url(); }
  // A name of this case's own on this broker (the Cisterns are one broker).
  std::string Name(const std::string& name) const { return name + "." + KindName(GetParam()); }
  // The names the Python client uses: the broker's native ones.
  std::string NativeQueue(const std::string& name) const {
    return (Is(TKind::CisternJms) ? "jms.queue." : "/queue/") + Name(name);
  }
  std::string NativeTopic(const std::string& name) const {
    return (Is(TKind::CisternJms) ? "jms.topic." : "/topic/") + Name(name);
  }
  std::shared_ptr<IConnection> Connect(const std::string& clientId = std::string()) const {
    TKsJMSConnectionFactory factory("", "", Url());
    factory.SetClientID(clientId);
    auto connection = factory.CreateConnection();
    connection->Start();
    return connection;
  }

  std::string base_;
  std::uint16_t port_ = 0;
  std::string dialect_;
};

// Reads a Siphon's lines until it printed count "Received: " lines whose
// text starts with prefix (others are skipped); those texts.
std::vector<std::string> ReceivedBy(TKsProcess& siphon, const std::string& prefix, std::size_t count) {
  std::vector<std::string> texts;
  const auto deadline = std::chrono::steady_clock::now() + 20s;
  while (texts.size() < count && std::chrono::steady_clock::now() < deadline) {
    auto line = siphon.ReadLine(std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now()));
    if (!line) break;
    if (line->rfind("Received: " + prefix, 0) == 0) texts.push_back(line->substr(10));
  }
  return texts;
}

TEST_P(BrokerMatrix, QueuesCarrySpigotToSiphonWholeAndInOrder) {
  const std::string subject = "--Subject=" + Name("Queue");
  auto spigot = RunProgram("tools/Spigot", {UrlArg(), subject, "--MessageCount=5"}, "\n");
  ASSERT_EQ(spigot.status, 0) << spigot.Output();
  auto siphon = RunProgram("tools/Siphon", {UrlArg(), subject, "--MaximumMessages=5"});
  ASSERT_EQ(siphon.status, 0) << siphon.Output();
  EXPECT_EQ(LinesAfter(siphon.lines, "Received: "), LinesAfter(spigot.lines, "Sending message: "));
  EXPECT_EQ(LinesAfter(siphon.lines, "Received: ").size(), 5u) << siphon.Output();
}

TEST_P(BrokerMatrix, TopicsCopyEveryMessageToEachOfTwoSiphons) {
  const std::vector<std::string> args = {UrlArg(), "--Topic", "--Subject=" + Name("Fanout"), "--MaximumMessages=0"};
  TKsProcess first(BuiltProgram("tools/Siphon"), args);
  TKsProcess second(BuiltProgram("tools/Siphon"), args);
  // Both listen once a probe reaches each of them.
  TLibraryClient probe(Url(), Name("Fanout"), true);
  for (TKsProcess* siphon : {&first, &second}) {
    bool reached = false;
    for (int i = 0; i < 50 && !reached; ++i) {
      probe.SendText("probe");
      auto line = siphon->ReadLine(200ms);
      reached = line && *line == "Received: probe";
    }
    ASSERT_TRUE(reached) << "a Siphon did not start listening";
  }
  auto spigot = RunProgram("tools/Spigot", {UrlArg(), "--Topic", "--Subject=" + Name("Fanout"), "--MessageCount=4",
                                            "--MessageSize=20"},
                           "\n");
  ASSERT_EQ(spigot.status, 0) << spigot.Output();
  const auto sent = LinesAfter(spigot.lines, "Sending message: ");
  EXPECT_EQ(ReceivedBy(first, "Message: ", 4), sent);
  EXPECT_EQ(ReceivedBy(second, "Message: ", 4), sent);
}

TEST_P(BrokerMatrix, DurableSubscriptionKeepsWhatWasSentWhileAwayUntilUnsubscribed) {
  const std::string name = "Keeper" + std::string(KindName(GetParam()));
  const std::vector<std::string> durable = {UrlArg(), "--Topic", "--Subject=" + Name("Durable"), "--Durable",
                                            "--ClientId=" + name, "--ConsumerName=" + name};
  auto with = [&durable](std::vector<std::string> more) {
    more.insert(more.begin(), durable.begin(), durable.end());
    return more;
  };
  auto attach = RunProgram("tools/Siphon", with({"--MaximumMessages=0", "--ReceiveTimeOut=500"}));
  ASSERT_EQ(attach.status, 0) << attach.Output();
  const std::vector<std::string> spigot = {UrlArg(), "--Topic", "--Subject=" + Name("Durable"), "--MessageCount=3",
                                           "--MessageSize=20"};
  ASSERT_EQ(RunProgram("tools/Spigot", spigot, "\n").status, 0);
  auto back = RunProgram("tools/Siphon", with({"--MaximumMessages=3"}));
  ASSERT_EQ(back.status, 0) << back.Output();
  EXPECT_EQ(LinesAfter(back.lines, "Received: ").size(), 3u) << back.Output();

  {
    auto connection = Connect(name);
    auto session = connection->CreateSession(false, AUTO_ACKNOWLEDGE);
    session->Unsubscribe(NativeTopic("Durable"), name);
    connection->Close();
  }
  ASSERT_EQ(RunProgram("tools/Spigot", spigot, "\n").status, 0);
  auto after = RunProgram("tools/Siphon", with({"--MaximumMessages=0", "--ReceiveTimeOut=1000"}));
  ASSERT_EQ(after.status, 0) << after.Output();
  EXPECT_EQ(LinesAfter(after.lines, "Received: ").size(), 0u) << after.Output();
  // Leave nothing behind on the broker.
  auto connection = Connect(name);
  connection->CreateSession(false, AUTO_ACKNOWLEDGE)->Unsubscribe(NativeTopic("Durable"), name);
  connection->Close();
}

TEST_P(BrokerMatrix, UnacknowledgedMessagesComeBackRedeliveredToTheNextConsumer) {
  for (const char* text : {"first", "second"}) ASSERT_TRUE(PeerSend(port_, NativeQueue("Unacked"), text).sent);
  std::vector<std::string> ids;
  {
    auto connection = Connect();
    auto session = connection->CreateSession(false, CLIENT_ACKNOWLEDGE);
    auto consumer = session->CreateConsumer(session->CreateQueue(Name("Unacked")));
    for (const char* text : {"first", "second"}) {
      auto message = consumer->Receive(10000);
      ASSERT_TRUE(message) << "expected " << text;
      EXPECT_EQ(TextOf(message), text);
      EXPECT_FALSE(message->GetJMSRedelivered());
    }
    connection->Close();
  }
  auto connection = Connect();
  auto session = connection->CreateSession(false, CLIENT_ACKNOWLEDGE);
  auto consumer = session->CreateConsumer(session->CreateQueue(Name("Unacked")));
  for (const char* text : {"first", "second"}) {
    auto message = consumer->Receive(10000);
    ASSERT_TRUE(message) << "expected redelivery of " << text;
    EXPECT_EQ(TextOf(message), text);
    EXPECT_TRUE(message->GetJMSRedelivered());
    message->Acknowledge();
  }
  connection->Close();
  EXPECT_EQ(PeerReceive(port_, NativeQueue("Unacked"), 1, 1.0).received, 0);
}

TEST_P(BrokerMatrix, TransactedSendsAndConsumptionLoseNothing) {
  auto spigot = RunProgram("tools/Spigot", {UrlArg(), "--Subject=" + Name("TxSend"), "--Transacted",
                                            "--MessageCount=3", "--MessageSize=12"},
                           "\n");
  ASSERT_EQ(spigot.status, 0) << spigot.Output();
  auto peer = PeerReceive(port_, NativeQueue("TxSend"), 3, 10);
  ASSERT_EQ(peer.messages.size(), 3u) << peer.Output();
  EXPECT_EQ(peer.messages[2].body, "Message: 2 s");
  EXPECT_EQ(TransactedSiphonKilledLosesNothing(Url(), Name("TxKilled"), 60), "");
}

TEST_P(BrokerMatrix, RolledBackConsumptionComesBackRedelivered) {
  EXPECT_EQ(RolledBackMessagesComeBackRedelivered(Url(), Name("TxRollback")), "");
}

TEST_P(BrokerMatrix, RepliesGoBackToTheNativeNameThePythonClientGave) {
  const std::string replies = NativeQueue("Replies");
  ASSERT_TRUE(PeerSend(port_, NativeQueue("Requests"), "question", {"--reply-to", replies}).sent);
  auto siphon = RunProgram("tools/Siphon", {UrlArg(), "--Subject=" + Name("Requests"), "--MaximumMessages=1"});
  ASSERT_EQ(siphon.status, 0) << siphon.Output();
  EXPECT_EQ(LinesAfter(siphon.lines, "Received: "), std::vector<std::string>{"question"});
  auto reply = PeerReceive(port_, replies, 1, 10);
  ASSERT_EQ(reply.messages.size(), 1u) << reply.Output();
  EXPECT_EQ(reply.messages[0].body.rfind("Reply: ", 0), 0u) << reply.messages[0].body;

  // And the other way: the library's reply-to reaches the Python client in
  // the broker's own naming.
  auto connection = Connect();
  auto session = connection->CreateSession(false, AUTO_ACKNOWLEDGE);
  auto message = session->CreateTextMessage("asking");
  message->SetJMSReplyTo(session->CreateQueue(Name("Replies")));
  session->CreateProducer(session->CreateQueue(Name("Asked")))->Send(message);
  connection->Close();
  auto asked = PeerReceive(port_, NativeQueue("Asked"), 1, 10);
  ASSERT_EQ(asked.messages.size(), 1u) << asked.Output();
  EXPECT_NE(asked.messages[0].Header("reply-to").find(Name("Replies")), std::string::npos)
      << asked.messages[0].Header("reply-to");
}

TEST_P(BrokerMatrix, TemporaryReplyQueuesCarryRoundTripsWithThePythonClient) {
  auto connection = Connect();
  auto session = connection->CreateSession(false, AUTO_ACKNOWLEDGE);
  if (Is(TKind::CisternJms)) {
    // The default dialect names no broker that offers them.
    EXPECT_EQ(ErrorOf<EJMSException>([&] { session->CreateTemporaryQueue(); }), "Feature not supported");
    EXPECT_EQ(ErrorOf<EJMSException>([&] { session->CreateTemporaryTopic(); }), "Feature not supported");
  } else {
    // The library asks, the Python client answers to the temporary queue.
    auto replies = session->CreateTemporaryQueue();
    EXPECT_NE(replies->GetQueueName(), session->CreateTemporaryQueue()->GetQueueName());
    auto consumer = session->CreateConsumer(replies);
    auto request = session->CreateTextMessage("question");
    request->SetJMSReplyTo(replies);
    session->CreateProducer(session->CreateQueue(Name("TempAsked")))->Send(request);
    auto answered = RunPeer({"reply", "--port", std::to_string(port_), "--dest", NativeQueue("TempAsked")});
    ASSERT_EQ(answered.status, 0) << answered.Output();
    auto reply = consumer->Receive(10000);
    ASSERT_TRUE(reply) << "no reply reached the temporary queue; " << answered.Output();
    EXPECT_EQ(TextOf(reply), "Reply: question");
  }
  connection->Close();

  // The Python client asks with a temporary queue of its own, Siphon answers.
  TKsProcess siphon(BuiltProgram("tools/Siphon"), {UrlArg(), "--Subject=" + Name("TempRequests"),
                                                  "--MaximumMessages=1"});
  std::vector<std::string> ask = {"request",    "--port",     std::to_string(port_),   "--dest",
                                  NativeQueue("TempRequests"), "--body", "asking", "--reply-to",
                                  "/temp-queue/" + Name("answers")};
  // RabbitMQ subscribes the asking connection to its temporary queue itself.
  if (!Is(TKind::RabbitMQ)) ask.push_back("--subscribe");
  auto asked = RunPeer(ask);
  ASSERT_EQ(asked.messages.size(), 1u) << asked.Output();
  EXPECT_EQ(asked.messages[0].body.rfind("Reply: ", 0), 0u) << asked.messages[0].body;
  EXPECT_EQ(siphon.Wait(10s), 0);
}

TEST_P(BrokerMatrix, LargeUtf8AndBinaryBodiesCrossWholeBothWays) {
  const std::vector<std::string> texts = {"  " + std::string(20000, 'x') + " \t ",
                                          " " + std::string(1 << 20, 'y') + "  ",
                                          "Grüße, 世界 — ünïcödé ✓"};
  auto connection = Connect();
  auto session = connection->CreateSession(false, AUTO_ACKNOWLEDGE);
  auto producer = session->CreateProducer(session->CreateQueue(Name("Bodies")));
  for (const auto& text : texts) {
    auto message = session->CreateTextMessage(text);
    message->SetStringProperty("note", "Grüße ✓");
    producer->Send(message);
  }
  std::string bytes = std::string("\0head\0", 6);
  for (int i = 0; i < 256; ++i) bytes.push_back(static_cast<char>(i));
  auto binary = session->CreateBytesMessage();
  binary->SetContent(bytes);
  producer->Send(binary);
  auto peer = PeerReceive(port_, NativeQueue("Bodies"), 4, 20);
  ASSERT_EQ(peer.messages.size(), 4u) << peer.Output().substr(0, 2000);
  for (std::size_t i = 0; i < texts.size(); ++i) {
    EXPECT_TRUE(peer.messages[i].body == texts[i]) << "text " << i << " differs, " << peer.messages[i].body.size()
                                                    << " bytes";
    EXPECT_EQ(peer.messages[i].Header("note"), "Grüße ✓");
  }
  EXPECT_TRUE(peer.messages[3].body == bytes) << "bytes differ";

  // From the Python client to the library (bodies from a file: a 1 MB
  // argument is over the system's limit for one).
  const std::string file = "/tmp/ks-matrix-body-" + std::to_string(getpid());
  for (const auto& text : texts) {
    std::ofstream(file, std::ios::binary | std::ios::trunc) << text;
    ASSERT_TRUE(PeerSend(port_, NativeQueue("Back"), "", {"--body-file", file}).sent);
  }
  std::remove(file.c_str());
  auto consumer = session->CreateConsumer(session->CreateQueue(Name("Back")));
  for (std::size_t i = 0; i < texts.size(); ++i) {
    auto message = consumer->Receive(10000);
    ASSERT_TRUE(message) << "text " << i;
    EXPECT_TRUE(TextOf(message) == texts[i]) << "text " << i << " differs";
  }
  connection->Close();
}

TEST_P(BrokerMatrix, PropertiesCrossAsHeadersAndBack) {
  {
    auto connection = Connect();
    auto session = connection->CreateSession(false, AUTO_ACKNOWLEDGE);
    auto message = session->CreateTextMessage("with properties");
    message->SetStringProperty("colour", "blue");
    message->SetIntProperty("count", 42);
    message->SetBooleanProperty("urgent", true);
    message->SetJMSCorrelationID("corr-1");
    message->SetJMSType("order");
    session->CreateProducer(session->CreateQueue(Name("Props")))->Send(message);
    connection->Close();
  }
  auto peer = PeerReceive(port_, NativeQueue("Props"), 1, 10);
  ASSERT_EQ(peer.messages.size(), 1u) << peer.Output();
  EXPECT_EQ(peer.messages[0].Header("colour"), "blue");
  EXPECT_EQ(peer.messages[0].Header("count"), "42");
  EXPECT_EQ(peer.messages[0].Header("urgent"), "true");
  EXPECT_EQ(peer.messages[0].Header("correlation-id"), "corr-1");

  ASSERT_TRUE(PeerSend(port_, NativeQueue("PropsBack"), "from python", {"--header", "colour=green", "--header",
                                                                        "count=7"})
                  .sent);
  auto connection = Connect();
  auto session = connection->CreateSession(false, AUTO_ACKNOWLEDGE);
  auto message = session->CreateConsumer(session->CreateQueue(Name("PropsBack")))->Receive(10000);
  ASSERT_TRUE(message);
  EXPECT_EQ(message->GetStringProperty("colour"), "green");
  EXPECT_EQ(message->GetIntProperty("count"), 7);
  connection->Close();
}

TEST_P(BrokerMatrix, TimeToLiveExpiresMessagesNobodyTook) {
  auto connection = Connect();
  auto session = connection->CreateSession(false, AUTO_ACKNOWLEDGE);
  auto producer = session->CreateProducer(session->CreateQueue(Name("Expiring")));
  producer->SetTimeToLive(1500);
  producer->Send(session->CreateTextMessage("short-lived"));
  producer->SetTimeToLive(600000);
  producer->Send(session->CreateTextMessage("long-lived"));
  // Past the first message's end of life (the broker's clock is this one).
  std::this_thread::sleep_for(2500ms);
  auto consumer = session->CreateConsumer(session->CreateQueue(Name("Expiring")));
  auto message = consumer->Receive(10000);
  ASSERT_TRUE(message);
  EXPECT_EQ(TextOf(message), "long-lived");
  EXPECT_FALSE(consumer->Receive(500));
  connection->Close();
}

TEST_P(BrokerMatrix, PriorityOrdersAWaitingQueue) {
  if (Is(TKind::RabbitMQ)) GTEST_SKIP() << "RabbitMQ orders by priority only queues declared with x-max-priority";
  auto connection = Connect();
  auto session = connection->CreateSession(false, AUTO_ACKNOWLEDGE);
  auto producer = session->CreateProducer(session->CreateQueue(Name("Priority")));
  for (int priority : {1, 9, 5}) {
    producer->SetPriority(static_cast<std::uint8_t>(priority));
    producer->Send(session->CreateTextMessage("p" + std::to_string(priority)));
  }
  auto consumer = session->CreateConsumer(session->CreateQueue(Name("Priority")));
  for (const char* expected : {"p9", "p5", "p1"}) {
    auto message = consumer->Receive(10000);
    ASSERT_TRUE(message);
    EXPECT_EQ(TextOf(message), expected);
  }
  connection->Close();
}

TEST_P(BrokerMatrix, NoLocalHoldsBackTheConnectionsOwnMessages) {
  auto connection = Connect();
  auto session = connection->CreateSession(false, AUTO_ACKNOWLEDGE);
  auto topic = session->CreateTopic(Name("NoLocal"));
  if (Is(TKind::RabbitMQ)) {
    EXPECT_THROW(session->CreateConsumer(topic, "", true), EUnsupportedOperationException);
    connection->Close();
    GTEST_SKIP() << "RabbitMQ cannot hold back a connection's own messages (noLocal)";
  }
  auto consumer = session->CreateConsumer(topic, "", true);
  TLibraryClient other(Url(), Name("NoLocal"), true);
  // Once the subscription is in place, the other connection's message
  // arrives and the own one never does.
  std::shared_ptr<IMessage> message;
  for (int i = 0; i < 50 && !message; ++i) {
    session->CreateProducer(topic)->Send(session->CreateTextMessage("own"));
    other.SendText("other");
    message = consumer->Receive(200);
  }
  ASSERT_TRUE(message);
  EXPECT_EQ(TextOf(message), "other");
  while (auto more = consumer->Receive(300)) EXPECT_EQ(TextOf(more), "other");
  connection->Close();
}

INSTANTIATE_TEST_SUITE_P(Brokers, BrokerMatrix,
                         ::testing::Values(TKind::ActiveMQ, TKind::RabbitMQ, TKind::CisternJms, TKind::CisternSlash),
                         [](const ::testing::TestParamInfo<TKind>& info) { return KindName(info.param); });

}  // namespace
}  // namespace ks::test
