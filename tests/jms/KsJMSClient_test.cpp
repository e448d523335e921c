#include "jms/KsJMSClient.hpp"

#include <gtest/gtest.h>

#include "tests/common/KsTestUtil.hpp"

#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "jms/KsJMSMessage.hpp"
#include "jms/KsURI.hpp"
#include "jms/KsQueue.hpp"
#include "jms/KsTopic.hpp"
#include "stomp/KsAdapterRegistry.hpp"
#include "stomp/KsCommAdapterIndy.hpp"
#include "support/KsLog.hpp"
#include "tests/common/KsFakeAdapter.hpp"

using namespace ks;
using namespace std::string_literals;
using ks::test::TKsFakeAdapter;

using ks::test::ErrorOf;

namespace {

const std::string& kConnected = test::kConnectedFrame;

// A logged-in messaging client on a fake adapter that records the messages
// handed to its callback.
struct Fixture {
  std::unique_ptr<TKsJMSClient> client;
  TKsFakeAdapter* adapter = nullptr;
  std::vector<std::shared_ptr<IMessage>> delivered;

  Fixture() {
    RegisterTcpAdapter();
    client = std::make_unique<TKsJMSClient>();
    client->GetLogger()->SetConsoleOutput(false);
    auto owned = std::make_unique<TKsFakeAdapter>();
    adapter = owned.get();
    client->SetAdapter(std::move(owned));
    client->SetMessageCallback(
        [this](TKsJMSClient*, std::shared_ptr<IMessage>&& message, const std::string_view*) {
          delivered.push_back(message);
        });
    adapter->SetConnectReply(kConnected);
    client->Connect();
    adapter->ClearTransmitted();
  }

  std::string SendText(const std::shared_ptr<TKsJMSTextMessage>& message) {
    client->Send(*message, "jms.queue.q", -1);
    return adapter->LastBytes();
  }
};

std::shared_ptr<TKsJMSTextMessage> Text(const std::string& text) {
  auto m = TKsJMSTextMessage::Create(nullptr);
  m->SetText(text);
  return m;
}


}  // namespace

TEST(JMSClient, ConstructionNeedsARegisteredAdapterClass) {
  ResetAdapterRegistryForTests();
  EXPECT_EQ(ErrorOf<EKsNoCommAdapterInstalled>([] { TKsJMSClient client; }), "No communication adapter registered");
  RegisterTcpAdapter();
  TKsJMSClient client;
  ASSERT_NE(client.GetAdapter(), nullptr);
  EXPECT_EQ(client.GetURI()->GetURI(), "stomp://127.0.0.1:61613");
}

TEST(JMSClient, BodiesByMessageClass) {
  Fixture f;
  EXPECT_EQ(f.SendText(Text("abc")), "SEND\ndestination:jms.queue.q\n\nabc\0\n"s);

  auto bytes = TKsJMSBytesMessage::Create(nullptr);
  bytes->SetContent("a\0b"s);
  f.client->Send(*bytes, "jms.topic.t", 40);
  EXPECT_EQ(f.adapter->LastBytes(), "SEND\ndestination:jms.topic.t\ncontent-length:3\n\na\0b\0\n"s);
  EXPECT_EQ(f.adapter->Transmitted().back().SendTimeout, 40);

  auto object = TKsJMSObjectMessage::Create(nullptr);
  object->SetContent("{\"k\":1}");
  f.client->Send(*object, "jms.queue.q", -1);
  EXPECT_EQ(f.adapter->LastBytes(), "SEND\ndestination:jms.queue.q\n\n{\"k\":1}\0\n"s);

  TKsStompFrame frame;
  f.client->MessageToFrame(*bytes, frame);
  EXPECT_EQ(frame.GetBody(), "a\0b"s);
  EXPECT_EQ(frame.GetHeaderCount(), 0);

  auto plain = TKsJMSMessage::Create(nullptr);
  f.adapter->ClearTransmitted();
  EXPECT_EQ(ErrorOf<Exception>([&] { f.client->Send(*plain, "jms.queue.q", -1); }), "Unsupported JMS Message Type");
  TKsStompFrame other;
  EXPECT_EQ(ErrorOf<EJMSException>([&] { f.client->MessageToFrame(*plain, other); }), "Unsupported JMS Message Type");
  EXPECT_EQ(f.adapter->TransmitCount(), 0u);
}

