// ks_e2ebench: runs the same produce and consume workloads, in one
// invocation, through this library (sending frame by frame, and batched),
// the Python client stomp.py and a raw-socket C++ client without any library
// (writing frame by frame with TCP_NODELAY, and buffered in user space)
// against the same peers (a discarding sink, a MESSAGE firehose, and
// Cistern), and prints one table: messages per second, body megabytes per
// second, peak resident memory of the client process, each client's ratio
// to this library frame by frame, and the library's ratio to the client
// without a library that has the same settings. A second table gives the
// request/reply latency through Cistern (p50, p99, p99.9) of the library,
// the raw client and stomp.py.
//
//   ks_e2ebench [--Count=50000] [--Size=255] [--Repeat=1] [--RrCount=10000]
//               [--Clients=ksstomp,ksstomp-batch,stomppy,raw,raw-buf]
//               [--Peers=sink,firehose,cistern]
//               [--LargeSize=1048576] [--LargeCount=300] [--Consumers=1000]
//               [--Tables=main,large,consumers,rr]
//               [--Baseline=PATH (another build's ks_e2ebench: its library
//                client runs beside this one as "before" and "before-batch")]
//               [--Python=/usr/bin/python3] [--Smoke (N = 300)] [--Pin=1] [--Tls]
//   ks_e2ebench --Memory [--MemoryCounts=10000,1000000]
//               [--LargeMemoryCounts=100,3000] [--CisternCount=200000]
//       peak resident memory of this library's client for growing counts
//       (255-byte and LargeSize bodies), and Cistern's resident memory idle,
//       with CisternCount messages queued, and after they were consumed
//   ks_e2ebench --Serve=sink|firehose --Count=N [--Size=255] [--Consumers=1]
//       serves one client and prints "port P" first (used by callgrind.sh)
//   ks_e2ebench --Role=client --Client=ksstomp|raw --Work=produce|receive|listen|rr
//               --Host=H --Port=P --Count=N [--Size=255] [--Queue=bench]
//               [--Consumers=1] [--Batch (library)] [--Buffered (raw)]
//               [--CaFile=PEM (ksstomp over stomp+ssl)] [--Query=URL parameters (ksstomp)]
//               [--Failover (ksstomp through a failover URL)]
//       one client run (the driver starts itself this way)
//
// With --Tls only this library's client runs, against Cistern only, over
// STOMP over TLS (a certificate made with the openssl program; the queues
// are filled through Cistern's plain port): run once with and once without
// it to compare TLS with plain TCP.
//
// With --Pin=1 (the default on two or more CPUs) the peers and Cistern run
// on the last CPU and every client on the first; --Pin=0 leaves placement to
// the scheduler.
//
// Besides the main table (255-byte bodies by default), the run prints the
// same rows with LargeSize bodies (produce into the sink, Receive and
// listener from the firehose; with the page faults per message of each
// client), the listener row with one consumer and with Consumers consumers
// on one connection (the firehose hands its messages to their
// subscriptions in turn), and request/reply through Cistern.
//
// Every client runs as a child process of its own: its peak resident memory
// is the child's, from wait4. Rates come from the time each client measures
// between the CONNECTED reply and its last message; process start-up (and
// Python's import time) is not in them; so do the page faults. Exit code 0
// only when every run moved exactly Count messages.
#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <map>
#include <memory>
#include <optional>
#include <poll.h>
#include <sched.h>
#include <string>
#include <sys/resource.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "bench/e2e/KsBenchClients.hpp"
#include "bench/e2e/KsBenchPeers.hpp"
#include "tests/common/KsCisternProcess.hpp"
#include "tests/common/KsTlsFiles.hpp"

