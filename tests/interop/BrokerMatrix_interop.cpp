// The same cases on every broker the library is used with: ActiveMQ (dialect
// activemq), RabbitMQ (dialect rabbitmq) and Cistern under both namings
// ("jms." with the default dialect, "/queue/" and "/topic/" with dialect
// activemq), each under STOMP 1.2 (the default of the activemq and rabbitmq
// dialects; asked for under jms) and under 1.0 (acceptVersion=1.0). The
// Python client reaches each broker under its own native names. A case is
// skipped, with the reason, only where the broker cannot do what it checks,
// or where a broker or the Python client is not installed (from the first
// step that needs it on, and never with CI=true: see KS_REQUIRE_PEER).
// ProtocolVersions adds what only 1.1 and 1.2 offer: negotiation, escaped
// header values, individual acknowledgement and heart-beats.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <optional>

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

// A broker and the protocol version spoken to it.
struct TBrokerCase {
  TKind kind;
  bool v10;  // acceptVersion=1.0; else 1.2
};

std::string CaseName(const TBrokerCase& c) { return std::string(KindName(c.kind)) + (c.v10 ? "_V10" : "_V12"); }

// Case names and failure lines show the broker, not its bytes.
void PrintTo(const TBrokerCase& c, std::ostream* out) { *out << CaseName(c); }

class BrokerMatrix : public ::testing::TestWithParam<TBrokerCase> {
 protected:
  void SetUp() override {
    switch (GetParam().kind) {
      case TKind::ActiveMQ: {
        KS_REQUIRE_PEER(ActiveMQUnavailableReason());
        auto& broker = SharedActiveMQ();
        ASSERT_TRUE(broker.Started()) << broker.Failure();
        base_ = broker.Url();
        port_ = broker.Port();
        dialect_ = "activemq";
        break;
      }
      case TKind::RabbitMQ: {
        KS_REQUIRE_PEER(RabbitMQUnavailableReason());
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
        dialect_ = GetParam().kind == TKind::CisternJms ? "jms" : "activemq";
        break;
      }
    }
  }

  bool Is(TKind kind) const { return GetParam().kind == kind; }
  // The broker's address with this case's dialect and version: 1.0 asked
  // for, or 1.2 (the dialect's default, asked for under jms).
  std::string Url() const {
    const char* version = GetParam().v10 ? "&acceptVersion=1.0" : Is(TKind::CisternJms) ? "&acceptVersion=1.0,1.1,1.2" : "";
    return base_ + "?dialect=" + dialect_ + version;
  }
  std::string UrlArg() const { return "--URL=" + Url(); }
  // A name of this case's own on this broker (the Cisterns are one broker).
  std::string Name(const std::string& name) const { return name + "." + CaseName(GetParam()); }
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
  const std::string name = "Keeper" + CaseName(GetParam());
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
  KS_REQUIRE_PEER(PythonPeerUnavailableReason());
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
  EXPECT_EQ(TransactedSiphonKilledLosesNothing(Url(), Name("TxKilled"), 200), "");
  KS_REQUIRE_PEER(PythonPeerUnavailableReason());
  auto peer = PeerReceive(port_, NativeQueue("TxSend"), 3, 10);
  ASSERT_EQ(peer.messages.size(), 3u) << peer.Output();
  EXPECT_EQ(peer.messages[2].body, "Message: 2 s");
}

TEST_P(BrokerMatrix, RolledBackConsumptionComesBackRedelivered) {
  EXPECT_EQ(RolledBackMessagesComeBackRedelivered(Url(), Name("TxRollback")), "");
}

