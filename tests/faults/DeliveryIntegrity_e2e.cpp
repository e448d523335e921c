// Delivery integrity of the library against Cistern and a scripted broker:
// frames from many threads never interleave, one frame's fault or one closed
// consumer never stops delivery to the others, bodies arrive byte for byte,
// oversized frames are skipped, received messages can be sent on,
// synchronous receives never cross consumers, and objects that outlive their
// connection fail cleanly.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <map>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "jms/KsConsumerID.hpp"
#include "jms/KsJMSInterfaces.hpp"
#include "tests/common/KsCisternProcess.hpp"
#include "tests/common/KsScriptedPeer.hpp"
#include "tests/faults/KsFaultSupport.hpp"

namespace ks::test {
namespace {

using namespace std::chrono_literals;

class DeliveryIntegrity : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(broker_.Started()); }
  // Sends make(session, t, i) for i < each from threads t < threads, each
  // on a session of its own of sender, to the queue; answers how many
  // threads failed.
  static int SendFromThreads(
      TLibraryClient& sender, const std::string& queue, int threads, int each,
      const std::function<std::shared_ptr<IMessage>(ISession& session, int t, int i)>& make) {
    std::vector<std::thread> running;
    std::atomic<int> failures{0};
    for (int t = 0; t < threads; ++t) {
      auto session = sender.connection->CreateSession(false, AUTO_ACKNOWLEDGE);
      running.emplace_back([&, t, session] {
        try {
          auto producer = session->CreateProducer(session->CreateQueue(queue));
          for (int i = 0; i < each; ++i) producer->Send(make(*session, t, i));
        } catch (const std::exception&) {
          ++failures;
        }
      });
    }
    for (auto& thread : running) thread.join();
    return failures.load();
  }
  TCisternProcess broker_;
};

TEST_F(DeliveryIntegrity, FourThreadsOnFourSessionsSendLargeFramesThatArriveWholeAndOnce) {
  constexpr int kThreads = 4;
  constexpr int kEach = 20;
  constexpr std::size_t kSize = 300 * 1024;
  auto body = [](int thread, int i) {
    std::string text = "seq:" + std::to_string(thread * kEach + i) + " ";
    text.append(kSize - text.size(), static_cast<char>('a' + thread));
    return text;
  };
  TLibraryClient receiver(broker_.Url(), "integrity.large");
  auto consumer = receiver.Consumer();

  TLibraryClient sender(broker_.Url(), "integrity.large");
  ASSERT_EQ(SendFromThreads(sender, "integrity.large", kThreads, kEach,
                            [&](ISession& session, int t, int i) -> std::shared_ptr<IMessage> {
                              // Bytes travel with content-length, whatever the body holds.
                              auto bytes = session.CreateBytesMessage();
                              bytes->SetContent(body(t, i));
                              return bytes;
                            }),
            0);

  std::vector<long> got;
  for (int n = 0; n < kThreads * kEach; ++n) {
    auto m = consumer->Receive(10000);
    ASSERT_TRUE(m) << "only " << n << " of " << kThreads * kEach << " messages arrived";
    const std::string text = TextOf(m);  // received bodies are text messages
    const long seq = SequenceNumber(text);
    ASSERT_GE(seq, 0) << text.substr(0, 40);
    EXPECT_EQ(text, body(static_cast<int>(seq) / kEach, static_cast<int>(seq) % kEach)) << "message " << seq;
    got.push_back(seq);
  }
  EXPECT_EQ(CheckExactlyOnce(got, kThreads * kEach), "");
}

