#include "tests/common/KsTapProxy.hpp"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <set>
#include <string_view>

#include "tests/common/KsTestUtil.hpp"

namespace ks::test {

namespace {

int ConnectTo(std::uint16_t port) {
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(port);
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
    ::close(fd);
    return -1;
  }
  return fd;
}

bool WriteAll(int fd, const char* data, std::size_t size) {
  while (size > 0) {
    const ssize_t n = ::send(fd, data, size, MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    data += n;
    size -= static_cast<std::size_t>(n);
  }
  return true;
}

// The frames of a byte stream: command and headers (bodies are skipped up
// to their NUL).
struct TSeenFrame {
  std::string command;
  std::string body;
  std::string Header(std::string_view name) const {
    for (const auto& [n, v] : headers) {
      if (n == name) return v;
    }
    return {};
  }
  std::vector<std::pair<std::string, std::string>> headers;
};

std::vector<TSeenFrame> FramesOf(const std::string& bytes) {
  std::vector<TSeenFrame> frames;
  std::size_t at = 0;
  while (at < bytes.size()) {
    while (at < bytes.size() && (bytes[at] == '\n' || bytes[at] == '\r')) ++at;
    const std::size_t end = bytes.find('\0', at);
    if (end == std::string::npos) break;
    const std::string_view frame(bytes.data() + at, end - at);
    at = end + 1;
    const std::size_t head = frame.find("\n\n");
    std::string_view block = frame.substr(0, head);
    TSeenFrame seen;
    if (head != std::string_view::npos) seen.body = std::string(frame.substr(head + 2));
    std::size_t line = 0;
    bool first = true;
    while (line <= block.size()) {
      std::size_t nl = block.find('\n', line);
      if (nl == std::string_view::npos) nl = block.size();
      std::string_view text = block.substr(line, nl - line);
      if (!text.empty() && text.back() == '\r') text.remove_suffix(1);
      if (first) {
        seen.command = std::string(text);
        first = false;
      } else if (const std::size_t colon = text.find(':'); colon != std::string_view::npos) {
        seen.headers.emplace_back(std::string(text.substr(0, colon)), std::string(text.substr(colon + 1)));
      }
      line = nl + 1;
    }
    if (!seen.command.empty()) frames.push_back(std::move(seen));
  }
  return frames;
}

}  // namespace

TTapProxy::TTapProxy(std::uint16_t targetPort) : target_(targetPort) {
  listener_ = ListenOnLoopback(port_, 64);
  if (listener_ < 0 || ::pipe2(wake_, O_CLOEXEC | O_NONBLOCK) != 0) {
    port_ = 0;
    return;
  }
  thread_ = std::thread([this] { Run(); });
}

TTapProxy::~TTapProxy() {
  stop_ = true;
  Wake();
  if (thread_.joinable()) thread_.join();
  for (TPipe& pipe : pipes_) ClosePipe(pipe);
  if (listener_ >= 0) ::close(listener_);
  for (int fd : wake_) {
    if (fd >= 0) ::close(fd);
  }
}

std::string TTapProxy::Url() const { return "stomp://127.0.0.1:" + std::to_string(port_); }

void TTapProxy::Wake() {
  if (wake_[1] >= 0) [[maybe_unused]] const ssize_t n = ::write(wake_[1], "x", 1);
}

void TTapProxy::DropAll() {
  dropAll_ = true;
  Wake();
  // Done when the relay thread has taken the request.
  WaitUntil([this] { return !dropAll_.load(); });
}

void TTapProxy::Refuse(bool on) { refuse_ = on; }

std::size_t TTapProxy::Accepted() const {
  std::lock_guard<std::mutex> guard(mutex_);
  return accepted_;
}

std::vector<std::string> TTapProxy::ClientBytes() const {
  std::lock_guard<std::mutex> guard(mutex_);
  return client_;
}

std::vector<std::string> TTapProxy::BrokerBytes() const {
  std::lock_guard<std::mutex> guard(mutex_);
  return broker_;
}

void TTapProxy::ClosePipe(TPipe& pipe) {
  if (pipe.client >= 0) ::close(pipe.client);
  if (pipe.broker >= 0) ::close(pipe.broker);
  pipe.client = pipe.broker = -1;
}

void TTapProxy::Accept() {
  const int client = ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
  if (client < 0) return;
  std::size_t record = 0;
  {
    std::lock_guard<std::mutex> guard(mutex_);
    ++accepted_;
    record = client_.size();
    client_.emplace_back();
    broker_.emplace_back();
  }
  const int broker = refuse_ ? -1 : ConnectTo(target_);
  if (broker < 0) {
    ::close(client);
    return;
  }
  pipes_.push_back(TPipe{client, broker, record});
}

bool TTapProxy::Relay(TPipe& pipe, bool fromClient) {
  char buffer[16384];
  const int from = fromClient ? pipe.client : pipe.broker;
  const int to = fromClient ? pipe.broker : pipe.client;
  const ssize_t n = ::recv(from, buffer, sizeof buffer, 0);
  if (n < 0 && (errno == EINTR || errno == EAGAIN)) return true;
  if (n <= 0) return false;
  {
    std::lock_guard<std::mutex> guard(mutex_);
    (fromClient ? client_ : broker_)[pipe.record].append(buffer, static_cast<std::size_t>(n));
  }
  return WriteAll(to, buffer, static_cast<std::size_t>(n));
}

void TTapProxy::Run() {
  while (!stop_) {
    if (dropAll_) {
      for (TPipe& pipe : pipes_) ClosePipe(pipe);
      pipes_.clear();
      dropAll_ = false;
    }
    std::vector<pollfd> fds;
    fds.push_back(pollfd{wake_[0], POLLIN, 0});
    fds.push_back(pollfd{listener_, POLLIN, 0});
    for (const TPipe& pipe : pipes_) {
      fds.push_back(pollfd{pipe.client, POLLIN, 0});
      fds.push_back(pollfd{pipe.broker, POLLIN, 0});
    }
    if (::poll(fds.data(), fds.size(), -1) < 0) {
      if (errno == EINTR) continue;
      break;
    }
    if (fds[0].revents != 0) {
      char drain[64];
      while (::read(wake_[0], drain, sizeof drain) > 0) {
      }
    }
    if ((fds[1].revents & POLLIN) != 0) Accept();
    for (std::size_t i = 0; i < fds.size() - 2 && i / 2 < pipes_.size(); i += 2) {
      TPipe& pipe = pipes_[i / 2];
      bool alive = true;
      if (fds[i + 2].revents != 0) alive = Relay(pipe, true);
      if (alive && fds[i + 3].revents != 0) alive = Relay(pipe, false);
      if (!alive) ClosePipe(pipe);
    }
    std::erase_if(pipes_, [](const TPipe& pipe) { return pipe.client < 0; });
  }
}

std::vector<std::string> StaleAcknowledgements(const TTapProxy& proxy) {
  const std::vector<std::string> sent = proxy.ClientBytes();
  const std::vector<std::string> delivered = proxy.BrokerBytes();
  std::vector<std::string> stale;
  for (std::size_t i = 0; i < sent.size(); ++i) {
    std::set<std::string> ids;
    for (const TSeenFrame& frame : FramesOf(delivered[i])) {
      if (frame.command != "MESSAGE") continue;
      ids.insert(frame.Header("message-id"));
      if (!frame.Header("ack").empty()) ids.insert(frame.Header("ack"));
    }
    for (const TSeenFrame& frame : FramesOf(sent[i])) {
      if (frame.command != "ACK" && frame.command != "NACK") continue;
      const std::string id = !frame.Header("id").empty() ? frame.Header("id") : frame.Header("message-id");
      if (ids.count(id) == 0) stale.push_back("connection " + std::to_string(i) + ": " + frame.command + " " + id);
    }
  }
  return stale;
}

std::vector<std::string> DeliveredBodies(const TTapProxy& proxy, std::size_t connection) {
  std::vector<std::string> bodies;
  const std::vector<std::string> delivered = proxy.BrokerBytes();
  if (connection >= delivered.size()) return bodies;
  for (const TSeenFrame& frame : FramesOf(delivered[connection])) {
    if (frame.command == "MESSAGE") bodies.push_back(frame.body);
  }
  return bodies;
}

std::size_t AcknowledgementCount(const TTapProxy& proxy) {
  std::size_t count = 0;
  for (const std::string& bytes : proxy.ClientBytes()) {
    for (const TSeenFrame& frame : FramesOf(bytes)) count += frame.command == "ACK" ? 1 : 0;
  }
  return count;
}

}  // namespace ks::test
