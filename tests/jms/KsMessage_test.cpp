// Messages, property map, destinations, consumer ids and id sequences.
#include <gtest/gtest.h>

#include <set>
#include <thread>
#include <vector>

#include "jms/KsConsumerID.hpp"
#include "jms/KsFieldTexts.hpp"
#include "jms/KsJMSMessage.hpp"
#include "jms/KsPrimitiveMap.hpp"
#include "jms/KsQueue.hpp"
#include "jms/KsThreadSafe.hpp"
#include "jms/KsTopic.hpp"
#include "jms/KsTransactionContext.hpp"

namespace ks {
namespace {

TEST(Destinations, KindNameAndCasts) {
  std::shared_ptr<IDestination> queue = TKsQueue::Create("orders");
  std::shared_ptr<IDestination> topic = TKsTopic::Create("news");
  EXPECT_EQ(queue->GetDestinationType(), TDestinationType::Queue);
  EXPECT_EQ(IntfCast<IQueue>(queue)->GetQueueName(), "orders");
  EXPECT_EQ(topic->GetDestinationType(), TDestinationType::Topic);
  EXPECT_EQ(IntfCast<ITopic>(topic)->GetTopicName(), "news");
  // The kind does not follow SetDestinationType on a queue or topic.
  queue->SetDestinationType(TDestinationType::Topic);
  EXPECT_EQ(queue->GetDestinationType(), TDestinationType::Queue);
  // A plain destination reports its stored kind.
  TKsDestination plain;
  EXPECT_EQ(plain.GetDestinationType(), TDestinationType::Topic);
  plain.SetDestinationType(TDestinationType::Queue);
  EXPECT_EQ(plain.GetDestinationType(), TDestinationType::Queue);
  // Empty and untrimmed names are kept as given.
  EXPECT_EQ(TKsQueue::Create("")->GetQueueName(), "");
  EXPECT_EQ(TKsTopic::Create(" a b ")->GetTopicName(), " a b ");
  // Cross casts fail with the interface-cast error.
  EXPECT_EQ(std::dynamic_pointer_cast<ITopic>(queue), nullptr);
  try {
    IntfCast<ITopic>(queue);
    FAIL() << "cast succeeded";
  } catch (const EIntfCastError& e) {
    EXPECT_STREQ(e.what(), "Interface not supported");
  }
  EXPECT_THROW(IntfCast<IQueue>(topic), EIntfCastError);
}

TEST(PrimitiveMap, ConversionsAndRemoval) {
  TPrimitiveMap map;
  EXPECT_TRUE(map.GetNames().empty());
  map.SetInteger("n", 42);
  EXPECT_EQ(map.GetString("n"), "42");
  map.SetInteger("neg", -7);
  EXPECT_EQ(map.GetString("neg"), "-7");
  map.SetString("n", "abc");
  EXPECT_EQ(map.GetInteger("n"), 0);
  map.SetString("h", "$FFFFFFFF");
  EXPECT_EQ(map.GetInteger("h"), -1);
  map.SetString("h", " 0x10");
  EXPECT_EQ(map.GetInteger("h"), 16);
  map.SetString("h", "2147483648");
  EXPECT_EQ(map.GetInteger("h"), 0);
  EXPECT_EQ(map.GetInteger("missing"), 0);

  map.SetBoolean("b", true);
  EXPECT_EQ(map.GetString("b"), "true");
  EXPECT_TRUE(map.GetBoolean("b"));
  map.SetString("b", "True");
  EXPECT_FALSE(map.GetBoolean("b"));
  map.SetBoolean("b", false);
  EXPECT_EQ(map.GetString("b"), "false");
  EXPECT_FALSE(map.GetBoolean("missing"));

  // The empty value removes the entry.
  map.SetString("b", "");
  EXPECT_EQ(map.GetString("b"), "");
  for (const auto& name : map.GetNames()) EXPECT_NE(name, "b");
  map.SetString("never", "");
  for (const auto& name : map.GetNames()) EXPECT_NE(name, "never");
  map.Clear();
  EXPECT_TRUE(map.GetNames().empty());
}

TEST(PrimitiveMap, OrderCaseAndEqualsSigns) {
  TPrimitiveMap map;
  map.SetString("c", "1");
  map.SetString("a", "2");
  map.SetString("b", "3");
  map.SetString("a", "4");  // keeps its place
  EXPECT_EQ(map.GetNames(), (TStringArray{"c", "a", "b"}));

  map.SetString("Key", "1");
  EXPECT_EQ(map.GetString("KEY"), "1");
  map.SetString("KEY", "2");  // same entry, renamed as spelled now
  EXPECT_EQ(map.GetNames(), (TStringArray{"c", "a", "b", "KEY"}));
  EXPECT_EQ(map.GetString("key"), "2");

  map.SetString("eq", "x=y=z");
  EXPECT_EQ(map.GetString("eq"), "x=y=z");
  map.SetString("na=me", "v");
  EXPECT_EQ(map.GetString("na=me"), "");
  EXPECT_EQ(map.Find("eq"), "x=y=z");
  ASSERT_EQ(map.Count(), 6u);
  EXPECT_EQ(map.NameAt(4), "eq");
  EXPECT_EQ(map.ValueAt(4), "x=y=z");
}

TEST(Messages, DefaultsAndFields) {
  auto message = TKsJMSTextMessage::Create(nullptr);
  EXPECT_EQ(message->GetJMSPriority(), 4);
  EXPECT_EQ(message->GetJMSDeliveryMode(), TDeliveryMode::NonPersistent);
  EXPECT_EQ(message->GetJMSExpiration(), 0.0);
  EXPECT_EQ(message->GetJMSTimestamp(), 0.0);
  EXPECT_FALSE(message->GetJMSRedelivered());
  EXPECT_EQ(message->GetJMSReplyTo(), nullptr);
  EXPECT_EQ(message->GetJMSDestination(), nullptr);
  EXPECT_EQ(message->GetJMSMessageID(), "");
  EXPECT_EQ(message->GetJMSCorrelationID(), "");
  EXPECT_EQ(message->GetJMSType(), "");
  EXPECT_TRUE(message->GetPropertyNames().empty());
  EXPECT_EQ(message->GetText(), "");

  message->SetJMSPriority(9);
  EXPECT_EQ(message->GetJMSPriority(), 9);
  try {
    message->SetJMSPriority(10);
    FAIL() << "priority 10 accepted";
  } catch (const Exception& e) {
    EXPECT_STREQ(e.what(), "JMS_MAX_PRIORITY");
  }
  EXPECT_EQ(message->GetJMSPriority(), 9);
  message->SetJMSPriority(-1);
  EXPECT_EQ(message->GetJMSPriority(), -1);

  auto reply = TKsQueue::Create("replies");
  message->SetJMSReplyTo(reply);
  message->SetJMSType("t");
  message->SetJMSCorrelationID("c");
  message->SetJMSTimestamp(45000.5);
  message->SetJMSExpiration(45001.0);
  message->SetJMSDeliveryMode(TDeliveryMode::Persistent);
  message->SetIntProperty("n", 42);
  message->SetText("h\xC3\xA9llo");
  EXPECT_EQ(message->GetJMSReplyTo(), reply);
  EXPECT_EQ(message->GetJMSType(), "t");
  EXPECT_EQ(message->GetJMSCorrelationID(), "c");
  EXPECT_EQ(message->GetJMSTimestamp(), 45000.5);
  EXPECT_EQ(message->GetJMSExpiration(), 45001.0);
  EXPECT_EQ(message->GetJMSDeliveryMode(), TDeliveryMode::Persistent);
  EXPECT_EQ(message->GetStringProperty("N"), "42");
  EXPECT_EQ(message->GetText(), "h\xC3\xA9llo");

  // Acknowledge without a connection is refused instead of crashing.
  EXPECT_THROW(message->Acknowledge(), EIllegalStateException);
}

TEST(Messages, EachAnswersOnlyItsOwnBodyInterface) {
  std::shared_ptr<IMessage> plain = TKsJMSMessage::Create(nullptr);
  std::shared_ptr<IMessage> text = TKsJMSTextMessage::Create(nullptr);
  std::shared_ptr<IMessage> bytes = TKsJMSBytesMessage::Create(nullptr);
  std::shared_ptr<IMessage> object = TKsJMSObjectMessage::Create(nullptr);
  EXPECT_FALSE(std::dynamic_pointer_cast<ITextMessage>(plain));
  EXPECT_FALSE(std::dynamic_pointer_cast<IBytesMessage>(plain));
  EXPECT_FALSE(std::dynamic_pointer_cast<IObjectMessage>(plain));
  EXPECT_TRUE(std::dynamic_pointer_cast<ITextMessage>(text));
  EXPECT_FALSE(std::dynamic_pointer_cast<IBytesMessage>(text));
  EXPECT_FALSE(std::dynamic_pointer_cast<IObjectMessage>(text));
  EXPECT_FALSE(std::dynamic_pointer_cast<ITextMessage>(bytes));
  EXPECT_TRUE(std::dynamic_pointer_cast<IBytesMessage>(bytes));
  EXPECT_FALSE(std::dynamic_pointer_cast<IObjectMessage>(bytes));
  EXPECT_FALSE(std::dynamic_pointer_cast<ITextMessage>(object));
  EXPECT_FALSE(std::dynamic_pointer_cast<IBytesMessage>(object));
  EXPECT_TRUE(std::dynamic_pointer_cast<IObjectMessage>(object));

  auto b = std::dynamic_pointer_cast<IBytesMessage>(bytes);
  b->SetContent(std::string("a\0b", 3));
  EXPECT_EQ(b->GetContent(), std::string("a\0b", 3));
  auto o = std::dynamic_pointer_cast<IObjectMessage>(object);
  int target = 5;
  o->SetObject(&target);
  o->SetContent("<x/>");
  EXPECT_EQ(o->GetObject(), &target);
  EXPECT_EQ(o->GetContent(), "<x/>");
}

TEST(Messages, CopyFieldsFromOwnAndForeignMessages) {
  auto source = TKsJMSTextMessage::Create(nullptr);
  source->SetJMSMessageID("id");
  source->SetJMSCorrelationID("corr");
  source->SetJMSType("type");
  source->SetJMSPriority(7);
  source->SetJMSRedelivered(true);
  source->SetStringProperty("p", "v");
  source->SetStringProperty("q", "w");
  TKsJMSTextMessage copy(nullptr);
  copy.SetStringProperty("stale", "x");
  copy.CopyFieldsFrom(*source);
  EXPECT_EQ(copy.GetJMSMessageID(), "id");
  EXPECT_EQ(copy.GetJMSCorrelationID(), "corr");
  EXPECT_EQ(copy.GetJMSType(), "type");
  EXPECT_EQ(copy.GetJMSPriority(), 7);
  EXPECT_TRUE(copy.GetJMSRedelivered());
  EXPECT_EQ(copy.GetPropertyNames(), (TStringArray{"p", "q"}));
  EXPECT_EQ(copy.GetText(), "");  // the body is not part of the fields
  copy.SetStringProperty("p", "changed");
  EXPECT_EQ(source->GetStringProperty("p"), "v");
}

// The three seldom-set text fields share one block: a change to one must
// leave the others as they were, also when the new text is read from that
// same block, and a copy must not share it.
TEST(FieldTexts, OneFieldChangesAloneEvenFromItsOwnBlock) {
  using F = TKsFieldTexts;
  TKsFieldTexts texts;
  texts.Set(F::kType, "type");
  texts.Set(F::kTransactionId, "tx-1");
  texts.Set(F::kCorrelationId, "corr");
  const TKsFieldTexts copy = texts;
  texts.Set(F::kType, texts.Get(F::kCorrelationId));  // from its own block
  EXPECT_EQ(texts.Get(F::kCorrelationId), "corr");
  EXPECT_EQ(texts.Get(F::kType), "corr");
  EXPECT_EQ(texts.Get(F::kTransactionId), "tx-1");
  texts.Set(F::kCorrelationId, texts.Get(F::kTransactionId).substr(1));
  EXPECT_EQ(texts.Get(F::kCorrelationId), "x-1");
  texts.Set(F::kType, "");  // emptied in place; the one behind it moves down
  EXPECT_TRUE(texts.Empty(F::kType));
  EXPECT_EQ(texts.Get(F::kCorrelationId), "x-1");
  EXPECT_EQ(texts.Get(F::kTransactionId), "tx-1");
  texts.Set(F::kCorrelationId, "");
  texts.Set(F::kTransactionId, "");
  EXPECT_TRUE(texts.Empty(F::kCorrelationId) && texts.Empty(F::kTransactionId));
  texts.Set(F::kTransactionId, "tx-2");
  EXPECT_EQ(texts.Get(F::kTransactionId), "tx-2");
  EXPECT_EQ(copy.Get(F::kCorrelationId), "corr");
  EXPECT_EQ(copy.Get(F::kType), "type");
  EXPECT_EQ(copy.Get(F::kTransactionId), "tx-1");
  // A message copying another's fields keeps its own transaction id.
  auto source = TKsJMSTextMessage::Create(nullptr);
  source->SetJMSCorrelationID("c");
  TKsJMSTextMessage outgoing(nullptr);
  outgoing.SetTransactionID("tx-3");
  outgoing.SetJMSType("stale");
  outgoing.CopyFieldsFrom(*source);
  EXPECT_EQ(outgoing.GetJMSCorrelationID(), "c");
  EXPECT_EQ(outgoing.GetJMSType(), "");
  EXPECT_EQ(outgoing.GetTransactionID(), "tx-3");
}

TEST(ConsumerID, DistinctBracedUpperCaseVersion4) {
  std::set<std::string> seen;
  for (int i = 0; i < 200; ++i) {
    TKsConsumerID id;
    const std::string& text = id.GetID();
    ASSERT_EQ(text.size(), 38u);
    EXPECT_EQ(text.front(), '{');
    EXPECT_EQ(text.back(), '}');
    for (std::size_t pos : {9u, 14u, 19u, 24u}) EXPECT_EQ(text[pos], '-');
    EXPECT_EQ(text[15], '4');
    EXPECT_NE(std::string("89AB").find(text[20]), std::string::npos);
    for (std::size_t k = 1; k < 37; ++k) {
      if (k == 9 || k == 14 || k == 19 || k == 24) continue;
      EXPECT_NE(std::string("0123456789ABCDEF").find(text[k]), std::string::npos) << text;
    }
    seen.insert(text);
  }
  EXPECT_EQ(seen.size(), 200u);
}

TEST(Sequences, TransactionIdsAndThreadSafeCounter) {
  TKsTransactionContext context;
  EXPECT_EQ(context.GetTransactionId(), "");
  EXPECT_EQ(context.NewTransactionId(), "tx0");
  EXPECT_EQ(context.NewTransactionId(), "tx1");
  EXPECT_EQ(context.GetTransactionId(), "tx1");
  TKsTransactionContext other;  // each context counts on its own
  EXPECT_EQ(other.NewTransactionId(), "tx0");

  TKsThreadSafeIntegerSequence sequence;
  std::vector<std::int32_t> a, b;
  std::thread t1([&] {
    for (int i = 0; i < 5000; ++i) a.push_back(sequence.Next());
  });
  std::thread t2([&] {
    for (int i = 0; i < 5000; ++i) b.push_back(sequence.Next());
  });
  t1.join();
  t2.join();
  std::set<std::int32_t> all(a.begin(), a.end());
  all.insert(b.begin(), b.end());
  EXPECT_EQ(all.size(), 10000u);
  EXPECT_EQ(*all.begin(), 0);
  EXPECT_EQ(*all.rbegin(), 9999);
}

}  // namespace
}  // namespace ks
