#include "stomp/KsStompCustomClient.hpp"

#include <gtest/gtest.h>

#include "tests/common/KsTestUtil.hpp"

#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "jms/KsURI.hpp"
#include "support/KsLog.hpp"
#include "tests/common/KsFakeAdapter.hpp"

using namespace ks;
using namespace std::string_literals;
using ks::test::TKsFakeAdapter;

using ks::test::ErrorOf;

namespace {

const std::string& kConnected = test::kConnectedFrame;

// A client with a fake adapter; the logger keeps quiet on the console and
// records every line that passes its threshold.
struct Fixture {
  TKsStompCustomClient client;
  TKsFakeAdapter* adapter = nullptr;
  std::vector<std::string> lines;

  Fixture() {
    client.GetLogger()->SetConsoleOutput(false);
    client.GetLogger()->SetOnLog([this](const std::string& text, TLogLevel) { lines.push_back(text); });
    auto owned = std::make_unique<TKsFakeAdapter>();
    adapter = owned.get();
    client.SetAdapter(std::move(owned));
  }

  void Login() {
    adapter->SetConnectReply(kConnected);
    client.Connect();
    adapter->ClearTransmitted();
  }
};


// A client that counts the frames handed to its MESSAGE hook.
class TCountingClient : public TKsStompCustomClient {
 public:
  int frames = 0;

 protected:
  void StompFrameAvailable(const std::shared_ptr<IStompFrame>&) override { ++frames; }
};

// A client whose MESSAGE hook keeps every frame it is handed.
class TKeepingClient : public TKsStompCustomClient {
 public:
  std::vector<std::shared_ptr<IStompFrame>> kept;
  bool keep = true;
  std::vector<const IStompFrame*> seen;

 protected:
  void StompFrameAvailable(const std::shared_ptr<IStompFrame>& frame) override {
    seen.push_back(frame.get());
    if (keep) kept.push_back(frame);
  }
};

}  // namespace

TEST(StompClient, AdapterGetsTheDefaultBrokerAddress) {
  Fixture f;
  auto uri = f.client.GetURI();
  ASSERT_TRUE(uri);
  EXPECT_EQ(uri->GetURI(), "stomp://127.0.0.1:61613");
  EXPECT_EQ(uri->GetHost(), "127.0.0.1");
  EXPECT_EQ(uri->GetPort(), "61613");
  f.client.SetURI(std::make_shared<TKsURI>("stomp://broker:1"));
  EXPECT_EQ(f.adapter->GetURI()->GetHost(), "broker");
  f.adapter->SetConnected(true);
  EXPECT_TRUE(f.client.Connected());
  EXPECT_FALSE(f.client.GetLoggedIn());
}

TEST(StompClient, ConnectSendsCredentialsAndHandlesTheReply) {
  {
    Fixture f;
    f.Login();
    EXPECT_TRUE(f.client.GetLoggedIn());
    EXPECT_EQ(f.client.GetSession(), "s1");
  }
  {
    Fixture f;
    f.adapter->SetConnectReply(kConnected);
    f.client.Connect();
    auto sent = f.adapter->Transmitted();
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(sent[0].Bytes, "CONNECT\n\n\0\n"s);
    EXPECT_EQ(sent[0].SendTimeout, -1);
  }
  {
    Fixture f;
    f.client.SetLogin("guest");
    f.client.SetPasscode("pw");
    f.client.SetClientID("c1");
    f.adapter->SetConnectReply(kConnected);
    f.client.Connect();
    EXPECT_EQ(f.adapter->LastBytes(), "CONNECT\nlogin:guest\npasscode:pw\nclient-id:c1\n\n\0\n"s);
  }
  {
    // Refused login: the error carries the message header, a blank and the
    // body; the socket stays open and only CONNECT may go out.
    Fixture f;
    bool onError = false;
    f.client.SetOnError([&](TKsStompCustomClient*, const std::shared_ptr<IStompFrame>&) { onError = true; });
    f.adapter->SetConnectReply("ERROR\nmessage:Bad login\n\n\0\n"s);
    EXPECT_EQ(ErrorOf<EKsStompServerErrorMessage>([&] { f.client.Connect(); }), "Bad login ");
    EXPECT_TRUE(onError);
    EXPECT_FALSE(f.client.GetLoggedIn());
    f.adapter->ClearTransmitted();
    EXPECT_EQ(ErrorOf<EKsStompClientNotConnectedError>([&] { f.client.Send("/queue/a", "x", -1, "", false, {}); }),
              "Not connected! Command: SEND");
    EXPECT_EQ(ErrorOf<EKsStompClientNotConnectedError>([&] { f.client.Ack("m1", ""); }),
              "Not connected! Command: ACK");
    EXPECT_EQ(f.adapter->TransmitCount(), 0u);
    // Disconnect before login sends nothing and leaves the socket open.
    f.client.Disconnect();
    EXPECT_EQ(f.adapter->TransmitCount(), 0u);
    EXPECT_EQ(f.adapter->DisconnectCalls(), 0);
    EXPECT_TRUE(f.adapter->Connected());
  }
}