TEST_F(DeliveryIntegrity, BatchedSendsFromFourThreadsArriveWholeOnceAndInEachThreadsOrder) {
  constexpr int kThreads = 4;
  constexpr int kEach = 500;
  // Sizes that make batches end inside frames of every length.
  auto body = [](int thread, int i) {
    std::string text = "seq:" + std::to_string(thread * kEach + i) + " ";
    text.append(static_cast<std::size_t>(50 + (i * 397) % 3000), static_cast<char>('a' + thread));
    return text;
  };
  TLibraryClient receiver(broker_.Url(), "integrity.batched");
  auto consumer = receiver.Consumer();
  TLibraryClient sender(broker_.Url() + "?batchSend=true", "integrity.batched");
  ASSERT_EQ(SendFromThreads(sender, "integrity.batched", kThreads, kEach,
                            [&](ISession& session, int t, int i) -> std::shared_ptr<IMessage> {
                              return session.CreateTextMessage(body(t, i));
                            }),
            0);

  std::vector<long> got;
  std::vector<long> lastOf(kThreads, -1);
  for (int n = 0; n < kThreads * kEach; ++n) {
    auto m = consumer->Receive(10000);
    ASSERT_TRUE(m) << "only " << n << " of " << kThreads * kEach << " messages arrived";
    const std::string text = TextOf(m);
    const long seq = SequenceNumber(text);
    ASSERT_GE(seq, 0) << text.substr(0, 40);
    const int thread = static_cast<int>(seq) / kEach;
    EXPECT_EQ(text, body(thread, static_cast<int>(seq) % kEach)) << "message " << seq;
    EXPECT_GT(seq, lastOf[static_cast<std::size_t>(thread)]) << "out of its thread's order";
    lastOf[static_cast<std::size_t>(thread)] = seq;
    got.push_back(seq);
  }
  EXPECT_EQ(CheckExactlyOnce(got, kThreads * kEach), "");
}

TEST_F(DeliveryIntegrity, ClosingOneListenerConsumerLeavesTheOthersDelivering) {
  TLibraryClient producerA(broker_.Url(), "integrity.closeA");
  TLibraryClient producerB(broker_.Url(), "integrity.closeB");
  TLibraryClient consumers(broker_.Url(), "integrity.closeA");
  auto closing = consumers.Consumer();
  auto staying = consumers.session->CreateConsumer(consumers.session->CreateQueue("integrity.closeB"));
  auto first = std::make_shared<TCollector>();
  auto second = std::make_shared<TCollector>();
  first->Gate();  // the reader thread waits inside the first delivery
  closing->SetMessageListener(first);
  staying->SetMessageListener(second);
  for (int i = 0; i < 50; ++i) producerA.SendText("a" + std::to_string(i));
  ASSERT_TRUE(first->WaitFor(1));
  // The other 49 are on their way for a consumer that is gone.
  closing->Close();
  first->Open();
  for (int i = 0; i < 20; ++i) producerB.SendText("seq:" + std::to_string(i));
  ASSERT_TRUE(second->WaitFor(20)) << second->Texts().size() << " of 20 delivered to the remaining consumer";
  std::vector<long> got;
  for (const auto& t : second->Texts()) got.push_back(SequenceNumber(t));
  EXPECT_EQ(CheckExactlyOnce(got, 20), "");
}

TEST_F(DeliveryIntegrity, AFaultInOneFrameAffectsThatFrameAlone) {
  TLibraryClient producer(broker_.Url(), "integrity.poison");
  TLibraryClient consumer(broker_.Url(), "integrity.poison");
  auto listener = std::make_shared<TCollector>();
  listener->ThrowOn("poison");
  consumer.Consumer()->SetMessageListener(listener);
  // A listener that throws, a transformation error, then a good message.
  producer.SendText("poison 1");
  auto broken = producer.session->CreateTextMessage("broken");
  broken->SetStringProperty("transformation-error", "bad payload");
  producer.producer->Send(broken);
  producer.SendText("good");
  ASSERT_TRUE(listener->WaitFor(2)) << "delivery stopped after the first fault";
  EXPECT_EQ(listener->Texts(), (std::vector<std::string>{"poison 1", "good"}));
  producer.SendText("still good");
  ASSERT_TRUE(listener->WaitFor(3));
  EXPECT_EQ(listener->Texts().back(), "still good");
}

