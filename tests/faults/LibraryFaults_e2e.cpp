// The fault matrix for the library itself: a consumer and producer made
// through the public messaging interface against Cistern's fault hooks, a
// scripted broker that breaks the framing or sends frames over the size
// limits, a broker that refuses CONNECT and a broker that stops reading (the
// send time-out must end a blocked Send, and so must Close).
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <condition_variable>
#include <mutex>
#include <string>
#include <vector>

#include "tests/common/KsCisternProcess.hpp"
#include "tests/common/KsScriptedPeer.hpp"
#include "stomp/KsStompCustomClient.hpp"
#include "tests/faults/KsFaultSupport.hpp"

#include <signal.h>

namespace ks::test {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

class LibraryFraming : public ::testing::TestWithParam<std::vector<std::string>> {};

TEST_P(LibraryFraming, ReceiveAndListenerGetEveryMessageOnceInOrderUnaltered) {
  TCisternProcess broker(GetParam());
  ASSERT_TRUE(broker.Started());
  constexpr int kCount = 40;
  TLibraryClient sync(broker.Url(), "lf.sync");
  auto consumer = sync.Consumer();
  TLibraryClient async(broker.Url(), "lf.async");
  auto listener = std::make_shared<TCollector>();
  async.Consumer()->SetMessageListener(listener);
  // Bodies with blanks and non-ASCII text at both ends of the payload.
  auto body = [](int i) { return "seq:" + std::to_string(i) + " \xC3\xA9t\xC3\xA9 end"; };
  for (int i = 0; i < kCount; ++i) {
    sync.SendText(body(i));
    async.SendText(body(i));
  }
  std::vector<long> got;
  for (int i = 0; i < kCount; ++i) {
    auto m = consumer->Receive(5000);
    ASSERT_TRUE(m) << "message " << i << " did not arrive";
    EXPECT_EQ(TextOf(m), body(i));
    got.push_back(SequenceNumber(TextOf(m)));
  }
  EXPECT_EQ(CheckExactlyOnce(got, kCount), "");
  EXPECT_FALSE(consumer->Receive(300)) << "a message arrived twice";

  ASSERT_TRUE(listener->WaitFor(kCount, 15000ms));
  auto texts = listener->Texts();
  ASSERT_EQ(texts.size(), static_cast<std::size_t>(kCount));
  for (int i = 0; i < kCount; ++i) EXPECT_EQ(texts[i], body(i));
}

INSTANTIATE_TEST_SUITE_P(CisternHooks, LibraryFraming,
                         ::testing::Values(std::vector<std::string>{"--FaultChunk=1"},
                                           std::vector<std::string>{"--FaultStrayLF"}),
                         CisternOptionsName);

TEST(LibraryConnectFaults, ErrorOnConnectFailsStartWithTheBrokersText) {
  TCisternProcess broker({"--FaultConnectError=Access denied"});
  ASSERT_TRUE(broker.Started());
  TKsJMSConnectionFactory factory("", "", broker.Url());
  auto connection = factory.CreateConnection();
  try {
    connection->Start();
    FAIL() << "Start succeeded against a broker that refuses CONNECT";
  } catch (const EConnectionFailedException& e) {
    EXPECT_EQ(std::string(e.what()),
              "The JMS connection has failed due to a Transport problem: Access denied CONNECT refused on request. "
              "The connection is closed.");
  }
  connection->Close();  // errors during close are swallowed
}

// A scripted broker, for frames Cistern never sends.
class LibraryBrokenFrames : public TScriptedConsumerTest {
 protected:
  std::string Message(const std::string& id, const std::string& body) {
    return "MESSAGE\nsubscription:" + id + "\nmessage-id:x\ncontent-length:" + std::to_string(body.size()) +
           "\n\n" + body + std::string(1, '\0') + "\n";
  }
  // The message of the error the next Receive raises.
  std::string ReceiveError() {
    try {
      auto m = consumer_->Receive(5000);
      return m ? "<message " + TextOf(m) + ">" : "<no message>";
    } catch (const Exception& e) {
      return e.what();
    }
  }
};

TEST_F(LibraryBrokenFrames, APartialFrameIsNeverDeliveredAndAReadTimeOutLosesNothing) {
  const std::string id = Subscribe();
  ASSERT_FALSE(id.empty());
  const std::string whole = Message(id, std::string("seq:0 a\0b", 9));
  // Half a frame, a receive that times out, then the rest: one message,
  // byte for byte (the embedded NUL included).
  peer_.Send(whole.substr(0, 30));
  EXPECT_FALSE(consumer_->Receive(300));
  peer_.Send(whole.substr(30));
  auto m = consumer_->Receive(5000);
  ASSERT_TRUE(m);
  EXPECT_EQ(TextOf(m), std::string("seq:0 a\0b", 9));
  // Then the broker closes in the middle of the next frame.
  peer_.Send(Message(id, "seq:1").substr(0, 25));
  peer_.Close();
  EXPECT_EQ(ReceiveError(), "The JMS connection has failed due to a Transport problem: Connection Closed Gracefully.");
  // The connection is known to be lost now: the next receive says so at once.
  EXPECT_EQ(ReceiveError(), "The JMS connection has failed due to a Transport problem: Connection Closed Gracefully.");
}

TEST_F(LibraryBrokenFrames, TimedReceiveIsNotEndedByBlankLinesBetweenFrames) {
  const std::string id = Subscribe();
  ASSERT_FALSE(id.empty());
  peer_.Send("\n \n\n\r\n\n" + Message(id, "seq:0"));
  const auto start = Clock::now();
  auto m = consumer_->Receive(3000);
  ASSERT_TRUE(m) << "Receive(3000) gave none after "
                 << std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count() << " ms";
  EXPECT_EQ(TextOf(m), "seq:0");
}

TEST_F(LibraryBrokenFrames, AHeaderBlockOverTheLimitIsSkippedAndReportedAndTheConnectionGoesOn) {
  const std::string id = Subscribe("?maxHeaderSize=16384");
  ASSERT_FALSE(id.empty());
  auto reports = std::make_shared<TCollector>();
  client_->connection->SetExceptionListener(reports);
  // The block arrives in two pieces; its content-length says where the
  // frame ends, NUL bytes in the body notwithstanding.
  const std::string big = "MESSAGE\nsubscription:" + id + "\nmessage-id:big\nh:" + std::string(17000, 'h') +
                          "\ncontent-length:5\n\n" + std::string("a\0b\0c\0\n", 7);
  peer_.Send(big.substr(0, 9000));
  peer_.Send(big.substr(9000));
  for (int i = 0; i < 5; ++i) peer_.Send(Message(id, "seq:" + std::to_string(i)));
  for (int i = 0; i < 5; ++i) EXPECT_EQ(ReceiveError(), "<message seq:" + std::to_string(i) + ">");
  ASSERT_EQ(reports->Errors().size(), 1u);
  EXPECT_EQ(reports->Errors()[0].skipped, "big from ");
  EXPECT_EQ(reports->Errors()[0].text,
            "Header block of 17094 bytes exceeds the maximum header size of 16384 bytes; MESSAGE \"big\" from \"\" "
            "skipped");
}

TEST_F(LibraryBrokenFrames, AMessageSkippedForItsSizeIsReportedAndNoLaterAcknowledgeCoversIt) {
  ASSERT_FALSE(Subscribe("?maxFrameSize=1000").empty());
  auto reports = std::make_shared<TCollector>();
  client_->connection->SetExceptionListener(reports);
  auto session = client_->connection->CreateSession(false, CLIENT_ACKNOWLEDGE);
  auto consumer = session->CreateConsumer(session->CreateQueue("acked"));
  const std::string id = AwaitSubscribeId(peer_, 5000ms);
  ASSERT_FALSE(id.empty());
  auto frame = [&](const std::string& messageId, const std::string& body) {
    return "MESSAGE\ndestination:jms.queue.acked\nsubscription:" + id + "\nmessage-id:" + messageId +
           "\ncontent-length:" + std::to_string(body.size()) + "\n\n" + body + std::string(1, '\0') + "\n";
  };
  peer_.Send(frame("m1", "first") + frame("m2", std::string(5000, 'x')) + frame("m3", "third"));
  auto first = consumer->Receive(5000);
  ASSERT_EQ(TextOf(first), "first");
  first->Acknowledge();  // before the skip: nothing to cover
  auto third = consumer->Receive(5000);
  ASSERT_EQ(TextOf(third), "third");
  ASSERT_EQ(reports->Errors().size(), 1u);
  EXPECT_EQ(reports->Errors()[0].skipped, "m2 from jms.queue.acked");
  // An ACK of m3 would acknowledge m2 as well: refused, and not sent.
  EXPECT_EQ(ErrorOf<EIllegalStateException>([&] { third->Acknowledge(); }),
            "Acknowledge refused: Frame body of 5000 bytes exceeds the maximum frame size of 1000 bytes; MESSAGE "
            "\"m2\" from \"jms.queue.acked\" skipped, and an acknowledgement of a later message of its subscription "
            "would acknowledge it as well");
  consumer->Close();
  std::vector<std::string> acked;
  for (std::string f = peer_.ReadFrame(5000ms); !f.empty() && f.rfind("UNSUBSCRIBE", 0) != 0;
       f = peer_.ReadFrame(5000ms)) {
    if (f.rfind("ACK\n", 0) == 0) acked.push_back(f.substr(f.find("message-id:") + 11, 2));
  }
  EXPECT_EQ(acked, std::vector<std::string>{"m1"});
}

TEST_F(LibraryBrokenFrames, NegativeLengthIsRefusedAndCloseEndsAtOnce) {
  const std::string id = Subscribe();
  ASSERT_FALSE(id.empty());
  peer_.Send(Message(id, "seq:0"));
  auto m = consumer_->Receive(5000);
  ASSERT_TRUE(m);
  EXPECT_EQ(TextOf(m), "seq:0");
  peer_.Send("MESSAGE\nsubscription:" + id + "\ncontent-length:-1\n\nabc" + std::string(1, '\0') + "\n");
  EXPECT_EQ(ReceiveError(), "Invalid content-length \"-1\": negative");
  // Nothing can be cut past that frame, so DISCONNECT's receipt cannot
  // come: Close ends at once and says why, once, instead of reading the
  // same frame over and over until the receipt time-out.
  auto reports = std::make_shared<TCollector>();
  client_->connection->SetExceptionListener(reports);
  const auto start = Clock::now();
  client_->connection->Close();
  EXPECT_LT(Clock::now() - start, 5s);
  ASSERT_EQ(reports->Errors().size(), 1u);
  EXPECT_TRUE(reports->Errors()[0].lost);
  EXPECT_EQ(reports->Errors()[0].text,
            "The JMS connection has failed due to a Transport problem: Invalid content-length \"-1\": negative");
}

TEST(LibrarySendFaults, ABrokerThatStopsReadingEndsABlockedSendWithAnError) {
  TSilentBroker broker;
  TLibraryClient client(broker.Url() + "?sendTimeout=500", "stuck");
  const std::string big(64 * 1024, 'x');
  const auto start = Clock::now();
  std::string error;
  int sent = 0;
  while (error.empty() && Clock::now() - start < 20s) {
    try {
      client.SendText(big);
      ++sent;
    } catch (const Exception& e) {
      error = e.what();
    }
  }
  const auto took = Clock::now() - start;
  ASSERT_FALSE(error.empty()) << "Send never failed against a broker that does not read (" << sent << " sent)";
  EXPECT_LT(took, 10s);
  EXPECT_GT(sent, 0) << "the first sends fit into the socket buffers";
  RecordProperty("SendError", error);
  std::printf("blocked Send ended after %d messages with: %s\n", sent, error.c_str());
}


TEST(LibrarySendFaults, CloseEndsASendBlockedBehindABrokerThatDoesNotRead) {
  TSilentBroker broker;
  TLibraryClient client(broker.Url() + "?receiptTimeout=500", "stuck");
  const std::string big(64 * 1024, 'x');
  std::atomic<int> sent{0};
  std::string error;  // read after the join
  std::thread sender([&] {
    try {
      for (;;) {
        client.SendText(big);
        ++sent;
      }
    } catch (const EConnectionFailedException& e) {
      error = e.what();
    } catch (const std::exception& e) {
      error = std::string("not a connection failure: ") + e.what();
    }
  });
  // Until the sends stop getting anywhere: the sender is blocked in a write.
  int seen = -1;
  auto quietSince = Clock::now();
  for (auto until = Clock::now() + 20s; Clock::now() < until; std::this_thread::sleep_for(20ms)) {
    const int now = sent.load();
    if (now != seen) {
      seen = now;
      quietSince = Clock::now();
    } else if (now > 0 && Clock::now() - quietSince > 300ms) {
      break;
    }
  }
  const auto start = Clock::now();
  client.connection->Close();
  const auto took = Clock::now() - start;
  sender.join();
  EXPECT_LT(took, 10s) << "Close waited for the blocked send";
  EXPECT_EQ(error,
            "The JMS connection has failed due to a Transport problem: Close ended a write that the broker had not "
            "taken within 500 ms");
}

}  // namespace
}  // namespace ks::test