namespace {

using namespace ks::bench;

std::map<std::string, std::string> ParseOptions(int argc, char** argv) {
  std::map<std::string, std::string> options;
  for (int i = 1; i < argc; ++i) {
    std::string arg = argv[i];
    if (arg.rfind("--", 0) != 0) continue;
    arg.erase(0, 2);
    const std::size_t eq = arg.find('=');
    if (eq == std::string::npos)
      options[arg] = "1";
    else
      options[arg.substr(0, eq)] = arg.substr(eq + 1);
  }
  return options;
}

std::string Get(const std::map<std::string, std::string>& options, const std::string& name, const std::string& def) {
  const auto it = options.find(name);
  return it == options.end() ? def : it->second;
}

std::vector<std::string> Split(const std::string& text) {
  std::vector<std::string> parts;
  std::size_t start = 0;
  while (start <= text.size()) {
    const std::size_t comma = text.find(',', start);
    const std::string part = text.substr(start, comma == std::string::npos ? std::string::npos : comma - start);
    if (!part.empty()) parts.push_back(part);
    if (comma == std::string::npos) break;
    start = comma + 1;
  }
  return parts;
}

bool Has(const std::vector<std::string>& list, const std::string& item) {
  return std::find(list.begin(), list.end(), item) != list.end();
}

TBenchWork WorkFromText(const std::string& text) {
  if (text == "receive") return TBenchWork::Receive;
  if (text == "listen") return TBenchWork::Listen;
  if (text == "rr") return TBenchWork::RequestReply;
  return TBenchWork::Produce;
}

std::string SelfPath() {
  char path[4096];
  const ssize_t n = ::readlink("/proc/self/exe", path, sizeof path - 1);
  if (n <= 0) return "ks_e2ebench";
  return std::string(path, static_cast<std::size_t>(n));
}

// The CPU each client child is bound to, or -1 for none (see --Pin).
int gClientCpu = -1;

// Binds the calling thread (and what it starts later) to one CPU.
bool PinToCpu(int cpu) {
  cpu_set_t set;
  CPU_ZERO(&set);
  CPU_SET(cpu, &set);
  return ::sched_setaffinity(0, sizeof set, &set) == 0;
}

struct TRun {
  bool ok = false;
  std::uint64_t count = 0;
  double seconds = 0;     // the client's own measurement of its work
  double faults = 0;      // page faults of the client during its work
  double maxRssMB = 0;    // peak resident memory of the client process
  double latencyUs[3] = {0, 0, 0};  // request/reply: p50, p99, p99.9
  std::string output;     // what the client printed
};

// Runs argv as a child process with its standard output captured; kills it
// at the deadline.
TRun RunChild(const std::vector<std::string>& argv, std::chrono::seconds timeout) {
  TRun run;
  int fds[2];
  if (::pipe2(fds, O_CLOEXEC) != 0) {
    run.output = "pipe failed";
    return run;
  }
  const pid_t pid = ::fork();
  if (pid == 0) {
    if (gClientCpu >= 0) PinToCpu(gClientCpu);
    ::dup2(fds[1], 1);
    std::vector<char*> args;
    for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    ::execv(args[0], args.data());
    std::fprintf(stderr, "cannot start %s: %s\n", args[0], std::strerror(errno));
    ::_exit(127);
  }
  ::close(fds[1]);
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  char chunk[4096];
  bool killed = false;
  for (;;) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) {
      ::kill(pid, SIGKILL);
      killed = true;
      break;
    }
    pollfd waiter{fds[0], POLLIN, 0};
    const int ready = ::poll(&waiter, 1, static_cast<int>(std::min<long long>(left.count(), 1000)));
    if (ready < 0 && errno == EINTR) continue;
    if (ready <= 0) continue;
    const ssize_t n = ::read(fds[0], chunk, sizeof chunk);
    if (n <= 0) break;
    run.output.append(chunk, static_cast<std::size_t>(n));
  }
  ::close(fds[0]);
  int status = 0;
  rusage usage{};
  while (::wait4(pid, &status, 0, &usage) < 0 && errno == EINTR) {
  }
  run.maxRssMB = static_cast<double>(usage.ru_maxrss) / 1024.0;
  unsigned long long count = 0;
  long long nanos = 0;
  long faults = 0;
  if (!killed && WIFEXITED(status) && WEXITSTATUS(status) == 0 &&
      std::sscanf(run.output.c_str(), "ok %llu %lld %ld", &count, &nanos, &faults) >= 2) {
    run.ok = true;
    run.count = count;
    run.seconds = static_cast<double>(nanos) / 1e9;
    run.faults = static_cast<double>(faults);
    long long p[3] = {0, 0, 0};
    const std::size_t at = run.output.find("\nlatency ");
    if (at != std::string::npos && std::sscanf(run.output.c_str() + at + 1, "latency %lld %lld %lld", &p[0], &p[1], &p[2]) == 3) {
      for (int i = 0; i < 3; ++i) run.latencyUs[i] = static_cast<double>(p[i]) / 1000.0;
    }
  } else if (killed) {
    run.output += " (killed at the deadline)";
  }
  while (!run.output.empty() && (run.output.back() == '\n' || run.output.back() == '\r')) run.output.pop_back();
  return run;
}

