// The fault matrix for the library itself: a consumer and producer made
// through the public messaging interface against Cistern's fault hooks, a
// scripted broker that breaks the framing, a broker that refuses CONNECT and
// a broker that stops reading (the send time-out must end a blocked Send).
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
  EXPECT_EQ(ReceiveError(), "Connection Closed Gracefully.");
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

TEST_F(LibraryBrokenFrames, OversizedAndBadLengthsRaiseClearErrors) {
  const std::string id = Subscribe();
  ASSERT_FALSE(id.empty());
  peer_.Send("MESSAGE\nsubscription:" + id + "\nbig:" + std::string(17000, 'h') + "\n\n" + std::string(1, '\0') +
             "\n");
  EXPECT_EQ(ReceiveError(), "Max line length exceeded.");
}

TEST_F(LibraryBrokenFrames, NegativeLengthIsRefused) {
  const std::string id = Subscribe();
  ASSERT_FALSE(id.empty());
  peer_.Send(Message(id, "seq:0"));
  auto m = consumer_->Receive(5000);
  ASSERT_TRUE(m);
  EXPECT_EQ(TextOf(m), "seq:0");
  peer_.Send("MESSAGE\nsubscription:" + id + "\ncontent-length:-1\n\nabc" + std::string(1, '\0') + "\n");
  EXPECT_EQ(ReceiveError(), "Invalid content-length \"-1\": negative");
}

TEST(LibrarySendFaults, ABrokerThatStopsReadingEndsABlockedSendWithAnError) {
  TSilentBroker broker;
  TLibraryClient client(broker.Url(), "stuck", false, 500);
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
