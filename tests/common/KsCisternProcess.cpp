#include "tests/common/KsCisternProcess.hpp"

#include <cerrno>
#include <utility>
#include <csignal>
#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

namespace ks::test {

std::string CisternPath() { return std::string(KS_BINARY_DIR) + "/broker/Cistern"; }

TCisternProcess::TCisternProcess(const std::vector<std::string>& options, std::chrono::milliseconds startTimeout)
    : options_(options) {
  std::vector<std::string> args{CisternPath(), "--Port=0"};
  for (const std::string& o : options) {
    if (o.rfind("--Host=", 0) == 0) host_ = o.substr(7);
    args.push_back(o);
  }
  Launch(std::move(args), startTimeout);
}

bool TCisternProcess::Restart(std::chrono::milliseconds startTimeout) {
  const std::uint16_t port = port_;
  std::vector<std::string> args{CisternPath(), "--Port=" + std::to_string(port)};
  args.insert(args.end(), options_.begin(), options_.end());
  // The old socket may linger a moment (the broker binds with
  // SO_REUSEADDR): a start that could not bind is tried again.
  const auto deadline = std::chrono::steady_clock::now() + startTimeout;
  do {
    Stop(SIGKILL);
    if (reader_.joinable()) reader_.join();
    if (out_ >= 0) ::close(out_);
    out_ = -1;
    port_ = tlsPort_ = 0;
    {
      std::lock_guard lock(mutex_);
      lines_.clear();
      eof_ = false;
    }
    Launch(args, std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now()));
  } while (!Started() && std::chrono::steady_clock::now() < deadline);
  return Started() && port_ == port;
}

void TCisternProcess::Launch(std::vector<std::string> args, std::chrono::milliseconds startTimeout) {
  bool plain = true;
  for (const std::string& o : args) {
    if (o == "--Port=none") plain = false;
  }
  std::vector<char*> argv;
  for (std::string& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);

  int fds[2];
  if (::pipe2(fds, O_CLOEXEC) != 0) return;
  pid_ = ::fork();
  if (pid_ == 0) {
    ::dup2(fds[1], STDOUT_FILENO);
    ::dup2(fds[1], STDERR_FILENO);
    ::execv(argv[0], argv.data());
    ::_exit(127);
  }
  ::close(fds[1]);
  if (pid_ < 0) {
    ::close(fds[0]);
    return;
  }
  out_ = fds[0];
  reader_ = std::thread([this] { ReadOutput(); });

  // The TLS line comes first; the plain one (when there is a plain port)
  // ends the start.
  const std::string marker = "Cistern listening on ";
  const std::string tlsMarker = "Cistern listening with TLS on ";
  auto portOf = [](const std::string& line) {
    return static_cast<std::uint16_t>(std::stoi(line.substr(line.rfind(':') + 1)));
  };
  const auto deadline = std::chrono::steady_clock::now() + startTimeout;
  std::unique_lock lock(mutex_);
  for (;;) {
    for (const std::string& line : lines_) {
      if (line.rfind(tlsMarker, 0) == 0) {
        tlsPort_ = portOf(line);
        if (!plain) return;
      }
      if (line.rfind(marker, 0) == 0) {
        port_ = portOf(line);
        return;
      }
    }
    if (eof_ || changed_.wait_until(lock, deadline) == std::cv_status::timeout) return;
  }
}

TCisternProcess::~TCisternProcess() {
  Stop();
  if (reader_.joinable()) reader_.join();
  if (out_ >= 0) ::close(out_);
}

std::string TCisternProcess::Url() const { return "stomp://" + host_ + ":" + std::to_string(port_); }

std::string TCisternProcess::TlsUrl(const std::string& query) const {
  return "stomp+ssl://" + host_ + ":" + std::to_string(tlsPort_) + query;
}

std::vector<std::string> TlsOptions(const std::string& certFile, const std::string& keyFile, bool plainToo) {
  std::vector<std::string> options{"--TlsPort=0", "--CertFile=" + certFile, "--KeyFile=" + keyFile};
  if (!plainToo) options.push_back("--Port=none");
  return options;
}

void TCisternProcess::ReadOutput() {
  std::string partial;
  char chunk[4096];
  for (;;) {
    const ssize_t n = ::read(out_, chunk, sizeof chunk);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    partial.append(chunk, static_cast<std::size_t>(n));
    std::size_t nl;
    std::lock_guard lock(mutex_);
    while ((nl = partial.find('\n')) != std::string::npos) {
      lines_.push_back(partial.substr(0, nl));
      partial.erase(0, nl + 1);
    }
    changed_.notify_all();
  }
  std::lock_guard lock(mutex_);
  if (!partial.empty()) lines_.push_back(partial);
  eof_ = true;
  changed_.notify_all();
}

bool TCisternProcess::WaitForLine(const std::string& fragment, std::chrono::milliseconds timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  std::unique_lock lock(mutex_);
  for (;;) {
    for (const std::string& line : lines_)
      if (line.find(fragment) != std::string::npos) return true;
    if (eof_ || changed_.wait_until(lock, deadline) == std::cv_status::timeout) {
      for (const std::string& line : lines_)
        if (line.find(fragment) != std::string::npos) return true;
      return false;
    }
  }
}

std::vector<std::string> TCisternProcess::Lines() const {
  std::lock_guard lock(mutex_);
  return lines_;
}

std::optional<int> TCisternProcess::Stop(int signal, std::chrono::milliseconds timeout) {
  if (pid_ <= 0) return status_;
  ::kill(pid_, signal);
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  int raw = 0;
  for (;;) {
    const pid_t r = ::waitpid(pid_, &raw, WNOHANG);
    if (r == pid_) break;
    if (r < 0 && errno != EINTR) {
      pid_ = -1;
      return status_;
    }
    if (std::chrono::steady_clock::now() >= deadline) {
      ::kill(pid_, SIGKILL);
      ::waitpid(pid_, &raw, 0);
      pid_ = -1;
      status_.reset();
      return status_;
    }
    // Polling the child's end; there is no descriptor to wait on.
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  pid_ = -1;
  status_ = WIFEXITED(raw) ? WEXITSTATUS(raw) : 128 + WTERMSIG(raw);
  return status_;
}

}  // namespace ks::test