struct TDriver {
  std::uint64_t count = 50000;
  std::size_t size = 255;
  std::size_t consumers = 1;  // consumers of the consume runs
  int repeat = 1;
  std::string python = "/usr/bin/python3";
  std::string script;
  std::string self;
  std::string baseline;  // another build's ks_e2ebench, for "before" and "before-batch"
  std::unique_ptr<ks::test::TCisternProcess> cistern;
  std::unique_ptr<ks::test::TTlsFiles> tls;  // with --Tls: the library client talks TLS to Cistern
  int queueSerial = 0;
  bool allOk = true;

  std::chrono::seconds Timeout(std::uint64_t n) const {
    return std::chrono::seconds(60 + static_cast<long long>(n / 10000));
  }

  std::vector<std::string> ClientArgs(const std::string& client, const std::string& work, std::uint16_t port,
                                      std::uint64_t n, const std::string& queue) const {
    std::vector<std::string> args;
    if (client == "stomppy") {
      args = {python, script};
    } else if (client == "ksstomp-batch") {
      args = {self, "--Role=client", "--Client=ksstomp", "--Batch"};
    } else if (client == "raw-buf") {
      args = {self, "--Role=client", "--Client=raw", "--Buffered"};
    } else if (client == "before") {
      args = {baseline, "--Role=client", "--Client=ksstomp"};
    } else if (client == "before-batch") {
      args = {baseline, "--Role=client", "--Client=ksstomp", "--Batch"};
    } else {
      args = {self, "--Role=client", "--Client=" + client};
    }
    if (consumers > 1) args.push_back("--Consumers=" + std::to_string(consumers));
    args.push_back("--Work=" + work);
    args.push_back("--Host=127.0.0.1");
    args.push_back("--Port=" + std::to_string(port));
    args.push_back("--Count=" + std::to_string(n));
    args.push_back("--Size=" + std::to_string(size));
    args.push_back("--Queue=" + queue);
    return args;
  }

  // Fills a Cistern queue with n messages through the raw client (confirmed
  // by a receipt, so that every message is queued when it returns).
  bool FillCistern(const std::string& queue, std::uint64_t n) {
    auto args = ClientArgs("raw", "produce", cistern->Port(), n, queue);
    args.push_back("--Confirm");
    const TRun fill = RunChild(args, Timeout(n));
    if (!fill.ok) std::fprintf(stderr, "filling %s failed: %s\n", queue.c_str(), fill.output.c_str());
    return fill.ok;
  }

  // One run of one client against one peer.
  TRun RunOnce(const std::string& client, const std::string& work, const std::string& peer, std::uint64_t n) {
    TRun run;
    if (peer == "cistern") {
      const std::string queue = "bench." + std::to_string(++queueSerial);
      if (work != "produce" && work != "rr" && !FillCistern(queue, n)) {
        run.output = "fill failed";
        return run;
      }
      auto args = ClientArgs(client, work, tls ? cistern->TlsPort() : cistern->Port(), n, queue);
      if (tls) args.push_back("--CaFile=" + tls->CaFile());
      run = RunChild(args, Timeout(n));
    } else {
      TBenchPeer server(peer == "sink" ? TBenchPeer::TKind::Sink : TBenchPeer::TKind::Firehose, n, size, consumers);
      run = RunChild(ClientArgs(client, work, server.Port(), n, "bench"), Timeout(n));
      if (!server.Wait(std::chrono::seconds(10))) {
        run.ok = false;
        run.output += " (the peer did not see the connection end)";
      } else if (!server.Error().empty()) {
        run.ok = false;
        run.output += " (peer: " + server.Error() + ")";
      } else if (peer == "sink" && server.Frames() != n) {
        run.ok = false;
        run.output += " (the sink counted " + std::to_string(server.Frames()) + " SEND frames)";
      }
    }
    return run;
  }