TEST(JMSClient, FieldsAreWrittenOnlyWhenNotDefault) {
  Fixture f;
  auto m = Text("x");
  m->SetJMSCorrelationID("corr");
  m->SetJMSExpiration(25569.5);
  m->SetJMSDeliveryMode(TDeliveryMode::Persistent);
  m->SetJMSPriority(0);
  m->SetJMSReplyTo(TKsQueue::Create("replies"));
  m->SetJMSType("kind");
  m->SetTransactionID("tx-1");
  m->SetStringProperty("color", "red");
  m->SetStringProperty("empty", "");
  m->SetJMSMessageID("never-sent");
  m->SetJMSTimestamp(45000.0);
  m->SetJMSRedelivered(true);
  EXPECT_EQ(f.SendText(m),
            "SEND\ndestination:jms.queue.q\ncorrelation-id:corr\nexpires:43200000\npersistent:true\npriority:0\n"
            "reply-to:jms.queue.replies\ntype:kind\ntransaction:tx-1\ncolor:red\n\nx\0\n"s);

  // Priority 4 is never written; a property spelled Priority then goes out
  // as its own header, otherwise it replaces the priority value in place.
  auto four = Text("y");
  four->SetStringProperty("Priority", "8");
  EXPECT_EQ(f.SendText(four), "SEND\ndestination:jms.queue.q\nPriority:8\n\ny\0\n"s);
  auto seven = Text("y");
  seven->SetJMSPriority(7);
  seven->SetJMSType("t");
  seven->SetStringProperty("Priority", "8");
  EXPECT_EQ(f.SendText(seven), "SEND\ndestination:jms.queue.q\npriority:8\ntype:t\n\ny\0\n"s);

  // Other spellings of destination and content-length replace their values.
  auto moved = Text("z");
  moved->SetStringProperty("Destination", "jms.queue.other");
  EXPECT_EQ(f.SendText(moved), "SEND\ndestination:jms.queue.other\n\nz\0\n"s);

  auto topicReply = Text("w");
  topicReply->SetJMSReplyTo(TKsTopic::Create("news"));
  EXPECT_EQ(f.SendText(topicReply), "SEND\ndestination:jms.queue.q\nreply-to:jms.topic.news\n\nw\0\n"s);
}

TEST(JMSClient, APropertyNameWithEqualsSplitsTheEntryAtItsFirstEquals) {
  // An entry is its name, "=" and its value; a name written with "=" thus
  // gives the entry the name before its first "=", the rest going to the
  // value, on the way out and on the way in alike.
  Fixture f;
  auto m = Text("x");
  m->SetStringProperty("k=x", "v");
  EXPECT_EQ(m->GetStringProperty("k"), "x=v");
  EXPECT_EQ(f.SendText(m), "SEND\ndestination:jms.queue.q\nk:x=v\n\nx\0\n"s);
  f.adapter->QueueFrame("MESSAGE\nsubscription:s\nk=x:v\n\nb\0\n"s);
  auto in = f.client->ReceiveNoWait();
  ASSERT_TRUE(in);
  EXPECT_EQ(in->GetStringProperty("k"), "x=v");
  EXPECT_EQ(in->GetStringProperty("k=x"), "");
}

TEST(JMSClient, ReservedPropertyNamesKeepTheMessageOffTheWire) {
  Fixture f;
  for (const char* name : {"priority", "content-length", "activemq.noLocal", "destination", "transformation"}) {
    auto m = Text("x");
    m->SetStringProperty(name, "1");
    EXPECT_EQ(ErrorOf<EKsReservedProperty>([&] { f.client->Send(*m, "jms.queue.q", -1); }),
              std::string(name) + " is a reserved property name");
  }
  EXPECT_EQ(f.adapter->TransmitCount(), 0u);
  EXPECT_NO_THROW(TKsJMSClient::CheckReservedPropertyName("Content-Length"));
  EXPECT_NO_THROW(TKsJMSClient::CheckReservedPropertyName("receipt"));
  EXPECT_THROW(TKsJMSClient::CheckReservedPropertyName("activemq."), EKsReservedProperty);
}