TEST_P(BrokerMatrix, ClosingATransactedSessionGivesItsUncommittedConsumptionBackWithoutAnError) {
  for (const char* text : {"first", "second"}) ASSERT_TRUE(PeerSend(port_, NativeQueue("TxClosed"), text).sent);
  {
    auto connection = Connect();
    auto reports = std::make_shared<TCollector>();
    connection->SetExceptionListener(reports);
    auto session = connection->CreateSession(true, AUTO_ACKNOWLEDGE);
    auto consumer = session->CreateConsumer(session->CreateQueue(Name("TxClosed")));
    for (const char* text : {"first", "second"}) EXPECT_EQ(TextOf(consumer->Receive(10000)), text);
    // Closed down as Siphon does it, without a commit.
    consumer->Close();
    session->Close();
    connection->Close();
    for (const auto& error : reports->Errors()) ADD_FAILURE() << error.text;
  }
  auto connection = Connect();
  auto session = connection->CreateSession(false, CLIENT_ACKNOWLEDGE);
  auto consumer = session->CreateConsumer(session->CreateQueue(Name("TxClosed")));
  for (const char* text : {"first", "second"}) {
    auto message = consumer->Receive(10000);
    ASSERT_EQ(TextOf(message), text) << "not given back";
    EXPECT_TRUE(message->GetJMSRedelivered());
    message->Acknowledge();
  }
  connection->Close();
}

