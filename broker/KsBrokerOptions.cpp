#include "broker/KsBrokerOptions.hpp"

#include "support/KsException.hpp"
#include "support/KsText.hpp"

namespace ks {

namespace {

bool ParseSwitch(const std::string& name, bool hasValue, const std::string& value) {
  if (!hasValue || SameText(value, "true") || value == "1") return true;
  if (SameText(value, "false") || value == "0") return false;
  throw Exception("Invalid value for --" + name + ": " + value);
}

std::int32_t ParseCount(const std::string& name, const std::string& value, std::int32_t min, std::int32_t max) {
  std::int32_t n = 0;
  if (!TryStrToInt32(value, n) || n < min || n > max) throw Exception("Invalid value for --" + name + ": " + value);
  return n;
}

// Digits with an optional K, M or G suffix (binary multiples), at least 1
// and at most 1 TiB.
std::uint64_t ParseSize(const std::string& name, const std::string& value) {
  std::uint64_t n = 0;
  std::size_t i = 0;
  while (i < value.size() && value[i] >= '0' && value[i] <= '9' && n < (1ull << 40))
    n = n * 10 + static_cast<std::uint64_t>(value[i++] - '0');
  int shift = 0;
  if (i > 0 && i + 1 == value.size()) {
    switch (value[i++]) {
      case 'K': case 'k': shift = 10; break;
      case 'M': case 'm': shift = 20; break;
      case 'G': case 'g': shift = 30; break;
      default: shift = -1;
    }
  }
  if (i == 0 || i != value.size() || shift < 0 || n == 0 || n > ((1ull << 40) >> shift))
    throw Exception("Invalid value for --" + name + ": " + value);
  return n << shift;
}

}  // namespace

TBrokerOptions ParseBrokerOptions(const std::vector<std::string>& args) {
  TBrokerOptions o;
  for (const std::string& arg : args) {
    if (arg.size() < 3 || arg.compare(0, 2, "--") != 0) throw Exception("Invalid argument: " + arg);
    const std::size_t eq = arg.find('=');
    const bool hasValue = eq != std::string::npos;
    const std::string name = arg.substr(2, hasValue ? eq - 2 : std::string::npos);
    const std::string value = hasValue ? arg.substr(eq + 1) : std::string();
    auto need = [&] {
      if (!hasValue) throw Exception("Option --" + name + " needs a value");
    };
    if (SameText(name, "Host")) {
      need();
      if (value.empty()) throw Exception("Invalid value for --Host: (empty)");
      o.host = value;
    } else if (SameText(name, "Port")) {
      need();
      o.port = SameText(value, "none") ? -1 : ParseCount(name, value, 0, 65535);
    } else if (SameText(name, "TlsPort")) {
      need();
      o.tlsPort = ParseCount(name, value, 0, 65535);
    } else if (SameText(name, "CertFile")) {
      need();
      o.certFile = value;
    } else if (SameText(name, "KeyFile")) {
      need();
      o.keyFile = value;
    } else if (SameText(name, "User")) {
      need();
      o.userSet = true;
      o.user = value;
    } else if (SameText(name, "Password")) {
      need();
      o.passwordSet = true;
      o.password = value;
    } else if (SameText(name, "Verbose")) {
      o.verbose = ParseSwitch(name, hasValue, value);
    } else if (SameText(name, "MaxConnections")) {
      need();
      o.maxConnections = ParseCount(name, value, 1, 1 << 24);
    } else if (SameText(name, "ConnectTimeout")) {
      need();
      o.connectTimeoutSeconds = ParseCount(name, value, 0, 86400);
    } else if (SameText(name, "FrameTimeout")) {
      need();
      o.frameTimeoutSeconds = ParseCount(name, value, 0, 86400);
    } else if (SameText(name, "MaxQueueBytes")) {
      need();
      o.maxQueueBytes = ParseSize(name, value);
    } else if (SameText(name, "MaxTotalBytes")) {
      need();
      o.maxTotalBytes = ParseSize(name, value);
    } else if (SameText(name, "MaxTopicLag")) {
      need();
      o.maxTopicLag = ParseSize(name, value);
    } else if (SameText(name, "FaultChunk")) {
      need();
      o.faultChunk = ParseCount(name, value, 0, 1 << 30);
    } else if (SameText(name, "FaultStrayLF")) {
      o.faultStrayLF = ParseSwitch(name, hasValue, value);
    } else if (SameText(name, "FaultCloseAfter")) {
      need();
      o.faultCloseAfter = ParseCount(name, value, 0, 1 << 30);
    } else if (SameText(name, "FaultConnectError")) {
      need();
      o.faultConnectErrorSet = true;
      o.faultConnectError = value;
    } else if (SameText(name, "Help") || name == "?") {
      o.help = true;
    } else {
      throw Exception("Unknown option: --" + name);
    }
  }
  if (o.userSet != o.passwordSet)
    throw Exception(o.userSet ? "--User needs --Password as well" : "--Password needs --User as well");
  if (o.certFile.empty() != o.keyFile.empty())
    throw Exception(o.keyFile.empty() ? "--CertFile needs --KeyFile as well" : "--KeyFile needs --CertFile as well");
  if (o.port < 0 && o.certFile.empty()) throw Exception("--Port=none needs --CertFile and --KeyFile (TLS only)");
  return o;
}

std::vector<std::string> BrokerUsage() {
  return {
      "Cistern: an in-memory STOMP 1.0 broker for tests, demos and development.",
      "  --Host=127.0.0.1        address to listen on",
      "  --Port=61613            port to listen on (0: any free port; none: TLS only)",
      "  --CertFile=PEM          certificate (chain) to serve STOMP over TLS with",
      "  --KeyFile=PEM           its private key (without passphrase)",
      "  --TlsPort=61612         port of the TLS listener (0: any free port)",
      "  --User=NAME             accept only this login",
      "  --Password=TEXT         accept only this passcode",
      "  --Verbose               log connections and refused frames",
      "  --MaxConnections=10000  refuse clients past this many with ERROR",
      "  --ConnectTimeout=10     seconds a new connection has to send CONNECT (0: no limit)",
      "  --FrameTimeout=30       seconds a started frame has to arrive whole (0: no limit)",
      "  --MaxQueueBytes=128M    bytes held per queue or durable subscription; past it",
      "                          producers to it are not read until consumers catch up",
      "  --MaxTotalBytes=512M    bytes held by all queues and subscriptions together",
      "  --MaxTopicLag=64M       unread bytes after which a topic subscriber is cut off",
      "  --FaultChunk=N          write to clients in pieces of at most N bytes",
      "  --FaultStrayLF          put extra LF and blank bytes between frames",
      "  --FaultCloseAfter=N     close each connection after N frames sent to it",
      "  --FaultConnectError=T   answer CONNECT with ERROR whose message is T",
  };
}

}  // namespace ks