namespace ks::test {
namespace {

TEST(LibraryHeartBeats, AHalfOpenBrokerIsReportedWithinGraceTimesTheIntervalAndLaterCallsRaiseAtOnce) {
  TCisternProcess broker;
  ASSERT_TRUE(broker.Started());
  TKsJMSConnectionFactory factory("", "", broker.Url() + "?acceptVersion=1.2&heartBeat=1000,1000");
  auto connection = factory.CreateConnection();
  auto listener = std::make_shared<TCollector>();
  connection->SetExceptionListener(listener);
  connection->Start();
  ASSERT_EQ(connection->GetProtocolVersion(), "1.2");
  auto session = connection->CreateSession(false, AUTO_ACKNOWLEDGE);
  auto queue = session->CreateQueue("half.open");
  session->CreateConsumer(queue)->SetMessageListener(std::make_shared<TCollector>());
  // Frozen: the sockets stay open, nothing is answered, nothing beats.
  ASSERT_EQ(kill(broker.Pid(), SIGUSR1), 0);
  ASSERT_TRUE(broker.WaitForLine("Cistern frozen", 5000ms));
  const auto frozen = Clock::now();
  ASSERT_TRUE(WaitUntil([&] { return !listener->Errors().empty(); }, 10000ms));
  EXPECT_LE(ElapsedMs(frozen), 3500);
  const auto errors = listener->Errors();
  ASSERT_EQ(errors.size(), 1u);
  EXPECT_TRUE(errors[0].lost);
  EXPECT_NE(errors[0].text.find("Missed heart-beats"), std::string::npos) << errors[0].text;
  const auto sendAt = Clock::now();
  EXPECT_THROW(session->CreateProducer(queue)->Send(session->CreateTextMessage("late")), EConnectionFailedException);
  EXPECT_LT(Clock::now() - sendAt, 1000ms);
  kill(broker.Pid(), SIGUSR2);
  connection->Close();
}

}  // namespace
}  // namespace ks::test
