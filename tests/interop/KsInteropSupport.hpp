// KsInteropSupport: third-party peers for the interop suite.
//
// TActiveMQProcess runs Debian's ActiveMQ 5.17 (package `activemq`) with a
// configuration of its own in a fresh temporary folder: no JMX, no
// persistence, one STOMP connector on a free loopback port, and optionally
// a simple authentication plugin with one user and a second, "stomp+ssl",
// connector serving a PKCS12 keystore (TActiveMQSsl). The broker is started once
// per test binary (SharedActiveMQ / SharedAuthActiveMQ) and stopped by a
// global test environment when the binary ends.
//
// RunPeer runs tests/interop/stomp_peer.py, a client built on Debian's
// `python3-stomp`, with /usr/bin/python3 and parses what it printed.
//
// TInteropTest is the fixture of the ActiveMQ cases that use the Python
// client as the other end: when ActiveMQ or the Python client is not
// installed it skips the case with the reason, or fails it under CI
// (KS_REQUIRE_PEER); it fails the case when the broker does not come up.
//
// Threads: everything here is used from the test's main thread.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <sys/types.h>
#include <utility>
#include <vector>

#include "tests/common/KsTestUtil.hpp"
#include "tests/common/KsProcess.hpp"
#include "tests/common/KsTlsFiles.hpp"

namespace ks::test {

inline constexpr char kAuthUser[] = "system";
inline constexpr char kAuthPassword[] = "manager";

// Why ActiveMQ cannot be used here (empty when it can): the package
// `activemq` or a Java runtime is missing. For KS_REQUIRE_PEER.
const std::string& ActiveMQUnavailableReason();

// A keystore for the "stomp+ssl" connector: a PKCS12 file with the broker's
// key and certificate (TTlsFiles::Pkcs12File makes one) and its password.
struct TActiveMQSsl {
  std::string keyStore;
  std::string password;
};

// What both third-party broker processes share: a temporary folder of their
// own (removed by the destructor), the ports they serve, their addresses and
// why a start failed.
class TBrokerProcess {
 public:
  TBrokerProcess(const TBrokerProcess&) = delete;
  TBrokerProcess& operator=(const TBrokerProcess&) = delete;

  bool Started() const { return started_; }
  std::uint16_t Port() const { return port_; }
  // "stomp://127.0.0.1:PORT"
  std::string Url() const { return "stomp://127.0.0.1:" + std::to_string(port_); }
  // The TLS ("stomp+ssl") port, 0 without one, and
  // "stomp+ssl://127.0.0.1:PORT" followed by query.
  std::uint16_t SslPort() const { return sslPort_; }
  std::string SslUrl(const std::string& query) const {
    return "stomp+ssl://127.0.0.1:" + std::to_string(sslPort_) + query;
  }
  // Why the start failed, with the end of the broker's log.
  const std::string& Failure() const { return failure_; }
  // The broker's process (for SIGSTOP and SIGCONT), -1 when it is not running.
  pid_t Pid() const { return pid_; }

 protected:
  // Makes the folder ("/tmp/<prefix>XXXXXX"); when it cannot, dir_ stays
  // empty and the failure says so.
  explicit TBrokerProcess(const std::string& prefix);
  ~TBrokerProcess();
  // SIGKILL to the broker (with group, to its process group), then, once
  // nothing listens on its port any more, launch until the deadline; true
  // once it listens again.
  bool KillAndLaunch(bool group, std::chrono::milliseconds startTimeout,
                     const std::function<bool(std::chrono::steady_clock::time_point)>& launch);

  std::string dir_;
  pid_t pid_ = -1;
  std::uint16_t port_ = 0;
  std::uint16_t sslPort_ = 0;
  bool started_ = false;
  std::string failure_;
};

class TActiveMQProcess : public TBrokerProcess {
 public:
  // Starts the broker and waits (with a deadline) until its STOMP port
  // accepts connections. withAuth adds the authentication plugin that knows
  // only kAuthUser / kAuthPassword; an ssl keystore adds the "stomp+ssl"
  // connector on a second free port; persistent keeps persistent messages
  // and durable subscriptions in a KahaDB store in the broker's folder
  // (written to the file system without waiting for the disk, so they
  // survive the broker's process, which is what Restart needs).
  explicit TActiveMQProcess(bool withAuth, std::chrono::milliseconds startTimeout = std::chrono::seconds(60),
                            const TActiveMQSsl& ssl = {}, bool persistent = false);
  ~TActiveMQProcess() { Stop(); }