TEST(JMSClient, WireTimesAndDestinationNames) {
  EXPECT_EQ(TKsJMSClient::DateTimeToWire(25569.0), 0);
  EXPECT_EQ(TKsJMSClient::DateTimeToWire(25569.5), 43200000);
  EXPECT_EQ(TKsJMSClient::DateTimeToWire(25568.0), -86400000);
  EXPECT_EQ(TKsJMSClient::DateTimeToWire(25569.0 + 1.4 / 86400), 1000);
  EXPECT_EQ(TKsJMSClient::DateTimeToWire(25569.0 + 1.6 / 86400), 2000);
  EXPECT_EQ(TKsJMSClient::DateTimeToWire(1e300), TKsJMSClient::DateTimeToWire(1e301));  // clamped, no overflow
  EXPECT_DOUBLE_EQ(TKsJMSClient::WireToDateTime(1999), 25569.0 + 1.0 / 86400);
  EXPECT_DOUBLE_EQ(TKsJMSClient::WireToDateTime(-1999), 25569.0 - 1.0 / 86400);
  EXPECT_DOUBLE_EQ(TKsJMSClient::WireToDateTime(0), 25569.0);

  EXPECT_EQ(TKsJMSClient::GetDestinationName(nullptr), "");
  EXPECT_EQ(TKsJMSClient::GetDestinationName(TKsQueue::Create("a.b")), "jms.queue.a.b");
  EXPECT_EQ(TKsJMSClient::GetDestinationName(TKsTopic::Create("t")), "jms.topic.t");
  auto topic = std::dynamic_pointer_cast<ITopic>(TKsJMSClient::CreateDestinationFromStompName("jms.topic."));
  ASSERT_TRUE(topic);
  EXPECT_EQ(topic->GetTopicName(), "");
  auto queue = std::dynamic_pointer_cast<IQueue>(TKsJMSClient::CreateDestinationFromStompName("jms.queue.replies"));
  ASSERT_TRUE(queue);
  EXPECT_EQ(queue->GetQueueName(), "replies");
  // Names in a broker's own form keep their exact text on the wire, so a
  // reply reaches exactly the name it came with.
  struct TForeign {
    const char* wire;
    bool topic;
    const char* plain;
  };
  for (const TForeign& f : {TForeign{"/queue/a", false, "a"}, TForeign{"/topic/t.1", true, "t.1"},
                            TForeign{"/temp-queue/tq", false, "tq"}, TForeign{"/temp-topic/tt", true, "tt"},
                            TForeign{"/reply-queue/jms.queue.X", false, "jms.queue.X"},
                            TForeign{"/exchange/amq.topic/k", true, "amq.topic/k"},
                            TForeign{"/amq/queue/aq", false, "aq"}, TForeign{"plain", false, "plain"}}) {
    auto d = TKsJMSClient::CreateDestinationFromStompName(f.wire);
    ASSERT_TRUE(d) << f.wire;
    EXPECT_EQ(TKsJMSClient::GetDestinationName(d), f.wire);
    if (f.topic) {
      ASSERT_TRUE(std::dynamic_pointer_cast<ITopic>(d)) << f.wire;
      EXPECT_EQ(std::dynamic_pointer_cast<ITopic>(d)->GetTopicName(), f.plain);
    } else {
      ASSERT_TRUE(std::dynamic_pointer_cast<IQueue>(d)) << f.wire;
      EXPECT_EQ(std::dynamic_pointer_cast<IQueue>(d)->GetQueueName(), f.plain);
    }
  }
}