TEST_F(DeliveryIntegrity, BodiesWithoutContentLengthArriveByteForByte) {
  TLibraryClient client(broker_.Url(), "integrity.bodies");
  auto consumer = client.Consumer();
  const std::vector<std::string> bodies = {
      "  \t padded on both ends \r\n  ",
      "\n\nline feeds first",
      std::string(20000, 'x') + " end",
      "seq:3" + std::string(250, ' '),
  };
  for (const auto& b : bodies) client.SendText(b);
  for (const auto& b : bodies) {
    auto m = consumer->Receive(5000);
    ASSERT_TRUE(m);
    EXPECT_EQ(TextOf(m), b);
  }
}

TEST_F(DeliveryIntegrity, AReceivedMessageCanBeSentOnWithItsBodyAndProperties) {
  TLibraryClient client(broker_.Url(), "integrity.in");
  auto in = client.Consumer();
  auto message = client.session->CreateTextMessage("  forwarded body ");
  message->SetStringProperty("colour", "blue");
  message->SetJMSCorrelationID("corr-1");
  client.producer->Send(message);
  auto received = in->Receive(5000);
  ASSERT_TRUE(received);

  auto outQueue = client.session->CreateQueue("integrity.out");
  auto out = client.session->CreateConsumer(outQueue);
  client.session->CreateProducer(outQueue)->Send(received);
  auto again = out->Receive(5000);
  ASSERT_TRUE(again) << "the forwarded message never arrived";
  EXPECT_EQ(TextOf(again), "  forwarded body ");
  EXPECT_EQ(again->GetStringProperty("colour"), "blue");
  EXPECT_EQ(again->GetJMSCorrelationID(), "corr-1");
  EXPECT_EQ(again->GetStringProperty("subscription"),
            std::dynamic_pointer_cast<IConsumerIdentity>(out)->GetConsumerID().GetID());
}

TEST_F(DeliveryIntegrity, SynchronousReceivesTakeOnlyTheirOwnSubscriptionInOrder) {
  TLibraryClient client(broker_.Url(), "integrity.syncA");
  auto a = client.Consumer();
  auto queueB = client.session->CreateQueue("integrity.syncB");
  auto b = client.session->CreateConsumer(queueB);
  auto toB = client.session->CreateProducer(queueB);
  for (int i = 0; i < 5; ++i) toB->Send(client.session->CreateTextMessage("b" + std::to_string(i)));
  client.SendText("a0");
  auto m = a->Receive(5000);
  ASSERT_TRUE(m);
  EXPECT_EQ(TextOf(m), "a0");
  for (int i = 0; i < 5; ++i) {
    auto held = b->ReceiveNoWait();
    ASSERT_TRUE(held) << "message b" << i << " was not kept for its consumer";
    EXPECT_EQ(TextOf(held), "b" + std::to_string(i));
  }
  EXPECT_FALSE(a->ReceiveNoWait());
}

TEST_F(DeliveryIntegrity, ConsumersOnSeveralThreadsEachGetTheirOwnMessages) {
  constexpr int kEach = 200;
  TLibraryClient client(broker_.Url(), "integrity.threads0");
  std::vector<std::shared_ptr<IMessageConsumer>> consumers;
  for (int q = 0; q < 3; ++q) {
    consumers.push_back(client.session->CreateConsumer(client.session->CreateQueue("integrity.threads" + std::to_string(q))));
  }
  TLibraryClient producer(broker_.Url(), "integrity.threads0");
  for (int i = 0; i < kEach; ++i) {
    for (int q = 0; q < 3; ++q) {
      producer.producer->Send(producer.session->CreateQueue("integrity.threads" + std::to_string(q)),
                              producer.session->CreateTextMessage(std::to_string(q) + " seq:" + std::to_string(i)));
    }
  }
  std::vector<std::vector<long>> got(3);
  std::vector<std::thread> threads;
  for (int q = 0; q < 3; ++q) {
    threads.emplace_back([&, q] {
      for (int i = 0; i < kEach; ++i) {
        auto m = consumers[q]->Receive(10000);
        if (!m) return;
        const std::string text = TextOf(m);
        got[q].push_back(text.rfind(std::to_string(q) + " ", 0) == 0 ? SequenceNumber(text) : -1);
      }
    });
  }
  for (auto& t : threads) t.join();
  for (int q = 0; q < 3; ++q) {
    ASSERT_EQ(got[q].size(), static_cast<std::size_t>(kEach)) << "consumer " << q;
    for (int i = 0; i < kEach; ++i) EXPECT_EQ(got[q][i], i) << "consumer " << q;
  }
}

