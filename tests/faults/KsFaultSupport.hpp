// KsFaultSupport: helpers of the fault and load suites.
//
// - TSilentBroker: a loopback peer that accepts one connection, answers the
//   client's CONNECT with CONNECTED and then never reads again, so that the
//   client's socket send buffer fills and its writes block. Its receive
//   buffer is made small so that this happens after a few hundred kilobytes.
// - TLibraryClient: one connection, one auto-acknowledge session, a queue or
//   topic, a producer and a consumer made through the public messaging
//   interface, for tests of the library against a broker.
// - AwaitSubscribeId: the id of the client's SUBSCRIBE as a scripted peer
//   reads it. (TextOf and TCollector come from tests/common/KsCollector.hpp.)
// - TScriptedConsumerTest: a test fixture with a consumer against a scripted
//   broker.
// - SequenceNumbers / CheckExactlyOnce / CheckAtLeastOnce: read the
//   sequence numbers that the tests and Spigot put in message texts
//   ("Message: <n> sent at: ..." or "seq:<n>") and check that each of
//   0..count-1 is there exactly (or at least) once.
// - TransactedSiphonKilledLosesNothing / RolledBackMessagesComeBackRedelivered:
//   transacted consumption against any broker, for the fault and interop
//   suites alike.
//
// Ownership: each helper owns its sockets and threads and stops them in its
// destructor. Threads: one test thread uses a helper at a time.
#pragma once

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cctype>
#include <chrono>
#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "jms/KsJMSConnection.hpp"
#include "jms/KsJMSConnectionFactory.hpp"
#include "jms/KsJMSInterfaces.hpp"
#include "tests/common/KsCollector.hpp"
#include "tests/common/KsProcess.hpp"
#include "tests/common/KsScriptedPeer.hpp"
#include "tests/common/KsTestUtil.hpp"

namespace ks::test {

class TSilentBroker {
 public:
  TSilentBroker() {
    listen_ = ListenOnLoopback(port_, 1, 4096);
    thread_ = std::thread([this] { Serve(); });
  }
  ~TSilentBroker() {
    stop_ = true;
    ::shutdown(listen_, SHUT_RDWR);
    thread_.join();
    if (conn_ >= 0) ::close(conn_);
    ::close(listen_);
  }
  std::string Url() const { return "stomp://127.0.0.1:" + std::to_string(port_); }
  bool Connected() const { return connected_; }

 private:
  void Serve() {
    pollfd p{listen_, POLLIN, 0};
    while (!stop_ && ::poll(&p, 1, 100) == 0) {
    }
    if (stop_) return;
    conn_ = ::accept(listen_, nullptr, nullptr);
    if (conn_ < 0) return;
    // Read the CONNECT frame (up to its NUL), then answer and stop reading.
    std::string got;
    char c;
    while (!stop_ && ::recv(conn_, &c, 1, 0) == 1) {
      if (c == '\0') break;
      got.push_back(c);
    }
    static const char kConnected[] = "CONNECTED\nsession:silent\n\n\0\n";
    ::send(conn_, kConnected, sizeof kConnected - 1, MSG_NOSIGNAL);
    connected_ = true;
  }

  int listen_ = -1;
  int conn_ = -1;
  std::uint16_t port_ = 0;
  std::atomic<bool> stop_{false};
  std::atomic<bool> connected_{false};
  std::thread thread_;
};

struct TLibraryClient {
  // Connects (Start) to url; destination is a queue unless topic.
  TLibraryClient(const std::string& url, const std::string& name, bool topic = false, std::int32_t sendTimeout = -1) {
    auto f = std::make_shared<TKsJMSConnectionFactory>("", "", url);
    f->SetSendTimeout(sendTimeout);
    factory = f;
    connection = factory->CreateConnection();
    connection->Start();
    session = connection->CreateSession(false, AUTO_ACKNOWLEDGE);
    if (topic) {
      destination = session->CreateTopic(name);
    } else {
      destination = session->CreateQueue(name);
    }
    producer = session->CreateProducer(destination);
  }
  ~TLibraryClient() {
    try {
      if (connection) connection->Close();
    } catch (...) {
    }
  }
  std::shared_ptr<IMessageConsumer> Consumer() {
    if (!consumer) consumer = session->CreateConsumer(destination);
    return consumer;
  }
  void SendText(const std::string& text) { producer->Send(session->CreateTextMessage(text)); }

