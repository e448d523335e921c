// Failures are never silent: a lost connection reaches the exception
// listener once and every later call at once; a close, a commit or a
// confirmed send returns normally only when the broker confirmed it; a
// server that never answers CONNECT cannot hold Start; and the programs end
// with status 1 when their run ended on an error.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <csignal>
#include <string>
#include <thread>
#include <vector>

#include "jms/KsJMSConnectionFactory.hpp"
#include "jms/KsJMSInterfaces.hpp"
#include "stomp/KsStompCustomClient.hpp"
#include "tests/common/KsCisternProcess.hpp"
#include "tests/common/KsProcess.hpp"
#include "tests/common/KsScriptedPeer.hpp"
#include "tests/common/KsTestUtil.hpp"
#include "tests/faults/KsFaultSupport.hpp"

namespace ks::test {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

const std::string kSpigot = BuiltProgram("tools/Spigot");

TEST(Failures, ALostConnectionIsReportedOnceFromTheReaderThreadAndEveryLaterCallRaisesAtOnce) {
  TCisternProcess broker;
  ASSERT_TRUE(broker.Started());
  TLibraryClient client(broker.Url(), "failures.lost");
  auto watch = std::make_shared<TCollector>();
  client.connection->SetExceptionListener(watch);
  client.Consumer()->SetMessageListener(watch);
  // A frame the conversion refuses is reported as that frame's fault alone.
  auto broken = client.session->CreateTextMessage("broken");
  broken->SetStringProperty("transformation-error", "bad payload");
  client.producer->Send(broken);
  client.SendText("fine");
  ASSERT_TRUE(watch->WaitFor(1, 10s));
  ASSERT_EQ(watch->Texts(), std::vector<std::string>{"fine"});

  auto transacted = client.connection->CreateSession(true, AUTO_ACKNOWLEDGE);
  auto other = client.connection->CreateSession(false, AUTO_ACKNOWLEDGE);
  auto receiver = other->CreateConsumer(client.destination);

  broker.Stop(SIGKILL);
  ASSERT_TRUE(WaitUntil([&] { return watch->Errors().size() >= 2; }, 10s)) << "the loss was never reported";
  const auto errors = watch->Errors();
  ASSERT_EQ(errors.size(), 2u);
  EXPECT_FALSE(errors[0].lost);
  EXPECT_EQ(errors[0].text, "Transformation error: bad payload");
  EXPECT_TRUE(errors[1].lost);
  EXPECT_EQ(errors[1].text, "The JMS connection has failed due to a Transport problem: Connection Closed Gracefully.");
  EXPECT_NE(errors[1].thread, std::this_thread::get_id()) << "a loss the reader saw is reported on the reader thread";

  auto raisesLost = [](const char* what, const std::function<void()>& call) {
    try {
      call();
      ADD_FAILURE() << what << " did not raise";
    } catch (const EConnectionFailedException& e) {
      EXPECT_EQ(std::string(e.what()),
                "The JMS connection has failed due to a Transport problem: Connection Closed Gracefully.")
          << what;
    }
  };
  raisesLost("Send", [&] { client.SendText("after the loss"); });
  raisesLost("Commit", [&] { transacted->Commit(); });
  raisesLost("Rollback", [&] { transacted->Rollback(); });
  raisesLost("Receive", [&] { receiver->Receive(100); });
  raisesLost("CreateConsumer", [&] { other->CreateConsumer(client.destination); });
  client.connection->Close();
  EXPECT_EQ(watch->Errors().size(), 2u) << "reported more than once";
}

TEST(Failures, ConfirmedSendsReturnOnlyForWhatTheBrokerConfirmed) {
  TKsScriptedPeerOptions options;
  options.AutoConnected = true;
  options.AnswerReceipts = false;
  TKsScriptedPeer peer(options);
  TLibraryClient client(peer.Url() + "?syncSend=true&receiptTimeout=5000", "failures.sync");
  std::atomic<int> returned{0};
  std::string failure;
  std::thread sender([&] {
    try {
      for (int i = 0; i < 100; ++i) {
        client.SendText("seq:" + std::to_string(i));
        ++returned;
      }
    } catch (const Exception& e) {
      failure = e.what();
    }
  });
  // The broker confirms five sends, then goes away with the sixth unanswered.
  for (int i = 0; i < 6; ++i) {
    std::string frame;
    while (frame.rfind("SEND\n", 0) != 0) {
      frame = peer.ReadFrame(5000ms);
      ASSERT_FALSE(frame.empty()) << "no SEND " << i;
    }
    const std::size_t at = frame.find("\nreceipt:") + 9;
    ASSERT_NE(at, std::string::npos + 9) << frame;
    if (i < 5) peer.Send("RECEIPT\nreceipt-id:" + frame.substr(at, frame.find('\n', at) - at) + "\n\n" +
                         std::string(1, '\0') + "\n");
  }
  peer.Close();
  sender.join();
  EXPECT_EQ(returned.load(), 5);
  EXPECT_FALSE(failure.empty()) << "a send the broker never confirmed returned normally";
}

TEST(Failures, StartAgainstAServerThatNeverAnswersFailsWithinTheConnectTimeout) {
  TKsScriptedPeer silent;  // accepts, reads, never answers
  TKsJMSConnectionFactory factory("", "", silent.Url() + "?connectTimeout=300");
  auto connection = factory.CreateConnection();
  const auto start = Clock::now();
  try {
    connection->Start();
    FAIL() << "Start succeeded without CONNECTED";
  } catch (const EConnectionFailedException& e) {
    EXPECT_EQ(std::string(e.what()),
              "The JMS connection has failed due to a Transport problem: No reply to CONNECT within 300 ms");
  }
  EXPECT_LT(Clock::now() - start, 5s);
  EXPECT_TRUE(silent.WaitClientClosed(5000ms)) << "the socket was left open";
}

TEST(Failures, AnUnconfirmedCloseIsReportedAndCloseStillReturns) {
  TKsScriptedPeerOptions options;
  options.AutoConnected = true;
  options.AnswerReceipts = false;
  TKsScriptedPeer peer(options);
  TKsJMSConnectionFactory factory("", "", peer.Url() + "?receiptTimeout=300");
  auto connection = factory.CreateConnection();
  auto watch = std::make_shared<TCollector>();
  connection->SetExceptionListener(watch);
  connection->Start();
  const auto start = Clock::now();
  EXPECT_NO_THROW(connection->Close());
  EXPECT_LT(Clock::now() - start, 5s);
  ASSERT_EQ(watch->Errors().size(), 1u);
  EXPECT_EQ(watch->Errors()[0].text, "The JMS connection has failed due to a Transport problem: "
                                     "The broker did not confirm DISCONNECT within 300 ms");
  EXPECT_TRUE(peer.WaitClientClosed(5000ms));
}

TEST(Failures, TransactedConsumptionLosesNothingWhenKilledAndRedeliversOnRollback) {
  TCisternProcess broker;
  ASSERT_TRUE(broker.Started());
  EXPECT_EQ(RolledBackMessagesComeBackRedelivered(broker.Url(), "failures.rollback"), "");
  EXPECT_EQ(TransactedSiphonKilledLosesNothing(broker.Url(), "failures.killed", 500), "");
}

TEST(Failures, SpigotWhoseBrokerIsKilledEndsWithTheErrorAndStatusOne) {
  TCisternProcess broker;
  ASSERT_TRUE(broker.Started());
  TKsProcess spigot(kSpigot, {"--URL=" + broker.Url(), "--MessageCount=1000000", "--SleepTime=1"});
  spigot.WriteInput("\n");
  ASSERT_TRUE(spigot.ReadUntil("Sending message: ", 10000ms, true).has_value());
  broker.Stop(SIGKILL);
  auto lines = spigot.ReadAll(20000ms);
  ASSERT_EQ(spigot.Wait(10000ms), 1);
  // The connection's failure with the socket error's text ("Socket Error #
  // N", CR LF, the reason) is printed, and the run does not claim to be
  // done.
  bool printed = false;
  for (const auto& l : lines) {
    printed = printed || l.rfind("The JMS connection has failed due to a Transport problem: Socket Error # ", 0) == 0;
    EXPECT_NE(l, "Done.");
  }
  EXPECT_TRUE(printed) << lines.back();
}

}  // namespace
}  // namespace ks::test