TEST(JMSClient, IncomingMessageFramesBecomeTextMessages) {
  Fixture f;
  f.adapter->QueueFrame(
      "MESSAGE\ndestination:jms.queue.q\nmessage-id:ID:1\nsubscription:sub-1\npriority:abc\npersistent:TRUE\n"
      "reply-to:jms.queue.replies\nredelivered:true\ntimestamp:1999\ntype:kind\ncorrelation-id:c\n"
      "content-length:4\nx-custom:v\n\nb\0\xFFz\0\n"s);
  std::shared_ptr<IMessage> m = f.client->ReceiveNoWait();
  EXPECT_EQ(f.adapter->LastRead(), "PollFrame");
  ASSERT_TRUE(m);
  ASSERT_EQ(f.delivered.size(), 1u);
  EXPECT_EQ(f.delivered[0], m);

  auto text = std::dynamic_pointer_cast<ITextMessage>(m);
  ASSERT_TRUE(text);
  EXPECT_EQ(text->GetText(), "b\0\xFFz"s);
  EXPECT_EQ(m->GetJMSMessageID(), "ID:1");
  EXPECT_EQ(m->GetJMSCorrelationID(), "c");
  EXPECT_EQ(m->GetJMSType(), "kind");
  EXPECT_EQ(m->GetJMSPriority(), 4);
  EXPECT_EQ(m->GetJMSDeliveryMode(), TDeliveryMode::NonPersistent);
  EXPECT_TRUE(m->GetJMSRedelivered());
  EXPECT_DOUBLE_EQ(m->GetJMSExpiration(), 25569.0);
  EXPECT_DOUBLE_EQ(m->GetJMSTimestamp(), 25569.0 + 1.0 / 86400);
  auto replyTo = std::dynamic_pointer_cast<IQueue>(m->GetJMSReplyTo());
  ASSERT_TRUE(replyTo);
  EXPECT_EQ(replyTo->GetQueueName(), "replies");
  EXPECT_EQ(m->GetStringProperty("subscription"), "sub-1");
  EXPECT_EQ(m->GetStringProperty("content-length"), "4");
  EXPECT_EQ(m->GetStringProperty("x-custom"), "v");
  TStringArray names = m->GetPropertyNames();
  EXPECT_EQ(names, (TStringArray{"subscription", "content-length", "x-custom"}));

  // Sent on, a received message leaves out what the broker added on
  // delivery and keeps its own fields and properties.
  f.adapter->ClearTransmitted();
  f.client->Send(dynamic_cast<const TKsJMSMessage&>(*m), "jms.queue.q", -1);
  EXPECT_EQ(f.adapter->LastBytes(),
            "SEND\ndestination:jms.queue.q\ncorrelation-id:c\nexpires:0\nreply-to:jms.queue.replies\ntype:kind\n"
            "x-custom:v\n\nb\0\xFFz\0\n"s);

  // The three receive steps use their own adapter read; a frame that is not
  // a MESSAGE gives no message.
  f.adapter->QueueFrame("MESSAGE\npersistent:true\nexpires:5000\n\nok\0\n"s);
  m = f.client->Receive();
  EXPECT_EQ(f.adapter->LastRead(), "WaitForFrame");
  ASSERT_TRUE(m);
  EXPECT_EQ(m->GetJMSDeliveryMode(), TDeliveryMode::Persistent);
  EXPECT_DOUBLE_EQ(m->GetJMSExpiration(), 25569.0 + 5.0 / 86400);
  EXPECT_TRUE(m->GetPropertyNames().empty());
  // A single property (the usual "subscription" alone) takes a way of its own.
  f.adapter->QueueFrame("MESSAGE\nmessage-id:ID:2\ndestination:/queue/q\nsubscription:sub-2\ntype:t\n\nok\0\n"s);
  m = f.client->Receive();
  ASSERT_TRUE(m);
  EXPECT_EQ(m->GetJMSMessageID(), "ID:2");
  EXPECT_EQ(m->GetPropertyNames(), (TStringArray{"subscription"}));
  EXPECT_EQ(m->GetStringProperty("subscription"), "sub-2");
  f.adapter->QueueFrame("RECEIPT\nreceipt-id:1\n\n\0\n"s);
  EXPECT_FALSE(f.client->Receive(150));
  EXPECT_EQ(f.adapter->LastRead(), "ReceiveFrame");
  EXPECT_EQ(f.adapter->LastReceiveTimeout(), 150);
  EXPECT_FALSE(f.adapter->LastRaiseOnTimeout());
  EXPECT_FALSE(f.client->ReceiveNoWait());  // nothing queued
  EXPECT_EQ(f.delivered.size(), 3u);
}