TEST(StompClient, SubscribeWritesFixedHeadersThenDestinationOptions) {
  Fixture f;
  f.Login();
  f.client.Subscribe("/queue/a", true, "", false, "", "");
  EXPECT_EQ(f.adapter->LastBytes(), "SUBSCRIBE\ndestination:/queue/a\nack:client\n\n\0\n"s);

  f.client.Subscribe("/topic/t", false, "r1", true, "color = 'red'", "sub-1");
  EXPECT_EQ(f.adapter->LastBytes(),
            "SUBSCRIBE\ndestination:/topic/t\nack:auto\nid:sub-1\nselector:color = 'red'\nreceipt:r1\n"
            "activemq.noLocal:true\n\n\0\n"s);

  f.client.Subscribe("/queue/a?x=1&y=2", false, "", false, "", "");
  EXPECT_EQ(f.adapter->LastBytes(), "SUBSCRIBE\ndestination:/queue/a\nack:auto\nx:1\ny:2\n\n\0\n"s);

  // Blanks split too, quoted items keep blanks ("" is one quote), items
  // without "=" are ignored, and an option may replace a fixed header.
  f.client.Subscribe("/queue/a?\"sel=a \"\"b\"\"\" z=1\t&&noeq&ACK=client", false, "", false, "", "");
  EXPECT_EQ(f.adapter->LastBytes(), "SUBSCRIBE\ndestination:/queue/a\nack:client\nsel:a \"b\"\nz:1\n\n\0\n"s);

  auto sent = f.adapter->Transmitted();
  for (const auto& t : sent) EXPECT_EQ(t.SendTimeout, -1);
}

TEST(StompClient, SendWritesDestinationContentLengthAndExtraHeaders) {
  Fixture f;
  f.Login();
  f.client.Send("/queue/a", "hello", 250, "", false, {});
  auto sent = f.adapter->Transmitted();
  ASSERT_EQ(sent.size(), 1u);
  EXPECT_EQ(sent[0].Bytes, "SEND\ndestination:/queue/a\ncontent-length:5\n\nhello\0\n"s);
  EXPECT_EQ(sent[0].SendTimeout, 250);

  f.client.Send("/queue/a", "hello", -1, "", true, {});
  EXPECT_EQ(f.adapter->LastBytes(), "SEND\ndestination:/queue/a\n\nhello\0\n"s);

  f.client.Send("/queue/a", "hello", -1, "", false, {{"content-length", ""}});
  EXPECT_EQ(f.adapter->LastBytes(), "SEND\ndestination:/queue/a\n\nhello\0\n"s);

  f.client.Send("/queue/a", "a\0b"s, -1, "r9", false, {{"type", "t"}, {"Destination", "/queue/b"}});
  EXPECT_EQ(f.adapter->LastBytes(), "SEND\ndestination:/queue/b\nreceipt:r9\ncontent-length:3\ntype:t\n\na\0b\0\n"s);

  // A header that would inject lines is refused and nothing is sent.
  f.adapter->ClearTransmitted();
  EXPECT_THROW(f.client.Send("/queue/a", "x", -1, "", false, {{"k", "v\n\nSEND"}}), EKsStompError);
  EXPECT_THROW(f.client.Send("/queue/a", "x", -1, "", false, {{"a:b", "v"}}), EKsStompError);
  EXPECT_EQ(f.adapter->TransmitCount(), 0u);
}

