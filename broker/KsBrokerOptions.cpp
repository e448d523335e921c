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

// One argument, split: the name as written (without "--") and its value.
struct TArgument {
  std::string name;
  bool hasValue = false;
  std::string value;
};

TArgument SplitArgument(const std::string& arg) {
  if (arg.size() < 3 || arg.compare(0, 2, "--") != 0) throw Exception("Invalid argument: " + arg);
  const std::size_t eq = arg.find('=');
  TArgument a;
  a.hasValue = eq != std::string::npos;
  a.name = arg.substr(2, a.hasValue ? eq - 2 : std::string::npos);
  if (a.hasValue) a.value = arg.substr(eq + 1);
  return a;
}

// An entry of the option table: its name (compared without regard to
// case), whether it must have "=value", and what it sets.
struct TOptionEntry {
  const char* name;
  bool needsValue;
  void (*set)(TBrokerOptions& o, const TArgument& a);
};

constexpr TOptionEntry kOptions[] = {
    {"Host", true,
     [](TBrokerOptions& o, const TArgument& a) {
       if (a.value.empty()) throw Exception("Invalid value for --Host: (empty)");
       o.host = a.value;
     }},
    {"Port", true,
     [](TBrokerOptions& o, const TArgument& a) {
       o.port = SameText(a.value, "none") ? -1 : ParseCount(a.name, a.value, 0, 65535);
     }},
    {"TlsPort", true, [](TBrokerOptions& o, const TArgument& a) { o.tlsPort = ParseCount(a.name, a.value, 0, 65535); }},
    {"CertFile", true, [](TBrokerOptions& o, const TArgument& a) { o.certFile = a.value; }},
    {"KeyFile", true, [](TBrokerOptions& o, const TArgument& a) { o.keyFile = a.value; }},
    {"User", true,
     [](TBrokerOptions& o, const TArgument& a) {
       o.userSet = true;
       o.user = a.value;
     }},
    {"Password", true,
     [](TBrokerOptions& o, const TArgument& a) {
       o.passwordSet = true;
       o.password = a.value;
     }},
    {"HeartBeat", true,
     [](TBrokerOptions& o, const TArgument& a) { o.heartBeatMs = ParseCount(a.name, a.value, 0, 86400000); }},
    {"VirtualHost", true,
     [](TBrokerOptions& o, const TArgument& a) {
       if (a.value.empty()) throw Exception("Invalid value for --VirtualHost: (empty)");
       o.virtualHostSet = true;
       o.virtualHost = a.value;
     }},
    {"Verbose", false, [](TBrokerOptions& o, const TArgument& a) { o.verbose = ParseSwitch(a.name, a.hasValue, a.value); }},
    {"MaxConnections", true,
     [](TBrokerOptions& o, const TArgument& a) { o.maxConnections = ParseCount(a.name, a.value, 1, 1 << 24); }},
    {"ConnectTimeout", true,
     [](TBrokerOptions& o, const TArgument& a) { o.connectTimeoutSeconds = ParseCount(a.name, a.value, 0, 86400); }},
    {"FrameTimeout", true,
     [](TBrokerOptions& o, const TArgument& a) { o.frameTimeoutSeconds = ParseCount(a.name, a.value, 0, 86400); }},
    {"MaxQueueBytes", true, [](TBrokerOptions& o, const TArgument& a) { o.maxQueueBytes = ParseSize(a.name, a.value); }},
    {"MaxTotalBytes", true, [](TBrokerOptions& o, const TArgument& a) { o.maxTotalBytes = ParseSize(a.name, a.value); }},
    {"MaxTopicLag", true, [](TBrokerOptions& o, const TArgument& a) { o.maxTopicLag = ParseSize(a.name, a.value); }},
    {"FaultChunk", true,
     [](TBrokerOptions& o, const TArgument& a) { o.faultChunk = ParseCount(a.name, a.value, 0, 1 << 30); }},
    {"FaultStrayLF", false,
     [](TBrokerOptions& o, const TArgument& a) { o.faultStrayLF = ParseSwitch(a.name, a.hasValue, a.value); }},
    {"FaultCloseAfter", true,
     [](TBrokerOptions& o, const TArgument& a) { o.faultCloseAfter = ParseCount(a.name, a.value, 0, 1 << 30); }},
    {"FaultRefuseConnects", true,
     [](TBrokerOptions& o, const TArgument& a) { o.faultRefuseConnects = ParseCount(a.name, a.value, 0, 1 << 30); }},
    {"FaultConnectError", true,
     [](TBrokerOptions& o, const TArgument& a) {
       o.faultConnectErrorSet = true;
       o.faultConnectError = a.value;
     }},
    {"Help", false, [](TBrokerOptions& o, const TArgument&) { o.help = true; }},
    {"?", false, [](TBrokerOptions& o, const TArgument&) { o.help = true; }},
};

