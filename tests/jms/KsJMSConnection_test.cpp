// Connection, session, producer and consumer over a recording transport.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <thread>
#include <string>
#include <vector>

#include "jms/KsJMSClient.hpp"
#include "jms/KsJMSConnection.hpp"
#include "jms/KsJMSConnectionFactory.hpp"
#include "jms/KsJMSMessage.hpp"
#include "jms/KsMessageConsumer.hpp"
#include "jms/KsMessageProducer.hpp"
#include "jms/KsQueue.hpp"
#include "jms/KsTopic.hpp"
#include "stomp/KsCommAdapterIndy.hpp"
#include "stomp/KsStompCustomClient.hpp"
#include "stomp/KsStompFrame.hpp"
#include "tests/common/KsCollector.hpp"
#include "tests/common/KsFakeAdapter.hpp"
#include "tests/common/KsTestUtil.hpp"

namespace ks {
namespace {

using test::ErrorOf;
using namespace std::string_literals;
using test::TCollector;

const std::string& kConnected = test::kConnectedFrame;

std::string MessageFrame(const std::string& subscription, const std::string& body,
                         const std::string& messageId = "m1") {
  std::string text = "MESSAGE\ndestination:jms.queue.q\nmessage-id:" + messageId + "\nsubscription:" + subscription +
                     "\n\n" + body;
  text.push_back('\0');
  text.push_back('\n');
  return text;
}

// A connection whose client talks to a TKsFakeAdapter.
struct TFakeConnection {
  test::TKsFakeAdapter* fake = nullptr;
  std::shared_ptr<TKsJMSConnection> connection;

  TFakeConnection() {
    RegisterTcpAdapter();
    auto client = std::make_unique<TKsJMSClient>();
    auto adapter = std::make_unique<test::TKsFakeAdapter>();
    fake = adapter.get();
    fake->SetConnectReply(kConnected);
    client->SetAdapter(std::move(adapter));
    TKsJMSClient* raw = client.get();
    connection = TKsJMSConnection::Create(std::move(client));
    raw->SetOwningConnection(connection.get());
  }

