// The TCP adapter against a scripted loopback peer: frame cutting, the
// synchronous reads, the reader thread, connect and disconnect, tracing.
#include "stomp/KsCommAdapterIndy.hpp"

#include <chrono>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "jms/KsURI.hpp"
#include "stomp/KsStompFrame.hpp"
#include "tests/common/KsScriptedPeer.hpp"
#include "tests/common/KsTestUtil.hpp"

namespace ks {
namespace {

using test::ElapsedMs;
using test::TimeBoundMs;
using test::TKsScriptedPeer;
using test::TKsScriptedPeerOptions;
using test::WaitUntil;
using Clock = test::TClock;
using namespace std::chrono_literals;
using namespace std::string_literals;

// A string literal with its embedded NUL bytes.
#define B(lit) std::string(lit, sizeof(lit) - 1)

// A logger that records what reaches it; IsDebugEnabled as configured.
class TRecordingLogger : public ILogging {
 public:
  explicit TRecordingLogger(bool debug) : debug_(debug) {}
  void SetConsoleOutput(bool) override {}
  bool GetConsoleOutput() const override { return false; }
  void SetLevel(TLogLevel) override {}
  TLogLevel GetLevel() const override { return debug_ ? LOG_TRACE : LOG_INFO; }
  void SetOnLog(TLogEvent) override {}
  TLogEvent GetOnLog() const override { return {}; }
  void Trace(const std::string& text) override { Log(text, LOG_TRACE); }
  void Debug(const std::string& text) override { Log(text, LOG_DEBUG); }
  void Info(const std::string& text) override { Log(text, LOG_INFO); }
  void Warn(const std::string& text) override { Log(text, LOG_WARN); }
  void Error(const std::string& text) override { Log(text, LOG_ERROR); }
  void Fatal(const std::string& text) override { Log(text, LOG_FATAL); }
  void Log(const std::string& text, TLogLevel level) override {
    std::lock_guard<std::mutex> lock(mutex_);
    lines_.push_back(std::string(LogLevelLabel(level)) + " " + text);
  }
  std::string FormatLine(const std::string& text, TLogLevel) const override { return text; }
  bool IsDebugEnabled() const override { return debug_; }
  std::vector<std::string> Lines() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return lines_;
  }
  std::vector<std::string> Errors() const {
    std::vector<std::string> errors;
    for (const auto& l : Lines()) {
      if (l.rfind("ERROR ", 0) == 0) errors.push_back(l);
    }
    return errors;
  }

 private:
  bool debug_;
  mutable std::mutex mutex_;
  std::vector<std::string> lines_;
};

// An adapter wired to a scripted peer that answers CONNECT by itself.
class AdapterTest : public ::testing::Test {
 protected:
  void SetUp() override {
    TKsScriptedPeerOptions options;
    options.AutoConnected = true;
    peer_ = std::make_unique<TKsScriptedPeer>(options);
    adapter_ = std::make_unique<TKsCommAdapterIndy>();
    logger_ = std::make_shared<TRecordingLogger>(false);
    adapter_->SetLogger(logger_);
    adapter_->SetDirectDispatch(true);
    adapter_->SetURI(std::make_shared<TKsURI>(peer_->Url()));
    adapter_->SetOnConnect([](IStompCommAdapter* a) { a->Transmit(B("CONNECT\n\n\0\n"), -1); });
    adapter_->SetOnDataAvailable([this](IStompCommAdapter*, const std::string& text) {
      std::lock_guard<std::mutex> lock(mutex_);
      frames_.push_back(text);
      threads_.push_back(std::this_thread::get_id());
    });
  }

  void TearDown() override {
    if (adapter_) adapter_->Disconnect();
  }

  void ConnectAndForget() {
    adapter_->Connect();
    std::lock_guard<std::mutex> lock(mutex_);
    ASSERT_EQ(frames_.size(), 1u);
    EXPECT_EQ(frames_[0], "CONNECTED\nsession:s1\n\n");
    frames_.clear();
    threads_.clear();
  }

  std::vector<std::string> Frames() {
    std::lock_guard<std::mutex> lock(mutex_);
    return frames_;
  }

