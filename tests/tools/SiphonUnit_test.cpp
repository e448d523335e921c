#include "tools/SiphonUnit.hpp"

#include <chrono>

#include <gtest/gtest.h>

#include "jms/KsQueue.hpp"
#include "tests/tools/KsFakeMessaging.hpp"

namespace ks::test {
namespace {

// A Siphon wired to a fake session and reply producer sharing one journal.
struct TFixture {
  TJournal journal;
  std::shared_ptr<TFakeSession> session = std::make_shared<TFakeSession>(journal);
  std::shared_ptr<TSiphon> siphon = std::make_shared<TSiphon>();
  TFixture() {
    siphon->SetSession(session);
    siphon->SetReplyProducer(std::make_shared<TFakeProducer>(journal));
  }
  std::shared_ptr<TFakeTextMessage> Text(const std::string& text, const std::string& id = "ID:1") {
    auto m = std::make_shared<TFakeTextMessage>(journal, text);
    m->SetJMSMessageID(id);
    return m;
  }
  // The console lines OnMessage writes for message.
  std::string Handle(const std::shared_ptr<IMessage>& message) {
    testing::internal::CaptureStdout();
    siphon->OnMessage(message);
    return testing::internal::GetCapturedStdout();
  }
};

TEST(SiphonUnit, OptionsDefaultsAndTheWriteOnlyAckMode) {
  TSiphon siphon;
  EXPECT_EQ(siphon.GetURL(), "stomp://localhost:61613");
  EXPECT_EQ(siphon.GetSubject(), "ExampleQueue");
  EXPECT_EQ(siphon.GetConsumerName(), "Vorlan");
  EXPECT_EQ(siphon.GetMaximumMessages(), 10);
  EXPECT_EQ(siphon.GetAcknowledgeMode(), AUTO_ACKNOWLEDGE);
  EXPECT_EQ(siphon.GetDestinationTypeName(), "queue");
  EXPECT_EQ(siphon.GetSubscriptionTypeName(), "non-durable");
  EXPECT_EQ(TSiphon::PublishedProperties().size(), 15u);

  std::vector<std::string_view> args = {"--AckMode=CLIENT_ACKNOWLEDGE", "--ClientId=c", "--consumername=n",
                                        "--Durable", "--MaximumMessages=0", "--Password=p",
                                        "--PauseBeforeShutdown", "--Receive-Time-Out=200", "--SleepTime=5",
                                        "--Subject=s", "--Topic", "--Transacted", "--URL=u", "--User=x",
                                        "--Verbose=False"};
  std::string unparsed;
  TCommandLineSupport::ParseCommandLine(siphon, std::span<const std::string_view>(args), unparsed);
  EXPECT_EQ(unparsed, "");
  EXPECT_EQ(siphon.GetAcknowledgeMode(), CLIENT_ACKNOWLEDGE);
  EXPECT_EQ(siphon.GetClientId(), "c");
  EXPECT_EQ(siphon.GetConsumerName(), "n");
  EXPECT_TRUE(siphon.GetDurable());
  EXPECT_EQ(siphon.GetMaximumMessages(), 0);
  EXPECT_EQ(siphon.GetPassword(), "p");
  EXPECT_TRUE(siphon.GetPauseBeforeShutdown());
  EXPECT_EQ(siphon.GetReceiveTimeOut(), 200);
  EXPECT_EQ(siphon.GetSleepTime(), 5);
  EXPECT_EQ(siphon.GetSubject(), "s");
  EXPECT_TRUE(siphon.GetTopic());
  EXPECT_TRUE(siphon.GetTransacted());
  EXPECT_EQ(siphon.GetURL(), "u");
  EXPECT_EQ(siphon.GetUser(), "x");
  EXPECT_FALSE(siphon.GetVerbose());
  EXPECT_EQ(siphon.GetDestinationTypeName(), "topic");
  EXPECT_EQ(siphon.GetSubscriptionTypeName(), "durable");

  // Exact words only; anything else leaves the mode as it is.
  siphon.SetAckMode("client_acknowledge");
  EXPECT_EQ(siphon.GetAcknowledgeMode(), CLIENT_ACKNOWLEDGE);
  siphon.SetAckMode("SESSION_TRANSACTED");
  EXPECT_EQ(siphon.GetAcknowledgeMode(), SESSION_TRANSACTED);
  siphon.SetAckMode("INDIVIDUAL_ACKNOWLEDGE");
  EXPECT_EQ(siphon.GetAcknowledgeMode(), INDIVIDUAL_ACKNOWLEDGE);
  siphon.SetAckMode("AUTO_ACKNOWLEDGE");
  EXPECT_EQ(siphon.GetAcknowledgeMode(), AUTO_ACKNOWLEDGE);
  siphon.SetAckMode("");
  EXPECT_EQ(siphon.GetAcknowledgeMode(), AUTO_ACKNOWLEDGE);
}

TEST(SiphonUnit, OnMessagePrintsTextsCutTo50AndOtherMessagesByKind) {
  TFixture f;
  const std::string sixty(60, 'x');
  EXPECT_EQ(f.Handle(f.Text(sixty)), "Received: " + std::string(50, 'x') + "...\n");
  EXPECT_EQ(f.Handle(f.Text(std::string(50, 'y'))), "Received: " + std::string(50, 'y') + "\n");
  // Fifty characters, not fifty bytes.
  std::string umlauts;
  for (int i = 0; i < 55; ++i) umlauts += "\xC3\xBC";
  std::string fifty;
  for (int i = 0; i < 50; ++i) fifty += "\xC3\xBC";
  EXPECT_EQ(f.Handle(f.Text(umlauts)), "Received: " + fifty + "...\n");
  EXPECT_EQ(f.Handle(std::make_shared<TFakeBytesMessage>(f.journal)), "Received: Message\n");
  f.siphon->SetVerbose(false);
  EXPECT_EQ(f.Handle(f.Text("quiet")), "");
  EXPECT_TRUE(f.journal.empty());  // auto acknowledge: nothing sent, committed or acknowledged
}

TEST(SiphonUnit, OnMessageRepliesThenCommitsOrAcknowledges) {
  {
    TFixture f;
    f.siphon->SetAckMode("CLIENT_ACKNOWLEDGE");
    auto m = f.Text("question", "ID:42");
    m->SetJMSReplyTo(TKsQueue::Create("answers"));
    f.Handle(m);
    EXPECT_EQ(f.journal, (TJournal{"Send to answers: Reply: ID:42", "Acknowledge ID:42"}));
  }
  {
    // Transacted commits whatever the acknowledge mode, and never acknowledges.
    TFixture f;
    f.siphon->SetAckMode("CLIENT_ACKNOWLEDGE");
    f.siphon->SetTransacted(true);
    auto m = f.Text("question", "ID:7");
    m->SetJMSReplyTo(TKsQueue::Create("answers"));
    f.Handle(m);
    EXPECT_EQ(f.journal, (TJournal{"Send to answers: Reply: ID:7", "Commit"}));
  }
  {
    // The transacted acknowledge mode alone makes the session transacted
    // too: every message is committed.
    TFixture f;
    f.siphon->SetAckMode("SESSION_TRANSACTED");
    f.Handle(f.Text("plain"));
    EXPECT_EQ(f.journal, (TJournal{"Commit"}));
  }
}

TEST(SiphonUnit, HandlingErrorsArePrintedAndTheSleepStillFollows) {
  TFixture f;
  f.siphon->SetTransacted(true);
  f.siphon->SetSleepTime(120);
  f.session->failCommit = true;
  auto begin = std::chrono::steady_clock::now();
  EXPECT_EQ(f.Handle(f.Text("m")), "Received: m\ncommit failed\n");
  EXPECT_GE(std::chrono::steady_clock::now() - begin, std::chrono::milliseconds(120));

  TFixture g;
  g.siphon->SetAckMode("CLIENT_ACKNOWLEDGE");
  auto m = g.Text("m");
  m->failAcknowledge = true;
  EXPECT_EQ(g.Handle(m), "Received: m\nack failed\n");

}

}  // namespace
}  // namespace ks::test