  std::vector<std::shared_ptr<IStompFrame>> Frames() const {
    std::vector<std::shared_ptr<IStompFrame>> frames;
    for (const auto& record : fake->Transmitted()) frames.push_back(TKsStompFrame::Parse(record.Bytes));
    return frames;
  }
  std::vector<std::string> Commands() const {
    std::vector<std::string> commands;
    for (const auto& frame : Frames()) commands.push_back(frame->GetCommand());
    return commands;
  }
  std::shared_ptr<IStompFrame> Last() const {
    auto frames = Frames();
    return frames.empty() ? nullptr : frames.back();
  }
  // Offers every version and has the broker answer 1.2 (before Start).
  void Speak12() {
    connection->GetClient().SetVersionOffer(TKsVersionOffer::All());
    fake->SetConnectReply("CONNECTED\nversion:1.2\n\n\0\n"s);
  }
  // Starts the connection and forgets the CONNECT frame.
  void StartClean() {
    connection->Start();
    fake->ClearTransmitted();
  }
};


// A text message class of an application's own, on the interfaces only.
class TPlainTextMessage : public ITextMessage {
 public:
  void SetJMSMessageID(const std::string&) override {}
  std::string GetJMSMessageID() const override { return {}; }
  std::shared_ptr<IDestination> GetJMSDestination() const override { return nullptr; }
  void SetJMSReplyTo(const std::shared_ptr<IDestination>&) override {}
  std::shared_ptr<IDestination> GetJMSReplyTo() const override { return nullptr; }
  void SetJMSPriority(std::int32_t) override {}
  std::int32_t GetJMSPriority() const override { return 4; }
  void SetJMSDeliveryMode(TDeliveryMode) override {}
  TDeliveryMode GetJMSDeliveryMode() const override { return TDeliveryMode::NonPersistent; }
  void SetJMSRedelivered(bool) override {}
  bool GetJMSRedelivered() const override { return false; }
  void SetJMSExpiration(TDateTime) override {}
  TDateTime GetJMSExpiration() const override { return 0.0; }
  void SetJMSCorrelationID(const std::string&) override {}
  std::string GetJMSCorrelationID() const override { return "plain-corr"; }
  std::string GetJMSType() const override { return {}; }
  void SetJMSType(const std::string&) override {}
  TStringArray GetPropertyNames() const override { return {"origin"}; }
  bool GetBooleanProperty(const std::string&) const override { return false; }
  void SetBooleanProperty(const std::string&, bool) override {}
  std::int32_t GetIntProperty(const std::string&) const override { return 0; }
  void SetIntProperty(const std::string&, std::int32_t) override {}
  std::string GetStringProperty(const std::string& name) const override { return name == "origin" ? "app" : ""; }
  void SetStringProperty(const std::string&, const std::string&) override {}
  void SetJMSTimestamp(TDateTime) override {}
  TDateTime GetJMSTimestamp() const override { return 0.0; }
  void Acknowledge() override {}
  void SetText(const std::string&) override {}
  std::string GetText() const override { return "plain text"; }
};

// A text message class derived from the library's message base.
class TDerivedTextMessage final : public TKsJMSMessage, public virtual ITextMessage {
 public:
  TDerivedTextMessage() : TKsJMSMessage(nullptr) {}
  void SetText(const std::string&) override {}
  std::string GetText() const override { return "derived text"; }
};

class TNamedTransformer : public IMessageTransformer, public ITransformationName {
 public:
  std::shared_ptr<IMessage> ConsumerTransform(ISession*, IMessageConsumer*, const std::shared_ptr<IMessage>&) override {
    return nullptr;
  }
  std::shared_ptr<IMessage> ProducerTransform(ISession*, IMessageProducer*, const std::shared_ptr<IMessage>&) override {
    ++produced;
    return nullptr;
  }
  std::string GetTransformationName() const override { return "jms-xml"; }
  int produced = 0;
};

TEST(Connection, FailedStartCarriesTransportTextAndRetries) {
  TFakeConnection f;
  f.fake->SetConnectError("Socket Error # 111 Connection refused.");
  std::string text = ErrorOf<EConnectionFailedException>([&] { f.connection->Start(); });
  EXPECT_NE(text.find("Socket Error # 111 Connection refused."), std::string::npos) << text;
  EXPECT_FALSE(f.connection->GetStarted());
  // While failed, SetClientID reports the same failure.
  text = ErrorOf<EConnectionFailedException>([&] { f.connection->SetClientID("c"); });
  EXPECT_NE(text.find("Connection refused"), std::string::npos) << text;
  // A second Start tries again, and succeeds once the broker is there.
  EXPECT_THROW(f.connection->Start(), EConnectionFailedException);
  EXPECT_EQ(f.fake->ConnectCalls(), 2);
  f.fake->SetConnectError("");
  f.connection->Start();
  EXPECT_EQ(f.fake->ConnectCalls(), 3);
  EXPECT_TRUE(f.connection->GetStarted());
  EXPECT_EQ(f.Commands(), (std::vector<std::string>{"CONNECT"}));
  // Start on a connected client does not connect again.
  f.connection->Start();
  EXPECT_EQ(f.fake->ConnectCalls(), 3);
}

TEST(Connection, ErrorReplyToConnectFailsAndLeavesNoSocket) {
  TFakeConnection f;
  f.fake->SetConnectReply(std::string("ERROR\nmessage:bad login\n\nwho?") + std::string(1, '\0') + "\n");
  const std::string text = ErrorOf<EConnectionFailedException>([&] { f.connection->Start(); });
  EXPECT_NE(text.find("bad login"), std::string::npos) << text;
  EXPECT_FALSE(f.fake->Connected());
  f.fake->SetConnectReply(kConnected);
  f.connection->Start();
  EXPECT_EQ(f.fake->ConnectCalls(), 2);
}

TEST(Connection, StopCloseAndClosedState) {
  TFakeConnection f;
  f.connection->Stop();  // never started: nothing happens
  EXPECT_EQ(f.fake->TransmitCount(), 0u);
  f.StartClean();
  f.connection->Close();
  EXPECT_EQ(f.Commands(), (std::vector<std::string>{"DISCONNECT"}));
  EXPECT_FALSE(f.fake->Connected());
  f.connection->Close();  // second Close: nothing
  EXPECT_EQ(f.fake->TransmitCount(), 1u);
  EXPECT_EQ(ErrorOf<Exception>([&] { f.connection->SetClientID("x"); }), "Connection is closed");
  EXPECT_EQ(ErrorOf<Exception>([&] { f.connection->Start(); }), "Connection is closed");
  EXPECT_EQ(ErrorOf<Exception>([&] { f.connection->UnsubscribeDurable("d", "s"); }), "Connection is closed");
  // Sessions can still be made; a transacted one stays quiet (not started).
  EXPECT_NE(f.connection->CreateSession(false, AUTO_ACKNOWLEDGE), nullptr);
}

TEST(Connection, CloseWhenBrokerHasGoneRaisesNothing) {
  TFakeConnection f;
  f.StartClean();
  f.fake->SetTransmitError("Socket Error # 32 Broken pipe.");
  EXPECT_NO_THROW(f.connection->Close());
  EXPECT_TRUE(f.connection->GetClosed());
  EXPECT_NO_THROW(f.connection->Close());
}

TEST(Connection, ClientIdOnceAndTransformer) {
  TFakeConnection f;
  f.connection->SetClientID("client-1");
  EXPECT_EQ(f.connection->GetClientID(), "client-1");
  EXPECT_EQ(ErrorOf<EIllegalStateException>([&] { f.connection->SetClientID("client-2"); }),
            "The ClientID has already been set");
  f.connection->Start();
  EXPECT_EQ(f.Frames().at(0)->GetHeader("client-id"), "client-1");

  TFakeConnection g;
  g.connection->FactorySetClientID("fromFactory");
  EXPECT_EQ(ErrorOf<EIllegalStateException>([&] { g.connection->SetClientID("other"); }),
            "The ClientID has already been set");

  TFakeConnection h;  // a fresh connection accepts one id after Start too
  h.connection->Start();
  EXPECT_NO_THROW(h.connection->SetClientID("late"));

  auto transformer = std::make_shared<TNamedTransformer>();
  TFakeConnection t;
  EXPECT_EQ(t.connection->GetTransformationName(), "");
  t.connection->SetMessageTransformer(transformer);
  EXPECT_EQ(t.connection->GetTransformationName(), "jms-xml");
  t.connection->Start();
  EXPECT_EQ(ErrorOf<Exception>([&] { t.connection->SetMessageTransformer(nullptr); }),
            "Connection started already!");
  auto session = t.connection->CreateSession(false, AUTO_ACKNOWLEDGE);
  auto object = session->CreateObjectMessage();
  ASSERT_NE(object, nullptr);
  // Every formatted header value of one SEND stays intact until it is
  // written: reply-to, priority, expiration and the transformation name.
  object->SetContent("<x/>");
  object->SetJMSReplyTo(session->CreateTopic("answers"));
  t.fake->ClearTransmitted();
  session->CreateProducer(session->CreateQueue("objects"))
      ->Send(object, TDeliveryMode::NonPersistent, 7, 60000);
  ASSERT_EQ(t.Frames().size(), 1u);
  EXPECT_EQ(t.Last()->GetHeader("reply-to"), "jms.topic.answers");
  EXPECT_EQ(t.Last()->GetHeader("transformation"), "jms-xml");
  EXPECT_EQ(t.Last()->GetHeader("priority"), "7");
  EXPECT_FALSE(t.Last()->GetHeader("expires").empty());
  EXPECT_EQ(t.Last()->GetBody(), "<x/>");
  auto plain = f.connection->CreateSession(false, AUTO_ACKNOWLEDGE);
  EXPECT_EQ(ErrorOf<ENoMessageTransformer>([&] { plain->CreateObjectMessage(); }),
            "Session has no message transformer");
}

TEST(Session, TransactionIdsBeginCommitRollback) {
  TFakeConnection f;
  auto early = f.connection->CreateSession(true, AUTO_ACKNOWLEDGE);
  EXPECT_EQ(early->GetAcknowledgeMode(), SESSION_TRANSACTED);
  EXPECT_TRUE(early->GetTransacted());
  EXPECT_EQ(f.fake->TransmitCount(), 0u);  // BEGIN waits for Start
  f.connection->Start();
  ASSERT_EQ(f.Commands(), (std::vector<std::string>{"CONNECT", "BEGIN"}));
  EXPECT_EQ(f.Last()->GetHeader("transaction"), "tx0");
  f.fake->ClearTransmitted();

  auto session = f.connection->CreateSession(true, AUTO_ACKNOWLEDGE);  // started: BEGIN at once
  ASSERT_EQ(f.Commands(), (std::vector<std::string>{"BEGIN"}));
  EXPECT_EQ(f.Last()->GetHeader("transaction"), "tx0");  // its own sequence
  f.fake->ClearTransmitted();

  auto producer = session->CreateProducer(session->CreateQueue("q"));
  producer->Send(session->CreateTextMessage("a"));
  producer->Send(session->CreateTextMessage("b"));
  session->Commit();
  producer->Send(session->CreateTextMessage("c"));
  session->Rollback();
  auto frames = f.Frames();
  ASSERT_EQ(f.Commands(), (std::vector<std::string>{"SEND", "SEND", "COMMIT", "BEGIN", "SEND", "ABORT", "BEGIN"}));
  EXPECT_EQ(frames[0]->GetHeader("transaction"), "tx0");
  EXPECT_EQ(frames[1]->GetHeader("transaction"), "tx0");
  EXPECT_EQ(frames[2]->GetHeader("transaction"), "tx0");
  EXPECT_EQ(frames[3]->GetHeader("transaction"), "tx1");
  EXPECT_EQ(frames[4]->GetHeader("transaction"), "tx1");
  EXPECT_EQ(frames[5]->GetHeader("transaction"), "tx1");
  EXPECT_EQ(frames[6]->GetHeader("transaction"), "tx2");

  f.fake->ClearTransmitted();
  auto plain = f.connection->CreateSession(false, AUTO_ACKNOWLEDGE);
  EXPECT_FALSE(plain->GetTransacted());
  EXPECT_EQ(ErrorOf<EJMSException>([&] { plain->Commit(); }), "Session is not transacted");
  EXPECT_EQ(ErrorOf<EJMSException>([&] { plain->Rollback(); }), "Session is not transacted");
  auto plainProducer = plain->CreateProducer(plain->CreateQueue("q"));
  plainProducer->Send(plain->CreateTextMessage("x"));
  ASSERT_EQ(f.Commands(), (std::vector<std::string>{"SEND"}));
  EXPECT_EQ(f.Last()->GetHeader("transaction"), "");
}

TEST(Session, SendCopiesAndStampsWithoutTouchingTheCallersMessage) {
  TFakeConnection f;
  f.StartClean();
  auto session = f.connection->CreateSession(false, AUTO_ACKNOWLEDGE);
  auto queue = session->CreateQueue("orders");
  auto producer = session->CreateProducer(queue);
  auto message = session->CreateTextMessage("hello");
  message->SetJMSPriority(2);
  message->SetStringProperty("color", "red");
  message->SetJMSCorrelationID("corr");
  producer->SetTimeToLive(60000);
  producer->SetDeliveryMode(TDeliveryMode::Persistent);
  producer->Send(message);
  producer->Send(message);  // the same object twice
  EXPECT_EQ(message->GetJMSTimestamp(), 0.0);
  EXPECT_EQ(message->GetJMSExpiration(), 0.0);
  EXPECT_EQ(message->GetJMSDestination(), nullptr);
  EXPECT_EQ(message->GetJMSDeliveryMode(), TDeliveryMode::NonPersistent);
  EXPECT_EQ(message->GetJMSPriority(), 2);

  auto frames = f.Frames();
  ASSERT_EQ(frames.size(), 2u);
  for (const auto& frame : frames) {
    EXPECT_EQ(frame->GetCommand(), "SEND");
    EXPECT_EQ(frame->GetHeader("destination"), "jms.queue.orders");
    EXPECT_EQ(frame->GetBody(), "hello");
    EXPECT_EQ(frame->GetHeader("persistent"), "true");
    EXPECT_EQ(frame->GetHeader("priority"), "");  // the producer's default 4 replaces 2
    EXPECT_EQ(frame->GetHeader("color"), "red");
    EXPECT_EQ(frame->GetHeader("correlation-id"), "corr");
    const std::string expires = frame->GetHeader("expires");
    ASSERT_FALSE(expires.empty());
    const std::int64_t wire = std::stoll(expires);
    const std::int64_t now = TKsJMSClient::DateTimeToWire(NowUTC());
    EXPECT_LE(wire - now, 60000 + 1000);
    EXPECT_GE(wire - now, 60000 - 2000);
  }
  // Time to live 0: no expiration; explicit send values win.
  f.fake->ClearTransmitted();
  producer->SetTimeToLive(0);
  producer->Send(message, TDeliveryMode::NonPersistent, 0, 0);
  EXPECT_EQ(f.Last()->GetHeader("expires"), "");
  EXPECT_EQ(f.Last()->GetHeader("persistent"), "");
  EXPECT_EQ(f.Last()->GetHeader("priority"), "0");
  // All bits set: about 49.7 days.
  producer->Send(message, TDeliveryMode::NonPersistent, 4, 4294967295u);
  const std::int64_t far = std::stoll(f.Last()->GetHeader("expires"));
  EXPECT_GT(far - TKsJMSClient::DateTimeToWire(NowUTC()), 4294967295LL - 3000);

  // Bodies of bytes messages travel with their length.
  f.fake->ClearTransmitted();
  auto bytes = session->CreateBytesMessage();
  bytes->SetContent(std::string("a\0c", 3));
  producer->Send(bytes);
  EXPECT_EQ(f.Last()->GetBody(), std::string("a\0c", 3));
  EXPECT_EQ(f.Last()->GetHeader("content-length"), "3");

  // Text message classes of the application's own are read through their
  // interfaces (and through the library's base where they have it).
  f.fake->ClearTransmitted();
  producer->Send(std::make_shared<TPlainTextMessage>());
  EXPECT_EQ(f.Last()->GetBody(), "plain text");
  EXPECT_EQ(f.Last()->GetHeader("correlation-id"), "plain-corr");
  EXPECT_EQ(f.Last()->GetHeader("origin"), "app");
  auto derived = std::make_shared<TDerivedTextMessage>();
  derived->SetStringProperty("kind", "derived");
  producer->Send(derived);
  EXPECT_EQ(f.Last()->GetBody(), "derived text");
  EXPECT_EQ(f.Last()->GetHeader("kind"), "derived");

  // A message without a body is refused and nothing is written.
  f.fake->ClearTransmitted();
  EXPECT_EQ(ErrorOf<Exception>([&] { producer->Send(session->CreateMessage()); }), "Unknown Message type");
  EXPECT_EQ(ErrorOf<Exception>([&] { producer->Send(std::shared_ptr<IMessage>()); }), "Unknown Message type");
  EXPECT_EQ(ErrorOf<Exception>([&] { producer->Send(message, TDeliveryMode::NonPersistent, 10, 0); }),
            "JMS_MAX_PRIORITY");
  EXPECT_EQ(f.fake->TransmitCount(), 0u);
}

TEST(Producer, DefaultsChecksAndDestinations) {
  TFakeConnection f;
  f.StartClean();
  auto session = f.connection->CreateSession(false, AUTO_ACKNOWLEDGE);
  auto anonymous = session->CreateProducer(nullptr);
  EXPECT_EQ(anonymous->GetDeliveryMode(), TDeliveryMode::NonPersistent);
  EXPECT_EQ(anonymous->GetPriority(), 4);
  EXPECT_EQ(anonymous->GetTimeToLive(), 0u);
  const std::string priorityText = "IllegalStateException(\"default priority must be a value between 0 and 9\")";
  anonymous->SetPriority(0);
  anonymous->SetPriority(9);
  EXPECT_EQ(ErrorOf<Exception>([&] { anonymous->SetPriority(10); }), priorityText);
  EXPECT_EQ(ErrorOf<Exception>([&] { anonymous->SetPriority(-1); }), priorityText);
  EXPECT_EQ(anonymous->GetPriority(), 9);

  auto message = session->CreateTextMessage("m");
  EXPECT_EQ(ErrorOf<EUnsupportedOperationException>([&] { anonymous->Send(message); }),
            "A destination must be specified.");
  anonymous->Send(session->CreateTopic("t"), message);
  EXPECT_EQ(f.Last()->GetHeader("destination"), "jms.topic.t");

  auto owned = session->CreateProducer(session->CreateQueue("d"));
  EXPECT_EQ(ErrorOf<EUnsupportedOperationException>([&] { owned->Send(nullptr, message); }),
            "Don't understand null destinations.");
  owned->Send(session->CreateQueue("e"), message);
  EXPECT_EQ(f.Last()->GetHeader("destination"), "jms.queue.e");

  owned->Close();
  EXPECT_EQ(ErrorOf<EIllegalStateException>([&] { owned->GetPriority(); }), "The producer is closed");
  EXPECT_EQ(ErrorOf<EIllegalStateException>([&] { owned->Send(message); }), "The producer is closed");
  EXPECT_EQ(ErrorOf<EIllegalStateException>([&] { owned->SetTimeToLive(1); }), "The producer is closed");
  EXPECT_EQ(ErrorOf<Exception>([&] { owned->SetPriority(10); }), priorityText);  // range check first
  EXPECT_NO_THROW(owned->Close());
}

TEST(Producer, TransformerMayReplaceTheMessage) {
  TFakeConnection f;
  auto transformer = std::make_shared<TNamedTransformer>();
  f.connection->SetMessageTransformer(transformer);
  f.StartClean();
  auto session = f.connection->CreateSession(false, AUTO_ACKNOWLEDGE);
  auto producer = session->CreateProducer(session->CreateQueue("q"));
  producer->Send(session->CreateTextMessage("kept"));
  EXPECT_EQ(transformer->produced, 1);
  EXPECT_EQ(f.Last()->GetBody(), "kept");
  auto object = session->CreateObjectMessage();
  object->SetContent("<o/>");
  producer->Send(object);
  EXPECT_EQ(f.Last()->GetHeader("transformation"), "jms-xml");
  EXPECT_EQ(f.Last()->GetBody(), "<o/>");
}

TEST(Consumer, SubscribeIdsReceiveAndClose) {
  TFakeConnection f;
  f.StartClean();
  auto session = f.connection->CreateSession(false, CLIENT_ACKNOWLEDGE);
  auto queue = session->CreateQueue("q");
  auto first = session->CreateConsumer(queue, "color = 'red'", true);
  auto second = session->CreateConsumer(session->CreateTopic("t"));
  const auto frames = f.Frames();
  ASSERT_EQ(frames.size(), 2u);
  const std::string id1 = std::dynamic_pointer_cast<IConsumerIdentity>(first)->GetConsumerID().GetID();
  const std::string id2 = std::dynamic_pointer_cast<IConsumerIdentity>(second)->GetConsumerID().GetID();
  EXPECT_EQ(id1.size(), 38u);
  EXPECT_NE(id1, id2);
  EXPECT_EQ(frames[0]->GetCommand(), "SUBSCRIBE");
  EXPECT_EQ(frames[0]->GetHeader("id"), id1);
  EXPECT_EQ(frames[0]->GetHeader("destination"), "jms.queue.q");
  EXPECT_EQ(frames[0]->GetHeader("ack"), "client");
  EXPECT_EQ(frames[0]->GetHeader("selector"), "color = 'red'");
  EXPECT_EQ(frames[0]->GetHeader("activemq.noLocal"), "true");
  EXPECT_EQ(frames[1]->GetHeader("id"), id2);
  EXPECT_EQ(frames[1]->GetHeader("destination"), "jms.topic.t");
  EXPECT_EQ(frames[1]->GetHeader("selector"), "");
  EXPECT_EQ(frames[1]->GetHeader("activemq.noLocal"), "");
  EXPECT_EQ(first->GetMessageSelector(), "color = 'red'");
  EXPECT_THROW(session->CreateConsumer(nullptr), EUnsupportedOperationException);

  // A receive reads frames until its own message; a RECEIPT is read past
  // and the time-out ends the wait.
  f.fake->QueueFrame(MessageFrame(id1, "one", "m-1"));
  auto received = first->Receive();
  ASSERT_NE(received, nullptr);
  EXPECT_EQ(std::dynamic_pointer_cast<ITextMessage>(received)->GetText(), "one");
  EXPECT_EQ(f.fake->LastRead(), "WaitForFrame");
  f.fake->QueueFrame(std::string("RECEIPT\nreceipt-id:r1\n\n") + std::string(1, '\0') + "\n");
  EXPECT_EQ(first->Receive(500), nullptr);
  EXPECT_EQ(f.fake->LastRead(), "ReceiveFrame");
  EXPECT_LE(f.fake->LastReceiveTimeout(), 500);
  EXPECT_FALSE(f.fake->LastRaiseOnTimeout());
  EXPECT_EQ(second->ReceiveNoWait(), nullptr);

  // Client acknowledgement writes one ACK with the message id.
  f.fake->ClearTransmitted();
  received->Acknowledge();
  ASSERT_EQ(f.Commands(), (std::vector<std::string>{"ACK"}));
  EXPECT_EQ(f.Last()->GetHeader("message-id"), "m-1");
  EXPECT_EQ(f.Last()->GetHeader("transaction"), "");

  // Close twice: two UNSUBSCRIBEs with the same id; then closed errors.
  f.fake->ClearTransmitted();
  first->Close();
  first->Close();
  const auto closing = f.Frames();
  ASSERT_EQ(closing.size(), 2u);
  for (const auto& frame : closing) {
    EXPECT_EQ(frame->GetCommand(), "UNSUBSCRIBE");
    EXPECT_EQ(frame->GetHeader("id"), id1);
  }
  EXPECT_THROW(first->Receive(), EIllegalStateException);
  EXPECT_THROW(first->Receive(10), EIllegalStateException);
  EXPECT_THROW(first->ReceiveNoWait(), EIllegalStateException);
  EXPECT_THROW(first->SetMessageListener(std::make_shared<TCollector>()), EIllegalStateException);
  EXPECT_EQ(first->GetMessageSelector(), "color = 'red'");
}

TEST(Consumer, ListenerCheckAcrossSessionAndReaderStart) {
  TFakeConnection f;
  f.StartClean();
  auto session = f.connection->CreateSession(false, AUTO_ACKNOWLEDGE);
  auto a = session->CreateConsumer(session->CreateQueue("a"));
  auto b = session->CreateConsumer(session->CreateQueue("b"));
  auto otherSession = f.connection->CreateSession(false, AUTO_ACKNOWLEDGE);
  auto c = otherSession->CreateConsumer(otherSession->CreateQueue("c"));
  auto listener = std::make_shared<TCollector>();
  f.connection->Stop();
  const int startsBefore = f.fake->StartCalls();
  a->SetMessageListener(listener);  // session stopped: reader not started yet
  EXPECT_EQ(f.fake->StartCalls(), startsBefore);
  const std::string text = "Cannot synchronously receive a message when a MessageListener is set";
  EXPECT_EQ(ErrorOf<EIllegalStateException>([&] { b->Receive(); }), text);
  EXPECT_EQ(ErrorOf<EIllegalStateException>([&] { b->Receive(5); }), text);
  EXPECT_EQ(ErrorOf<EIllegalStateException>([&] { a->ReceiveNoWait(); }), text);
  EXPECT_NO_THROW(c->ReceiveNoWait());  // another session is not checked
  f.connection->Start();
  EXPECT_GE(f.fake->StartCalls(), startsBefore + 1);  // the connection's Start starts the reader
  const int before = f.fake->StartCalls();
  b->SetMessageListener(listener);  // started session: at once
  EXPECT_EQ(f.fake->StartCalls(), before + 1);
  a->SetMessageListener(nullptr);
  b->SetMessageListener(nullptr);
  EXPECT_NO_THROW(b->ReceiveNoWait());
  const int stops = f.fake->StopCalls();
  f.connection->Stop();  // every consumer stops the reader
  EXPECT_GE(f.fake->StopCalls(), stops + 3);
}

TEST(Consumer, ClosingAConnectionWithManyConsumersPausesOnceNotOncePerConsumer) {
  TFakeConnection f;
  f.StartClean();
  auto session = f.connection->CreateSession(false, AUTO_ACKNOWLEDGE);
  auto queue = session->CreateQueue("q");
  std::vector<std::shared_ptr<IMessageConsumer>> consumers;
  for (int i = 0; i < 500; ++i) consumers.push_back(session->CreateConsumer(queue));
  const int stops = f.fake->StopCalls();
  // The pause after a stop lets the reader settle once; paid per consumer
  // it made this close take ten seconds.
  const auto start = std::chrono::steady_clock::now();
  f.connection->Close();
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
  EXPECT_GE(f.fake->StopCalls(), stops + 500);  // every consumer still stops the reader
}

TEST(Dispatch, RoutesBySubscriptionAcrossSessions) {
  TFakeConnection f;
  f.StartClean();
  auto s1 = f.connection->CreateSession(false, AUTO_ACKNOWLEDGE);
  auto s2 = f.connection->CreateSession(false, AUTO_ACKNOWLEDGE);
  auto c1 = s1->CreateConsumer(s1->CreateQueue("q1"));
  auto c2 = s2->CreateConsumer(s2->CreateQueue("q2"));
  auto quiet = s1->CreateConsumer(s1->CreateQueue("q3"));  // no listener
  auto l1 = std::make_shared<TCollector>();
  auto l2 = std::make_shared<TCollector>();
  c1->SetMessageListener(l1);
  c2->SetMessageListener(l2);
  const std::string id1 = std::dynamic_pointer_cast<IConsumerIdentity>(c1)->GetConsumerID().GetID();
  const std::string id2 = std::dynamic_pointer_cast<IConsumerIdentity>(c2)->GetConsumerID().GetID();
  const std::string idQuiet = std::dynamic_pointer_cast<IConsumerIdentity>(quiet)->GetConsumerID().GetID();
  auto Incoming = [&](const std::string& subscription) {
    auto message = TKsJMSTextMessage::Create(f.connection.get());
    message->SetStringProperty("subscription", subscription);
    return message;
  };
  // Each session's listener gets its own messages, whichever session comes
  // first in the connection's list.
  f.connection->Dispatch(Incoming(id1), nullptr);
  f.connection->Dispatch(Incoming(id2), nullptr);
  f.connection->Dispatch(Incoming(id2), nullptr);
  EXPECT_EQ(l1->Count(), 1u);
  EXPECT_EQ(l2->Count(), 2u);
  // A message no consumer owns is dropped, and delivery goes on; one for a
  // consumer without a listener is held for its next receive.
  EXPECT_NO_THROW(f.connection->Dispatch(Incoming("nobody"), nullptr));
  EXPECT_EQ(f.connection->HeldCount(), 0u);
  f.connection->Dispatch(Incoming(idQuiet), nullptr);
  EXPECT_EQ(f.connection->HeldCount(), 1u);
  EXPECT_TRUE(f.connection->ReceiveFor(dynamic_cast<TKsMessageConsumer*>(quiet.get()), TKsReceiveWait::NoWait, 0));
  EXPECT_EQ(f.connection->HeldCount(), 0u);
  f.connection->Dispatch(Incoming(id1), nullptr);
  EXPECT_EQ(l1->Count(), 2u);
  // The session's own dispatch checks only its consumers.
  EXPECT_THROW(std::dynamic_pointer_cast<TKsJMSSession>(s1)->Dispatch(Incoming(id2)), EAssertionFailed);
  // Without listener consumers, messages are ignored.
  c1->SetMessageListener(nullptr);
  c2->SetMessageListener(nullptr);
  EXPECT_NO_THROW(f.connection->Dispatch(Incoming("nobody"), nullptr));
  EXPECT_EQ(l1->Count(), 2u);
  EXPECT_EQ(l2->Count(), 2u);
}

TEST(Session, ASendIsTheSameBytesWhetherWrittenStraightFromItsFieldsOrByTheGeneralRules) {
  // A message without properties is written straight from its fields; one
  // with properties, or with a value to escape, by the general rules.
  struct TCase {
    const char* name;
    std::function<std::shared_ptr<IMessage>(ISession&)> make;
    std::string v10;  // the frame under STOMP 1.0 (empty: refused)
    std::string v12;  // under 1.2
  };
  const std::string d = "SEND\ndestination:jms.queue.q\n";
  const std::string text = "content-type:text/plain;charset=UTF-8\n";
  const TCase cases[] = {
      {"plain", [](ISession& s) { return s.CreateTextMessage("hi"); }, d + "\nhi\0\n"s, d + text + "\nhi\0\n"s},
      {"fields",
       [](ISession& s) {
         auto m = s.CreateTextMessage("hi");
         m->SetJMSCorrelationID("c:1");
         m->SetJMSType("t");
         return m;
       },
       d + "correlation-id:c:1\ntype:t\n\nhi\0\n"s, d + "correlation-id:c\\c1\ntype:t\n" + text + "\nhi\0\n"s},
      {"properties",
       [](ISession& s) {
         auto m = s.CreateTextMessage("hi");
         m->SetJMSCorrelationID("c");
         m->SetStringProperty("k", "v");
         m->SetStringProperty("content-type", "text/x");
         return m;
       },
       d + "correlation-id:c\nk:v\ncontent-type:text/x\n\nhi\0\n"s,
       d + "correlation-id:c\ncontent-type:text/x\nk:v\n\nhi\0\n"s},
      {"bytes",
       [](ISession& s) {
         auto m = s.CreateBytesMessage();
         m->SetContent("a\0b"s);
         return m;
       },
       d + "content-length:3\n\na\0b\0\n"s, d + "content-length:3\ncontent-type:application/octet-stream\n\na\0b\0\n"s},
      {"broken",
       [](ISession& s) {
         auto m = s.CreateTextMessage("hi");
         m->SetJMSType("a\nb");
         return m;
       },
       "", d + "type:a\\nb\n" + text + "\nhi\0\n"s},
  };
  for (const bool v12 : {false, true}) {
    TFakeConnection f;
    if (v12) f.Speak12();
    f.StartClean();
    auto session = f.connection->CreateSession(false, AUTO_ACKNOWLEDGE);
    auto producer = session->CreateProducer(session->CreateQueue("q"));
    for (const TCase& c : cases) {
      const std::string& expected = v12 ? c.v12 : c.v10;
      f.fake->ClearTransmitted();
      if (expected.empty()) {
        EXPECT_EQ(ErrorOf<EKsStompError>([&] { producer->Send(c.make(*session)); }),
                  "Invalid character in value of header type")
            << c.name;
        EXPECT_TRUE(f.fake->Transmitted().empty()) << c.name;
        continue;
      }
      producer->Send(c.make(*session));
      ASSERT_EQ(f.fake->Transmitted().size(), 1u) << c.name;
      EXPECT_EQ(f.fake->Transmitted()[0].Bytes, expected) << c.name << (v12 ? " 1.2" : " 1.0");
    }
    // Persistent, with a priority and a time to live, inside a transaction.
    auto transacted = f.connection->CreateSession(true, AUTO_ACKNOWLEDGE);
    auto other = transacted->CreateProducer(transacted->CreateQueue("q"));
    f.fake->ClearTransmitted();
    other->Send(transacted->CreateTextMessage("hi"), TDeliveryMode::Persistent, 7, 0);
    EXPECT_EQ(f.fake->Transmitted().back().Bytes,
              d + "persistent:true\npriority:7\ntransaction:tx0\n" + (v12 ? text : "") + "\nhi\0\n"s);
  }
}

TEST(Session, AProducersHeadWrittenOnceFollowsTheVersionAndLeavesAnEscapedDestinationToTheGeneralRules) {
  // A producer writes the head of its usual send once per version family;
  // a destination that needs an escape under the version in use is written
  // by the general rules instead, and a message with a field set never
  // takes the head.
  const std::string text = "content-type:text/plain;charset=UTF-8\n";
  for (const bool v12 : {false, true}) {
    TFakeConnection f;
    if (v12) f.Speak12();
    f.StartClean();
    auto session = f.connection->CreateSession(false, AUTO_ACKNOWLEDGE);
    auto plain = session->CreateProducer(session->CreateQueue("q"));
    auto colon = session->CreateProducer(session->CreateQueue("a:b"));
    f.fake->ClearTransmitted();
    colon->Send(session->CreateTextMessage("x"));
    plain->Send(session->CreateTextMessage("y"));
    auto typed = session->CreateTextMessage("z");
    typed->SetJMSType("t");
    plain->Send(typed);
    plain->Send(session->CreateTextMessage("w"));
    const std::string ct = v12 ? text : "";
    const std::vector<std::string> expected = {
        "SEND\ndestination:jms.queue.a" + std::string(v12 ? "\\c" : ":") + "b\n" + ct + "\nx\0\n"s,
        "SEND\ndestination:jms.queue.q\n" + ct + "\ny\0\n"s,
        "SEND\ndestination:jms.queue.q\ntype:t\n" + ct + "\nz\0\n"s,
        "SEND\ndestination:jms.queue.q\n" + ct + "\nw\0\n"s,
    };
    ASSERT_EQ(f.fake->Transmitted().size(), expected.size()) << (v12 ? "1.2" : "1.0");
    for (std::size_t i = 0; i < expected.size(); ++i) {
      EXPECT_EQ(f.fake->Transmitted()[i].Bytes, expected[i]) << i << (v12 ? " 1.2" : " 1.0");
    }
  }
}

TEST(Dispatch, AmongManyConsumersEveryMessageReachesItsOwnWhileConsumersComeAndGo) {
  // The consumer of a subscription is looked up in an index that is renewed
  // when consumers change: a change it misses sends a message astray.
  TFakeConnection f;
  f.StartClean();
  struct TOne {
    std::shared_ptr<ISession> session;
    std::shared_ptr<IMessageConsumer> consumer;
    std::shared_ptr<TCollector> listener = std::make_shared<TCollector>();
    std::string id;
  };
  auto Make = [](const std::shared_ptr<ISession>& session) {
    TOne one;
    one.session = session;
    one.consumer = session->CreateConsumer(session->CreateQueue("q"));
    one.consumer->SetMessageListener(one.listener);
    one.id = std::dynamic_pointer_cast<IConsumerIdentity>(one.consumer)->GetConsumerID().GetID();
    return one;
  };
  std::vector<TOne> ones;
  std::vector<std::shared_ptr<ISession>> sessions;
  for (int s = 0; s < 3; ++s) {
    sessions.push_back(f.connection->CreateSession(false, AUTO_ACKNOWLEDGE));
    for (int c = 0; c < 40; ++c) ones.push_back(Make(sessions.back()));
  }
  auto Deliver = [&](const std::string& subscription) {
    auto message = TKsJMSTextMessage::Create(f.connection.get());
    message->SetStringProperty("subscription", subscription);
    f.connection->Dispatch(message, nullptr);
  };
  // Handed out in turn, as a broker does, twice round.
  for (int round = 0; round < 2; ++round) {
    for (const TOne& one : ones) Deliver(one.id);
  }
  for (const TOne& one : ones) ASSERT_EQ(one.listener->Count(), 2u) << one.id;
  // Every third consumer closes, the last session goes, new consumers come,
  // all between two messages.
  std::vector<TOne> gone;
  std::vector<TOne> kept;
  for (std::size_t i = 0; i < ones.size(); ++i) {
    if (i % 3 == 0 || ones[i].session == sessions[2]) {
      gone.push_back(ones[i]);
    } else {
      kept.push_back(ones[i]);
    }
  }
  for (std::size_t i = 0; i < gone.size(); i += 3) gone[i].consumer->Close();
  sessions[2]->Close();
  for (int c = 0; c < 10; ++c) kept.push_back(Make(sessions[c % 2]));
  for (const TOne& one : gone) {
    if (one.session != sessions[2]) one.consumer->Close();
  }
  for (const TOne& one : ones) Deliver(one.id);
  for (const TOne& one : kept) Deliver(one.id);
  for (const TOne& one : gone) EXPECT_EQ(one.listener->Count(), 2u) << one.id;
  for (std::size_t i = 0; i < kept.size(); ++i) {
    EXPECT_EQ(kept[i].listener->Count(), i < kept.size() - 10 ? 4u : 1u) << kept[i].id;
  }
  // Closed, they need no pause each when the connection stops.
  for (const TOne& one : kept) one.consumer->Close();
}

TEST(Dispatch, AClosedConsumerGetsNothingMoreEvenRightAfterAMessage) {
  // Routing remembers the consumer it found last; closing that consumer
  // must end its deliveries at once, though the application still holds it.
  TFakeConnection f;
  f.StartClean();
  auto session = f.connection->CreateSession(false, AUTO_ACKNOWLEDGE);
  auto consumer = session->CreateConsumer(session->CreateQueue("q"));
  auto listener = std::make_shared<TCollector>();
  consumer->SetMessageListener(listener);
  const std::string id = std::dynamic_pointer_cast<IConsumerIdentity>(consumer)->GetConsumerID().GetID();
  auto Incoming = [&] {
    auto message = TKsJMSTextMessage::Create(f.connection.get());
    message->SetStringProperty("subscription", id);
    return message;
  };
  f.connection->Dispatch(Incoming(), nullptr);
  ASSERT_EQ(listener->Count(), 1u);
  consumer->Close();
  f.connection->Dispatch(Incoming(), nullptr);
  EXPECT_EQ(listener->Count(), 1u);
  EXPECT_EQ(f.connection->HeldCount(), 0u);
}

TEST(Dispatch, AListenerReplacedWhileItRunsIsReleasedWhenItReturnsAndNotBefore) {
  // The application keeps no reference to these listeners: the consumer's
  // is the only one, so each goes as soon as the library lets it go.
  TFakeConnection f;
  f.StartClean();
  auto session = f.connection->CreateSession(false, AUTO_ACKNOWLEDGE);
  auto consumer = session->CreateConsumer(session->CreateQueue("q"));
  const std::string id = std::dynamic_pointer_cast<IConsumerIdentity>(consumer)->GetConsumerID().GetID();
  auto Incoming = [&] {
    auto message = TKsJMSTextMessage::Create(f.connection.get());
    message->SetStringProperty("subscription", id);
    return message;
  };
  struct TWatched : IMessageListener {
    TWatched(std::atomic<bool>& gone, std::function<void()> run) : gone_(gone), run_(std::move(run)) {}
    ~TWatched() override { gone_ = true; }
    void OnMessage(const std::shared_ptr<IMessage>&) override { run_(); }
    std::atomic<bool>& gone_;
    std::function<void()> run_;
  };
  auto WaitFor = [](const std::atomic<bool>& flag) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (!flag && std::chrono::steady_clock::now() < deadline) {
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
  };

  // Replaced from inside itself.
  std::atomic<bool> firstGone{false};
  bool firstGoneWhileRunning = true;
  auto next = std::make_shared<TCollector>();
  consumer->SetMessageListener(std::make_shared<TWatched>(firstGone, [&] {
    consumer->SetMessageListener(next);
    firstGoneWhileRunning = firstGone;
  }));
  f.connection->Dispatch(Incoming(), nullptr);
  EXPECT_FALSE(firstGoneWhileRunning);
  EXPECT_TRUE(firstGone);
  f.connection->Dispatch(Incoming(), nullptr);
  EXPECT_EQ(next->Count(), 1u);

  // Removed from another thread while it runs.
  std::atomic<bool> secondGone{false};
  std::atomic<bool> running{false};
  std::atomic<bool> removed{false};
  bool secondGoneWhileRunning = true;
  consumer->SetMessageListener(std::make_shared<TWatched>(secondGone, [&] {
    running = true;
    WaitFor(removed);
    secondGoneWhileRunning = secondGone;
  }));
  std::thread remover([&] {
    WaitFor(running);
    consumer->SetMessageListener(nullptr);
    removed = true;
  });
  f.connection->Dispatch(Incoming(), nullptr);
  remover.join();
  EXPECT_TRUE(removed);
  EXPECT_FALSE(secondGoneWhileRunning);
  EXPECT_TRUE(secondGone);

  // One that raises; replaced afterwards, while nothing runs, it goes at once.
  std::atomic<bool> thirdGone{false};
  consumer->SetMessageListener(std::make_shared<TWatched>(thirdGone, [] { throw Exception("refused"); }));
  EXPECT_THROW(f.connection->Dispatch(Incoming(), nullptr), Exception);
  EXPECT_FALSE(thirdGone);
  consumer->SetMessageListener(next);
  EXPECT_TRUE(thirdGone);
  f.connection->Dispatch(Incoming(), nullptr);
  EXPECT_EQ(next->Count(), 2u);
}

TEST(Session, DurableSubscriberRefusalsAndUnsubscribe) {
  TFakeConnection f;
  f.StartClean();
  auto session = f.connection->CreateSession(false, AUTO_ACKNOWLEDGE);
  auto topic = session->CreateTopic("prices");
  EXPECT_EQ(ErrorOf<EJMSException>([&] { session->CreateDurableSubscriber(topic, "N"); }),
            "You cannot create a durable subscriber without specifying a unique clientID on a Connection");
  f.connection->SetClientID("M");
  EXPECT_EQ(ErrorOf<EJMSException>([&] { session->CreateDurableSubscriber(topic, "N"); }),
            "You must specify the same clientId on the connection and subcriptionName on the subscribe");
  EXPECT_EQ(f.fake->TransmitCount(), 0u);

  TFakeConnection g;
  g.connection->SetClientID("N");
  g.StartClean();
  auto durableSession = g.connection->CreateSession(false, AUTO_ACKNOWLEDGE);
  auto durableTopic = durableSession->CreateTopic("prices");
  auto subscriber = durableSession->CreateDurableSubscriber(durableTopic, "N");
  auto frame = g.Last();
  EXPECT_EQ(frame->GetCommand(), "SUBSCRIBE");
  EXPECT_EQ(frame->GetHeader("destination"), "jms.topic.prices");
  EXPECT_EQ(frame->GetHeader("activemq.subscriptionName"), "N");
  EXPECT_EQ(frame->GetHeader("id"), std::dynamic_pointer_cast<IConsumerIdentity>(subscriber)->GetConsumerID().GetID());
  EXPECT_EQ(subscriber->GetTopic(), durableTopic);
  EXPECT_FALSE(subscriber->GetNoLocal());
  durableSession->Unsubscribe("jms.topic.prices", "N");
  frame = g.Last();
  EXPECT_EQ(frame->GetCommand(), "UNSUBSCRIBE");
  EXPECT_EQ(frame->GetHeader("destination"), "jms.topic.prices");
  EXPECT_EQ(frame->GetHeader("activemq.subscriptionName"), "N");
  EXPECT_EQ(ErrorOf<EJMSException>([&] { durableSession->CreateTemporaryQueue(); }), "Feature not supported");
  EXPECT_EQ(ErrorOf<EJMSException>([&] { durableSession->CreateTemporaryTopic(); }), "Feature not supported");
}

// The other dialects write the brokers' own names and durable-subscription
// frames; an unknown dialect is refused before any connection is made.
TEST(Session, DialectsWriteTheBrokersOwnNamesAndDurableFrames) {
  TKsJMSConnectionFactory factory("", "", "stomp://localhost:1?dialect=qpid");
  EXPECT_EQ(ErrorOf<EIllegalArgumentException>([&] { factory.CreateConnection(); }),
            "Invalid dialect \"qpid\": jms, activemq or rabbitmq");

  TFakeConnection amq;
  amq.connection->GetClient().SetDialect(TKsDialect::ActiveMQ);
  amq.connection->SetClientID("N");
  amq.StartClean();
  auto session = amq.connection->CreateSession(false, AUTO_ACKNOWLEDGE);
  session->CreateConsumer(session->CreateQueue("orders"), "", true);
  EXPECT_EQ(amq.Last()->GetHeader("destination"), "/queue/orders");
  EXPECT_EQ(amq.Last()->GetHeader("activemq.noLocal"), "true");
  session->CreateDurableSubscriber(session->CreateTopic("prices"), "N");
  EXPECT_EQ(amq.Last()->GetHeader("destination"), "/topic/prices");
  EXPECT_EQ(amq.Last()->GetHeader("activemq.subscriptionName"), "N");

  TFakeConnection rabbit;
  rabbit.connection->GetClient().SetDialect(TKsDialect::RabbitMQ);
  rabbit.connection->SetClientID("N");
  rabbit.StartClean();
  session = rabbit.connection->CreateSession(false, AUTO_ACKNOWLEDGE);
  auto producer = session->CreateProducer(session->CreateQueue("orders"));
  producer->SetTimeToLive(60000);
  auto message = session->CreateTextMessage("x");
  message->SetJMSReplyTo(session->CreateTopic("answers"));
  producer->Send(message);
  auto frame = rabbit.Last();
  EXPECT_EQ(frame->GetHeader("destination"), "/queue/orders");
  EXPECT_EQ(frame->GetHeader("expiration"), "60000");
  EXPECT_EQ(frame->GetHeader("expires"), "");
  EXPECT_EQ(frame->GetHeader("reply-to"), "/topic/answers");
  EXPECT_EQ(ErrorOf<EUnsupportedOperationException>(
                [&] { session->CreateConsumer(session->CreateTopic("t"), "", true); }),
            "RabbitMQ cannot hold back a connection's own messages (noLocal)");
  auto subscriber = session->CreateDurableSubscriber(session->CreateTopic("prices"), "N");
  frame = rabbit.Last();
  EXPECT_EQ(frame->GetHeader("destination"), "/topic/prices");
  EXPECT_EQ(frame->GetHeader("id"), "N");
  EXPECT_EQ(frame->GetHeader("durable"), "true");
  EXPECT_EQ(frame->GetHeader("auto-delete"), "false");
  EXPECT_EQ(frame->GetHeader("activemq.subscriptionName"), "");
  // Closing detaches; Unsubscribe opens the subscription again and removes
  // it with "durable:true", confirmed by a receipt.
  subscriber->Close();
  EXPECT_EQ(rabbit.Last()->GetCommand(), "UNSUBSCRIBE");
  EXPECT_EQ(rabbit.Last()->GetHeader("id"), "N");
  EXPECT_EQ(rabbit.Last()->GetHeader("durable"), "");
  rabbit.fake->ClearTransmitted();
  session->Unsubscribe("/topic/prices", "N");
  auto frames = rabbit.Frames();
  ASSERT_EQ(frames.size(), 2u);
  EXPECT_EQ(frames[0]->GetCommand(), "SUBSCRIBE");
  EXPECT_EQ(frames[0]->GetHeader("id"), "N");
  EXPECT_EQ(frames[0]->GetHeader("durable"), "true");
  EXPECT_EQ(frames[1]->GetCommand(), "UNSUBSCRIBE");
  EXPECT_EQ(frames[1]->GetHeader("id"), "N");
  EXPECT_EQ(frames[1]->GetHeader("durable"), "true");
  EXPECT_FALSE(frames[1]->GetHeader("receipt").empty());
}

TEST(Session, IndividualAcknowledgementNeedsOneOneAndAcknowledgesThatMessageAlone) {
  TFakeConnection old;
  old.StartClean();
  auto refused = old.connection->CreateSession(false, INDIVIDUAL_ACKNOWLEDGE);
  EXPECT_EQ(ErrorOf<EUnsupportedOperationException>([&] { refused->CreateConsumer(refused->CreateQueue("q")); }),
            "INDIVIDUAL_ACKNOWLEDGE needs STOMP 1.1 or later, and this connection speaks STOMP 1.0 (see the URI "
            "parameter acceptVersion)");

  TFakeConnection modern;
  modern.Speak12();
  modern.StartClean();
  auto session = modern.connection->CreateSession(false, INDIVIDUAL_ACKNOWLEDGE);
  auto consumer = session->CreateConsumer(session->CreateQueue("q"));
  ASSERT_EQ(modern.Last()->GetCommand(), "SUBSCRIBE");
  EXPECT_EQ(modern.Last()->GetHeader("ack"), "client-individual");
  const std::string id = modern.Last()->GetHeader("id");
  modern.fake->QueueFrame("MESSAGE\ndestination:jms.queue.q\nmessage-id:m1\nsubscription:" + id +
                          "\nack:a-1\n\none\0\n");
  auto message = consumer->Receive(1000);
  ASSERT_TRUE(message);
  modern.fake->ClearTransmitted();
  message->Acknowledge();
  ASSERT_EQ(modern.Frames().size(), 1u);
  EXPECT_EQ(modern.fake->LastBytes(), "ACK\nid:a-1\n\n\0\n"s);
}

TEST(Session, CloseDisposesConsumersAndProducers) {
  TFakeConnection never;
  auto idle = never.connection->CreateSession(false, AUTO_ACKNOWLEDGE);
  idle->Close();  // not started: stays open
  EXPECT_NO_THROW(idle->CreateQueue("q"));

  TFakeConnection f;
  f.StartClean();
  auto session = f.connection->CreateSession(true, AUTO_ACKNOWLEDGE);
  auto consumer = session->CreateConsumer(session->CreateQueue("q"));
  auto producer = session->CreateProducer(session->CreateQueue("q"));
  std::weak_ptr<ISession> weak = session;
  f.fake->ClearTransmitted();
  const int stops = f.fake->StopCalls();
  session->Close();
  EXPECT_EQ(f.Commands(), (std::vector<std::string>{"ABORT", "BEGIN"}));  // rollback; no UNSUBSCRIBE
  EXPECT_GT(f.fake->StopCalls(), stops);
  EXPECT_EQ(ErrorOf<EIllegalStateException>([&] { session->CreateQueue("x"); }), "The session is closed");
  EXPECT_EQ(ErrorOf<EIllegalStateException>([&] { session->Commit(); }), "The session is closed");
  EXPECT_EQ(ErrorOf<EIllegalStateException>([&] { producer->Send(session->CreateTextMessage("x")); }),
            "The session is closed");
  EXPECT_EQ(ErrorOf<EIllegalStateException>([&] { producer->GetPriority(); }), "The producer is closed");
  EXPECT_NO_THROW(session->Close());
  EXPECT_EQ(session->GetAcknowledgeMode(), SESSION_TRANSACTED);
  session.reset();
  EXPECT_FALSE(weak.expired());  // its consumer and producer keep it
  consumer.reset();
  producer.reset();
  EXPECT_TRUE(weak.expired());  // the connection let go of it
}


// ---- Batched sending ------------------------------------------------------

// Each write the transport saw, as the "COMMAND body" texts of the frames in
// it, in order.
std::vector<std::vector<std::string>> WrittenFrames(const test::TKsFakeAdapter& fake) {
  std::vector<std::vector<std::string>> writes;
  for (const auto& record : fake.Transmitted()) {
    std::vector<std::string> frames;
    std::size_t from = 0;
    while (from < record.Bytes.size()) {
      const std::size_t end = record.Bytes.find(std::string("\0\n", 2), from);
      if (end == std::string::npos) {
        frames.push_back("<cut frame>");
        break;
      }
      auto frame = TKsStompFrame::Parse(record.Bytes.substr(from, end + 2 - from));
      frames.push_back(frame->GetCommand() + " " + frame->GetBody().substr(0, 12));
      from = end + 2;
    }
    writes.push_back(frames);
  }
  return writes;
}

TEST(BatchSend, SendsAreHeldAndWrittenBeforeEveryOtherFrameInTheOrderOfTheCalls) {
  TFakeConnection c;
  c.connection->SetBatchSend(true, 60000);  // only the other triggers write here, never the timer
  auto transacted = c.connection->CreateSession(true, AUTO_ACKNOWLEDGE);
  auto plain = c.connection->CreateSession(false, AUTO_ACKNOWLEDGE);
  c.StartClean();
  auto queue = plain->CreateQueue("q");
  auto consumer = plain->CreateConsumer(queue);
  auto inTransaction = transacted->CreateProducer(queue);
  auto producer = plain->CreateProducer(queue);
  c.fake->ClearTransmitted();
  using W = std::vector<std::vector<std::string>>;

  inTransaction->Send(transacted->CreateTextMessage("one"));
  inTransaction->Send(transacted->CreateTextMessage("two"));
  EXPECT_EQ(c.fake->TransmitCount(), 0u) << "sends are held";
  transacted->Commit();
  EXPECT_EQ(WrittenFrames(*c.fake), (W{{"SEND one", "SEND two"}, {"COMMIT "}, {"BEGIN "}}));

  c.fake->ClearTransmitted();
  producer->Send(plain->CreateTextMessage("three"));
  EXPECT_FALSE(consumer->ReceiveNoWait());
  const std::string big(70 * 1024, 'b');
  producer->Send(plain->CreateTextMessage("four"));
  producer->Send(plain->CreateTextMessage(big));  // larger than the buffer: written on its own
  EXPECT_EQ(WrittenFrames(*c.fake), (W{{"SEND three"}, {"SEND four"}, {"SEND bbbbbbbbbbbb"}}));

  // A full buffer is written at once, in whole frames, each write within
  // the buffer's size.
  c.fake->ClearTransmitted();
  const std::string filler(300, 'f');
  for (int i = 0; i < 400; ++i) producer->Send(plain->CreateTextMessage(std::to_string(1000 + i) + filler));
  const auto full = c.fake->Transmitted();
  ASSERT_GE(full.size(), 2u);
  std::vector<std::string> bodies;
  for (const auto& write : WrittenFrames(*c.fake)) {
    for (const auto& frame : write) bodies.push_back(frame.substr(5, 4));
  }
  for (const auto& record : full) EXPECT_LE(record.Bytes.size(), 64u * 1024u);
  c.connection->Close();
  const auto last = WrittenFrames(*c.fake);
  for (const auto& frame : last[last.size() - 2]) bodies.push_back(frame.substr(5, 4));
  ASSERT_EQ(bodies.size(), 400u);
  for (int i = 0; i < 400; ++i) EXPECT_EQ(bodies[static_cast<std::size_t>(i)], std::to_string(1000 + i));
  EXPECT_EQ(last.back(), std::vector<std::string>{"DISCONNECT "}) << "what is held goes before DISCONNECT";
}

TEST(BatchSend, AFailedBatchWriteReachesTheExceptionListenerAndTheNextCall) {
  TFakeConnection c;
  c.connection->SetBatchSend(true, 1);
  auto watch = std::make_shared<TCollector>();
  c.connection->SetExceptionListener(watch);
  auto session = c.connection->CreateSession(false, AUTO_ACKNOWLEDGE);
  auto producer = session->CreateProducer(session->CreateQueue("q"));
  c.StartClean();
  c.fake->SetTransmitError("Socket Error # 104\r\nConnection reset by peer.");
  producer->Send(session->CreateTextMessage("held"));  // returns before the write
  ASSERT_TRUE(test::WaitUntil([&] { return !watch->Errors().empty(); }, std::chrono::seconds(10)))
      << "the failed write was never reported";
  const std::string expected =
      "The JMS connection has failed due to a Transport problem: Socket Error # 104\r\nConnection reset by peer. (1 "
      "message that Send had accepted was not written)";
  const auto first = watch->Errors()[0];
  EXPECT_EQ(first.text, expected);
  EXPECT_TRUE(first.lost);
  EXPECT_NE(first.thread, std::this_thread::get_id());
  EXPECT_EQ(ErrorOf<EConnectionFailedException>([&] { producer->Send(session->CreateTextMessage("next")); }),
            expected);
  c.connection->Close();
}

}  // namespace
}  // namespace ks
