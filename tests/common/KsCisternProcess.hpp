// KsCisternProcess: runs the bundled broker Cistern for a test.
//
// The constructor starts "${KS_BINARY_DIR}/broker/Cistern" with --Port=0 (a
// free port) and the given extra options, and waits (with a deadline) for its
// "Cistern listening on HOST:PORT" line (with --Port=none, for its "Cistern
// listening with TLS on HOST:PORT" line). Options for TLS: TlsOptions(). A background thread keeps reading
// the broker's output so that a verbose broker never blocks on a full pipe;
// the lines are kept for WaitForLine. The destructor stops the broker with
// SIGTERM (SIGKILL if it does not end in time) and reaps it. Restart kills
// it (SIGKILL) and starts it again on the same port with the same options,
// as a broker that crashed and came back.
//
// Threads: construct, query and stop from one thread; the output thread is
// internal.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <sys/types.h>
#include <thread>
#include <vector>

namespace ks::test {

class TCisternProcess {
 public:
  explicit TCisternProcess(const std::vector<std::string>& options = {},
                           std::chrono::milliseconds startTimeout = std::chrono::milliseconds(10000));
  ~TCisternProcess();
  TCisternProcess(const TCisternProcess&) = delete;
  TCisternProcess& operator=(const TCisternProcess&) = delete;

  // True once the listening line was seen.
  bool Started() const { return port_ != 0 || tlsPort_ != 0; }
  const std::string& Host() const { return host_; }
  std::uint16_t Port() const { return port_; }
  // "stomp://HOST:PORT"
  std::string Url() const;
  // The TLS listener's port (0 without one) and "stomp+ssl://HOST:PORT"
  // followed by query ("?caFile=...", or empty).
  std::uint16_t TlsPort() const { return tlsPort_; }
  std::string TlsUrl(const std::string& query = std::string()) const;
  pid_t Pid() const { return pid_; }

  // Waits until some output line contains fragment (lines seen earlier
  // count too).
  bool WaitForLine(const std::string& fragment, std::chrono::milliseconds timeout);
  std::vector<std::string> Lines() const;

  // Sends signal (SIGTERM by default) and waits for the end; the exit
  // status (128 + signal number for a broker ended by a signal), or nothing
  // when it had to be killed after the deadline. Safe to call twice.
  std::optional<int> Stop(int signal = 15, std::chrono::milliseconds timeout = std::chrono::milliseconds(5000));
  // SIGKILL, then the same broker again on the same port; true once it
  // listens again.
  bool Restart(std::chrono::milliseconds startTimeout = std::chrono::milliseconds(10000));

 private:
  // Starts the process with args and waits for its listening line.
  void Launch(std::vector<std::string> args, std::chrono::milliseconds startTimeout);
  void ReadOutput();

  pid_t pid_ = -1;
  int out_ = -1;
  std::string host_ = "127.0.0.1";
  std::uint16_t port_ = 0;
  std::uint16_t tlsPort_ = 0;
  std::optional<int> status_;
  std::thread reader_;
  mutable std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<std::string> lines_;
  bool eof_ = false;
  std::vector<std::string> options_;
};

// Path of the Cistern executable of this build.
std::string CisternPath();

// The options that make Cistern serve TLS on a free port with this
// certificate and key; plainToo false adds --Port=none.
std::vector<std::string> TlsOptions(const std::string& certFile, const std::string& keyFile, bool plainToo = true);

}  // namespace ks::test