  // Per client, the median rate of Repeat runs, with the largest peak
  // memory. The clients take turns, round after round, so that a change in
  // the machine's load during a row falls on all of them alike.
  std::map<std::string, TRun> MeasureRow(const std::vector<std::string>& clients, const std::string& work,
                                         const std::string& peer, std::uint64_t n) {
    std::map<std::string, std::vector<TRun>> runs;
    std::map<std::string, TRun> results;
    for (int i = 0; i < repeat; ++i) {
      for (const auto& client : clients) {
        if (results.count(client) != 0) continue;  // failed before
        TRun run = RunOnce(client, work, peer, n);
        if (!run.ok) {
          std::fprintf(stderr, "%s %s via %s failed: %s\n", client.c_str(), work.c_str(), peer.c_str(),
                       run.output.c_str());
          allOk = false;
          results[client] = run;
          continue;
        }
        runs[client].push_back(run);
      }
    }
    for (auto& [client, list] : runs) {
      if (results.count(client) != 0) continue;
      std::sort(list.begin(), list.end(), [](const TRun& a, const TRun& b) { return a.seconds < b.seconds; });
      TRun result = list[list.size() / 2];
      for (const auto& r : list) result.maxRssMB = std::max(result.maxRssMB, r.maxRssMB);
      std::vector<double> faults;
      for (const auto& r : list) faults.push_back(r.faults);
      std::sort(faults.begin(), faults.end());
      result.faults = faults[faults.size() / 2];
      for (int p = 0; p < 3; ++p) {  // each percentile's median on its own
        std::vector<double> values;
        for (const auto& r : list) values.push_back(r.latencyUs[p]);
        std::sort(values.begin(), values.end());
        result.latencyUs[p] = values[values.size() / 2];
      }
      results[client] = result;
    }
    return results;
  }
};

std::string LoadAverage() {
  char text[128] = {0};
  if (FILE* f = std::fopen("/proc/loadavg", "r")) {
    if (std::fgets(text, sizeof text, f) == nullptr) text[0] = 0;
    std::fclose(f);
  }
  std::string s(text);
  while (!s.empty() && s.back() == '\n') s.pop_back();
  return s;
}

bool PythonClientAvailable(const std::string& python) {
  if (::access(python.c_str(), X_OK) != 0) return false;
  const std::string command = python + " -c 'import stomp' >/dev/null 2>&1";
  return std::system(command.c_str()) == 0;
}

// The variants with other send settings take part in the produce rows
// only: they consume exactly as their plain forms do.
bool SendVariant(const std::string& client) {
  return client == "ksstomp-batch" || client == "raw-buf" || client == "before-batch";
}

// The client without a library that has this library client's settings.
std::string LikeFor(const std::string& client) {
  if (client == "ksstomp" || client == "before") return "raw";
  if (client == "ksstomp-batch" || client == "before-batch") return "raw-buf";
  return std::string();
}

double RateOf(const std::map<std::string, TRun>& results, const std::string& client) {
  const auto it = results.find(client);
  return it != results.end() && it->second.ok ? static_cast<double>(it->second.count) / it->second.seconds : 0.0;
}

struct TRow {
  std::string work, peer, label;
};

// One table of rows of the driver's size and consumers: every client per
// row, with the ratios to this library and to the like client; withFaults
// adds the page faults per message.
void PrintTable(TDriver& driver, const std::vector<TRow>& rows, const std::vector<std::string>& clients,
                bool withFaults) {
  std::printf("\n%-22s %-9s %-13s %12s %9s %10s %10s %9s %9s%s\n", "workload", "peer", "client", "msgs/s", "MB/s",
              "peak RSS", "rate/ours", "RSS/ours", "lib/like", withFaults ? " faults/msg" : "");
  for (const auto& row : rows) {
    std::vector<std::string> rowClients;
    for (const auto& client : clients) {
      if (row.work == "produce" || !SendVariant(client)) rowClients.push_back(client);
    }
    std::map<std::string, TRun> results = driver.MeasureRow(rowClients, row.work, row.peer, driver.count);
    const TRun* ours = results.count("ksstomp") != 0 && results["ksstomp"].ok ? &results["ksstomp"] : nullptr;
    for (const auto& client : rowClients) {
      const TRun& r = results[client];
      if (!r.ok) {
        std::printf("%-22s %-9s %-13s %12s\n", row.label.c_str(), row.peer.c_str(), client.c_str(), "FAILED");
        continue;
      }
      const double rate = RateOf(results, client);
      const double mb = rate * static_cast<double>(driver.size) / 1e6;
      char rateRatio[16] = "-", rssRatio[16] = "-", likeRatio[16] = "-", faults[24] = "";
      if (ours != nullptr) {
        std::snprintf(rateRatio, sizeof rateRatio, "%.2f", rate / RateOf(results, "ksstomp"));
        std::snprintf(rssRatio, sizeof rssRatio, "%.2f", r.maxRssMB / ours->maxRssMB);
      }
      const std::string like = LikeFor(client);
      if (!like.empty() && RateOf(results, like) > 0) {
        std::snprintf(likeRatio, sizeof likeRatio, "%.2f", rate / RateOf(results, like));
      }
      if (withFaults) std::snprintf(faults, sizeof faults, " %10.1f", r.faults / static_cast<double>(r.count));
      std::printf("%-22s %-9s %-13s %12.0f %9.1f %7.1f MB %10s %9s %9s%s\n", row.label.c_str(), row.peer.c_str(),
                  client.c_str(), rate, mb, r.maxRssMB, rateRatio, rssRatio, likeRatio, faults);
    }
    std::fflush(stdout);
  }
}