TEST(StompClient, TracedSendGivesTheSameBytesAndLogsItsSteps) {
  Fixture f;
  f.client.GetLogger()->SetLevel(LOG_TRACE);
  f.Login();
  f.lines.clear();
  f.client.Send("/queue/a", "hi", 7, "", false, {{"x", "1"}});
  EXPECT_EQ(f.adapter->LastBytes(), "SEND\ndestination:/queue/a\ncontent-length:2\nx:1\n\nhi\0\n"s);
  EXPECT_EQ(f.adapter->Transmitted().back().SendTimeout, 7);
  ASSERT_EQ(f.lines.size(), 3u);
  EXPECT_EQ(f.lines[0], "TKsStompCustomClient: Send");
  EXPECT_EQ(f.lines[1], "TKsStompCustomClient: Transmit");
  EXPECT_EQ(f.lines[2], "TKsStompCustomClient: SEND destination=/queue/a, content-length=2, x=1");

  f.lines.clear();
  f.client.Disconnect();
  ASSERT_GE(f.lines.size(), 2u);
  EXPECT_EQ(f.lines[0], "TKsStompCustomClient: Disconnect");
  EXPECT_EQ(f.lines[1], "TKsStompCustomClient: StompDisconnect session=s1");
}

TEST(StompClient, TransactionsAcksUnsubscribeAndDisconnect) {
  Fixture f;
  f.client.SetClientID("c1");
  f.Login();
  EXPECT_EQ(ErrorOf<EKsStompInvalidTranscationIdError>([&] { f.client.BeginTrans(" \t ", ""); }),
            "Invalid transaction id");
  EXPECT_THROW(f.client.CommitTrans("", ""), EKsStompInvalidTranscationIdError);
  EXPECT_THROW(f.client.AbortTrans("\r\n", ""), EKsStompInvalidTranscationIdError);
  EXPECT_EQ(f.adapter->TransmitCount(), 0u);

  f.client.BeginTrans(" t1 ", "");
  EXPECT_EQ(f.adapter->LastBytes(), "BEGIN\ntransaction: t1 \n\n\0\n"s);
  f.client.CommitTrans("t1", "r1");
  EXPECT_EQ(f.adapter->LastBytes(), "COMMIT\ntransaction:t1\nreceipt:r1\n\n\0\n"s);
  f.client.AbortTrans("t2", "");
  EXPECT_EQ(f.adapter->LastBytes(), "ABORT\ntransaction:t2\n\n\0\n"s);
  f.client.Ack("m1", "t3");
  EXPECT_EQ(f.adapter->LastBytes(), "ACK\nmessage-id:m1\ntransaction:t3\n\n\0\n"s);
  f.client.Ack("m2", "");
  EXPECT_EQ(f.adapter->LastBytes(), "ACK\nmessage-id:m2\n\n\0\n"s);
  f.client.UnsubscribeID("sub-1", "");
  EXPECT_EQ(f.adapter->LastBytes(), "UNSUBSCRIBE\nid:sub-1\n\n\0\n"s);
  f.client.UnsubscribeDurable("jms.topic.t", "durable1");
  EXPECT_EQ(f.adapter->LastBytes(),
            "UNSUBSCRIBE\ndestination:jms.topic.t\nactivemq.subscriptionName:durable1\n\n\0\n"s);
  for (const auto& t : f.adapter->Transmitted()) EXPECT_EQ(t.SendTimeout, -1);

  f.client.Disconnect();
  EXPECT_EQ(f.adapter->LastBytes(), "DISCONNECT\nclient-id:c1\n\n\0\n"s);
  EXPECT_FALSE(f.client.GetLoggedIn());
  EXPECT_EQ(f.client.GetSession(), "");
  EXPECT_EQ(f.adapter->DisconnectCalls(), 1);
  f.client.Disconnect();  // not logged in any more: nothing
  EXPECT_EQ(f.adapter->DisconnectCalls(), 1);
}