  std::shared_ptr<IConnectionFactory> factory;
  std::shared_ptr<IConnection> connection;
  std::shared_ptr<ISession> session;
  std::shared_ptr<IDestination> destination;
  std::shared_ptr<IMessageProducer> producer;
  std::shared_ptr<IMessageConsumer> consumer;
};

// A case name made of Cistern's options ("--FaultChunk=3" gives
// "FaultChunk3"), for suites parameterised by them.
inline std::string CisternOptionsName(const ::testing::TestParamInfo<std::vector<std::string>>& info) {
  std::string name;
  for (const std::string& option : info.param) {
    for (char c : option) {
      if (std::isalnum(static_cast<unsigned char>(c))) name.push_back(c);
    }
  }
  return name;
}

// Reads the client's frames at a scripted peer until a SUBSCRIBE and
// answers its "id"; empty when none came within the deadline.
inline std::string AwaitSubscribeId(TKsScriptedPeer& peer, std::chrono::milliseconds deadline) {
  for (;;) {
    std::string f = peer.ReadFrame(deadline);
    if (f.empty()) return {};
    if (f.rfind("SUBSCRIBE\n", 0) != 0) continue;
    auto at = f.find("\nid:");
    if (at == std::string::npos) return {};
    at += 4;
    return f.substr(at, f.find('\n', at) - at);
  }
}

// A library consumer against a scripted broker (which answers CONNECT), for
// frames Cistern never sends.
class TScriptedConsumerTest : public ::testing::Test {
 protected:
  static TKsScriptedPeerOptions Options() {
    TKsScriptedPeerOptions o;
    o.AutoConnected = true;
    return o;
  }
  // Connects a consumer of queue "q" (the peer's URL followed by
  // parameters) and returns the SUBSCRIBE id.
  std::string Subscribe(const std::string& parameters = std::string()) {
    client_ = std::make_unique<TLibraryClient>(peer_.Url() + parameters, "q");
    consumer_ = client_->Consumer();
    return AwaitSubscribeId(peer_, std::chrono::milliseconds(5000));
  }
  TKsScriptedPeer peer_{Options()};
  std::unique_ptr<TLibraryClient> client_;
  std::shared_ptr<IMessageConsumer> consumer_;
};

// The number after the first "Message: " or "seq:" in text; -1 if none.
inline long SequenceNumber(const std::string& text) {
  for (const char* key : {"Message: ", "seq:"}) {
    const std::size_t at = text.find(key);
    if (at == std::string::npos) continue;
    std::size_t i = at + std::string(key).size();
    long n = 0;
    bool any = false;
    while (i < text.size() && text[i] >= '0' && text[i] <= '9') {
      n = n * 10 + (text[i++] - '0');
      any = true;
    }
    return any ? n : -1;
  }
  return -1;
}

// The sequence numbers of every "Received: " line of a Siphon run.
inline std::vector<long> ReceivedSequence(const std::vector<std::string>& lines) {
  std::vector<long> out;
  for (const auto& l : lines) {
    if (l.rfind("Received: ", 0) == 0) out.push_back(SequenceNumber(l));
  }
  return out;
}

// Empty when every number 0..count-1 occurs exactly once (with doubles, at
// least once) and nothing else occurs; otherwise a description of what is
// missing, doubled or foreign.
inline std::string CheckEachOnce(const std::vector<long>& numbers, long count, bool doubles) {
  std::map<long, int> seen;
  for (long n : numbers) ++seen[n];
  std::string problems;
  for (long i = 0; i < count; ++i) {
    auto it = seen.find(i);
    if (it == seen.end()) problems += " missing " + std::to_string(i);
    else if (it->second > 1 && !doubles) problems += " doubled " + std::to_string(i);
  }
  for (const auto& entry : seen) {
    if (entry.first < 0 || entry.first >= count) problems += " foreign " + std::to_string(entry.first);
  }
  return problems;
}
inline std::string CheckExactlyOnce(const std::vector<long>& numbers, long count) {
  return CheckEachOnce(numbers, count, false);
}
inline std::string CheckAtLeastOnce(const std::vector<long>& numbers, long count) {
  return CheckEachOnce(numbers, count, true);
}

// A transacted Siphon killed with SIGKILL in the middle of a queue of count
// Spigot messages, then a second Siphon that drains the queue: empty when
// every message was consumed at least once, else what went wrong. Of the
// first Siphon, only what it committed counts. It prints a message, commits
// it and then takes the next, so it is held where it prints (its output
// pipe full) and killed there: every message it printed was committed, and
// the one it took but could not print yet was not.
inline std::string TransactedSiphonKilledLosesNothing(const std::string& url, const std::string& subject, int count) {
  const std::string spigot = BuiltProgram("tools/Spigot");
  const std::string siphon = BuiltProgram("tools/Siphon");
  {
    TKsProcess sender(spigot, {"--URL=" + url, "--Subject=" + subject, "--MessageCount=" + std::to_string(count),
                               "--MessageSize=40", "--Verbose=false"});
    sender.WriteInput("\n");
    sender.ReadAll(std::chrono::seconds(60));
    if (sender.Wait(std::chrono::seconds(10)) != 0) return "Spigot failed";
  }
  std::vector<std::string> printed;
  {
    TKsProcess first(siphon, {"--URL=" + url, "--Subject=" + subject, "--Transacted",
                              "--MaximumMessages=" + std::to_string(count)});
    for (int received = 0; received < count / 3;) {
      auto line = first.ReadLine(std::chrono::seconds(20));
      if (!line) return "the first Siphon stopped after " + std::to_string(received) + " messages";
      if (line->rfind("Received: ", 0) == 0) ++received;
      printed.push_back(*line);
    }
    if (!first.BlockOutput() || !WaitUntil([&] { return first.BlockedOnOutput(); }, std::chrono::seconds(20)))
      return "the first Siphon could not be held where it prints";
    first.Kill();
    for (auto& line : first.ReadAll(std::chrono::seconds(5))) printed.push_back(std::move(line));
  }
  std::vector<long> seen = ReceivedSequence(printed);
  TKsProcess second(siphon, {"--URL=" + url, "--Subject=" + subject, "--Transacted", "--MaximumMessages=0",
                             "--ReceiveTimeOut=3000"});
  for (long n : ReceivedSequence(second.ReadAll(std::chrono::seconds(120)))) seen.push_back(n);
  if (second.Wait(std::chrono::seconds(10)) != 0) return "the draining Siphon failed";
  return CheckAtLeastOnce(seen, count);
}

// Two messages received by a transacted consumer and rolled back come back
// to it marked redelivered, and are gone after the commit: empty when so.
inline std::string RolledBackMessagesComeBackRedelivered(const std::string& url, const std::string& queue) {
  TLibraryClient producer(url, queue);
  producer.SendText("first");
  producer.SendText("second");
  auto factory = std::make_shared<TKsJMSConnectionFactory>("", "", url);
  auto connection = factory->CreateConnection();
  connection->Start();
  auto session = connection->CreateSession(true, AUTO_ACKNOWLEDGE);
  auto consumer = session->CreateConsumer(session->CreateQueue(queue));
  for (const char* expected : {"first", "second"}) {
    auto m = consumer->Receive(10000);
    if (TextOf(m) != expected) return std::string("got ") + TextOf(m) + " instead of " + expected;
    if (m->GetJMSRedelivered()) return std::string(expected) + " marked redelivered the first time";
  }
  session->Rollback();
  for (const char* expected : {"first", "second"}) {
    auto m = consumer->Receive(10000);
    if (TextOf(m) != expected) return std::string("after rollback, got ") + TextOf(m) + " instead of " + expected;
    if (!m->GetJMSRedelivered()) return std::string(expected) + " not marked redelivered";
  }
  session->Commit();
  if (auto m = consumer->Receive(1000)) return "after commit, " + TextOf(m) + " came again";
  connection->Close();
  return std::string();
}

}  // namespace ks::test
