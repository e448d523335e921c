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
// TInteropTest is the fixture of every case: it skips the case, with the
// reason, when the peers are not installed, and fails it when they are but
// the broker does not come up.
//
// Threads: everything here is used from the test's main thread.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <sys/types.h>
#include <utility>
#include <vector>

#include "tests/common/KsProcess.hpp"
#include "tests/common/KsTlsFiles.hpp"

namespace ks::test {

inline constexpr char kAuthUser[] = "system";
inline constexpr char kAuthPassword[] = "manager";

// Why the interop peers cannot be used here (empty when they can): the
// ActiveMQ package, a Java runtime or the Python STOMP client is missing.
const std::string& InteropUnavailableReason();

// A keystore for the "stomp+ssl" connector: a PKCS12 file with the broker's
// key and certificate (TTlsFiles::Pkcs12File makes one) and its password.
struct TActiveMQSsl {
  std::string keyStore;
  std::string password;
};

class TActiveMQProcess {
 public:
  // Starts the broker and waits (with a deadline) until its STOMP port
  // accepts connections. withAuth adds the authentication plugin that knows
  // only kAuthUser / kAuthPassword; an ssl keystore adds the "stomp+ssl"
  // connector on a second free port.
  explicit TActiveMQProcess(bool withAuth, std::chrono::milliseconds startTimeout = std::chrono::seconds(60),
                            const TActiveMQSsl& ssl = {});
  ~TActiveMQProcess();
  TActiveMQProcess(const TActiveMQProcess&) = delete;
  TActiveMQProcess& operator=(const TActiveMQProcess&) = delete;

  bool Started() const { return started_; }
  std::uint16_t Port() const { return port_; }
  // "stomp://127.0.0.1:PORT"
  std::string Url() const;
  // The "stomp+ssl" connector's port (0 without one) and
  // "stomp+ssl://127.0.0.1:PORT" followed by query.
  std::uint16_t SslPort() const { return sslPort_; }
  std::string SslUrl(const std::string& query) const;
  // Why the start failed, with the end of the broker's log.
  const std::string& Failure() const { return failure_; }
  // The broker's process (for SIGSTOP and SIGCONT), -1 when it is not running.
  pid_t Pid() const { return pid_; }

  // SIGTERM, then SIGKILL after the deadline; removes the folder. Safe to
  // call twice.
  void Stop();

 private:
  bool StartOnce(bool withAuth, const TActiveMQSsl& ssl, std::chrono::steady_clock::time_point deadline);
  std::string LogTail() const;

  std::string dir_;
  pid_t pid_ = -1;
  std::uint16_t port_ = 0;
  std::uint16_t sslPort_ = 0;
  bool started_ = false;
  std::string failure_;
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
class TRabbitMQProcess {
 public:
  explicit TRabbitMQProcess(const TTlsFiles* tls = nullptr,
                            std::chrono::milliseconds startTimeout = std::chrono::seconds(60));
  ~TRabbitMQProcess();
  TRabbitMQProcess(const TRabbitMQProcess&) = delete;
  TRabbitMQProcess& operator=(const TRabbitMQProcess&) = delete;

  bool Started() const { return started_; }
  std::uint16_t Port() const { return port_; }
  // "stomp://127.0.0.1:PORT"
  std::string Url() const;
  // The TLS port (0 without TLS) and "stomp+ssl://127.0.0.1:PORT" + query.
  std::uint16_t SslPort() const { return sslPort_; }
  std::string SslUrl(const std::string& query) const;
  const std::string& Failure() const { return failure_; }
  // SIGTERM to the node's process group (SIGKILL after a deadline), then
  // ends its port mapper and removes the folder. Safe to call twice.
  void Stop();

 private:
  std::string LogTail() const;

  std::string dir_;
  pid_t pid_ = -1;
  std::uint16_t port_ = 0;
  std::uint16_t epmdPort_ = 0;
  std::uint16_t sslPort_ = 0;
  bool started_ = false;
  std::string failure_;
};

// The RabbitMQ node shared by all cases of this test binary, serving TLS as
// well when the test certificates could be made (SharedRabbitMQTls: their
// files, or nullptr).
TRabbitMQProcess& SharedRabbitMQ();
const TTlsFiles* SharedRabbitMQTls();

// A loopback port that was free a moment ago, and whether a port accepts
// connections now.
std::uint16_t FreePort();
bool PortAccepts(std::uint16_t port);

// One message as the Python client saw it.
struct TPeerMessage {
  std::string body;
  std::vector<std::pair<std::string, std::string>> headers;  // wire order
  // The header's value; empty when it is missing.
  std::string Header(const std::string& name) const;
  bool Has(const std::string& name) const;
};

struct TPeerResult {
  std::optional<int> status;
  std::vector<std::string> lines;      // everything it printed
  std::vector<TPeerMessage> messages;  // parsed "MESSAGE" lines
  bool sent = false;                   // printed "SENT"
  std::optional<int> received;         // the count of "END <n>"
  // The lines, joined, for failure messages.
  std::string Output() const;
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
struct TProgramRun {
  std::vector<std::string> lines;
  std::optional<int> status;
  std::string Output() const;
};
TProgramRun RunProgram(const std::string& relative, const std::vector<std::string>& args,
                       const std::string& input = "", std::chrono::milliseconds timeout = std::chrono::seconds(30));

// Spigot sends count texts of size characters to subject through url (a
// "--URL=..." argument), Siphon takes them back: empty when every text
// arrived whole and in order, else what went wrong.
std::string SpigotToSiphon(const std::string& urlArg, const std::string& subject, int count, int size);

// Lines that begin with prefix, with the prefix removed.
std::vector<std::string> LinesAfter(const std::vector<std::string>& lines, const std::string& prefix);

class TInteropTest : public ::testing::Test {
 protected:
  void SetUp() override;
  // The shared broker without authentication; valid after SetUp.
  TActiveMQProcess* broker_ = nullptr;
};

}  // namespace ks::test