TEST(StompClient, FailedDisconnectStillClosesTheTransport) {
  Fixture f;
  f.Login();
  f.adapter->SetTransmitError("Socket Error # 32");
  EXPECT_EQ(ErrorOf<Exception>([&] { f.client.Disconnect(); }), "Socket Error # 32");
  EXPECT_EQ(f.adapter->DisconnectCalls(), 1);
  // A socket error leaves the logged-in flag alone.
  EXPECT_TRUE(f.client.GetLoggedIn());
}

TEST(StompClient, IncomingFramesAreDispatchedByCommand) {
  TCountingClient client;
  client.GetLogger()->SetConsoleOutput(false);
  std::vector<std::string> errors;
  client.GetLogger()->SetOnLog([&](const std::string& text, TLogLevel level) {
    if (level == LOG_ERROR) errors.push_back(text);
  });
  auto owned = std::make_unique<TKsFakeAdapter>();
  TKsFakeAdapter* adapter = owned.get();
  client.SetAdapter(std::move(owned));
  adapter->SetConnectReply(kConnected);
  client.Connect();

  int messages = 0, receipts = 0, errorsSeen = 0;
  client.SetOnMessage([&](TKsStompCustomClient* sender, const std::shared_ptr<IStompFrame>& frame) {
    EXPECT_EQ(sender, &client);
    EXPECT_EQ(frame->GetBody(), "body");
    EXPECT_EQ(client.frames, messages);  // OnMessage runs before the hook
    ++messages;
  });
  client.SetOnReceipt([&](TKsStompCustomClient*, const std::shared_ptr<IStompFrame>&) { ++receipts; });
  client.SetOnError([&](TKsStompCustomClient*, const std::shared_ptr<IStompFrame>&) { ++errorsSeen; });

  client.StompDataAvailable(adapter, "MESSAGE\nmessage-id:1\n\nbody\0\n"s);
  EXPECT_EQ(messages, 1);
  EXPECT_EQ(client.frames, 1);

  client.StompDataAvailable(adapter, "RECEIPT\nreceipt-id:r1\n\n\0\n"s);
  EXPECT_EQ(receipts, 1);
  EXPECT_TRUE(client.GetLoggedIn());
  EXPECT_EQ(client.GetSession(), "s1");

  client.StompDataAvailable(adapter, "message\n\nbody\0\n"s);
  ASSERT_EQ(errors.size(), 1u);
  EXPECT_EQ(errors[0], "Unknown command message in stomp frame");
  EXPECT_EQ(client.frames, 1);

  EXPECT_EQ(ErrorOf<EKsStompServerErrorMessage>(
                [&] { client.StompDataAvailable(adapter, "ERROR\nmessage:Boom\n\nsee \xC3\xA9 log\0\n"s); }),
            "Boom see \xC3\xA9 log");
  EXPECT_EQ(errorsSeen, 1);

  EXPECT_THROW(client.StompDataAvailable(adapter, "\n\n\0\n"s), EAssertionFailed);
  EXPECT_THROW(client.StompDataAvailable(adapter, "MESSAGE\nbroken\n\n\0\n"s), EKsStompError);

  // Synchronous reads deliver through the adapter's data handler.
  adapter->QueueFrame("MESSAGE\n\nbody\0\n"s);
  adapter->PollFrame();
  EXPECT_EQ(client.frames, 2);
}