// A received message is made whole in one step when its body and its id
// and properties fit in the message's own room, and completed after when
// they do not: either way every value reads the same, sizes at the edges
// included.
TEST(JMSClient, ReceivedMessagesLargerThanTheInlineRoomReadWhole) {
  Fixture f;
  for (const std::size_t bodySize : {0u, 255u, 256u, 257u, 1000u}) {
    for (const std::size_t valueSize : {1u, 40u, 80u, 200u}) {
      std::string body(bodySize, 'b');
      if (bodySize > 0) body.back() = '\0';
      const std::string value(valueSize, 'v');
      const std::string id = "ID:" + std::string(valueSize / 2, 'i');
      f.adapter->QueueFrame("MESSAGE\ndestination:/queue/q\nmessage-id:" + id + "\nsubscription:" + value +
                            "\nx-one:" + value + "1\ncorrelation-id:c" + value + "\ncontent-length:" +
                            std::to_string(bodySize) + "\n\n" + body + "\0\n"s);
      std::shared_ptr<IMessage> m = f.client->ReceiveNoWait();
      ASSERT_TRUE(m) << bodySize << " " << valueSize;
      EXPECT_EQ(std::dynamic_pointer_cast<ITextMessage>(m)->GetText(), body);
      EXPECT_EQ(m->GetJMSMessageID(), id);
      EXPECT_EQ(m->GetJMSCorrelationID(), "c" + value);
      EXPECT_EQ(m->GetPropertyNames(), (TStringArray{"subscription", "x-one", "content-length"}));
      EXPECT_EQ(m->GetStringProperty("subscription"), value);
      EXPECT_EQ(m->GetStringProperty("x-one"), value + "1");
      EXPECT_EQ(m->GetIntProperty("content-length"), static_cast<std::int32_t>(bodySize));
      m->SetStringProperty("x-two", "2");
      EXPECT_EQ(m->GetStringProperty("x-two"), "2");
      EXPECT_EQ(m->GetJMSMessageID(), id);
    }
  }
}

// A received timestamp reads exactly as the wire rule reads its text, for
// every length and form of it, on the message and on copies of it, until
// the application sets a value of its own.
TEST(JMSClient, ReceivedTimestampsReadAsTheirWireText) {
  Fixture f;
  struct TCase {
    const char* text;
    std::int64_t millis;
  };
  for (const TCase& c : {TCase{"1700000000123", 1700000000123}, TCase{"123456789", 123456789},
                         TCase{"1234567890123456", 1234567890123456}, TCase{"12345678901234567", 12345678901234567},
                         TCase{"0000000001999", 1999}, TCase{"-1700000000123", -1700000000123},
                         TCase{"17000000001x3", 0}, TCase{"12345678", 12345678}}) {
    f.adapter->QueueFrame("MESSAGE\nmessage-id:ID:1\nsubscription:s\ntimestamp:"s + c.text + "\n\nb\0\n"s);
    std::shared_ptr<IMessage> m = f.client->ReceiveNoWait();
    ASSERT_TRUE(m) << c.text;
    const TDateTime expected = TKsJMSClient::WireToDateTime(c.millis);
    EXPECT_EQ(m->GetJMSTimestamp(), expected) << c.text;
    const auto& received = dynamic_cast<const TKsJMSTextMessage&>(*m);
    TKsJMSTextMessage copy(received);
    TKsJMSTextMessage fields(nullptr);
    fields.CopyFieldsFrom(*m);
    EXPECT_EQ(copy.GetJMSTimestamp(), expected) << c.text;
    EXPECT_EQ(fields.GetJMSTimestamp(), expected) << c.text;
    m->SetJMSTimestamp(45000.25);
    EXPECT_EQ(m->GetJMSTimestamp(), 45000.25) << c.text;
    EXPECT_EQ(copy.GetJMSTimestamp(), expected) << c.text;
    fields.CopyFieldsFrom(*m);
    EXPECT_EQ(fields.GetJMSTimestamp(), 45000.25) << c.text;
  }
}

// Header names are compared with ASCII case folded, but only the exact
// spelling of a standard name is the field alone: another spelling fills
// the field and is kept as a property as well.
TEST(JMSClient, HeaderNamesInAnotherCaseFillTheirFieldsAndStayProperties) {
  Fixture f;
  f.adapter->QueueFrame(
      "MESSAGE\nDestination:jms.queue.q\nMessage-ID:ID:7\nPRIORITY:7\nReply-To:jms.queue.r\nType:t\n"
      "Subscription:s\n\nb\0\n"s);
  std::shared_ptr<IMessage> m = f.client->ReceiveNoWait();
  ASSERT_TRUE(m);
  EXPECT_EQ(m->GetJMSMessageID(), "ID:7");
  EXPECT_EQ(m->GetJMSPriority(), 7);
  EXPECT_EQ(TKsJMSClient::GetDestinationName(m->GetJMSReplyTo()), "jms.queue.r");
  EXPECT_EQ(m->GetJMSType(), "t");
  EXPECT_EQ(m->GetPropertyNames(),
            (TStringArray{"Destination", "Message-ID", "PRIORITY", "Reply-To", "Type", "Subscription"}));
  EXPECT_EQ(m->GetStringProperty("Message-ID"), "ID:7");
}

