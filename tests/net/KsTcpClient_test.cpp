// The TCP client stream against real loopback sockets.
#include "net/KsTcpClient.hpp"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "tests/common/KsTestUtil.hpp"
#include "tests/common/KsScriptedPeer.hpp"

namespace ks {
namespace {

using test::ElapsedMs;
using test::TimeBoundMs;
using test::TKsScriptedPeer;
using test::TKsScriptedPeerOptions;
using Clock = test::TClock;

std::unique_ptr<TKsTcpClient> ConnectTo(TKsScriptedPeer& peer, std::int32_t readTimeout = 2000) {
  auto client = std::make_unique<TKsTcpClient>();
  client->SetHost(peer.Host());
  client->SetPort(peer.Port());
  client->SetReadTimeout(readTimeout);
  client->Connect();
  EXPECT_TRUE(peer.WaitAccepted());
  return client;
}

TEST(KsTcpClient, ReadsTerminatedLinesAndCountsAcrossSeparateWrites) {
  TKsScriptedPeer peer;
  auto client = ConnectTo(peer);

  // A two-byte terminator split between two writes.
  ASSERT_TRUE(peer.Send("CONNECTED\nsession:1\n"));
  ASSERT_TRUE(client->CheckForDataOnSource(2000));
  ASSERT_TRUE(peer.Send("\nrest"));
  EXPECT_EQ(client->ReadLn("\n\n"), "CONNECTED\nsession:1");
  EXPECT_EQ(client->InputBuffer().substr(0, 4), "rest");

  // A count that arrives in several writes, some bytes already buffered.
  std::string body(std::string("ab\0cd", 5));
  ASSERT_TRUE(peer.Send(body));
  ASSERT_TRUE(peer.Send("efg"));
  ASSERT_TRUE(peer.Send(std::string("h\0\n", 3)));
  EXPECT_EQ(client->ReadBytes(4 + 5 + 3 + 3), std::string("restab\0cdefgh\0\n", 15));
  EXPECT_TRUE(client->InputBufferIsEmpty());

  // Many lines from one write are cut without loss, and a large block that
  // needs several receives and a buffer growth arrives whole.
  std::string many;
  for (int i = 0; i < 2000; ++i) many += "line" + std::to_string(i) + "\n";
  std::string big(300000, 'x');
  for (std::size_t i = 0; i < big.size(); i += 7) big[i] = static_cast<char>('a' + i % 26);
  ASSERT_TRUE(peer.Send(many + big));
  for (int i = 0; i < 2000; ++i) ASSERT_EQ(client->ReadLn(), "line" + std::to_string(i));
  EXPECT_EQ(client->ReadBytes(big.size()), big);

  // Writing reaches the peer unchanged.
  client->SetSendTimeout(1000);
  client->Write(std::string("SEND\n\nx\0\n", 9));
  EXPECT_EQ(peer.ReadFrame(), std::string("SEND\n\nx\0", 8));
}

TEST(KsTcpClient, PartsGoOutInOrderAndWholeThroughShortWrites) {
  TKsScriptedPeer peer;
  auto client = ConnectTo(peer);
  // Far more than a socket takes at once: sendmsg stops inside each part.
  std::string body(6u << 20, 'b');
  for (std::size_t i = 0; i < body.size(); i += 4093) body[i] = static_cast<char>('a' + i % 26);
  const std::string_view parts[] = {"SEND\nk:v\n\n", "", body, std::string_view("\0\n", 2), "tail"};
  client->WriteParts(parts, 5);
  const std::string expected = "SEND\nk:v\n\n" + body + std::string("\0\n", 2) + "tail";
  ASSERT_TRUE(peer.ReadUntil(expected.size(), std::chrono::seconds(20)));
  EXPECT_TRUE(peer.Received() == expected);
  EXPECT_EQ(client->BytesSent(), expected.size());
}

TEST(KsTcpClient, AnInputBufferGrownForALargeFrameIsGivenBackOnceEmpty) {
  TKsScriptedPeer peer;
  auto client = ConnectTo(peer);
  // The peer's writes wait for the client's reads: they run on a thread.
  auto Read = [&](const std::string& bytes) {
    bool sent = false;
    std::thread sender([&] { sent = peer.Send(bytes); });
    const std::string got = client->ReadBytes(bytes.size());
    sender.join();
    EXPECT_TRUE(sent);
    return got == bytes;
  };
  // Up to the kept size the buffer keeps its room from frame to frame.
  const std::string usual(1u << 20, 'u');
  for (int i = 0; i < 2; ++i) {
    EXPECT_TRUE(Read(usual));
    EXPECT_GE(client->InputBufferCapacity(), usual.size());
  }
  // One far larger is not held for ever: its room goes once it is read.
  const std::string large(3 * TKsTcpClient::KeptInputCapacity, 'L');
  EXPECT_TRUE(Read(large));
  EXPECT_LE(client->InputBufferCapacity(), TKsTcpClient::KeptInputCapacity);
}

TEST(KsTcpClient, ReadTimeoutKeepsEveryBufferedByte) {
  TKsScriptedPeer peer;
  auto client = ConnectTo(peer, 100);
  ASSERT_TRUE(peer.Send("MESSAGE\nid:1\n"));
  ASSERT_TRUE(peer.ReadUntil(0));
  auto start = Clock::now();
  EXPECT_THROW(client->ReadLn("\n\n"), EKsReadTimeout);
  EXPECT_GE(ElapsedMs(start), 90);
  EXPECT_EQ(client->InputBuffer(), "MESSAGE\nid:1\n");
  EXPECT_THROW(client->ReadBytes(100), EKsReadTimeout);
  EXPECT_EQ(client->InputBuffer(), "MESSAGE\nid:1\n");

  // The rest arrives: the same read now succeeds with all the bytes.
  ASSERT_TRUE(peer.Send("\nbody"));
  EXPECT_EQ(client->ReadLn("\n\n"), "MESSAGE\nid:1");
  EXPECT_EQ(client->ReadBytes(4), "body");

  // CheckForDataOnSource answers false on time-out and never raises.
  EXPECT_FALSE(client->CheckForDataOnSource(50));
  try {
    client->ReadLn();
    FAIL() << "no time-out";
  } catch (const EKsSocketError& e) {
    EXPECT_STREQ(e.what(), "Read timed out.");
  }
}

TEST(KsTcpClient, OrderlyCloseWithAndWithoutBufferedBytes) {
  {
    TKsScriptedPeer peer;
    auto client = ConnectTo(peer);
    ASSERT_TRUE(peer.Send("line\nrest"));
    peer.Close();
    EXPECT_EQ(client->ReadLn(), "line");
    try {
      client->ReadLn();
      FAIL() << "no close error";
    } catch (const EKsConnClosedGracefully& e) {
      EXPECT_STREQ(e.what(), "Connection Closed Gracefully.");
    }
    // The bytes before the close stay buffered.
    EXPECT_EQ(client->InputBuffer(), "rest");
    EXPECT_TRUE(client->ClosedByPeer());
    EXPECT_FALSE(client->Connected());
    EXPECT_NO_THROW(client->CheckForDisconnect(true, false));
    EXPECT_THROW(client->CheckForDisconnect(true, true), EKsConnClosedGracefully);
    EXPECT_NO_THROW(client->CheckForDisconnect(false, true));
    EXPECT_EQ(client->ReadBytes(4), "rest");
    EXPECT_THROW(client->CheckForDisconnect(true, false), EKsConnClosedGracefully);
    EXPECT_FALSE(client->CheckForDataOnSource(1000));
  }
  {
    TKsScriptedPeer peer;
    auto client = ConnectTo(peer, -1);  // no read limit: the close must still end the wait
    EXPECT_TRUE(client->Connected());
    peer.Close();
    EXPECT_THROW(client->ReadBytes(1), EKsConnClosedGracefully);
    EXPECT_FALSE(client->Connected());
    // A closed client may connect again.
    TKsScriptedPeer second;
    client->SetPort(second.Port());
    EXPECT_NO_THROW(client->Connect());
    EXPECT_TRUE(client->Connected());
    EXPECT_TRUE(client->InputBufferIsEmpty());
  }
}

TEST(KsTcpClient, MaxLineLengthIsEnforcedWithoutConsuming) {
  TKsScriptedPeer peer;
  auto client = ConnectTo(peer);
  const std::size_t limit = TKsTcpClient::MaxLineLength;
  ASSERT_EQ(limit, 16384u);
  ASSERT_TRUE(peer.Send(std::string(limit, 'a') + "\n"));
  EXPECT_EQ(client->ReadLn().size(), limit);

  ASSERT_TRUE(peer.Send(std::string(limit + 1, 'b') + "\n"));
  while (client->InputBufferSize() < limit + 2) client->ReadFromSource(2000);
  EXPECT_THROW(client->ReadLn(), EKsMaxLineLengthExceeded);
  EXPECT_EQ(client->InputBufferSize(), limit + 2);
  client->Consume(limit + 2);

  // No terminator at all: fails as soon as the limit is passed, without
  // waiting for the read time-out.
  client->SetReadTimeout(-1);
  ASSERT_TRUE(peer.Send(std::string(limit + 10, 'c')));
  try {
    client->ReadLn("\n\n");
    FAIL() << "no error";
  } catch (const EKsSocketError& e) {
    EXPECT_STREQ(e.what(), "Max line length exceeded.");
  }
}

TEST(KsTcpClient, ConnectErrors) {
  TKsTcpClient client;
  EXPECT_THROW(client.Connect(), EKsHostRequired);
  client.SetHost("127.0.0.1");
  EXPECT_THROW(client.Connect(), EKsPortRequired);
  EXPECT_THROW(client.Write("x"), EKsNotConnected);
  EXPECT_THROW(client.ReadLn(), EKsNotConnected);
  EXPECT_THROW(client.SetSendTimeout(10), EKsNotConnected);
  EXPECT_FALSE(client.Connected());
  EXPECT_FALSE(client.CheckForDataOnSource(10));
  EXPECT_NO_THROW(client.Disconnect(true));

  // Refused: a port that was bound and released, with nobody listening.
  client.SetPort(test::FreePort());
  try {
    client.Connect();
    FAIL() << "connected to a closed port";
  } catch (const EKsSocketErrorCode& e) {
    EXPECT_EQ(e.ErrorCode(), ECONNREFUSED);
    EXPECT_EQ(std::string(e.what()), "Socket Error # " + std::to_string(ECONNREFUSED) + "\r\nConnection refused.");
  }

  TKsScriptedPeer peer;
  client.SetPort(peer.Port());
  client.Connect();
  EXPECT_THROW(client.Connect(), EKsAlreadyConnected);
  client.Disconnect(true);
  EXPECT_FALSE(client.Connected());
  EXPECT_TRUE(peer.WaitClientClosed());
}

TEST(KsTcpClient, ConnectTimesOutAgainstAFullBacklog) {
  // A listener that never accepts, with its backlog filled: further SYNs go
  // unanswered, so a connect can only end by its time limit.
  int listener = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ASSERT_EQ(::bind(listener, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
  ASSERT_EQ(::listen(listener, 0), 0);
  socklen_t len = sizeof addr;
  ::getsockname(listener, reinterpret_cast<sockaddr*>(&addr), &len);

  std::vector<std::unique_ptr<TKsTcpClient>> fillers;
  bool timedOut = false;
  for (int i = 0; i < 8 && !timedOut; ++i) {
    auto c = std::make_unique<TKsTcpClient>();
    c->SetHost("127.0.0.1");
    c->SetPort(ntohs(addr.sin_port));
    c->SetConnectTimeout(300);
    auto start = Clock::now();
    try {
      c->Connect();
      fillers.push_back(std::move(c));
    } catch (const EKsConnectTimeout& e) {
      EXPECT_STREQ(e.what(), "Connect timed out.");
      EXPECT_GE(ElapsedMs(start), 280);
      EXPECT_LT(ElapsedMs(start), TimeBoundMs(2000));
      timedOut = true;
    }
  }
  EXPECT_TRUE(timedOut);
  fillers.clear();
  ::close(listener);
}

TEST(KsTcpClient, ConnectsOverIPv6Loopback) {
  int probe = ::socket(AF_INET6, SOCK_STREAM, 0);
  sockaddr_in6 a6{};
  a6.sin6_family = AF_INET6;
  a6.sin6_addr = in6addr_loopback;
  bool ipv6 = probe >= 0 && ::bind(probe, reinterpret_cast<sockaddr*>(&a6), sizeof a6) == 0;
  if (probe >= 0) ::close(probe);
  if (!ipv6) GTEST_SKIP() << "no IPv6 loopback on this host";

  TKsScriptedPeerOptions options;
  options.IPv6 = true;
  TKsScriptedPeer peer(options);
  TKsTcpClient client;
  client.SetHost("::1");
  client.SetPort(peer.Port());
  client.SetIPVersion(TKsIPVersion::IPv6);
  client.SetReadTimeout(2000);
  client.Connect();
  ASSERT_TRUE(peer.Send("hello\n"));
  EXPECT_EQ(client.ReadLn(), "hello");

  // An IPv6 literal is not found in the IPv4 family.
  TKsTcpClient v4;
  v4.SetHost("::1");
  v4.SetPort(peer.Port());
  EXPECT_THROW(v4.Connect(), EKsSocketErrorCode);
}

}  // namespace
}  // namespace ks