TEST(StompClient, ReceivedFramesThatAreStillHeldAreNeverOverwritten) {
  // The receive path parses into one frame object again and again, so a
  // frame that the hook or an OnMessage handler keeps must stay as it was.
  TKeepingClient client;
  client.GetLogger()->SetConsoleOutput(false);
  auto owned = std::make_unique<TKsFakeAdapter>();
  TKsFakeAdapter* adapter = owned.get();
  client.SetAdapter(std::move(owned));
  for (int i = 0; i < 3; ++i) {
    client.StompDataAvailable(adapter, "MESSAGE\nmessage-id:m" + std::to_string(i) + "\n\nbody " +
                                           std::to_string(i) + "\0\n"s);
  }
  ASSERT_EQ(client.kept.size(), 3u);
  for (int i = 0; i < 3; ++i) {
    EXPECT_EQ(client.kept[i]->GetHeader("message-id"), "m" + std::to_string(i));
    EXPECT_EQ(client.kept[i]->GetBody(), "body " + std::to_string(i));
  }

  // Frames nobody keeps are parsed into the same object: its header strings
  // keep their capacity. A frame with fewer headers leaves none behind.
  client.keep = false;
  client.seen.clear();
  client.StompDataAvailable(adapter, "MESSAGE\nmessage-id:a\nextra:1\n\nx\0\n"s);
  client.StompDataAvailable(adapter, "MESSAGE\nmessage-id:b\n\ny\0\n"s);
  ASSERT_EQ(client.seen.size(), 2u);
  EXPECT_EQ(client.seen[0], client.seen[1]);

  // With an OnMessage handler every frame is a new object.
  std::vector<std::shared_ptr<IStompFrame>> handed;
  client.SetOnMessage([&](TKsStompCustomClient*, const std::shared_ptr<IStompFrame>& frame) { handed.push_back(frame); });
  client.StompDataAvailable(adapter, "MESSAGE\nmessage-id:c\n\nz1\0\n"s);
  client.StompDataAvailable(adapter, "MESSAGE\nmessage-id:d\n\nz2\0\n"s);
  ASSERT_EQ(handed.size(), 2u);
  EXPECT_EQ(handed[0]->GetHeader("message-id"), "c");
  EXPECT_EQ(handed[0]->GetBody(), "z1");
  EXPECT_EQ(handed[1]->GetBody(), "z2");
  EXPECT_EQ(handed[1]->GetHeaderCount(), 1);
}

TEST(StompClient, ConnectionFailedMessage) {
  EXPECT_STREQ(EConnectionFailedException().what(), "The JMS connection has failed due to a Transport problem");
  EXPECT_STREQ(EConnectionFailedException("Connection refused").what(),
               "The JMS connection has failed due to a Transport problem: Connection refused");
}

TEST(StompClient, SendsFromSeveralThreadsStayWhole) {
  Fixture f;
  f.Login();
  constexpr int kThreads = 4;
  constexpr int kPerThread = 500;
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&f, t] {
      std::string body(static_cast<std::size_t>(10 + t), static_cast<char>('a' + t));
      for (int i = 0; i < kPerThread; ++i) f.client.Send("/queue/" + std::to_string(t), body, -1, "", false, {});
    });
  }
  for (auto& th : threads) th.join();
  auto sent = f.adapter->Transmitted();
  ASSERT_EQ(sent.size(), static_cast<std::size_t>(kThreads * kPerThread));
  for (const auto& s : sent) {
    int t = s.Bytes[24] - '0';  // "SEND\ndestination:/queue/" is 24 bytes
    ASSERT_GE(t, 0);
    ASSERT_LT(t, kThreads);
    std::string body(static_cast<std::size_t>(10 + t), static_cast<char>('a' + t));
    EXPECT_EQ(s.Bytes, "SEND\ndestination:/queue/" + std::to_string(t) + "\ncontent-length:" +
                           std::to_string(10 + t) + "\n\n" + body + "\0\n"s);
  }
}