  // SIGTERM, then SIGKILL after the deadline; removes the folder. Safe to
  // call twice.
  void Stop();
  // SIGKILL, then the same broker (configuration, store, ports) again; true
  // once it listens.
  bool Restart(std::chrono::milliseconds startTimeout = std::chrono::seconds(60));

 private:
  bool StartOnce(bool withAuth, const TActiveMQSsl& ssl, std::chrono::steady_clock::time_point deadline);
  bool Launch(std::chrono::steady_clock::time_point deadline);
  bool persistent_ = false;
};

// The brokers shared by all cases of this test binary, started on first use.
TActiveMQProcess& SharedActiveMQ();
TActiveMQProcess& SharedAuthActiveMQ();

// Why the Python STOMP client cannot be used here (empty when it can).
const std::string& PythonPeerUnavailableReason();

// Why RabbitMQ cannot be used here (empty when it can): the package
// `rabbitmq-server` is missing.
const std::string& RabbitMQUnavailableReason();

// Debian's RabbitMQ 3.10 with its STOMP plugin, as a node of its own: its own
// name, folder (HOME, configuration, database, logs), Erlang distribution
// port and port mapper (epmd) on loopback, and a STOMP listener on a free
// loopback port. The guest user may log in over loopback; a CONNECT without
// credentials logs in as guest. With tls, the node also serves STOMP over TLS
// on a second free port, with tls's broker certificate and key.
class TRabbitMQProcess : public TBrokerProcess {
 public:
  explicit TRabbitMQProcess(const TTlsFiles* tls = nullptr,
                            std::chrono::milliseconds startTimeout = std::chrono::seconds(60));
  ~TRabbitMQProcess() { Stop(); }
  // SIGTERM to the node's process group (SIGKILL after a deadline), then
  // ends its port mapper and removes the folder. Safe to call twice.
  void Stop();
  // SIGKILL to the node's process group, then the same node (name, folder,
  // ports) again; true once it listens.
  bool Restart(std::chrono::milliseconds startTimeout = std::chrono::seconds(60));

 private:
  bool Launch(std::chrono::steady_clock::time_point deadline);
  std::uint16_t epmdPort_ = 0;
  std::uint16_t distPort_ = 0;
};

// The RabbitMQ node shared by all cases of this test binary, serving TLS as
// well when the test certificates could be made (SharedRabbitMQTls: their
// files, or nullptr).
TRabbitMQProcess& SharedRabbitMQ();
const TTlsFiles* SharedRabbitMQTls();

// One message as the Python client saw it.
struct TPeerMessage {
  std::string body;
  std::vector<std::pair<std::string, std::string>> headers;  // wire order
  // The header's value; empty when it is missing.
  std::string Header(const std::string& name) const;
  bool Has(const std::string& name) const;
};

// What a process run to its end printed, and its exit status.
struct TProgramRun {
  std::vector<std::string> lines;
  std::optional<int> status;
  // The lines, joined, for failure messages.
  std::string Output() const;
};

struct TPeerResult : TProgramRun {
  std::vector<TPeerMessage> messages;  // parsed "MESSAGE" lines
  bool sent = false;                   // printed "SENT"
  std::optional<int> received;         // the count of "END <n>"
};

// Runs the Python peer with these arguments (after the script path) and
// waits for its end.
TPeerResult RunPeer(const std::vector<std::string>& args,
                    std::chrono::milliseconds timeout = std::chrono::seconds(30));
// Convenience forms of RunPeer.
TPeerResult PeerSend(std::uint16_t port, const std::string& destination, const std::string& body,
                     const std::vector<std::string>& extra = {});
TPeerResult PeerReceive(std::uint16_t port, const std::string& destination, int count, double timeoutSeconds,
                        const std::vector<std::string>& extra = {});

// Runs a built program (e.g. "tools/Spigot") to its end: writes input to
// its standard input, collects every line and the exit status.
TProgramRun RunProgram(const std::string& relative, const std::vector<std::string>& args,
                       const std::string& input = "", std::chrono::milliseconds timeout = std::chrono::seconds(30));

// Spigot sends count texts of size characters to subject through url (a
// "--URL=..." argument), Siphon takes them back: empty when every text
// arrived whole and in order, else what went wrong.
std::string SpigotToSiphon(const std::string& urlArg, const std::string& subject, int count, int size);


class TInteropTest : public ::testing::Test {
 protected:
  void SetUp() override;
  // The shared broker without authentication; valid after SetUp.
  TActiveMQProcess* broker_ = nullptr;
};

}  // namespace ks::test