// The listener from the firehose with one consumer and with many on one
// connection, each client's rate with many divided by its rate with one.
void PrintConsumersTable(TDriver& driver, std::size_t many, const std::vector<std::string>& clients) {
  std::printf("\nlistener, firehose, one connection: 1 consumer and %zu consumers (messages handed to their "
              "subscriptions in turn)\n%-13s %12s %12s %9s %9s\n",
              many, "client", "1 msgs/s", "many msgs/s", "many/1", "lib/like");
  std::map<std::string, TRun> results[2];
  const std::size_t counts[2] = {1, many};
  for (int i = 0; i < 2; ++i) {
    driver.consumers = counts[i];
    results[i] = driver.MeasureRow(clients, "listen", "firehose", driver.count);
  }
  driver.consumers = 1;
  for (const auto& client : clients) {
    const double one = RateOf(results[0], client);
    const double more = RateOf(results[1], client);
    if (one <= 0 || more <= 0) {
      std::printf("%-13s %12s\n", client.c_str(), "FAILED");
      continue;
    }
    char likeRatio[16] = "-";
    const std::string like = LikeFor(client);
    if (!like.empty() && RateOf(results[1], like) > 0) {
      std::snprintf(likeRatio, sizeof likeRatio, "%.2f", more / RateOf(results[1], like));
    }
    std::printf("%-13s %12.0f %12.0f %9.2f %9s\n", client.c_str(), one, more, more / one, likeRatio);
  }
  std::fflush(stdout);
}