void ApplyArgument(TBrokerOptions& o, const TArgument& a) {
  for (const TOptionEntry& entry : kOptions) {
    if (!SameText(a.name, entry.name)) continue;
    if (entry.needsValue && !a.hasValue) throw Exception("Option --" + a.name + " needs a value");
    entry.set(o, a);
    return;
  }
  throw Exception("Unknown option: --" + a.name);
}

// The options that only make sense together with another one.
void CheckCombinations(const TBrokerOptions& o) {
  if (o.userSet != o.passwordSet)
    throw Exception(o.userSet ? "--User needs --Password as well" : "--Password needs --User as well");
  if (o.certFile.empty() != o.keyFile.empty())
    throw Exception(o.keyFile.empty() ? "--CertFile needs --KeyFile as well" : "--KeyFile needs --CertFile as well");
  if (o.port < 0 && o.certFile.empty()) throw Exception("--Port=none needs --CertFile and --KeyFile (TLS only)");
}

}  // namespace

TBrokerOptions ParseBrokerOptions(const std::vector<std::string>& args) {
  TBrokerOptions o;
  for (const std::string& arg : args) ApplyArgument(o, SplitArgument(arg));
  CheckCombinations(o);
  return o;
}

std::vector<std::string> BrokerUsage() {
  return {
      "Cistern: an in-memory STOMP broker for tests, demos and development.",
      "It speaks STOMP 1.0, 1.1 and 1.2: the highest version a client accepts (1.0 to one that",
      "names none), with heart-beats under 1.1 and 1.2.",
      "  --Host=127.0.0.1        address to listen on",
      "  --Port=61613            port to listen on (0: any free port; none: TLS only)",
      "  --CertFile=PEM          certificate (chain) to serve STOMP over TLS with",
      "  --KeyFile=PEM           its private key (without passphrase)",
      "  --TlsPort=61612         port of the TLS listener (0: any free port)",
      "  --User=NAME             accept only this login",
      "  --Password=TEXT         accept only this passcode",
      "  --HeartBeat=0           least heart-beat interval in ms offered and asked for",
      "                          (0: as the client asks); a client silent twice as long is dropped",
      "  --VirtualHost=NAME      refuse a CONNECT whose host header names another virtual host",
      "  --Verbose               log connections and refused frames",
      "  --MaxConnections=10000  refuse clients past this many with ERROR",
      "  --ConnectTimeout=10     seconds a new connection has to send CONNECT (0: no limit)",
      "  --FrameTimeout=30       seconds a started frame has to arrive whole (0: no limit)",
      "  --MaxQueueBytes=128M    bytes held per queue or durable subscription; past it",
      "                          producers to it are not read until consumers catch up",
      "  --MaxTotalBytes=512M    bytes held by all queues and subscriptions together",
      "  --MaxTopicLag=64M       unread bytes after which a topic subscriber is cut off",
      "Test aids (faults on purpose):",
      "  --FaultChunk=N          write to clients in pieces of at most N bytes",
      "  --FaultStrayLF          put extra LF and blank bytes between frames",
      "  --FaultCloseAfter=N     close each connection after N frames sent to it",
      "  --FaultConnectError=T   answer CONNECT with ERROR whose message is T",
      "  --FaultRefuseConnects=N close the next N connections at once, unread",
      "  SIGUSR1 freezes Cistern: it reads, writes, accepts and drops nothing, all sockets",
      "          stay open (prints \"Cistern frozen\"); SIGUSR2 thaws it (\"Cistern thawed\")",
  };
}

}  // namespace ks
