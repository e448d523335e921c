// Third-party peers of the interop suite: ActiveMQ in a process of its own,
// the Python STOMP client, and the program runner. See KsInteropSupport.hpp.
#include "tests/interop/KsInteropSupport.hpp"

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>

namespace ks::test {
namespace {

using Clock = std::chrono::steady_clock;

const char kActiveMQJar[] = "/usr/share/activemq/bin/activemq.jar";
const char kJava[] = "/usr/bin/java";
const char kPython[] = "/usr/bin/python3";

std::string PeerScript() {
  return (std::filesystem::path(__FILE__).parent_path() / "stomp_peer.py").string();
}

const char kRabbitMQServer[] = "/usr/lib/rabbitmq/bin/rabbitmq-server";

// In a forked child: output to the log, no input, the broker's folder as
// working directory, then the broker's program. Never returns.
[[noreturn]] void ExecBroker(const std::string& dir, const std::string& logPath, char* const argv[]) {
  int log = open(logPath.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
  int null = open("/dev/null", O_RDONLY);
  if (log >= 0) {
    dup2(log, STDOUT_FILENO);
    dup2(log, STDERR_FILENO);
  }
  if (null >= 0) dup2(null, STDIN_FILENO);
  if (chdir(dir.c_str()) != 0) _exit(126);
  execv(argv[0], argv);
  _exit(127);
}

// The last 20 lines of a broker's log.
std::string TailOf(const std::string& path) {
  std::ifstream log(path);
  std::vector<std::string> lines;
  for (std::string line; std::getline(log, line);) lines.push_back(line);
  std::string out;
  for (std::size_t i = lines.size() > 20 ? lines.size() - 20 : 0; i < lines.size(); ++i) out += lines[i] + "\n";
  return out;
}

// Waits until port and sslPort (unless 0) accept connections: true then.
// Otherwise failure says why, with the end of the log: the broker exited
// (pid is then -1) or did not listen in time.
bool AwaitListening(const std::string& name, pid_t& pid, std::uint16_t port, std::uint16_t sslPort,
                    Clock::time_point deadline, const std::string& log, std::string& failure) {
  bool exited = false;
  const auto timeout = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
  if (WaitUntil([&] {
        if (PortAccepts(port) && (sslPort == 0 || PortAccepts(sslPort))) return true;
        int status = 0;
        exited = waitpid(pid, &status, WNOHANG) == pid;
        return exited;
      }, timeout) && !exited)
    return true;
  if (exited) pid = -1;
  failure = name + (exited ? " exited before it listened" : " did not listen in time") + " on port " +
            std::to_string(port) + ":\n" + TailOf(log);
  return false;
}

// Waits until nothing listens on port any more (a killed broker's last
// process is gone); false when the deadline came first.
bool AwaitClosed(std::uint16_t port, Clock::time_point deadline) {
  return WaitUntil([port] { return !PortAccepts(port); },
                   std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()));
}

// SIGTERM to the broker (with group, to its process group), SIGKILL after
// 15 s; reaps it.
void EndBroker(pid_t pid, bool group) {
  const pid_t target = group ? -pid : pid;
  kill(target, SIGTERM);
  int status = 0;
  if (!WaitUntil([&] {
        const pid_t r = waitpid(pid, &status, WNOHANG);
        return r == pid || (r < 0 && errno == ECHILD);
      }, std::chrono::seconds(15))) {
    kill(target, SIGKILL);
    waitpid(pid, &status, 0);
  }
}

std::string BrokerXml(std::uint16_t port, bool withAuth, const TActiveMQSsl& ssl, std::uint16_t sslPort,
                      bool persistent) {
  std::ostringstream xml;
  xml << "<beans xmlns=\"http://www.springframework.org/schema/beans\"\n"
         "  xmlns:xsi=\"http://www.w3.org/2001/XMLSchema-instance\"\n"
         "  xsi:schemaLocation=\"http://www.springframework.org/schema/beans "
         "http://www.springframework.org/schema/beans/spring-beans-2.0.xsd\n"
         "  http://activemq.apache.org/schema/core http://activemq.apache.org/schema/core/activemq-core.xsd\">\n"
         "  <broker xmlns=\"http://activemq.apache.org/schema/core\" useJmx=\"false\" persistent=\""
      << (persistent ? "true" : "false") << "\" brokerName=\"interop\">\n";
  if (persistent) {
    xml << "    <persistenceAdapter><kahaDB directory=\"kahadb\"/>"
           "</persistenceAdapter>\n";
  }
  if (withAuth) {
    xml << "    <plugins>\n"
           "      <simpleAuthenticationPlugin>\n"
           "        <users>\n"
           "          <authenticationUser username=\""
        << kAuthUser << "\" password=\"" << kAuthPassword
        << "\" groups=\"users\"/>\n"
           "        </users>\n"
           "      </simpleAuthenticationPlugin>\n"
           "    </plugins>\n";
  }
  // Queues keep waiting messages in priority order, as JMS asks.
  xml << "    <destinationPolicy><policyMap><policyEntries>\n"
         "      <policyEntry queue=\">\" prioritizedMessages=\"true\"/>\n"
         "    </policyEntries></policyMap></destinationPolicy>\n";
  if (!ssl.keyStore.empty()) {
    xml << "    <sslContext>\n"
           "      <sslContext keyStore=\"file:"
        << ssl.keyStore << "\" keyStorePassword=\"" << ssl.password
        << "\" keyStoreType=\"pkcs12\"/>\n"
           "    </sslContext>\n";
  }
  xml << "    <transportConnectors>\n"
         "      <transportConnector name=\"stomp\" uri=\"stomp://127.0.0.1:"
      << port << "\"/>\n";
  if (!ssl.keyStore.empty()) {
    xml << "      <transportConnector name=\"stomp+ssl\" uri=\"stomp+ssl://127.0.0.1:" << sslPort << "\"/>\n";
  }
  xml << "    </transportConnectors>\n"
         "  </broker>\n"
         "</beans>\n";
  return xml.str();
}

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

std::optional<std::string> FromHex(const std::string& hex) {
  if (hex == "-") return std::string();
  if (hex.size() % 2 != 0) return std::nullopt;
  std::string out;
  out.reserve(hex.size() / 2);
  for (std::size_t i = 0; i < hex.size(); i += 2) {
    int hi = HexValue(hex[i]);
    int lo = HexValue(hex[i + 1]);
    if (hi < 0 || lo < 0) return std::nullopt;
    out.push_back(static_cast<char>(hi * 16 + lo));
  }
  return out;
}

// "MESSAGE <body> <name>=<value> ..." with every part in hexadecimal.
std::optional<TPeerMessage> ParseMessageLine(const std::string& line) {
  std::istringstream in(line);
  std::string word;
  in >> word;
  if (word != "MESSAGE" || !(in >> word)) return std::nullopt;
  auto body = FromHex(word);
  if (!body) return std::nullopt;
  TPeerMessage message;
  message.body = std::move(*body);
  while (in >> word) {
    auto eq = word.find('=');
    if (eq == std::string::npos) return std::nullopt;
    auto name = FromHex(word.substr(0, eq));
    auto value = FromHex(word.substr(eq + 1));
    if (!name || !value) return std::nullopt;
    message.headers.emplace_back(std::move(*name), std::move(*value));
  }
  return message;
}

// Runs program to its end with input on its standard input.
TProgramRun Run(const std::string& program, const std::vector<std::string>& args, const std::string& input,
                std::chrono::milliseconds timeout) {
  TKsProcess process(program, args);
  if (!input.empty()) process.WriteInput(input);
  process.CloseInput();
  TProgramRun run;
  run.lines = process.ReadAll(timeout);
  run.status = process.Wait(std::chrono::seconds(5));
  return run;
}

// Stops the shared brokers when the test binary ends.
class TBrokerEnvironment : public ::testing::Environment {
 public:
  void TearDown() override;
};

std::unique_ptr<TActiveMQProcess>& SharedSlot(bool withAuth) {
  static std::unique_ptr<TActiveMQProcess> plain;
  static std::unique_ptr<TActiveMQProcess> auth;
  return withAuth ? auth : plain;
}

std::unique_ptr<TRabbitMQProcess>& RabbitSlot() {
  static std::unique_ptr<TRabbitMQProcess> node;
  return node;
}

void TBrokerEnvironment::TearDown() {
  SharedSlot(false).reset();
  SharedSlot(true).reset();
  RabbitSlot().reset();
}

[[maybe_unused]] ::testing::Environment* const kBrokerEnvironment =
    ::testing::AddGlobalTestEnvironment(new TBrokerEnvironment);

TActiveMQProcess& Shared(bool withAuth) {
  auto& slot = SharedSlot(withAuth);
  if (!slot) slot = std::make_unique<TActiveMQProcess>(withAuth);
  return *slot;
}

}  // namespace

const std::string& PythonPeerUnavailableReason() {
  static const std::string reason = [] {
    // From "/" with -P: a stomp/ folder in the working directory must not
    // pass for the module.
    std::string probe = std::string("cd / && ") + kPython +
                        " -P -c 'import stomp; stomp.Connection10' >/dev/null 2>&1";
    if (access(kPython, X_OK) == 0 && std::system(probe.c_str()) == 0) return std::string();
    return "python3-stomp not installed (import stomp fails in " + std::string(kPython) +
           "); run scripts/interop-deps.sh as root (apt-get install python3-stomp)";
  }();
  return reason;
}

const std::string& ActiveMQUnavailableReason() {
  static const std::string reason = [] {
    std::string missing;
    if (access(kActiveMQJar, R_OK) != 0) missing += " activemq (no " + std::string(kActiveMQJar) + ")";
    if (access(kJava, X_OK) != 0) missing += " java runtime (no " + std::string(kJava) + ")";
    if (missing.empty()) return std::string();
    return "ActiveMQ not installed:" + missing + "; run scripts/interop-deps.sh as root (apt-get install activemq)";
  }();
  return reason;
}

TBrokerProcess::TBrokerProcess(const std::string& prefix) {
  std::string pattern = "/tmp/" + prefix + "XXXXXX";
  if (mkdtemp(pattern.data()) == nullptr) {
    failure_ = "cannot create a temporary folder";
    return;
  }
  dir_ = pattern;
}

bool TBrokerProcess::KillAndLaunch(bool group, std::chrono::milliseconds startTimeout,
                                   const std::function<bool(Clock::time_point)>& launch) {
  if (pid_ > 0) {
    kill(group ? -pid_ : pid_, SIGKILL);
    int status = 0;
    waitpid(pid_, &status, 0);
    pid_ = -1;
  }
  // A broker's last process (RabbitMQ's node) may outlive the one waited
  // for a moment.
  const auto deadline = Clock::now() + startTimeout;
  started_ = AwaitClosed(port_, deadline) && launch(deadline);
  return started_;
}

TBrokerProcess::~TBrokerProcess() {
  std::error_code ignored;
  if (!dir_.empty()) std::filesystem::remove_all(dir_, ignored);
}

TActiveMQProcess::TActiveMQProcess(bool withAuth, std::chrono::milliseconds startTimeout, const TActiveMQSsl& ssl,
                                   bool persistent)
    : TBrokerProcess("ks-activemq-"), persistent_(persistent) {
  if (dir_.empty()) return;
  auto deadline = Clock::now() + startTimeout;
  // The free port may be taken between the probe and the broker's bind;
  // a broker that exits at once is retried on another port.
  for (int attempt = 0; attempt < 3 && !started_ && Clock::now() < deadline; ++attempt)
    started_ = StartOnce(withAuth, ssl, deadline);
}

bool TActiveMQProcess::StartOnce(bool withAuth, const TActiveMQSsl& ssl, Clock::time_point deadline) {
  port_ = FreePort();
  sslPort_ = ssl.keyStore.empty() ? 0 : FreePort();
  if (port_ == 0 || (!ssl.keyStore.empty() && (sslPort_ == 0 || sslPort_ == port_))) {
    failure_ = "no free port";
    return false;
  }
  {
    std::ofstream xml(dir_ + "/activemq.xml", std::ios::trunc);
    xml << BrokerXml(port_, withAuth, ssl, sslPort_, persistent_);
    if (!xml) {
      failure_ = "cannot write " + dir_ + "/activemq.xml";
      return false;
    }
  }
  if (Launch(deadline)) return true;
  Stop();
  return false;
}

bool TActiveMQProcess::Restart(std::chrono::milliseconds startTimeout) {
  return KillAndLaunch(false, startTimeout, [this](Clock::time_point deadline) { return Launch(deadline); });
}

bool TActiveMQProcess::Launch(Clock::time_point deadline) {
  const std::string logPath = dir_ + "/broker.log";
  std::vector<std::string> args = {kJava,
                                   "-Xmx256M",
                                   "-XX:+UseSerialGC",
                                   "-XX:TieredStopAtLevel=1",
                                   "-Dactivemq.base=" + dir_,
                                   "-Dactivemq.home=/usr/share/activemq",
                                   "-Dactivemq.conf=" + dir_,
                                   "-Dactivemq.data=" + dir_ + "/data",
                                   "-jar",
                                   kActiveMQJar,
                                   "start",
                                   "xbean:file:" + dir_ + "/activemq.xml"};
  std::vector<char*> argv;
  for (auto& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  pid_ = fork();
  if (pid_ < 0) {
    failure_ = "fork failed";
    return false;
  }
  if (pid_ == 0) ExecBroker(dir_, logPath, argv.data());
  return AwaitListening("ActiveMQ", pid_, port_, sslPort_, deadline, logPath, failure_);
}


void TActiveMQProcess::Stop() {
  if (pid_ <= 0) return;
  EndBroker(pid_, false);
  pid_ = -1;
  started_ = false;
}

TActiveMQProcess& SharedActiveMQ() { return Shared(false); }
TActiveMQProcess& SharedAuthActiveMQ() { return Shared(true); }

std::string TPeerMessage::Header(const std::string& name) const {
  for (const auto& [n, v] : headers)
    if (n == name) return v;
  return {};
}

bool TPeerMessage::Has(const std::string& name) const {
  for (const auto& h : headers)
    if (h.first == name) return true;
  return false;
}

std::string TProgramRun::Output() const {
  std::string out;
  for (const auto& l : lines) out += l + "\n";
  return out;
}

TPeerResult RunPeer(const std::vector<std::string>& args, std::chrono::milliseconds timeout) {
  std::vector<std::string> all = {"-P", PeerScript()};
  all.insert(all.end(), args.begin(), args.end());
  TPeerResult result;
  static_cast<TProgramRun&>(result) = Run(kPython, all, "", timeout);
  for (const auto& line : result.lines) {
    if (line == "SENT") result.sent = true;
    if (line.rfind("END ", 0) == 0) result.received = std::atoi(line.c_str() + 4);
    if (auto message = ParseMessageLine(line)) result.messages.push_back(std::move(*message));
  }
  return result;
}

TPeerResult PeerSend(std::uint16_t port, const std::string& destination, const std::string& body,
                     const std::vector<std::string>& extra) {
  std::vector<std::string> args = {"send", "--port", std::to_string(port), "--dest", destination, "--body", body};
  args.insert(args.end(), extra.begin(), extra.end());
  return RunPeer(args);
}

TPeerResult PeerReceive(std::uint16_t port, const std::string& destination, int count, double timeoutSeconds,
                        const std::vector<std::string>& extra) {
  std::vector<std::string> args = {"receive",          "--port",  std::to_string(port),
                                   "--dest",           destination, "--count",
                                   std::to_string(count), "--timeout", std::to_string(timeoutSeconds)};
  args.insert(args.end(), extra.begin(), extra.end());
  return RunPeer(args);
}

TProgramRun RunProgram(const std::string& relative, const std::vector<std::string>& args, const std::string& input,
                       std::chrono::milliseconds timeout) {
  return Run(BuiltProgram(relative), args, input, timeout);
}

std::string SpigotToSiphon(const std::string& urlArg, const std::string& subject, int count, int size) {
  auto spigot = RunProgram("tools/Spigot", {urlArg, "--Subject=" + subject, "--MessageCount=" + std::to_string(count),
                                            "--MessageSize=" + std::to_string(size)},
                           "\n");
  if (spigot.status != 0) return "Spigot failed:\n" + spigot.Output();
  auto siphon = RunProgram("tools/Siphon", {urlArg, "--Subject=" + subject, "--MaximumMessages=" + std::to_string(count)});
  if (siphon.status != 0) return "Siphon failed:\n" + siphon.Output();
  const auto sent = LinesAfter(spigot.lines, "Sending message: ");
  if (sent.size() != static_cast<std::size_t>(count)) return "Spigot sent " + std::to_string(sent.size());
  if (LinesAfter(siphon.lines, "Received: ") != sent) return "Siphon's texts differ:\n" + siphon.Output();
  return std::string();
}

void TInteropTest::SetUp() {
  KS_REQUIRE_PEER(ActiveMQUnavailableReason());
  KS_REQUIRE_PEER(PythonPeerUnavailableReason());
  broker_ = &SharedActiveMQ();
  ASSERT_TRUE(broker_->Started()) << broker_->Failure();
}

const std::string& RabbitMQUnavailableReason() {
  static const std::string reason = [] {
    if (access(kRabbitMQServer, X_OK) == 0) return std::string();
    return std::string("rabbitmq-server not installed (no ") + kRabbitMQServer +
           "); run scripts/interop-deps.sh as root (apt-get install rabbitmq-server)";
  }();
  return reason;
}

TRabbitMQProcess::TRabbitMQProcess(const TTlsFiles* tls, std::chrono::milliseconds startTimeout)
    : TBrokerProcess("ks-rabbitmq-") {
  if (dir_.empty()) return;
  port_ = FreePort();
  epmdPort_ = FreePort();
  distPort_ = FreePort();
  if (port_ == 0 || epmdPort_ == 0 || distPort_ == 0) {
    failure_ = "no free port";
    return;
  }
  for (const char* sub : {"/home", "/mnesia", "/log"}) std::filesystem::create_directories(dir_ + sub);
  std::ofstream conf(dir_ + "/rabbitmq.conf");
  conf << "listeners.tcp = none\n"
       << "stomp.listeners.tcp.1 = 127.0.0.1:" << port_ << "\n"
       << "loopback_users = none\n";
  if (tls != nullptr && (sslPort_ = FreePort()) != 0) {
    conf << "stomp.listeners.ssl.1 = 127.0.0.1:" << sslPort_ << "\n"
         << "ssl_options.cacertfile = " << tls->CaFile() << "\n"
         << "ssl_options.certfile = " << tls->CertFile() << "\n"
         << "ssl_options.keyfile = " << tls->KeyFile() << "\n"
         << "ssl_options.verify = verify_none\n"
         << "ssl_options.fail_if_no_peer_cert = false\n";
  }
  conf.close();
  std::ofstream(dir_ + "/enabled_plugins") << "[rabbitmq_stomp].\n";
  std::ofstream(dir_ + "/conf-env").flush();
  started_ = Launch(Clock::now() + startTimeout);
  if (!started_) Stop();
}

bool TRabbitMQProcess::Restart(std::chrono::milliseconds startTimeout) {
  return KillAndLaunch(true, startTimeout, [this](Clock::time_point deadline) { return Launch(deadline); });
}

bool TRabbitMQProcess::Launch(Clock::time_point deadline) {
  const std::string node = "ks" + std::to_string(getpid()) + "@localhost";
  const std::vector<std::pair<std::string, std::string>> env = {
      {"HOME", dir_ + "/home"},
      {"RABBITMQ_CONF_ENV_FILE", dir_ + "/conf-env"},
      {"RABBITMQ_NODENAME", node},
      {"RABBITMQ_CONFIG_FILE", dir_ + "/rabbitmq.conf"},
      {"RABBITMQ_ENABLED_PLUGINS_FILE", dir_ + "/enabled_plugins"},
      {"RABBITMQ_MNESIA_BASE", dir_ + "/mnesia"},
      {"RABBITMQ_LOG_BASE", dir_ + "/log"},
      {"RABBITMQ_DIST_PORT", std::to_string(distPort_)},
      {"ERL_EPMD_PORT", std::to_string(epmdPort_)},
      {"ERL_EPMD_ADDRESS", "127.0.0.1"}};
  const std::string logPath = dir_ + "/node.log";
  pid_ = fork();
  if (pid_ < 0) {
    failure_ = "fork failed";
    return false;
  }
  if (pid_ == 0) {
    setsid();  // one process group: the script, the Erlang node and its helpers
    for (const auto& [name, value] : env) setenv(name.c_str(), value.c_str(), 1);
    char* const argv[] = {const_cast<char*>(kRabbitMQServer), nullptr};
    ExecBroker(dir_, logPath, argv);
  }
  return AwaitListening("RabbitMQ", pid_, port_, sslPort_, deadline, logPath, failure_);
}


void TRabbitMQProcess::Stop() {
  if (pid_ > 0) {
    EndBroker(pid_, true);
    kill(-pid_, SIGKILL);  // whatever of the group is left
    pid_ = -1;
  }
  if (epmdPort_ != 0) {
    // The node's port mapper runs as a daemon of its own, outside the group.
    const std::string command = "ERL_EPMD_PORT=" + std::to_string(epmdPort_) + " epmd -kill >/dev/null 2>&1";
    [[maybe_unused]] const int ignored = std::system(command.c_str());
    epmdPort_ = 0;
  }
  started_ = false;
}

const TTlsFiles* SharedRabbitMQTls() {
  static const TTlsFiles files;
  return files.Made() ? &files : nullptr;
}

TRabbitMQProcess& SharedRabbitMQ() {
  auto& slot = RabbitSlot();
  if (!slot) slot = std::make_unique<TRabbitMQProcess>(SharedRabbitMQTls());
  return *slot;
}

}  // namespace ks::test