TEST(StompClient, AnOfferAboveOneZeroNegotiatesAndTheChosenVersionShapesEveryLaterFrame) {
  Fixture f;
  f.client.SetVersionOffer(TKsVersionOffer::All());
  f.client.SetVirtualHost("vh");
  f.client.SetHeartBeat(1000, 2000, 2.5);
  f.adapter->SetConnectReply("CONNECTED\nversion:1.2\nheart-beat:3000,500\n\n\0\n"s);
  f.client.Connect();
  EXPECT_EQ(f.adapter->LastBytes(), "CONNECT\naccept-version:1.0,1.1,1.2\nhost:vh\nheart-beat:1000,2000\n\n\0\n"s);
  EXPECT_EQ(f.client.GetVersion(), TKsStompVersion::V1_2);
  // Each way the larger of the two sides' intervals.
  EXPECT_EQ(f.client.GetHeartBeatTimes().outgoing, std::chrono::milliseconds(1000));
  EXPECT_EQ(f.client.GetHeartBeatTimes().incoming, std::chrono::milliseconds(3000));

  // 1.2 names a message by its "ack" header, escapes headers, and reads
  // escaped ones.
  f.client.Ack(TKsAckTarget{"m:1", "sub-1", "ack-7"}, "t1");
  EXPECT_EQ(f.adapter->LastBytes(), "ACK\nid:ack-7\ntransaction:t1\n\n\0\n"s);
  f.client.Nack(TKsAckTarget{"m:1", "sub-1", ""});
  EXPECT_EQ(f.adapter->LastBytes(), "NACK\nid:m\\c1\n\n\0\n"s);
  f.client.Send("/queue/a", "x", -1, "", true, {{"k", "a:b\nc"}});
  EXPECT_EQ(f.adapter->LastBytes(), "SEND\ndestination:/queue/a\nk:a\\cb\\nc\n\nx\0\n"s);
  std::string seen;
  f.client.SetOnMessage(
      [&](TKsStompCustomClient*, const std::shared_ptr<IStompFrame>& frame) { seen = frame->GetHeader("k"); });
  f.client.StompDataAvailable(f.adapter, "MESSAGE\nk:a\\cb\\\\\nk:second\n\n\0\n"s);
  EXPECT_EQ(seen, "a:b\\");
  EXPECT_EQ(ErrorOf<EKsStompError>([&] { f.client.StompDataAvailable(f.adapter, "MESSAGE\nk:\\x\n\n\0\n"s); }),
            "Undefined escape sequence in value of header k");

  // 1.1 names it by message id and subscription.
  Fixture g;
  g.client.SetVersionOffer(TKsVersionOffer::All());
  g.adapter->SetConnectReply("CONNECTED\nversion:1.1\n\n\0\n"s);
  g.client.Connect();
  g.client.Ack(TKsAckTarget{"m1", "sub-1", "ack-7"}, "");
  EXPECT_EQ(g.adapter->LastBytes(), "ACK\nmessage-id:m1\nsubscription:sub-1\n\n\0\n"s);
  g.client.Subscribe("/queue/a", TKsAckMode::ClientIndividual, "", false, "", "s1");
  EXPECT_EQ(g.adapter->LastBytes(), "SUBSCRIBE\ndestination:/queue/a\nack:client-individual\nid:s1\n\n\0\n"s);
  EXPECT_EQ(g.client.GetHeartBeatTimes().incoming, std::chrono::milliseconds(0));  // none asked for

  // A version outside the offer fails the log-in.
  Fixture h;
  TKsVersionOffer only12;
  ASSERT_TRUE(TKsVersionOffer::Parse("1.2", only12));
  h.client.SetVersionOffer(only12);
  h.adapter->SetConnectReply(kConnected);  // no version: 1.0
  EXPECT_EQ(ErrorOf<EKsStompClientConnectError>([&] { h.client.Connect(); }),
            "The broker speaks STOMP 1.0, which was not offered (1.2)");
  EXPECT_FALSE(h.client.GetLoggedIn());
}
