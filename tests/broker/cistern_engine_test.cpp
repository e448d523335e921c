// Cistern's engine on its own, without sockets: what it keeps in memory.
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "broker/KsBrokerEngine.hpp"
#include "broker/KsBrokerFrameReader.hpp"

namespace {

using ks::TBrokerEngine;
using ks::TByteBuffer;

// A connection that takes every frame and keeps its output.
class TFakeClient final : public ks::TBrokerClient {
 public:
  explicit TFakeClient(std::uint64_t id) : TBrokerClient(id) {}
  ks::TByteBuffer* BeginFrame() override { return closing ? nullptr : &out; }
  void EndFrame(std::size_t, bool) override {}
  bool CanDeliver() override { return !closing; }
  void CloseAfterFlush() override { closing = true; }
  void Refused(std::string_view) override {}
  void PauseInput(bool on) override { paused = on; }

  TByteBuffer out;
  bool closing = false;
  bool paused = false;
};

// Hands one frame text (as a client would send it) to the engine.
void Frame(TBrokerEngine& engine, TFakeClient& client, const std::string& text) {
  TByteBuffer in;
  in.Append(text);
  in.Append('\0');
  ks::TBrokerFrameReader reader;
  ks::TBrokerFrame frame;
  ASSERT_EQ(reader.Next(in, frame), ks::TBrokerFrameReader::TResult::Frame) << text;
  engine.OnFrame(client, frame);
}

}  // namespace

// Names used once cost nothing after their last use: subscriptions come and
// go, topics are sent to without subscribers, queues are drained.
TEST(CisternEngine, DestinationsWithNothingLeftAreForgotten) {
  TBrokerEngine engine(ks::TBrokerSettings{});
  TFakeClient client(1);
  Frame(engine, client, "CONNECT\nclient-id:me\n\n");
  for (int n = 0; n < 1000; ++n) {
    const std::string topic = "jms.topic.t" + std::to_string(n);
    Frame(engine, client, "SUBSCRIBE\ndestination:" + topic + "\nid:s\n\n");
    Frame(engine, client, "UNSUBSCRIBE\nid:s\n\n");
    Frame(engine, client, "SEND\ndestination:" + topic + "\n\nnobody listens");
  }
  EXPECT_EQ(engine.DestinationCount(), 0u);

  // A queue with messages, and a topic with a durable subscription, are
  // kept until they are drained and deleted.
  Frame(engine, client, "SEND\ndestination:jms.queue.kept\n\nwaiting");
  Frame(engine, client, "SUBSCRIBE\ndestination:jms.topic.kept\nid:d\nactivemq.subscriptionName:d\n\n");
  Frame(engine, client, "UNSUBSCRIBE\nid:d\n\n");
  EXPECT_EQ(engine.DestinationCount(), 2u);
  EXPECT_GT(engine.HeldBytes(), 0u);
  Frame(engine, client, "SUBSCRIBE\ndestination:jms.queue.kept\nid:q\n\n");
  Frame(engine, client, "UNSUBSCRIBE\nid:q\n\n");
  Frame(engine, client, "UNSUBSCRIBE\ndestination:jms.topic.kept\nactivemq.subscriptionName:d\n\n");
  EXPECT_EQ(engine.DestinationCount(), 0u);
  EXPECT_EQ(engine.HeldBytes(), 0u);
  EXPECT_FALSE(client.closing) << client.out.View();
}

// The slash names of other brokers, and a blank after the colon, reach the
// same destinations as the "jms." names.
TEST(CisternEngine, SlashNamesAndABlankAfterTheColonNameTheSameDestinations) {
  TBrokerEngine engine(ks::TBrokerSettings{});
  TFakeClient consumer(1);
  TFakeClient producer(2);
  Frame(engine, consumer, "CONNECT\n\n");
  Frame(engine, producer, "CONNECT\n\n");
  Frame(engine, consumer, "SUBSCRIBE\ndestination:/queue/orders\nid:q\n\n");
  Frame(engine, consumer, "SUBSCRIBE\ndestination: jms.topic.news\nid:t\n\n");
  Frame(engine, producer, "SEND\ndestination: jms.queue.orders\n\nfirst");
  Frame(engine, producer, "SEND\ndestination:/topic/news\n\nsecond");
  EXPECT_EQ(engine.DestinationCount(), 2u);
  const std::string out(consumer.out.View());
  EXPECT_NE(out.find("MESSAGE\ndestination:jms.queue.orders\n"), std::string::npos) << out;
  EXPECT_NE(out.find("first"), std::string::npos) << out;
  EXPECT_NE(out.find("MESSAGE\ndestination:jms.topic.news\n"), std::string::npos) << out;
  EXPECT_NE(out.find("second"), std::string::npos) << out;
  Frame(engine, consumer, "UNSUBSCRIBE\ndestination:/queue/orders\n\n");
  Frame(engine, consumer, "UNSUBSCRIBE\nid:t\n\n");
  EXPECT_EQ(engine.DestinationCount(), 0u);
  EXPECT_FALSE(consumer.closing || producer.closing) << out;
}