  bool WaitFrames(std::size_t count) {
    return WaitUntil([&] { return Frames().size() >= count; });
  }

  // Waits until the peer's bytes have reached the client's input buffer.
  void WaitBuffered(std::size_t count) {
    TIdStompClient* client = adapter_->GetClient();
    ASSERT_TRUE(WaitUntil([&] {
      client->CheckForDataOnSource(50);
      return client->InputBufferSize() >= count;
    }));
  }

  std::unique_ptr<TKsScriptedPeer> peer_;
  std::unique_ptr<TKsCommAdapterIndy> adapter_;
  std::shared_ptr<TRecordingLogger> logger_;
  std::mutex mutex_;
  std::vector<std::string> frames_;
  std::vector<std::thread::id> threads_;
};

TEST_F(AdapterTest, ConnectLogsInAndRefusesASecondConnect) {
  std::vector<std::string> order;
  adapter_->SetOnAfterConnect([&](IStompCommAdapter*) { order.push_back("after"); });
  auto onConnect = adapter_->GetOnConnect();
  adapter_->SetOnConnect([&, onConnect](IStompCommAdapter* a) {
    order.push_back("connect");
    onConnect(a);
  });
  ConnectAndForget();
  EXPECT_EQ(order, (std::vector<std::string>{"after", "connect"}));
  EXPECT_EQ(peer_->ReadFrame(), B("CONNECT\n\n\0"));
  EXPECT_TRUE(adapter_->Connected());
  ASSERT_NE(adapter_->GetReaderThread(), nullptr);
  EXPECT_TRUE(adapter_->GetReaderThread()->Stopped());
  try {
    adapter_->Connect();
    FAIL() << "connected twice";
  } catch (const Exception& e) {
    EXPECT_STREQ(e.what(), "Transport layer is already connected");
  }
  EXPECT_THROW(adapter_->SetURI(std::make_shared<TKsURI>("stomp://localhost:1")), Exception);

  // Disconnect closes the socket and the adapter may connect again.
  auto start = Clock::now();
  adapter_->Disconnect();
  EXPECT_LT(ElapsedMs(start), TimeBoundMs(1000));
  EXPECT_FALSE(adapter_->Connected());
  EXPECT_EQ(adapter_->GetReaderThread(), nullptr);
  EXPECT_TRUE(peer_->WaitClientClosed());
}

TEST_F(AdapterTest, AnErrorReplyLeavesConnect) {
  peer_.reset();
  TKsScriptedPeerOptions options;
  options.AutoConnected = true;
  options.ConnectedReply = B("ERROR\nmessage:denied\n\nbad login\0\n");
  peer_ = std::make_unique<TKsScriptedPeer>(options);
  adapter_->SetURI(std::make_shared<TKsURI>(peer_->Url()));
  adapter_->SetOnDataAvailable([](IStompCommAdapter*, const std::string& text) {
    if (text.rfind("ERROR", 0) == 0) throw EKsStompError("denied bad login");
  });
  EXPECT_THROW(adapter_->Connect(), EKsStompError);
  EXPECT_EQ(adapter_->GetReaderThread(), nullptr);
}

TEST_F(AdapterTest, PortTextOutsideTheRangeIsRefused) {
  for (const char* port : {"70000", "-1", "abc", "0", "65536"}) {
    adapter_->SetURI(std::make_shared<TKsURI>(std::string("stomp://127.0.0.1:") + port));
    try {
      adapter_->Connect();
      FAIL() << "connected with port " << port;
    } catch (const EKsStompClientConnectError& e) {
      EXPECT_EQ(std::string(e.what()),
                std::string("Invalid port \"") + port + "\": not a number between 1 and 65535");
    }
    EXPECT_FALSE(peer_->WaitAccepted(0ms));
  }
  adapter_->SetURI(std::make_shared<TKsURI>("stomp://127.0.0.1:" + std::to_string(peer_->Port())));
  EXPECT_NO_THROW(adapter_->Connect());
  EXPECT_EQ(adapter_->GetClient()->GetPort(), peer_->Port());
}

TEST_F(AdapterTest, IncomingStreamsAreCutIntoFrames) {
  ConnectAndForget();
  // Body with NUL bytes and content-length: byte for byte, with NUL LF.
  ASSERT_TRUE(peer_->Send(B("MESSAGE\ncontent-length:5\n\na\0b\0c\0\n")));
  adapter_->ReceiveFrame(2000, true);
  // Without content-length: up to the first NUL, byte for byte; the header
  // block's trailing blanks go. Stray LFs before the next command are
  // ignored: the blank gap does not end the read.
  ASSERT_TRUE(peer_->Send(B("\n\n\n   MESSAGE\nid:2   \n\n  hello \t\0world\0\n")));
  adapter_->ReceiveFrame(2000, true);
  auto frames = Frames();
  ASSERT_EQ(frames.size(), 2u);
  EXPECT_EQ(frames[0], B("MESSAGE\ncontent-length:5\n\na\0b\0c\0\n"));
  EXPECT_EQ(frames[1], "MESSAGE\nid:2\n\n  hello \t");
  EXPECT_EQ(adapter_->GetClient()->InputBuffer(), B("world\0\n"));
}

TEST_F(AdapterTest, FromVersionOneOneTrailingBlanksStayAndOneTwoFramesMayEndLinesInCrLf) {
  ConnectAndForget();
  adapter_->SetProtocolVersion(TKsStompVersion::V1_2);
  // Heart-beats (LF or CR LF) in front; the last value's blanks are its own.
  ASSERT_TRUE(peer_->Send(B("\n\r\n\nMESSAGE\nid:2   \n\nhello\0\n")));
  adapter_->ReceiveFrame(2000, true);
  ASSERT_TRUE(peer_->Send(B("MESSAGE\r\ncontent-length:3\r\nid:3 \r\n\r\nx\0y\0\n")));
  adapter_->ReceiveFrame(2000, true);
  auto frames = Frames();
  ASSERT_EQ(frames.size(), 2u);
  EXPECT_EQ(frames[0], "MESSAGE\nid:2   \n\nhello");
  TKsParsedFrame parsed;
  parsed.Parse(frames[1], TKsStompVersion::V1_2);
  EXPECT_EQ(*parsed.Find("id"), "3 ");
  EXPECT_EQ(parsed.Body(), B("x\0y"));
}

TEST_F(AdapterTest, FramesCutByteByByteAndBlankHeaderBlocks) {
  ConnectAndForget();
  const std::string frame = B("MESSAGE\ncontent-length:3\nid:7\n\nx\0y\0\n");
  std::thread writer([&] {
    for (char c : frame) {
      peer_->Send(std::string(1, c));
      std::this_thread::yield();
    }
  });
  adapter_->ReceiveFrame(3000, true);
  writer.join();
  ASSERT_EQ(Frames().size(), 1u);
  EXPECT_EQ(Frames()[0], frame);

  // A header block of blanks: ReceiveFrame returns without a callback.
  ASSERT_TRUE(peer_->Send(" \t \n\n"));
  adapter_->ReceiveFrame(2000, true);
  EXPECT_EQ(Frames().size(), 1u);
  EXPECT_TRUE(adapter_->GetClient()->InputBufferIsEmpty());

  // A header block over the limit (64 KiB): dropped and said, and the frame
  // after it is read.
  ASSERT_TRUE(peer_->Send("MESSAGE\nh:" + std::string(70000, 'v') + B("\n\nbody\0\nMESSAGE\nafter:1\n\nok\0\n")));
  adapter_->ReceiveFrame(2000, true);
  ASSERT_EQ(Frames().size(), 2u);
  EXPECT_EQ(Frames()[1], "MESSAGE\nafter:1\n\nok");
  EXPECT_EQ(logger_->Errors(),
            std::vector<std::string>{"ERROR TKsCommAdapterIndy: Header block of 70010 bytes exceeds the maximum header "
                                     "size of 65536 bytes; frame skipped"});
}

TEST_F(AdapterTest, ATimeOutInTheMiddleOfAFrameLosesNothing) {
  ConnectAndForget();
  ASSERT_TRUE(peer_->Send("MESSAGE\ncontent-length:10\n\n0123"));
  WaitBuffered(31);
  auto start = Clock::now();
  adapter_->ReceiveFrame(100, false);  // a pure time-out returns quietly
  EXPECT_GE(ElapsedMs(start), 90);
  EXPECT_THROW(adapter_->ReceiveFrame(50, true), EKsReadTimeout);
  EXPECT_TRUE(Frames().empty());
  ASSERT_TRUE(peer_->Send(B("456789\0\nMESSAGE\n\nnext\0")));
  adapter_->ReceiveFrame(2000, true);
  adapter_->ReceiveFrame(2000, true);
  auto frames = Frames();
  ASSERT_EQ(frames.size(), 2u);
  EXPECT_EQ(frames[0], B("MESSAGE\ncontent-length:10\n\n0123456789\0\n"));
  EXPECT_EQ(frames[1], "MESSAGE\n\nnext");

  // The same for a body read up to NUL, and for the header block itself.
  ASSERT_TRUE(peer_->Send("\nMESSAGE\nid:"));
  adapter_->ReceiveFrame(50, false);
  ASSERT_TRUE(peer_->Send("3\n\nbo"));
  adapter_->ReceiveFrame(50, false);
  ASSERT_TRUE(peer_->Send(B("dy\0")));
  adapter_->ReceiveFrame(2000, true);
  ASSERT_EQ(Frames().size(), 3u);
  EXPECT_EQ(Frames()[2], "MESSAGE\nid:3\n\nbody");
}

TEST_F(AdapterTest, UnusableContentLengthIsRefused) {
  ConnectAndForget();
  struct Case {
    const char* value;
    const char* reason;
  };
  for (Case c : {Case{"-1", "negative"}, Case{"abc", "not a number"}, Case{"2147483646", "too large"},
                 Case{"99999999999", "too large"}}) {
    ASSERT_TRUE(peer_->Send(std::string("MESSAGE\ncontent-length:") + c.value + "\n\nxyz"));
    WaitBuffered(std::string("MESSAGE\ncontent-length:").size() + std::string(c.value).size() + 5);
    try {
      adapter_->ReceiveFrame(500, true);
      FAIL() << "accepted content-length " << c.value;
    } catch (const EKsInvalidContentLength& e) {
      EXPECT_EQ(std::string(e.what()), std::string("Invalid content-length \"") + c.value + "\": " + c.reason);
    }
    EXPECT_TRUE(Frames().empty());
    adapter_->GetClient()->Consume(adapter_->GetClient()->InputBufferSize());
  }
  // The largest usable length waits for its bytes without reserving them.
  ASSERT_TRUE(peer_->Send("MESSAGE\ncontent-length:2147483645\n\nxyz"));
  adapter_->ReceiveFrame(100, false);
  EXPECT_TRUE(Frames().empty());
}

TEST_F(AdapterTest, SynchronousReadsOnAClosedConnection) {
  ConnectAndForget();
  // A whole frame buffered before the close is still delivered.
  ASSERT_TRUE(peer_->Send(B("MESSAGE\n\nlast\0\nMESSAGE\n\npart")));
  peer_->Close();
  adapter_->WaitForFrame();
  ASSERT_EQ(Frames().size(), 1u);
  EXPECT_EQ(Frames()[0], "MESSAGE\n\nlast");

  auto start = Clock::now();
  try {
    adapter_->WaitForFrame();
    FAIL() << "WaitForFrame returned on a closed connection";
  } catch (const EKsConnClosedGracefully& e) {
    EXPECT_STREQ(e.what(), "Connection Closed Gracefully.");
  }
  EXPECT_LT(ElapsedMs(start), TimeBoundMs(1000));
  EXPECT_THROW(adapter_->ReceiveFrame(100, false), EKsConnClosedGracefully);
  EXPECT_THROW(adapter_->ReceiveFrame(-1, false), EKsConnClosedGracefully);
  EXPECT_NO_THROW(adapter_->PollFrame());
  EXPECT_FALSE(adapter_->DataAvailable());
  EXPECT_FALSE(adapter_->Connected());
  EXPECT_EQ(Frames().size(), 1u);
}

TEST_F(AdapterTest, AFrameHandedOverParsedSurvivesAReadFromInsideItsHandler) {
  // The parsed frame's views point into the input buffer; the handler reads
  // the next frame into that same buffer before it looks at them again.
  ConnectAndForget();
  std::vector<std::string> seen;
  adapter_->SetOnFrameParsed([&](IStompCommAdapter*, const TKsParsedFrame& frame) {
    const std::string destination(*frame.Find("destination"));
    const std::string body(frame.Body());
    if (seen.empty()) {
      seen.push_back(destination + " " + body);
      EXPECT_TRUE(peer_->Send(B("MESSAGE\ndestination:/queue/second\n\nsecond body\0\n")));
      adapter_->ReceiveFrame(3000, true);
    }
    seen.push_back(std::string(*frame.Find("destination")) + " " + std::string(frame.Body()));
  });
  ASSERT_TRUE(peer_->Send(B("MESSAGE\ndestination:/queue/first\n\nfirst body\0")));
  WaitBuffered(45);
  adapter_->ReceiveFrame(3000, true);
  EXPECT_EQ(seen, (std::vector<std::string>{"/queue/first first body", "/queue/second second body",
                                            "/queue/first first body"}));
  EXPECT_TRUE(Frames().empty());
}

TEST_F(AdapterTest, BufferedFramesAreSeenWithoutNewNetworkData) {
  ConnectAndForget();
  ASSERT_TRUE(peer_->Send(B("MESSAGE\nid:1\n\none\0\nMESSAGE\ncontent-length:3\n\ntwo\0\nMESSAGE\n\nthree\0\n")));
  WaitBuffered(64);
  auto start = Clock::now();
  EXPECT_TRUE(adapter_->DataAvailable());
  adapter_->WaitForFrame();
  EXPECT_TRUE(adapter_->DataAvailable());
  adapter_->PollFrame();
  adapter_->PollFrame();
  EXPECT_LT(ElapsedMs(start), TimeBoundMs(40));  // no 50 ms wait for any of them
  ASSERT_EQ(Frames().size(), 3u);
  EXPECT_EQ(Frames()[2], "MESSAGE\n\nthree");

  // Only the LF after a frame without content-length is left: PollFrame
  // returns after its short wait, without a callback.
  EXPECT_EQ(adapter_->GetClient()->InputBuffer(), "\n");
  start = Clock::now();
  adapter_->PollFrame();
  EXPECT_LT(ElapsedMs(start), TimeBoundMs(500));
  EXPECT_FALSE(adapter_->DataAvailable());
  EXPECT_EQ(Frames().size(), 3u);
}

TEST_F(AdapterTest, ReaderThreadDeliversOnItsOwnThreadAndPausesOnStop) {
  ConnectAndForget();
  adapter_->Start();
  // Many frames in one network read go out one after another at once.
  std::string burst;
  for (int i = 0; i < 50; ++i) burst += "MESSAGE\nid:" + std::to_string(i) + "\n\nbody\0\n"s;
  auto start = Clock::now();
  ASSERT_TRUE(peer_->Send(burst));
  ASSERT_TRUE(WaitFrames(50));
  EXPECT_LT(ElapsedMs(start), TimeBoundMs(150));
  {
    std::lock_guard<std::mutex> lock(mutex_);
    EXPECT_EQ(frames_[49], "MESSAGE\nid:49\n\nbody");
    for (auto id : threads_) EXPECT_NE(id, std::this_thread::get_id());
  }

  // Stop takes effect within about 200 ms while idle, also with a partial
  // frame buffered; the frame is then finished by a synchronous read.
  ASSERT_TRUE(peer_->Send("MESSAGE\nid:x\n\nhal"));
  start = Clock::now();
  adapter_->Stop();
  TKsStompReadThread* reader = adapter_->GetReaderThread();
  EXPECT_TRUE(reader->Stopped());
  EXPECT_TRUE(WaitUntil([&] { return reader->Idle(); }));
  EXPECT_LT(ElapsedMs(start), TimeBoundMs(300));
  ASSERT_TRUE(peer_->Send(B("f\0\n")));
  adapter_->ReceiveFrame(2000, true);
  ASSERT_EQ(Frames().size(), 51u);
  EXPECT_EQ(Frames()[50], "MESSAGE\nid:x\n\nhalf");

  // Start resumes.
  adapter_->Start();
  ASSERT_TRUE(peer_->Send(B("MESSAGE\n\nagain\0\n")));
  ASSERT_TRUE(WaitFrames(52));
  EXPECT_TRUE(logger_->Errors().empty());
}

TEST_F(AdapterTest, ReaderEndsWhenThePeerClosesAndSaysWhy) {
  ConnectAndForget();
  adapter_->Start();
  ASSERT_TRUE(peer_->Send(B("MESSAGE\n\nx\0\n")));
  ASSERT_TRUE(WaitFrames(1));
  auto start = Clock::now();
  peer_->Close();
  TKsStompReadThread* reader = adapter_->GetReaderThread();
  EXPECT_TRUE(WaitUntil([&] { return reader->Finished(); }));
  EXPECT_LT(ElapsedMs(start), TimeBoundMs(400));
  EXPECT_EQ(Frames().size(), 1u);
  auto errors = logger_->Errors();
  ASSERT_EQ(errors.size(), 1u);
  EXPECT_EQ(errors[0], "ERROR TKsCommAdapterIndy: Connection Closed Gracefully.");
}

TEST_F(AdapterTest, AHandlerErrorIsReportedAndTheReaderGoesOn) {
  adapter_->SetOnDataAvailable([this](IStompCommAdapter*, const std::string& text) {
    std::lock_guard<std::mutex> lock(mutex_);
    frames_.push_back(text);
    if (text.rfind("ERROR", 0) == 0) throw EKsStompError("server said no");
  });
  ConnectAndForget();
  adapter_->Start();
  ASSERT_TRUE(peer_->Send(B("ERROR\nmessage:no\n\n\0\nMESSAGE\n\nnext\0\n")));
  ASSERT_TRUE(WaitFrames(2)) << "the reader stopped at the frame whose handler failed";
  EXPECT_EQ(Frames()[1], "MESSAGE\n\nnext");
  EXPECT_FALSE(adapter_->GetReaderThread()->Finished());
  EXPECT_EQ(logger_->Errors(), std::vector<std::string>{"ERROR TKsCommAdapterIndy: server said no"});
}

TEST_F(AdapterTest, DisconnectIsPromptAndQuiet) {
  // Never-started reader.
  ConnectAndForget();
  auto start = Clock::now();
  adapter_->Disconnect();
  EXPECT_LT(ElapsedMs(start), TimeBoundMs(600));

  // Running reader, DISCONNECT sent and the peer hangs up at once: no error.
  peer_ = std::make_unique<TKsScriptedPeer>(TKsScriptedPeerOptions{true, false, B("CONNECTED\n\n\0\n")});
  adapter_->SetURI(std::make_shared<TKsURI>(peer_->Url()));
  adapter_->Connect();
  adapter_->Start();
  adapter_->Transmit(B("DISCONNECT\n\n\0\n"), -1);
  ASSERT_FALSE(peer_->ReadFrame().empty());  // CONNECT
  ASSERT_EQ(peer_->ReadFrame(), B("DISCONNECT\n\n\0"));
  peer_->Close();
  start = Clock::now();
  adapter_->Disconnect();
  EXPECT_LT(ElapsedMs(start), TimeBoundMs(800));
  EXPECT_TRUE(logger_->Errors().empty());

  // Disconnect from inside a handler on the reader thread.
  peer_ = std::make_unique<TKsScriptedPeer>(TKsScriptedPeerOptions{true, false, B("CONNECTED\n\n\0\n")});
  adapter_->SetURI(std::make_shared<TKsURI>(peer_->Url()));
  adapter_->Connect();
  std::atomic<bool> done{false};
  adapter_->SetOnDataAvailable([&](IStompCommAdapter* a, const std::string&) {
    a->Disconnect();
    done = true;
  });
  adapter_->Start();
  ASSERT_TRUE(peer_->Send(B("MESSAGE\n\nbye\0\n")));
  EXPECT_TRUE(WaitUntil([&] { return done.load(); }));
  EXPECT_TRUE(peer_->WaitClientClosed());
  // Reconnecting joins the retired reader.
  peer_ = std::make_unique<TKsScriptedPeer>(TKsScriptedPeerOptions{true, false, B("CONNECTED\n\n\0\n")});
  adapter_->SetURI(std::make_shared<TKsURI>(peer_->Url()));
  adapter_->SetOnDataAvailable([](IStompCommAdapter*, const std::string&) {});
  EXPECT_NO_THROW(adapter_->Connect());
}

TEST_F(AdapterTest, DispatchThroughTheApplicationThreadWhenNotDirect) {
  ConnectAndForget();
  adapter_->SetDirectDispatch(false);
  adapter_->Start();
  ASSERT_TRUE(peer_->Send(B("MESSAGE\n\none\0\nMESSAGE\n\ntwo\0\n")));
  ASSERT_TRUE(WaitUntil([&] {
    CheckSynchronize(50);
    return Frames().size() >= 2;
  }));
  ASSERT_EQ(Frames().size(), 2u);
  {
    std::lock_guard<std::mutex> lock(mutex_);
    for (auto id : threads_) EXPECT_EQ(id, std::this_thread::get_id());
  }
  // A frame queued but never drained does not hold up Disconnect, and is
  // dropped.
  ASSERT_TRUE(peer_->Send(B("MESSAGE\n\nthree\0\n")));
  ASSERT_TRUE(WaitUntil([] { return PendingSynchronizeCalls() == 1; }));
  const auto start = Clock::now();
  adapter_->Disconnect();
  EXPECT_LT(ElapsedMs(start), TimeBoundMs(1000));
  EXPECT_EQ(PendingSynchronizeCalls(), 0u);
  EXPECT_FALSE(CheckSynchronize(0));
}

TEST_F(AdapterTest, TracesOnlyWhenDebugIsEnabled) {
  ConnectAndForget();
  adapter_->Transmit(B("SEND\ndestination:q\n\nx\0\n"), 1000);
  adapter_->Disconnect();
  EXPECT_TRUE(logger_->Lines().empty());

  auto debugLogger = std::make_shared<TRecordingLogger>(true);
  adapter_->SetLogger(debugLogger);
  peer_ = std::make_unique<TKsScriptedPeer>(TKsScriptedPeerOptions{true, false, B("CONNECTED\n\n\0\n")});
  adapter_->SetURI(std::make_shared<TKsURI>(peer_->Url()));
  adapter_->Connect();
  adapter_->Transmit(B("SEND\ndestination:q\n\nx\0\n"), 1000);
  adapter_->Disconnect();
  std::vector<std::string> traces;
  for (const auto& line : debugLogger->Lines()) {
    if (line.rfind("TRACE ", 0) == 0) traces.push_back(line.substr(6));
  }
  EXPECT_EQ(traces, (std::vector<std::string>{"TKsCommAdapterIndy: Connect", "TKsCommAdapterIndy: StompTransmit",
                                              "TKsCommAdapterIndy: StompTransmit done",
                                              "TKsCommAdapterIndy: StompTransmit",
                                              "TKsCommAdapterIndy: StompTransmit done",
                                              "TKsCommAdapterIndy: StompDisconnect"}));
  EXPECT_EQ(peer_->ReadFrame(), B("CONNECT\n\n\0"));
  EXPECT_EQ(peer_->ReadFrame(), B("SEND\ndestination:q\n\nx\0"));
}

TEST(KsCommAdapterIndy, NamesAndProtocol) {
  TKsCommAdapterIndy adapter;
  EXPECT_EQ(adapter.GetName(), "TKsCommAdapterIndy");
  EXPECT_TRUE(adapter.SupportsProtocol("stomp"));
  EXPECT_FALSE(adapter.SupportsProtocol("STOMP"));
  EXPECT_FALSE(adapter.SupportsProtocol("stomp+ssl"));
  EXPECT_EQ(adapter.GetConnectTimeout(), 0);
  EXPECT_FALSE(adapter.GetUseConnectTimeout());
  EXPECT_NE(adapter.GetSSLOptions(), nullptr);
  EXPECT_FALSE(adapter.Connected());
  // No reader yet: Start, Stop and Disconnect do nothing and end at once.
  adapter.Start();
  adapter.Stop();
  auto start = Clock::now();
  adapter.Disconnect();
  EXPECT_LT(ElapsedMs(start), TimeBoundMs(100));
}

}  // namespace
}  // namespace ks
