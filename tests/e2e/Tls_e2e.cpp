// Spigot and Siphon over STOMP over TLS ("stomp+ssl" URLs) against a Cistern
// that serves TLS with a certificate the test makes: the messages arrive
// whole in both of Siphon's modes, and every broker the client must refuse
// (untrusted, misnamed, not TLS, silent) makes both programs fail with the
// cause and status 1.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "tests/common/KsTlsFiles.hpp"
#include "tests/e2e/KsE2eSupport.hpp"

namespace ks::test {
namespace {

using namespace std::chrono_literals;

const std::string kSiphon = BuiltProgram("tools/Siphon");
const std::string kSpigot = BuiltProgram("tools/Spigot");

std::vector<std::string> After(const std::vector<std::string>& lines, const std::string& prefix) {
  std::vector<std::string> out;
  for (const auto& l : lines)
    if (l.rfind(prefix, 0) == 0) out.push_back(l.substr(prefix.size()));
  return out;
}

// A loopback port that accepts TCP connections (the kernel completes them)
// and never says a word.
class TSilentPort {
 public:
  TSilentPort() {
    fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof addr;
    if (fd_ >= 0 && ::bind(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0 && ::listen(fd_, 8) == 0 &&
        ::getsockname(fd_, reinterpret_cast<sockaddr*>(&addr), &len) == 0)
      port_ = ntohs(addr.sin_port);
  }
  ~TSilentPort() {
    if (fd_ >= 0) ::close(fd_);
  }
  std::uint16_t Port() const { return port_; }

 private:
  int fd_ = -1;
  std::uint16_t port_ = 0;
};

class TlsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(tls_.Made()) << tls_.Failure();
    broker_ = std::make_unique<TCisternProcess>(TlsOptions(tls_.CertFile(), tls_.KeyFile()));
    ASSERT_TRUE(broker_->Started());
    ASSERT_NE(broker_->TlsPort(), 0);
  }
  std::string TrustedUrl() const { return broker_->TlsUrl("?caFile=" + tls_.CaFile()); }

  TTlsFiles tls_;
  std::unique_ptr<TCisternProcess> broker_;
};

TEST_F(TlsTest, SpigotReachesSiphonWholeOverTlsInListenerAndSynchronousMode) {
  // Bodies of 40000 characters span several TLS records each.
  const std::vector<std::string> publish = {"--MessageCount=40", "--MessageSize=40000"};

  TKsProcess listener(kSiphon, {"--URL=" + TrustedUrl(), "--Subject=tls.live", "--MaximumMessages=0"});
  ASSERT_TRUE(listener.ReadUntil("Using a non-durable subscription", kLineWait).has_value());
  std::vector<std::string> args = {"--URL=" + TrustedUrl(), "--Subject=tls.live"};
  args.insert(args.end(), publish.begin(), publish.end());
  TKsProcess spigot(kSpigot, args);
  spigot.CloseInput();
  const auto sentLive = After(spigot.ReadAll(30s), "Sending message: ");
  ASSERT_EQ(spigot.Wait(10s), 0);
  ASSERT_EQ(sentLive.size(), 40u);
  for (const auto& text : sentLive) {
    auto line = listener.ReadLine(kLineWait);
    ASSERT_TRUE(line.has_value()) << "the listener stopped after some messages";
    EXPECT_EQ(*line, "Received: " + text);
  }
  EXPECT_TRUE(listener.Running());
  listener.Kill();

  args[1] = "--Subject=tls.sync";
  TKsProcess spigot2(kSpigot, args);
  spigot2.CloseInput();
  const auto sentSync = After(spigot2.ReadAll(30s), "Sending message: ");
  ASSERT_EQ(spigot2.Wait(10s), 0);
  TKsProcess siphon(kSiphon, {"--URL=" + TrustedUrl(), "--Subject=tls.sync", "--MaximumMessages=40"});
  const auto lines = siphon.ReadAll(30s);
  ASSERT_EQ(siphon.Wait(10s), 0);
  EXPECT_EQ(After(lines, "Received: "), sentSync);
  EXPECT_EQ(lines.back(), "Closing connection");
}

TEST_F(TlsTest, RefusedBrokersFailBothProgramsWithTheCauseAndStatusOne) {
  TSilentPort silent;
  ASSERT_NE(silent.Port(), 0);
  const std::string ca = "caFile=" + tls_.CaFile();
  struct TCase {
    std::string name;
    std::string url;
    std::string cause;
  };
  const std::vector<TCase> cases = {
      {"wrong CA", broker_->TlsUrl("?caFile=" + tls_.OtherCaFile()),
       "the broker's certificate is not trusted: unable to get local issuer certificate"},
      {"wrong name", broker_->TlsUrl("?" + ca + "&serverName=broker.elsewhere.example"),
       "the broker's certificate is not valid for \"broker.elsewhere.example\""},
      {"plain port", "stomp+ssl://127.0.0.1:" + std::to_string(broker_->Port()) + "?" + ca,
       "the broker does not speak TLS on this port"},
      {"silent port", "stomp+ssl://127.0.0.1:" + std::to_string(silent.Port()) + "?" + ca + "&connectTimeout=300",
       "TLS handshake timed out after 300 ms"},
  };
  const std::vector<std::pair<std::string, std::string>> programs = {{kSpigot, "--MessageCount=1"},
                                                                     {kSiphon, "--MaximumMessages=1"}};
  for (const auto& c : cases) {
    for (const auto& [program, count] : programs) {
      TKsProcess run(program, {"--URL=" + c.url, count});
      run.CloseInput();
      const auto lines = run.ReadAll(30s);
      EXPECT_EQ(run.Wait(10s), 1) << c.name << ", " << program;
      ASSERT_FALSE(lines.empty()) << c.name;
      EXPECT_NE(lines.back().find(c.cause), std::string::npos) << c.name << ", " << program << ": " << lines.back();
      EXPECT_EQ(lines.back().rfind("The JMS connection has failed due to a Transport problem: ", 0), 0u)
          << lines.back();
    }
  }

  // Without verification the misnamed broker is accepted.
  TKsProcess spigot(kSpigot, {"--URL=" + broker_->TlsUrl("?" + ca + "&serverName=broker.elsewhere.example"
                                                              "&verifyPeer=false"),
                              "--MessageCount=1"});
  spigot.CloseInput();
  const auto lines = spigot.ReadAll(30s);
  EXPECT_EQ(spigot.Wait(10s), 0);
  ASSERT_FALSE(lines.empty());
  EXPECT_EQ(lines.back(), "Done.");
}

}  // namespace
}  // namespace ks::test