TEST_P(BrokerMatrix, RepliesGoBackToTheNativeNameThePythonClientGave) {
  KS_REQUIRE_PEER(PythonPeerUnavailableReason());
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
  KS_REQUIRE_PEER(PythonPeerUnavailableReason());
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
  KS_REQUIRE_PEER(PythonPeerUnavailableReason());
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

// ---- What only STOMP 1.1 and 1.2 offer ------------------------------------

class ProtocolVersions : public BrokerMatrix {
 protected:
  // A started connection to this case's broker with one-second heart-beats,
  // reporting to watch.
  std::shared_ptr<IConnection> ConnectWithBeats(const std::shared_ptr<TCollector>& watch) const {
    TKsJMSConnectionFactory factory("", "", Url() + "&heartBeat=1000,1000");
    auto connection = factory.CreateConnection();
    connection->SetExceptionListener(watch);
    connection->Start();
    return connection;
  }
};

// Counts the connections a client makes and relays each to the broker.
class TCountingRelay {
 public:
  explicit TCountingRelay(std::uint16_t target) : target_(target) {
    listen_ = ListenOnLoopback(port_);
    thread_ = std::thread([this] { Run(); });
  }
  ~TCountingRelay() {
    stop_ = true;
    thread_.join();
    ::close(listen_);
  }
  std::string Url() const { return "stomp://127.0.0.1:" + std::to_string(port_); }
  int Accepted() const { return accepted_; }

 private:
  void Run() {
    std::vector<pollfd> fds{{listen_, POLLIN, 0}};
    while (!stop_) {
      if (::poll(fds.data(), fds.size(), 50) <= 0) continue;
      if (fds[0].revents & POLLIN) {
        const int client = ::accept(listen_, nullptr, nullptr);
        const int broker = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        address.sin_port = htons(target_);
        ::connect(broker, reinterpret_cast<sockaddr*>(&address), sizeof address);
        ++accepted_;
        fds.push_back({client, POLLIN, 0});
        fds.push_back({broker, POLLIN, 0});
      }
      for (std::size_t i = 1; i < fds.size(); ++i) {
        if (fds[i].fd < 0 || !(fds[i].revents & (POLLIN | POLLHUP | POLLERR))) continue;
        const std::size_t other = i % 2 == 1 ? i + 1 : i - 1;  // client and broker in pairs
        char buffer[16384];
        const ssize_t n = ::read(fds[i].fd, buffer, sizeof buffer);
        if (n <= 0 || ::write(fds[other].fd, buffer, static_cast<std::size_t>(n)) != n) {
          ::close(fds[i].fd);
          ::close(fds[other].fd);
          fds[i].fd = fds[other].fd = -1;
        }
      }
    }
    for (std::size_t i = 1; i < fds.size(); ++i) {
      if (fds[i].fd >= 0) ::close(fds[i].fd);
    }
  }

  std::uint16_t target_;
  int listen_ = -1;
  std::uint16_t port_ = 0;
  std::atomic<bool> stop_{false};
  std::atomic<int> accepted_{0};
  std::thread thread_;
};


TEST_P(ProtocolVersions, NegotiatesTheNewestVersionOrOneZeroWhenAskedAndARefusedHostFailsAtOnce) {
  auto connection = Connect();
  EXPECT_EQ(connection->GetProtocolVersion(), "1.2");
  connection->Close();
  TKsJMSConnectionFactory older("", "", Url() + "&acceptVersion=1.0");
  auto old = older.CreateConnection();
  old->Start();
  EXPECT_EQ(old->GetProtocolVersion(), "1.0");
  old->Close();
  if (Is(TKind::ActiveMQ)) return;  // it takes any host
  // The shared Cistern takes any host as well: one that checks it.
  std::unique_ptr<TCisternProcess> strict;
  if (!Is(TKind::RabbitMQ)) strict = std::make_unique<TCisternProcess>(std::vector<std::string>{"--VirtualHost=/"});
  TCountingRelay relay(strict ? strict->Port() : port_);
  TKsJMSConnectionFactory refused("", "", relay.Url() + "?dialect=" + dialect_ + "&vhost=nowhere");
  auto failed = refused.CreateConnection();
  const std::string error = test::ErrorOf<EConnectionFailedException>([&] { failed->Start(); });
  EXPECT_NE(error.find("Virtual host 'nowhere' access denied"), std::string::npos) << error;
  EXPECT_EQ(relay.Accepted(), 1);
}

TEST_P(ProtocolVersions, HeaderValuesThatOneZeroCannotCarryCrossByteForByteBothWays) {
  const std::vector<std::pair<std::string, std::string>> values = {
      {"colon", "a:b:c"}, {"lines", "one\ntwo\n"}, {"slash", "back\\slash\\"}, {"cr", "x\ry"},
      {"blanks", "  lead and trail  "}};
  auto connection = Connect();
  auto session = connection->CreateSession(false, AUTO_ACKNOWLEDGE);
  auto message = session->CreateTextMessage("escaped");
  for (const auto& [name, value] : values) message->SetStringProperty(name, value);
  session->CreateProducer(session->CreateQueue(Name("Escaped")))->Send(message);
  KS_REQUIRE_PEER(PythonPeerUnavailableReason());
  const std::vector<std::string> peer12 = {"--version", "1.2", "--vhost", "/"};
  auto peer = PeerReceive(port_, NativeQueue("Escaped"), 1, 10, peer12);
  ASSERT_EQ(peer.messages.size(), 1u) << peer.Output();
  for (const auto& [name, value] : values) EXPECT_EQ(peer.messages[0].Header(name), value) << name;

  std::vector<std::string> sendArgs = peer12;
  for (const auto& [name, value] : values) {
    sendArgs.push_back("--header");
    sendArgs.push_back(name + "=" + value);
  }
  ASSERT_TRUE(PeerSend(port_, NativeQueue("EscapedBack"), "from python", sendArgs).sent);
  auto back = session->CreateConsumer(session->CreateQueue(Name("EscapedBack")))->Receive(10000);
  ASSERT_TRUE(back);
  for (const auto& [name, value] : values) EXPECT_EQ(back->GetStringProperty(name), value) << name;
  connection->Close();
}

TEST_P(ProtocolVersions, TextStaysTextAndBytesStayBytesBothWays) {
  const std::string bytes = std::string("\0\xff\n bytes \0", 11);
  auto connection = Connect();
  auto session = connection->CreateSession(false, AUTO_ACKNOWLEDGE);
  auto producer = session->CreateProducer(session->CreateQueue(Name("Typed")));
  producer->Send(session->CreateTextMessage("Grüße, text"));
  auto binary = session->CreateBytesMessage();
  binary->SetContent(bytes);
  producer->Send(binary);
  KS_REQUIRE_PEER(PythonPeerUnavailableReason());
  const std::vector<std::string> peer12 = {"--version", "1.2", "--vhost", "/"};
  auto peer = PeerReceive(port_, NativeQueue("Typed"), 2, 10, peer12);
  ASSERT_EQ(peer.messages.size(), 2u) << peer.Output();
  EXPECT_EQ(peer.messages[0].body, "Grüße, text");
  EXPECT_EQ(peer.messages[0].Header("content-type"), "text/plain;charset=UTF-8");
  EXPECT_TRUE(peer.messages[1].body == bytes);
  EXPECT_EQ(peer.messages[1].Header("content-type"), "application/octet-stream");
  EXPECT_EQ(peer.messages[1].Header("content-length"), std::to_string(bytes.size()));

  const std::string file = "/tmp/ks-typed-body-" + std::to_string(getpid());
  std::ofstream(file, std::ios::binary | std::ios::trunc) << bytes;
  std::vector<std::string> asBytes = peer12;
  for (const char* more : {"--body-file", file.c_str(), "--header", "content-type=application/octet-stream"}) {
    asBytes.push_back(more);
  }
  std::vector<std::string> asText = peer12;
  for (const char* more : {"--header", "content-type=text/plain;charset=UTF-8"}) asText.push_back(more);
  ASSERT_TRUE(PeerSend(port_, NativeQueue("TypedBack"), "text from python", asText).sent);
  ASSERT_TRUE(PeerSend(port_, NativeQueue("TypedBack"), "", asBytes).sent);
  std::remove(file.c_str());
  auto consumer = session->CreateConsumer(session->CreateQueue(Name("TypedBack")));
  auto text = std::dynamic_pointer_cast<ITextMessage>(consumer->Receive(10000));
  ASSERT_TRUE(text);
  EXPECT_EQ(text->GetText(), "text from python");
  auto back = std::dynamic_pointer_cast<IBytesMessage>(consumer->Receive(10000));
  ASSERT_TRUE(back);
  EXPECT_TRUE(back->GetContent() == bytes);
  connection->Close();
}

TEST_P(ProtocolVersions, IndividualAcknowledgementTakesOnlyTheMessageAcknowledged) {
  TLibraryClient sender(Url(), Name("Individual"));
  for (const char* text : {"one", "two", "three"}) sender.SendText(text);
  {
    auto connection = Connect();
    auto session = connection->CreateSession(false, INDIVIDUAL_ACKNOWLEDGE);
    auto consumer = session->CreateConsumer(session->CreateQueue(Name("Individual")));
    std::vector<std::shared_ptr<IMessage>> received;
    for (int i = 0; i < 3; ++i) {
      received.push_back(consumer->Receive(10000));
      ASSERT_TRUE(received.back());
    }
    EXPECT_EQ(TextOf(received[1]), "two");
    received[1]->Acknowledge();
    connection->Close();
  }
  auto consumer = sender.Consumer();
  std::vector<std::string> back;
  while (auto message = consumer->Receive(back.size() < 2 ? 10000 : 1000)) back.push_back(TextOf(message));
  EXPECT_EQ(back, (std::vector<std::string>{"one", "three"}));
}

TEST_P(ProtocolVersions, AnIdleConnectionWithOneSecondBeatsStaysOpen) {
  // The brokers drop a client that is silent for twice its interval (two
  // to three seconds here), and the client gives up on a silent broker as
  // soon: ten seconds idle span several of those windows.
  auto watch = std::make_shared<TCollector>();
  auto connection = ConnectWithBeats(watch);
  EXPECT_FALSE(WaitUntil([&] { return !watch->Errors().empty(); }, 10s)) << watch->Errors().front().text;
  auto session = connection->CreateSession(false, AUTO_ACKNOWLEDGE);
  auto queue = session->CreateQueue(Name("Idle"));
  session->CreateProducer(queue)->Send(session->CreateTextMessage("still here"));
  auto message = session->CreateConsumer(queue)->Receive(10000);
  ASSERT_TRUE(message);
  EXPECT_EQ(TextOf(message), "still here");
  connection->Close();
}

// On ActiveMQ alone: a SIGSTOP of the shared broker, and a slow case (a
// half-open Cistern has an e2e case of its own).
class HeartBeats : public ProtocolVersions {};

TEST_P(HeartBeats, AFrozenBrokerIsReportedWithinGraceTimesTheIntervalAndEndsABlockedSend) {
  const pid_t broker = SharedActiveMQ().Pid();
  ASSERT_GT(broker, 0);
  auto watch = std::make_shared<TCollector>();
  auto connection = ConnectWithBeats(watch);
  auto session = connection->CreateSession(false, AUTO_ACKNOWLEDGE);
  auto producer = session->CreateProducer(session->CreateQueue(Name("Frozen")));
  struct TThaw {
    pid_t pid;
    ~TThaw() { kill(pid, SIGCONT); }
  } thaw{broker};
  std::atomic<bool> sendEnded{false};
  std::string sendError;
  std::thread sender([&] {
    // Sends until the socket is full and a send blocks in the kernel.
    try {
      const std::string big(1 << 20, 'f');
      for (int i = 0; i < 1000; ++i) producer->Send(session->CreateTextMessage(big));
    } catch (const std::exception& e) {
      sendError = e.what();
    }
    sendEnded = true;
  });
  ASSERT_EQ(kill(broker, SIGSTOP), 0);
  const auto frozen = std::chrono::steady_clock::now();
  ASSERT_TRUE(WaitUntil([&] { return !watch->Errors().empty(); }, 10s));
  EXPECT_LE(ElapsedMs(frozen), 3500);
  const auto errors = watch->Errors();
  EXPECT_NE(errors.front().text.find("Missed heart-beats"), std::string::npos) << errors.front().text;
  EXPECT_EQ(errors.size(), 1u);
  EXPECT_TRUE(WaitUntil([&] { return sendEnded.load(); }, 5s)) << "a send still blocked into the frozen broker";
  sender.join();
  EXPECT_FALSE(sendError.empty());
  kill(broker, SIGCONT);
  connection->Close();
}

TEST_P(HeartBeats, AListenerSlowerThanTheBeatsIsNotTakenForALostBroker) {
  auto watch = std::make_shared<TCollector>();
  auto connection = ConnectWithBeats(watch);
  auto session = connection->CreateSession(false, AUTO_ACKNOWLEDGE);
  auto queue = session->CreateQueue(Name("Slow"));
  struct TSlowListener : IMessageListener {
    TCollector collector;
    void OnMessage(const std::shared_ptr<IMessage>& message) override {
      std::this_thread::sleep_for(5s);  // the work the application does
      collector.OnMessage(message);
    }
  };
  auto listener = std::make_shared<TSlowListener>();
  session->CreateConsumer(queue)->SetMessageListener(listener);
  auto producer = session->CreateProducer(queue);
  for (const char* text : {"a", "b", "c"}) producer->Send(session->CreateTextMessage(text));
  EXPECT_TRUE(listener->collector.WaitFor(3, 30s));
  EXPECT_EQ(listener->collector.Texts(), (std::vector<std::string>{"a", "b", "c"}));
  EXPECT_TRUE(watch->Errors().empty()) << watch->Errors().front().text;
  connection->Close();
}

INSTANTIATE_TEST_SUITE_P(Brokers, HeartBeats, ::testing::Values(TBrokerCase{TKind::ActiveMQ, false}),
                         [](const ::testing::TestParamInfo<TBrokerCase>& info) { return CaseName(info.param); });

INSTANTIATE_TEST_SUITE_P(Brokers, ProtocolVersions,
                         ::testing::Values(TBrokerCase{TKind::ActiveMQ, false}, TBrokerCase{TKind::RabbitMQ, false},
                                           TBrokerCase{TKind::CisternSlash, false}),
                         [](const ::testing::TestParamInfo<TBrokerCase>& info) { return CaseName(info.param); });

INSTANTIATE_TEST_SUITE_P(Brokers, BrokerMatrix,
                         ::testing::Values(TBrokerCase{TKind::ActiveMQ, false}, TBrokerCase{TKind::ActiveMQ, true},
                                           TBrokerCase{TKind::RabbitMQ, false}, TBrokerCase{TKind::RabbitMQ, true},
                                           TBrokerCase{TKind::CisternJms, false}, TBrokerCase{TKind::CisternJms, true},
                                           TBrokerCase{TKind::CisternSlash, false},
                                           TBrokerCase{TKind::CisternSlash, true}),
                         [](const ::testing::TestParamInfo<TBrokerCase>& info) { return CaseName(info.param); });

}  // namespace
}  // namespace ks::test
