// Bad input at the public operations: empty, huge, negative, non-UTF-8 and
// absent values. Each must give its documented result or a clear error of
// the library's exception family, never a crash or undefined behaviour (the
// suite also runs under ASan+UBSan).
#include <gtest/gtest.h>

#include <climits>
#include <memory>
#include <string>

#include "jms/KsJMSConnectionFactory.hpp"
#include "jms/KsJMSMessage.hpp"
#include "jms/KsPrimitiveMap.hpp"
#include "jms/KsURI.hpp"
#include "stomp/KsStompFrame.hpp"
#include "support/KsText.hpp"
#include "tests/common/KsScriptedPeer.hpp"
#include "tests/common/KsTestUtil.hpp"

namespace ks::test {
namespace {

using namespace std::chrono_literals;

const std::string kNotUtf8 = "\xFF\xFE\xC3(\x80";
const std::string kHuge(1 << 20, '7');

TEST(BadInput, FrameRefusesWhatWouldBreakItAndParsesAnyBytesSafely) {
  TKsStompFrame f;
  f.SetCommand("SEND");
  for (const std::string& bad : {std::string("a\nb"), std::string("a\rb"), std::string("a\0b", 3), std::string("a:b")}) {
    TKsStompFrame g;
    g.SetCommand("SEND");
    g.SetHeader(bad, "v");
    EXPECT_NE(ErrorOf<Exception>([&] { g.ToBytes(); }), "<no error>") << "name " << Trim(bad);
    std::string out = "keep";
    EXPECT_NE(ErrorOf<Exception>([&] { g.AppendBytes(out); }), "<no error>");
    EXPECT_EQ(out, "keep") << "bytes written before the refusal";
    if (bad != "a:b") {
      TKsStompFrame h;
      h.SetCommand("SEND");
      h.SetHeader("k", bad);
      EXPECT_NE(ErrorOf<Exception>([&] { h.ToBytes(); }), "<no error>") << "value refused";
    }
  }
  TKsStompFrame cmd;
  cmd.SetCommand("SE\nND");
  EXPECT_NE(ErrorOf<Exception>([&] { cmd.ToBytes(); }), "<no error>");
  // Empty and huge values, non-UTF-8 text: stored and encoded as given.
  f.SetHeader("", "x");
  f.SetHeader("big", kHuge);
  f.SetHeader("raw", kNotUtf8);
  f.SetBody(kHuge);
  EXPECT_EQ(f.GetHeader("big").size(), kHuge.size());
  EXPECT_EQ(f.GetHeader("raw"), kNotUtf8);
  EXPECT_EQ(ErrorOf<Exception>([&] { f.GetHeaderItem(INT_MIN); }), "Index out of bounds");
  EXPECT_EQ(ErrorOf<Exception>([&] { f.GetHeaderItem(INT_MAX); }), "Index out of bounds");
  // Parse: empty text, lone LF, NULs only, huge and non-UTF-8 input.
  for (const std::string& text : {std::string(), std::string("\n"), std::string(5, '\0'), kHuge, kNotUtf8 + "\n\n"}) {
    std::string e = ErrorOf<Exception>([&] { TKsStompFrame::Parse(text); });
    (void)e;  // a frame or a clear error; the sanitizers watch the rest
  }
  auto parsed = TKsStompFrame::Parse("MESSAGE\nk:" + kNotUtf8 + "\n\n" + kNotUtf8 + std::string(1, '\0') + "\n");
  EXPECT_EQ(parsed->GetHeader("k"), kNotUtf8);
  EXPECT_EQ(parsed->GetBody(), kNotUtf8);
  // GetLine with positions out of range.
  std::int32_t pos = 0;
  EXPECT_NE(ErrorOf<Exception>([&] { TKsStompFrame::GetLine("a\n", pos); }), "<no error>");
  pos = INT_MAX;
  EXPECT_NE(ErrorOf<Exception>([&] { TKsStompFrame::GetLine("a\n", pos); }), "<no error>");
  pos = 1;
  EXPECT_NE(ErrorOf<Exception>([&] { TKsStompFrame::GetLine("", pos); }), "<no error>");
  EXPECT_EQ(TKsStompFrame::GetContentLength("SEND\ncontent-length:" + kHuge + "\n\n"), 0);
  EXPECT_EQ(TKsStompFrame::GetContentLength("SEND\ncontent-length:-5\n\n"), -5);
}

TEST(BadInput, UriAndIntegerRuleTakeAnyText) {
  for (const std::string& text : {std::string(), kHuge, kNotUtf8, std::string("stomp://") + kNotUtf8 + ":-1",
                                 std::string("stomp://[::1"), std::string("stomp://]:["), std::string("://"),
                                 std::string("stomp://h:99999999999999999999")}) {
    EXPECT_EQ(ErrorOf<Exception>([&] { TKsURI uri(text); EXPECT_EQ(uri.GetURI(), text); }), "<no error>");
  }
  std::int32_t v = 42;
  for (const std::string& text : {std::string(), std::string(" "), std::string("-"), std::string("$"), std::string("0x"),
                                 kHuge, kNotUtf8, std::string("2147483648"), std::string("-2147483649"),
                                 std::string("$100000000"), std::string("1 "), std::string("\t1")}) {
    EXPECT_FALSE(TryStrToInt32(text, v)) << text.substr(0, 20);
  }
  EXPECT_TRUE(TryStrToInt32("-2147483648", v));
  EXPECT_EQ(v, INT_MIN);
  EXPECT_TRUE(TryStrToInt32("-$80000000", v));
  EXPECT_EQ(v, INT_MIN);
  EXPECT_EQ(Ellipsize(kNotUtf8, 2), "\xFF\xFE...");
  EXPECT_EQ(Utf8Left("\xC3\xA9\xC3\xA9", 1), "\xC3\xA9");
}

TEST(BadInput, PropertyMapAndMessagesFallBackWithoutRaising) {
  TPrimitiveMap map;
  map.SetString("", "v");
  map.SetString("huge", kHuge);
  map.SetString("raw", kNotUtf8);
  map.SetString("neg", "-7");
  EXPECT_EQ(map.GetInteger("huge"), 0);
  EXPECT_EQ(map.GetInteger("raw"), 0);
  EXPECT_EQ(map.GetInteger("neg"), -7);
  EXPECT_EQ(map.GetInteger("absent"), 0);
  EXPECT_FALSE(map.GetBoolean("raw"));
  EXPECT_EQ(map.GetString("raw"), kNotUtf8);
  map.SetInteger("min", INT_MIN);
  EXPECT_EQ(map.GetInteger("min"), INT_MIN);
  EXPECT_EQ(map.GetString("min"), "-2147483648");
  map.SetString("huge", "");
  EXPECT_EQ(map.GetString("huge"), "");

  TKsJMSTextMessage m(nullptr);  // no connection: Acknowledge is not called
  m.SetText(kNotUtf8);
  EXPECT_EQ(m.GetText(), kNotUtf8);
  EXPECT_EQ(ErrorOf<Exception>([&] { m.SetJMSPriority(10); }), "JMS_MAX_PRIORITY");
  EXPECT_EQ(ErrorOf<Exception>([&] { m.SetJMSPriority(INT_MAX); }), "JMS_MAX_PRIORITY");
  EXPECT_EQ(ErrorOf<Exception>([&] { m.SetJMSPriority(INT_MIN); }), "<no error>");
  EXPECT_EQ(m.GetJMSPriority(), INT_MIN);
  m.SetJMSReplyTo(nullptr);
  EXPECT_EQ(m.GetJMSReplyTo(), nullptr);
  m.SetJMSExpiration(-1.0e300);
  m.SetJMSTimestamp(1.0e300);
  EXPECT_EQ(m.GetIntProperty("absent"), 0);
  EXPECT_EQ(m.GetStringProperty(""), "");
}

// The messaging objects against a scripted broker that accepts everything.
class BadInputMessaging : public ::testing::Test {
 protected:
  static TKsScriptedPeerOptions Options() {
    TKsScriptedPeerOptions o;
    o.AutoConnected = true;
    return o;
  }
  void SetUp() override {
    factory_ = std::make_shared<TKsJMSConnectionFactory>("", "", peer_.Url());
    connection_ = factory_->CreateConnection();
    connection_->Start();
    session_ = connection_->CreateSession(false, AUTO_ACKNOWLEDGE);
  }
  void TearDown() override { connection_->Close(); }
  TKsScriptedPeer peer_{Options()};
  std::shared_ptr<IConnectionFactory> factory_;
  std::shared_ptr<IConnection> connection_;
  std::shared_ptr<ISession> session_;
};

TEST_F(BadInputMessaging, AbsentAndOddReferencesGiveClearErrors) {
  auto queue = session_->CreateQueue("q");
  auto producer = session_->CreateProducer(queue);
  auto unbound = session_->CreateProducer(nullptr);
  auto text = session_->CreateTextMessage("hi");
  EXPECT_EQ(ErrorOf<Exception>([&] { unbound->Send(text); }), "A destination must be specified.");
  EXPECT_EQ(ErrorOf<Exception>([&] { producer->Send(nullptr, text); }), "Don't understand null destinations.");
  EXPECT_NE(ErrorOf<Exception>([&] { producer->Send(std::shared_ptr<IMessage>()); }), "<no error>") << "an absent message was sent";
  EXPECT_NE(ErrorOf<Exception>([&] { session_->CreateConsumer(nullptr); }), "<no error>");
  EXPECT_EQ(ErrorOf<Exception>([&] { producer->SetPriority(-1); }),
            "IllegalStateException(\"default priority must be a value between 0 and 9\")");
  EXPECT_EQ(ErrorOf<Exception>([&] { producer->SetPriority(INT_MAX); }),
            "IllegalStateException(\"default priority must be a value between 0 and 9\")");
  // Names and texts that are empty, huge or not UTF-8 are sent as given,
  // except where a header would break the frame: then nothing is written.
  EXPECT_EQ(ErrorOf<Exception>([&] { session_->CreateQueue(""); }), "<no error>");
  EXPECT_EQ(ErrorOf<Exception>([&] { producer->Send(session_->CreateTextMessage(kNotUtf8)); }), "<no error>");
  EXPECT_EQ(ErrorOf<Exception>([&] { producer->Send(session_->CreateTextMessage(std::string(4 << 20, 'b'))); }), "<no error>");
  auto bad = session_->CreateTextMessage("x");
  bad->SetStringProperty("evil\nname", "v");
  auto badValue = session_->CreateTextMessage("x");
  badValue->SetStringProperty("k", "line\nbreak");
  ASSERT_TRUE(peer_.ReadUntil([](const std::string& r) { return r.find(std::string(4 << 20, 'b')) != std::string::npos; },
                              10000ms));
  const std::size_t before = peer_.Received().size();
  EXPECT_NE(ErrorOf<Exception>([&] { producer->Send(bad); }), "<no error>");
  EXPECT_NE(ErrorOf<Exception>([&] { producer->Send(badValue); }), "<no error>");
  auto reserved = session_->CreateTextMessage("x");
  reserved->SetStringProperty("destination", "elsewhere");
  EXPECT_EQ(ErrorOf<Exception>([&] { producer->Send(reserved); }), "destination is a reserved property name");
  producer->Send(session_->CreateTextMessage("marker"));
  ASSERT_TRUE(peer_.ReadUntil([](const std::string& r) { return r.find("marker") != std::string::npos; }, 5000ms));
  const std::string after = peer_.Received().substr(before);
  EXPECT_EQ(after.find("evil"), std::string::npos) << "a refused frame was partly written";
  EXPECT_EQ(after.find("line"), std::string::npos) << "a refused frame was partly written";
  EXPECT_EQ(after.find("elsewhere"), std::string::npos);

  auto consumer = session_->CreateConsumer(queue);
  EXPECT_EQ(ErrorOf<Exception>([&] { consumer->Receive(1); }), "<no error>");
  EXPECT_EQ(ErrorOf<Exception>([&] { consumer->SetMessageListener(nullptr); }), "<no error>");
  EXPECT_EQ(ErrorOf<Exception>([&] { session_->Unsubscribe("", ""); }), "<no error>");
}

}  // namespace
}  // namespace ks::test