TEST(JMSClient, BadIncomingFramesReachNoConsumer) {
  Fixture f;
  f.adapter->QueueFrame("MESSAGE\ntransformation-error:bad xml\n\nx\0\n"s);
  EXPECT_EQ(ErrorOf<EJMSException>([&] { f.client->ReceiveNoWait(); }), "Transformation error: bad xml");
  f.adapter->QueueFrame("MESSAGE\npriority:12\n\nx\0\n"s);
  EXPECT_THROW(f.client->ReceiveNoWait(), Exception);
  EXPECT_TRUE(f.delivered.empty());
  // A reply-to in a broker's own naming is no fault.
  f.adapter->QueueFrame("MESSAGE\nreply-to:/queue/r\n\nx\0\n"s);
  auto m = f.client->ReceiveNoWait();
  ASSERT_TRUE(m);
  EXPECT_EQ(TKsJMSClient::GetDestinationName(m->GetJMSReplyTo()), "/queue/r");
  f.delivered.clear();

  // Without a callback the hook refuses the frame.
  f.client->SetMessageCallback(nullptr);
  f.adapter->QueueFrame("MESSAGE\n\nx\0\n"s);
  std::string msg = ErrorOf<EAssertionFailed>([&] { f.client->ReceiveNoWait(); });
  EXPECT_EQ(msg.rfind("Assertion failure (KsJMSClient, line ", 0), 0u) << msg;
}

TEST(JMSClient, TracedSendWritesTheSameFrame) {
  Fixture f;
  std::vector<std::string> lines;
  f.client->GetLogger()->SetLevel(LOG_TRACE);
  f.client->GetLogger()->SetOnLog([&](const std::string& text, TLogLevel) { lines.push_back(text); });
  auto m = Text("hi");
  m->SetJMSType("t");
  EXPECT_EQ(f.SendText(m), "SEND\ndestination:jms.queue.q\ntype:t\n\nhi\0\n"s);
  ASSERT_FALSE(lines.empty());
  EXPECT_EQ(lines[0], "TKsJMSClient: Send (JMSMessage)");
  EXPECT_EQ(lines.back(), "TKsStompCustomClient: SEND destination=jms.queue.q, type=t");
}

TEST(JMSClient, SendsFromSeveralThreads) {
  Fixture f;
  constexpr int kThreads = 4;
  constexpr int kPerThread = 300;
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&f, t] {
      auto m = Text(std::string(static_cast<std::size_t>(20 + t), 'x'));
      m->SetStringProperty("thread", std::to_string(t));
      auto b = TKsJMSBytesMessage::Create(nullptr);
      b->SetContent("bytes");
      for (int i = 0; i < kPerThread; ++i) {
        f.client->Send(*m, "jms.queue.q", -1);
        f.client->Send(*b, "jms.queue.b", -1);
      }
    });
  }
  for (auto& th : threads) th.join();
  auto sent = f.adapter->Transmitted();
  ASSERT_EQ(sent.size(), static_cast<std::size_t>(2 * kThreads * kPerThread));
  for (const auto& s : sent) {
    if (s.Bytes.find("jms.queue.b") != std::string::npos) {
      EXPECT_EQ(s.Bytes, "SEND\ndestination:jms.queue.b\ncontent-length:5\n\nbytes\0\n"s);
      continue;
    }
    auto frame = TKsStompFrame::Parse(s.Bytes);
    int t = std::stoi(frame->GetHeader("thread"));
    EXPECT_EQ(frame->GetBody(), std::string(static_cast<std::size_t>(20 + t), 'x'));
    EXPECT_EQ(frame->GetHeaderCount(), 2);
  }
}