int RunDriver(const std::map<std::string, std::string>& options) {
  TDriver driver;
  const bool smoke = options.count("Smoke") != 0;
  // --Smoke: a few seconds in all, for CI (an explicit --Count still wins).
  driver.count = std::strtoull(Get(options, "Count", smoke ? "300" : "50000").c_str(), nullptr, 10);
  driver.size = std::strtoul(Get(options, "Size", "255").c_str(), nullptr, 10);
  driver.repeat = std::max(1, std::atoi(Get(options, "Repeat", "1").c_str()));
  driver.python = Get(options, "Python", "/usr/bin/python3");
  driver.script = Get(options, "Script", std::string(KS_BENCH_SOURCE_DIR) + "/e2e/stomppy_client.py");
  driver.self = SelfPath();
  driver.baseline = Get(options, "Baseline", "");
  std::vector<std::string> clients = Split(Get(options, "Clients", "ksstomp,ksstomp-batch,stomppy,raw,raw-buf"));
  std::vector<std::string> peers = Split(Get(options, "Peers", "sink,firehose,cistern"));
  const std::vector<std::string> tables = Split(Get(options, "Tables", "main,large,consumers,rr"));
  const std::size_t largeSize = std::strtoul(Get(options, "LargeSize", "1048576").c_str(), nullptr, 10);
  const std::uint64_t largeCount = std::strtoull(Get(options, "LargeCount", smoke ? "20" : "300").c_str(), nullptr, 10);
  const std::size_t manyConsumers = std::strtoul(Get(options, "Consumers", smoke ? "50" : "1000").c_str(), nullptr, 10);
  if (!driver.baseline.empty()) {
    if (::access(driver.baseline.c_str(), X_OK) != 0) {
      std::fprintf(stderr, "--Baseline=%s is not a program\n", driver.baseline.c_str());
      return 1;
    }
    // Beside each library client, its form from the other build.
    std::vector<std::string> withBaseline;
    for (const auto& client : clients) {
      withBaseline.push_back(client);
      if (client == "ksstomp") withBaseline.push_back("before");
      if (client == "ksstomp-batch") withBaseline.push_back("before-batch");
    }
    clients = withBaseline;
  }
  if (options.count("Tls") != 0) {
    std::printf("--Tls: this library's client against Cistern over STOMP over TLS\n");
    clients = {"ksstomp"};
    peers = {"cistern"};
    driver.tls = std::make_unique<ks::test::TTlsFiles>();
    if (!driver.tls->Made()) {
      std::fprintf(stderr, "cannot make the TLS certificate: %s\n", driver.tls->Failure().c_str());
      return 1;
    }
  }

  if (Has(clients, "stomppy") && !PythonClientAvailable(driver.python)) {
    std::printf("stomp.py is not available (%s cannot import stomp; Debian: python3-stomp): skipping the Python client\n",
                driver.python.c_str());
    clients.erase(std::remove(clients.begin(), clients.end(), "stomppy"), clients.end());
  }
  // Peers (and Cistern) on the last CPU, clients on the first: the regime
  // of a broker on another core, and the same for every client. Unbound,
  // the scheduler puts the two sides now on one core, now on two, and the
  // cost of a send differs by a factor of three between the two.
  const unsigned cpus = std::thread::hardware_concurrency();
  std::string placement = "not bound to CPUs";
  if (Get(options, "Pin", "1") != "0" && cpus >= 2 && PinToCpu(static_cast<int>(cpus) - 1)) {
    gClientCpu = 0;
    placement = "peers on cpu " + std::to_string(cpus - 1) + ", clients on cpu 0";
  }
  if (Has(peers, "cistern") && (Has(tables, "main") || Has(tables, "rr"))) {
    // The runs fill one queue with up to a million messages before they
    // consume it: room for that, so that flow control never pauses them.
    std::vector<std::string> brokerOptions{"--MaxQueueBytes=3G", "--MaxTotalBytes=3G"};
    if (driver.tls) {
      for (auto& o : ks::test::TlsOptions(driver.tls->CertFile(), driver.tls->KeyFile())) brokerOptions.push_back(o);
    }
    driver.cistern = std::make_unique<ks::test::TCisternProcess>(brokerOptions);
    if (!driver.cistern->Started()) {
      std::fprintf(stderr, "Cistern did not start (%s)\n", ks::test::CisternPath().c_str());
      return 1;
    }
  }

  const std::time_t now = std::time(nullptr);
  char stamp[64];
  std::strftime(stamp, sizeof stamp, "%Y-%m-%d %H:%M:%S UTC", std::gmtime(&now));
  std::printf("ks_e2ebench %s: N=%llu, body %zu characters, non-persistent, queue; median of %d run(s); %u cpu(s), "
              "%s; load average at start %s\n",
              stamp, static_cast<unsigned long long>(driver.count), driver.size, driver.repeat, cpus,
              placement.c_str(), LoadAverage().c_str());
  if (!driver.baseline.empty()) std::printf("before, before-batch: %s\n", driver.baseline.c_str());

  if (Has(tables, "main")) {
    std::vector<TRow> rows;
    if (Has(peers, "sink")) rows.push_back({"produce", "sink", "produce"});
    if (Has(peers, "cistern")) rows.push_back({"produce", "cistern", "produce"});
    if (Has(peers, "firehose")) {
      rows.push_back({"receive", "firehose", "consume Receive(1000)"});
      rows.push_back({"listen", "firehose", "consume listener"});
    }
    if (Has(peers, "cistern")) {
      rows.push_back({"receive", "cistern", "consume Receive(1000)"});
      rows.push_back({"listen", "cistern", "consume listener"});
    }
    PrintTable(driver, rows, clients, false);
  }

  // Large bodies, without the Python client (its rates at this size say
  // nothing new) and without Cistern (which holds every queued message).
  std::vector<std::string> cClients;
  for (const auto& client : clients) {
    if (client != "stomppy") cClients.push_back(client);
  }
  if (Has(tables, "large") && !driver.tls) {
    const std::uint64_t mainCount = driver.count;
    const std::size_t mainSize = driver.size;
    driver.count = largeCount;
    driver.size = largeSize;
    std::printf("\n%zu-byte bodies, N=%llu\n", largeSize, static_cast<unsigned long long>(largeCount));
    std::vector<TRow> rows;
    if (Has(peers, "sink")) rows.push_back({"produce", "sink", "produce"});
    if (Has(peers, "firehose")) {
      rows.push_back({"receive", "firehose", "consume Receive(1000)"});
      rows.push_back({"listen", "firehose", "consume listener"});
    }
    PrintTable(driver, rows, cClients, true);
    driver.count = mainCount;
    driver.size = mainSize;
  }

  if (Has(tables, "consumers") && Has(peers, "firehose") && !driver.tls) {
    std::vector<std::string> consumerClients;
    for (const auto& client : cClients) {
      if (!SendVariant(client)) consumerClients.push_back(client);
    }
    PrintConsumersTable(driver, manyConsumers, consumerClients);
  }

  if (Has(tables, "rr") && Has(peers, "cistern")) {
    // Request/reply through Cistern, each client with its own responder;
    // batching would hold each request, so the plain forms take part.
    const std::uint64_t rrCount =
        std::strtoull(Get(options, "RrCount", smoke ? "200" : "10000").c_str(), nullptr, 10);
    std::vector<std::string> rrClients;
    for (const auto& client : clients) {
      if (!SendVariant(client)) rrClients.push_back(client);
    }
    std::printf("\nrequest/reply through Cistern, %llu round trips (microseconds)\n%-13s %10s %10s %10s %10s\n",
                static_cast<unsigned long long>(rrCount), "client", "p50", "p99", "p99.9", "p50/ours");
    std::map<std::string, TRun> results = driver.MeasureRow(rrClients, "rr", "cistern", rrCount);
    const double oursP50 = results.count("ksstomp") != 0 && results["ksstomp"].ok ? results["ksstomp"].latencyUs[0] : 0.0;
    for (const auto& client : rrClients) {
      const TRun& r = results[client];
      if (!r.ok) {
        std::printf("%-13s %10s\n", client.c_str(), "FAILED");
        continue;
      }
      char ratio[16] = "-";
      if (oursP50 > 0) std::snprintf(ratio, sizeof ratio, "%.2f", r.latencyUs[0] / oursP50);
      std::printf("%-13s %10.1f %10.1f %10.1f %10s\n", client.c_str(), r.latencyUs[0], r.latencyUs[1], r.latencyUs[2],
                  ratio);
    }
  }
  std::printf("\nload average at end %s\n", LoadAverage().c_str());
  return driver.allOk ? 0 : 1;
}

