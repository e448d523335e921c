// The library, Spigot and Siphon against a real ActiveMQ 5.17 broker, with
// the Python STOMP client (stomp.py) as an independent peer on the other
// end. Each case uses queues of its own, so cases do not see each other's
// messages on the shared broker.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "jms/KsJMSConnectionFactory.hpp"
#include "jms/KsJMSInterfaces.hpp"
#include "tests/faults/KsFaultSupport.hpp"
#include "tests/interop/KsInteropSupport.hpp"

namespace ks::test {
namespace {

const std::string kWhole = "Message: ";

std::shared_ptr<IConnection> Connect(const TActiveMQProcess& broker) {
  auto factory = std::make_shared<TKsJMSConnectionFactory>("", "", broker.Url());
  auto connection = factory->CreateConnection();
  connection->Start();
  return connection;
}


class ActiveMQInterop : public TInteropTest {};

TEST_F(ActiveMQInterop, SpigotDefaultsReachSiphonDefaultsWholeAndInOrder) {
  const std::vector<std::string> url = {"--URL=" + broker_->Url()};
  auto spigot = RunProgram("tools/Spigot", url, "\n");
  ASSERT_EQ(spigot.status, 0) << spigot.Output();
  ASSERT_FALSE(spigot.lines.empty());
  EXPECT_EQ(spigot.lines.back(), "Done.") << spigot.Output();

  auto siphon = RunProgram("tools/Siphon", url);
  ASSERT_EQ(siphon.status, 0) << siphon.Output();
  auto received = LinesAfter(siphon.lines, "Received: ");
  ASSERT_EQ(received.size(), 10u) << siphon.Output();
  for (int i = 0; i < 10; ++i) {
    EXPECT_EQ(received[i].rfind(kWhole + std::to_string(i) + " sent at: ", 0), 0u) << received[i];
  }
  // The blank-padded texts arrive whole: Siphon shows each exactly as
  // Spigot did.
  EXPECT_EQ(received, LinesAfter(spigot.lines, "Sending message: "));
  EXPECT_EQ(siphon.lines.back(), "Closing connection");

  // The same defaults once more, read by the Python client: every text is
  // whole (255 characters, blank-padded) and the order is kept.
  spigot = RunProgram("tools/Spigot", url, "\n");
  ASSERT_EQ(spigot.status, 0) << spigot.Output();
  auto peer = PeerReceive(broker_->Port(), "jms.queue.ExampleQueue", 10, 15);
  ASSERT_EQ(peer.messages.size(), 10u) << peer.Output();
  for (int i = 0; i < 10; ++i) {
    const std::string& body = peer.messages[i].body;
    EXPECT_EQ(body.size(), 255u);
    EXPECT_EQ(body.rfind(kWhole + std::to_string(i) + " sent at: ", 0), 0u) << body;
    EXPECT_EQ(body.back(), ' ');
  }
}

TEST_F(ActiveMQInterop, TextsLongerThanAHeaderLineArriveWhole) {
  const std::vector<std::string> args = {"--URL=" + broker_->Url(), "--Subject=Interop.Large", "--MessageCount=5",
                                         "--MessageSize=20000"};
  auto spigot = RunProgram("tools/Spigot", args, "\n");
  ASSERT_EQ(spigot.status, 0) << spigot.Output();
  auto siphon = RunProgram("tools/Siphon",
                           {"--URL=" + broker_->Url(), "--Subject=Interop.Large", "--MaximumMessages=5"});
  ASSERT_EQ(siphon.status, 0) << siphon.Output();
  EXPECT_EQ(LinesAfter(siphon.lines, "Received: "), LinesAfter(spigot.lines, "Sending message: "));

  // And byte for byte through the library, both ways of the body rule.
  auto connection = Connect(*broker_);
  auto session = connection->CreateSession(false, AUTO_ACKNOWLEDGE);
  auto queue = session->CreateQueue("Interop.Large.Bytes");
  auto consumer = session->CreateConsumer(queue);
  const std::string text = "  " + std::string(20000, 'x') + " \t ";
  session->CreateProducer(queue)->Send(session->CreateTextMessage(text));
  auto m = consumer->Receive(10000);
  ASSERT_TRUE(m);
  EXPECT_EQ(TextOf(m), text);
  connection->Close();
}

TEST_F(ActiveMQInterop, SiphonAnswersReplyToWithTheBrokersMessageId) {
  const std::string requests = "jms.queue.Interop.Requests";
  const std::string replies = "jms.queue.Interop.Replies";
  auto sent = PeerSend(broker_->Port(), requests, "question", {"--reply-to", replies});
  ASSERT_TRUE(sent.sent) << sent.Output();
  // Peek at the request without acknowledging it, to learn the id ActiveMQ
  // gave it; closing the peer's connection hands the message back.
  auto peek = PeerReceive(broker_->Port(), requests, 1, 10, {"--ack", "client", "--no-ack"});
  ASSERT_EQ(peek.messages.size(), 1u) << peek.Output();
  const std::string id = peek.messages[0].Header("message-id");
  ASSERT_EQ(id.rfind("ID:", 0), 0u) << id;
  EXPECT_EQ(peek.messages[0].Header("reply-to"), replies);

  auto siphon = RunProgram("tools/Siphon",
                           {"--URL=" + broker_->Url(), "--Subject=Interop.Requests", "--MaximumMessages=1"});
  ASSERT_EQ(siphon.status, 0) << siphon.Output();
  EXPECT_EQ(LinesAfter(siphon.lines, "Received: "), std::vector<std::string>{"question"}) << siphon.Output();

  auto reply = PeerReceive(broker_->Port(), replies, 1, 10);
  ASSERT_EQ(reply.messages.size(), 1u) << reply.Output();
  EXPECT_EQ(reply.messages[0].body, "Reply: " + id);
  EXPECT_NE(reply.messages[0].Header("persistent"), "true");
}

TEST_F(ActiveMQInterop, ClientAcknowledgeRemovesAckedAndRedeliversUnacked) {
  // Siphon in client mode acknowledges each message: nothing is left.
  auto spigot = RunProgram("tools/Spigot", {"--URL=" + broker_->Url(), "--Subject=Interop.Acked",
                                            "--MessageCount=3", "--MessageSize=20"},
                           "\n");
  ASSERT_EQ(spigot.status, 0) << spigot.Output();
  auto siphon = RunProgram("tools/Siphon", {"--URL=" + broker_->Url(), "--Subject=Interop.Acked",
                                            "--AckMode=CLIENT_ACKNOWLEDGE", "--MaximumMessages=3"});
  ASSERT_EQ(siphon.status, 0) << siphon.Output();
  EXPECT_EQ(LinesAfter(siphon.lines, "Received: ").size(), 3u) << siphon.Output();
  auto left = PeerReceive(broker_->Port(), "jms.queue.Interop.Acked", 1, 1.5);
  EXPECT_EQ(left.received, 0) << left.Output();

  // A library consumer that does not acknowledge: after its connection
  // closes the broker delivers the same messages again, marked redelivered.
  for (const char* text : {"first", "second"})
    ASSERT_TRUE(PeerSend(broker_->Port(), "jms.queue.Interop.Unacked", text).sent);
  std::vector<std::string> ids;
  {
    auto connection = Connect(*broker_);
    auto session = connection->CreateSession(false, CLIENT_ACKNOWLEDGE);
    auto consumer = session->CreateConsumer(session->CreateQueue("Interop.Unacked"));
    for (const char* text : {"first", "second"}) {
      auto message = consumer->Receive(10000);
      ASSERT_TRUE(message) << "expected " << text;
      EXPECT_EQ(TextOf(message), text);
      EXPECT_FALSE(message->GetJMSRedelivered());
      ids.push_back(message->GetJMSMessageID());
    }
    connection->Close();
  }
  {
    auto connection = Connect(*broker_);
    auto session = connection->CreateSession(false, CLIENT_ACKNOWLEDGE);
    auto consumer = session->CreateConsumer(session->CreateQueue("Interop.Unacked"));
    int i = 0;
    for (const char* text : {"first", "second"}) {
      auto message = consumer->Receive(10000);
      ASSERT_TRUE(message) << "expected redelivery of " << text;
      EXPECT_EQ(TextOf(message), text);
      EXPECT_TRUE(message->GetJMSRedelivered());
      EXPECT_EQ(message->GetJMSMessageID(), ids[i++]);
      message->Acknowledge();
    }
    connection->Close();
  }
  left = PeerReceive(broker_->Port(), "jms.queue.Interop.Unacked", 1, 1.5);
  EXPECT_EQ(left.received, 0) << left.Output();
}

TEST_F(ActiveMQInterop, TransactedConsumptionLosesNothingWhenKilledAndRedeliversOnRollback) {
  EXPECT_EQ(RolledBackMessagesComeBackRedelivered(broker_->Url(), "Interop.TxRollback"), "");
  EXPECT_EQ(TransactedSiphonKilledLosesNothing(broker_->Url(), "Interop.TxKilled", 300), "");
}

TEST_F(ActiveMQInterop, TransactedSpigotDeliversAllAndRollbackDeliversNothing) {
  auto spigot = RunProgram("tools/Spigot", {"--URL=" + broker_->Url(), "--Subject=Interop.Tx", "--Transacted",
                                            "--MessageCount=5", "--MessageSize=12"},
                           "\n");
  ASSERT_EQ(spigot.status, 0) << spigot.Output();
  EXPECT_EQ(spigot.lines.back(), "Done.") << spigot.Output();
  auto peer = PeerReceive(broker_->Port(), "jms.queue.Interop.Tx", 5, 10);
  ASSERT_EQ(peer.messages.size(), 5u) << peer.Output();
  for (int i = 0; i < 5; ++i) EXPECT_EQ(peer.messages[i].body, "Message: " + std::to_string(i) + " s");

  {
    auto connection = Connect(*broker_);
    auto session = connection->CreateSession(true, AUTO_ACKNOWLEDGE);
    auto producer = session->CreateProducer(session->CreateQueue("Interop.Rollback"));
    for (const char* text : {"one", "two", "three"}) producer->Send(session->CreateTextMessage(text));
    session->Rollback();
    // The session goes on in a new transaction: only this one arrives.
    producer->Send(session->CreateTextMessage("committed"));
    session->Commit();
    connection->Close();
  }
  peer = PeerReceive(broker_->Port(), "jms.queue.Interop.Rollback", 2, 1.5);
  ASSERT_EQ(peer.messages.size(), 1u) << peer.Output();
  EXPECT_EQ(peer.messages[0].body, "committed");
}

TEST_F(ActiveMQInterop, BytesAndHeadersCrossBetweenLibraryAndPythonClient) {
  std::string bytes;
  for (int i = 0; i < 300; ++i) bytes.push_back(static_cast<char>(i % 256));
  bytes += std::string("\0\0end\0", 7);
  {
    auto connection = Connect(*broker_);
    auto session = connection->CreateSession(false, AUTO_ACKNOWLEDGE);
    auto producer = session->CreateProducer(session->CreateQueue("Interop.Bytes"));
    producer->SetTimeToLive(60000);
    auto message = session->CreateBytesMessage();
    message->SetContent(bytes);
    producer->Send(message);
    connection->Close();
  }
  auto peer = PeerReceive(broker_->Port(), "jms.queue.Interop.Bytes", 1, 10);
  ASSERT_EQ(peer.messages.size(), 1u) << peer.Output();
  const auto& got = peer.messages[0];
  EXPECT_EQ(got.body.size(), bytes.size());
  EXPECT_TRUE(got.body == bytes) << "bytes differ";
  const long long expires = std::atoll(got.Header("expires").c_str());
  const long long timestamp = std::atoll(got.Header("timestamp").c_str());
  // Whole seconds on the wire: the difference is the time to live, give or
  // take the rounding of both values.
  EXPECT_GT(expires, 0) << "no expiration arrived";
  EXPECT_NEAR(static_cast<double>(expires - timestamp), 60000.0, 2000.0);

  ASSERT_TRUE(PeerSend(broker_->Port(), "jms.queue.Interop.Headers", "from python",
                       {"--header", "colour=blue", "--header", "count=42", "--header", "note=two words"})
                  .sent);
  auto connection = Connect(*broker_);
  auto session = connection->CreateSession(false, AUTO_ACKNOWLEDGE);
  auto consumer = session->CreateConsumer(session->CreateQueue("Interop.Headers"));
  auto message = consumer->Receive(10000);
  ASSERT_TRUE(message);
  EXPECT_EQ(TextOf(message), "from python");
  EXPECT_EQ(message->GetStringProperty("colour"), "blue");
  EXPECT_EQ(message->GetIntProperty("count"), 42);
  EXPECT_EQ(message->GetStringProperty("note"), "two words");
  EXPECT_EQ(message->GetStringProperty("COLOUR"), "blue");
  auto names = message->GetPropertyNames();
  for (const char* name : {"colour", "count", "note"})
    EXPECT_NE(std::find(names.begin(), names.end(), name), names.end()) << name;
  EXPECT_EQ(message->GetJMSMessageID().rfind("ID:", 0), 0u);
  connection->Close();
}

TEST_F(ActiveMQInterop, DurableSiphonEndsWithTheBrokersError) {
  auto siphon = RunProgram("tools/Siphon", {"--URL=" + broker_->Url(), "--Topic", "--Subject=Interop.News",
                                            "--Durable", "--ClientId=Vorlan", "--MaximumMessages=1"},
                           "", std::chrono::seconds(20));
  ASSERT_EQ(siphon.status, 1) << "Siphon did not end, or ended as if all was well:\n" << siphon.Output();
  bool seen = false;
  for (const auto& line : siphon.lines)
    seen = seen || line.rfind("Invalid Subscription: cannot durably subscribe to a Queue destination!", 0) == 0;
  EXPECT_TRUE(seen) << siphon.Output();
  EXPECT_EQ(LinesAfter(siphon.lines, "Received: ").size(), 0u);
}

TEST_F(ActiveMQInterop, RefusedLoginPrintsConnectionFailedWithBrokerText) {
  auto& secured = SharedAuthActiveMQ();
  ASSERT_TRUE(secured.Started()) << secured.Failure();
  auto refused = RunProgram("tools/Spigot", {"--URL=" + secured.Url(), "--User=wrong", "--MessageCount=1"}, "\n");
  ASSERT_EQ(refused.status, 1) << refused.Output();
  ASSERT_EQ(refused.lines.size(), 5u) << refused.Output();
  EXPECT_EQ(refused.lines[4].rfind("The JMS connection has failed due to a Transport problem: ", 0), 0u)
      << refused.lines[4];
  EXPECT_NE(refused.lines[4].find("User name [wrong] or password is invalid."), std::string::npos)
      << refused.lines[4];

  // The right credentials get through the same broker.
  auto accepted = RunProgram("tools/Spigot",
                             {"--URL=" + secured.Url(), "--User=" + std::string(kAuthUser),
                              "--Password=" + std::string(kAuthPassword), "--MessageCount=1", "--Subject=Interop.Auth"},
                             "\n");
  ASSERT_EQ(accepted.status, 0) << accepted.Output();
  EXPECT_EQ(accepted.lines.back(), "Done.") << accepted.Output();
}

}  // namespace
}  // namespace ks::test
