// Cistern: the bundled in-memory STOMP 1.0, 1.1 and 1.2 broker. Parses the
// command line, listens, prints "Cistern listening with TLS on HOST:PORT"
// (with a certificate) and then "Cistern listening on HOST:PORT" (unless the
// plain port is off) once connections are accepted, and serves until SIGINT
// or SIGTERM (exit status 0); SIGUSR1 and SIGUSR2 freeze and thaw it, a test
// aid (KsBrokerServer). A bad
// option or a failure to listen prints one line and exits with status 1.
// Listening on an address other than loopback without --User and
// --Password prints one warning line first: anyone who can reach the port
// may then log in.
#include <csignal>
#include <exception>
#include <string>
#include <sys/resource.h>
#include <vector>

#include "broker/KsBrokerOptions.hpp"
#include "broker/KsBrokerServer.hpp"
#include "support/KsConsole.hpp"

namespace {

// Room for many simultaneous connections: raise the descriptor limit to
// what the system allows.
void RaiseDescriptorLimit() {
  rlimit limit{};
  if (::getrlimit(RLIMIT_NOFILE, &limit) != 0) return;
  if (limit.rlim_cur < limit.rlim_max) {
    limit.rlim_cur = limit.rlim_max;
    ::setrlimit(RLIMIT_NOFILE, &limit);
  }
}

}  // namespace

int main(int argc, char** argv) {
  std::signal(SIGPIPE, SIG_IGN);
  try {
    const ks::TBrokerOptions options = ks::ParseBrokerOptions(std::vector<std::string>(argv + 1, argv + argc));
    if (options.help) {
      for (const std::string& line : ks::BrokerUsage()) ks::WriteLine(line);
      return 0;
    }
    RaiseDescriptorLimit();
    ks::TBrokerServer server(options);
    server.Listen();
    const std::string address = server.Port() != 0 ? server.Address() : server.TlsAddress();
    if (!options.userSet && !server.IsLoopback())
      ks::WriteLine("Warning: Cistern accepts any login on " + address +
                    "; give --User and --Password when others can reach it");
    if (server.TlsPort() != 0) ks::WriteLine("Cistern listening with TLS on " + server.TlsAddress());
    if (server.Port() != 0) ks::WriteLine("Cistern listening on " + server.Address());
    server.Run();
    if (options.verbose) ks::WriteLine("Cistern stopped");
    return 0;
  } catch (const std::exception& e) {
    ks::WriteLine(e.what());
    return 1;
  }
}