TEST_F(DeliveryIntegrity, ObjectsThatOutliveTheirConnectionRaiseInsteadOfTouchingIt) {
  std::shared_ptr<IMessageConsumer> consumer;
  std::shared_ptr<IMessageProducer> producer;
  std::shared_ptr<ISession> session;
  std::shared_ptr<IMessage> message;
  {
    TLibraryClient client(broker_.Url(), "integrity.orphans");
    consumer = client.Consumer();
    producer = client.producer;
    client.SendText("one");
    message = consumer->Receive(5000);
    ASSERT_TRUE(message);
    session = client.session;
    client.session.reset();
    client.consumer.reset();
    client.producer.reset();
  }
  // The connection is gone; what the application kept must say so.
  auto expectClosed = [](const char* what, const std::function<void()>& call) {
    try {
      call();
      ADD_FAILURE() << what << " did not raise";
    } catch (const EIllegalStateException& e) {
      EXPECT_NE(std::string(e.what()).find("closed"), std::string::npos) << what << ": " << e.what();
    }
  };
  expectClosed("Receive", [&] { consumer->Receive(100); });
  expectClosed("ReceiveNoWait", [&] { consumer->ReceiveNoWait(); });
  expectClosed("SetMessageListener", [&] { consumer->SetMessageListener(std::make_shared<TCollector>()); });
  expectClosed("Send", [&] { producer->Send(message); });
  expectClosed("Acknowledge", [&] { message->Acknowledge(); });
  expectClosed("CreateConsumer", [&] { session->CreateConsumer(session->CreateQueue("x")); });
  EXPECT_NO_THROW(consumer->Close());
  EXPECT_NO_THROW(producer->Close());
  EXPECT_NO_THROW(session->Close());
}

// A scripted broker, for frames Cistern never sends.
class IntegrityScripted : public TScriptedConsumerTest {};

TEST_F(IntegrityScripted, ReceiptsNeverEndAReceiveEarly) {
  const std::string id = Subscribe();
  ASSERT_FALSE(id.empty());
  const std::string nul(1, '\0');
  std::string receipts;
  for (int i = 0; i < 20; ++i) receipts += "RECEIPT\nreceipt-id:r" + std::to_string(i) + "\n\n" + nul + "\n";
  peer_.Send(receipts + "MESSAGE\nsubscription:" + id + "\nmessage-id:m1\n\nafter receipts" + nul + "\n");
  auto m = consumer_->Receive(5000);
  ASSERT_TRUE(m) << "a RECEIPT ended the receive";
  EXPECT_EQ(TextOf(m), "after receipts");
}

TEST_F(IntegrityScripted, OversizedFramesAreSkippedAndTheConnectionGoesOn) {
  const std::string id = Subscribe("?maxFrameSize=1000");
  ASSERT_FALSE(id.empty());
  const std::string nul(1, '\0');
  const std::string head = "MESSAGE\nsubscription:" + id + "\nmessage-id:";
  // One with a content-length over the limit, one without, each followed by
  // a frame that fits.
  peer_.Send(head + "big1\ncontent-length:50000\n\n" + std::string(50000, 'b') + nul + "\n" + head +
             "ok1\n\nfirst fits" + nul + "\n" + head + "big2\n\n" + std::string(50000, 'c') + nul + "\n" + head +
             "ok2\n\nsecond fits" + nul + "\n");
  auto m = consumer_->Receive(5000);
  ASSERT_TRUE(m);
  EXPECT_EQ(TextOf(m), "first fits");
  m = consumer_->Receive(5000);
  ASSERT_TRUE(m);
  EXPECT_EQ(TextOf(m), "second fits");
}

}  // namespace
}  // namespace ks::test