// Resident memory of a process in bytes (VmRSS), 0 when unknown.
double ResidentBytes(pid_t pid) {
  const std::string path = "/proc/" + std::to_string(pid) + "/status";
  FILE* f = std::fopen(path.c_str(), "r");
  if (f == nullptr) return 0;
  char line[256];
  double kb = 0;
  while (std::fgets(line, sizeof line, f) != nullptr) {
    if (std::sscanf(line, "VmRSS: %lf kB", &kb) == 1) break;
  }
  std::fclose(f);
  return kb * 1024.0;
}

int RunMemory(const std::map<std::string, std::string>& options) {
  TDriver driver;
  driver.self = SelfPath();
  const std::size_t largeSize = std::strtoul(Get(options, "LargeSize", "1048576").c_str(), nullptr, 10);
  struct TMemoryTable {
    std::size_t size;
    std::string counts;
  };
  const TMemoryTable memoryTables[] = {
      {std::strtoul(Get(options, "Size", "255").c_str(), nullptr, 10), Get(options, "MemoryCounts", "10000,1000000")},
      {largeSize, Get(options, "LargeMemoryCounts", "100,3000")}};
  for (const TMemoryTable& table : memoryTables) {
    driver.size = table.size;
    std::vector<std::uint64_t> counts;
    for (const auto& c : Split(table.counts)) counts.push_back(std::strtoull(c.c_str(), nullptr, 10));
    if (counts.empty()) continue;
    std::printf("peak resident memory of the ksstomp client process by message count, %zu-byte bodies\n%-22s %-9s",
                table.size, "workload", "peer");
    for (auto c : counts) std::printf(" %12llu", static_cast<unsigned long long>(c));
    std::printf("\n");
    const std::vector<std::pair<std::string, std::string>> rows = {
        {"produce", "sink"}, {"produce-batch", "sink"}, {"receive", "firehose"}, {"listen", "firehose"}};
    for (const auto& [work, peer] : rows) {
      std::printf("%-22s %-9s", work.c_str(), peer.c_str());
      for (auto c : counts) {
        const bool batch = work == "produce-batch";
        const TRun r = driver.RunOnce(batch ? "ksstomp-batch" : "ksstomp", batch ? "produce" : work, peer, c);
        if (r.ok)
          std::printf(" %9.1f MB", r.maxRssMB);
        else {
          std::printf(" %12s", "FAILED");
          std::fprintf(stderr, "%s\n", r.output.c_str());
          driver.allOk = false;
        }
        std::fflush(stdout);
      }
      std::printf("\n");
    }
    std::printf("\n");
  }
  driver.size = std::strtoul(Get(options, "Size", "255").c_str(), nullptr, 10);

  // Cistern: idle, with n messages queued (filled by the raw client, every
  // one confirmed), and after this library's client consumed them all.
  const std::uint64_t n = std::strtoull(Get(options, "CisternCount", "200000").c_str(), nullptr, 10);
  driver.cistern = std::make_unique<ks::test::TCisternProcess>(
      std::vector<std::string>{"--MaxQueueBytes=3G", "--MaxTotalBytes=3G"});
  if (!driver.cistern->Started()) {
    std::fprintf(stderr, "Cistern did not start (%s)\n", ks::test::CisternPath().c_str());
    return 1;
  }
  const double idle = ResidentBytes(driver.cistern->Pid());
  const bool filled = driver.FillCistern("memory", n);
  const double full = ResidentBytes(driver.cistern->Pid());
  auto drain = driver.ClientArgs("ksstomp", "receive", driver.cistern->Port(), n, "memory");
  const TRun drained = filled ? RunChild(drain, driver.Timeout(n)) : TRun{};
  // The client has ended, but Cistern may not have closed its connection
  // yet (whose buffers it keeps while the connection lasts): read until two
  // readings 50 ms apart agree, for at most a second.
  double after = ResidentBytes(driver.cistern->Pid());
  for (int i = 0; i < 20; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    const double again = ResidentBytes(driver.cistern->Pid());
    if (again == after) break;
    after = again;
  }
  // The SEND frame the raw client writes for each message.
  const double frame = static_cast<double>(std::string("SEND\ndestination:jms.queue.memory\n\n").size() + driver.size + 2);
  std::printf("\nCistern resident memory, %llu messages of %.0f-byte SEND frames\n", static_cast<unsigned long long>(n),
              frame);
  if (!filled || !drained.ok) {
    std::printf("FAILED (%s)\n", drained.output.c_str());
    return 1;
  }
  std::printf("idle %.1f MB, queued %.1f MB (%.0f bytes per message, %.2f times the frame), after the drain %.1f MB "
              "(%.2f times idle)\n",
              idle / 1e6, full / 1e6, (full - idle) / static_cast<double>(n), (full - idle) / static_cast<double>(n) / frame,
              after / 1e6, after / idle);
  return driver.allOk ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
  std::signal(SIGPIPE, SIG_IGN);
  const auto options = ParseOptions(argc, argv);
  if (Get(options, "Role", "") == "client") {
    TClientOptions client;
    client.work = WorkFromText(Get(options, "Work", "produce"));
    client.host = Get(options, "Host", "127.0.0.1");
    client.port = static_cast<std::uint16_t>(std::atoi(Get(options, "Port", "61613").c_str()));
    client.count = std::strtoull(Get(options, "Count", "1000").c_str(), nullptr, 10);
    client.size = std::strtoul(Get(options, "Size", "255").c_str(), nullptr, 10);
    client.queue = Get(options, "Queue", "bench");
    client.consumers = std::max<std::size_t>(1, std::strtoul(Get(options, "Consumers", "1").c_str(), nullptr, 10));
    client.confirm = options.count("Confirm") != 0;
    client.batch = options.count("Batch") != 0;
    client.buffered = options.count("Buffered") != 0;
    client.caFile = Get(options, "CaFile", "");
    client.query = Get(options, "Query", "");
    client.failover = options.count("Failover") != 0;
    return Get(options, "Client", "ksstomp") == "raw" ? RunRawClient(client) : RunLibraryClient(client);
  }
  if (options.count("Serve") != 0) {
    const std::uint64_t n = std::strtoull(Get(options, "Count", "1000").c_str(), nullptr, 10);
    TBenchPeer peer(Get(options, "Serve", "sink") == "firehose" ? TBenchPeer::TKind::Firehose : TBenchPeer::TKind::Sink,
                    n, std::strtoul(Get(options, "Size", "255").c_str(), nullptr, 10),
                    std::strtoul(Get(options, "Consumers", "1").c_str(), nullptr, 10));
    std::printf("port %u\n", static_cast<unsigned>(peer.Port()));
    std::fflush(stdout);
    peer.Wait(std::chrono::seconds(600));
    return peer.Error().empty() ? 0 : 1;
  }
  if (options.count("Memory") != 0) return RunMemory(options);
  return RunDriver(options);
}
