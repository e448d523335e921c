#include "tests/common/KsScriptedPeer.hpp"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <stdexcept>

namespace ks::test {

namespace {

void CloseFd(int& fd) {
  if (fd >= 0) {
    ::close(fd);
    fd = -1;
  }
}

// The value of "content-length" in a raw header block, or -1 when absent or
// not a plain decimal number.
long long HeaderContentLength(std::string_view block) {
  std::size_t pos = 0;
  while (pos < block.size()) {
    std::size_t end = block.find('\n', pos);
    if (end == std::string_view::npos) end = block.size();
    std::string_view line = block.substr(pos, end - pos);
    constexpr std::string_view kName = "content-length:";
    if (line.substr(0, kName.size()) == kName) {
      std::string_view value = line.substr(kName.size());
      if (value.empty()) return -1;
      long long n = 0;
      for (char c : value) {
        if (c < '0' || c > '9') return -1;
        n = n * 10 + (c - '0');
        if (n > (1LL << 40)) return -1;
      }
      return n;
    }
    pos = end + 1;
  }
  return -1;
}

}  // namespace

TKsScriptedPeer::TKsScriptedPeer() : TKsScriptedPeer(TKsScriptedPeerOptions{}) {}

TKsScriptedPeer::TKsScriptedPeer(TKsScriptedPeerOptions options) : options_(std::move(options)) {
  Listen();
  thread_ = std::thread([this] { Loop(); });
}

TKsScriptedPeer::~TKsScriptedPeer() { Close(); }

void TKsScriptedPeer::Listen() {
  int pipeFds[2];
  if (::pipe2(pipeFds, O_CLOEXEC) != 0) throw std::runtime_error("pipe failed");
  wakeRead_ = pipeFds[0];
  wakeWrite_ = pipeFds[1];

  const int family = options_.IPv6 ? AF_INET6 : AF_INET;
  listenFd_ = ::socket(family, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (listenFd_ < 0) throw std::runtime_error("socket failed");
  int one = 1;
  ::setsockopt(listenFd_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  sockaddr_storage addr{};
  socklen_t len = 0;
  if (options_.IPv6) {
    auto* a6 = reinterpret_cast<sockaddr_in6*>(&addr);
    a6->sin6_family = AF_INET6;
    a6->sin6_addr = in6addr_loopback;
    len = sizeof(sockaddr_in6);
  } else {
    auto* a4 = reinterpret_cast<sockaddr_in*>(&addr);
    a4->sin_family = AF_INET;
    a4->sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    len = sizeof(sockaddr_in);
  }
  if (::bind(listenFd_, reinterpret_cast<sockaddr*>(&addr), len) != 0 || ::listen(listenFd_, 4) != 0) {
    throw std::runtime_error(std::string("bind/listen failed: ") + std::strerror(errno));
  }
  len = sizeof addr;
  ::getsockname(listenFd_, reinterpret_cast<sockaddr*>(&addr), &len);
  port_ = options_.IPv6 ? ntohs(reinterpret_cast<sockaddr_in6*>(&addr)->sin6_port)
                        : ntohs(reinterpret_cast<sockaddr_in*>(&addr)->sin_port);
}

std::string TKsScriptedPeer::Host() const { return options_.IPv6 ? "::1" : "127.0.0.1"; }

std::string TKsScriptedPeer::Url() const {
  return options_.IPv6 ? "stomp://[::1]:" + std::to_string(port_) : "stomp://127.0.0.1:" + std::to_string(port_);
}

void TKsScriptedPeer::Loop() {
  // Accept one connection.
  for (;;) {
    pollfd fds[2] = {{listenFd_, POLLIN, 0}, {wakeRead_, POLLIN, 0}};
    if (::poll(fds, 2, -1) < 0) {
      if (errno == EINTR) continue;
      return;
    }
    if (fds[1].revents != 0) return;
    if (fds[0].revents & POLLIN) {
      int fd = ::accept4(listenFd_, nullptr, nullptr, SOCK_CLOEXEC);
      if (fd < 0) continue;
      std::lock_guard<std::mutex> lock(mutex_);
      connFd_ = fd;
      accepted_ = true;
      changed_.notify_all();
      break;
    }
  }
  // Collect bytes until the client closes or Close() wakes us.
  char chunk[65536];
  for (;;) {
    pollfd fds[2] = {{connFd_, POLLIN, 0}, {wakeRead_, POLLIN, 0}};
    if (::poll(fds, 2, -1) < 0) {
      if (errno == EINTR) continue;
      break;
    }
    if (fds[1].revents != 0) return;
    if (fds[0].revents == 0) continue;
    ssize_t n = ::recv(connFd_, chunk, sizeof chunk, 0);
    if (n < 0 && errno == EINTR) continue;
    std::lock_guard<std::mutex> lock(mutex_);
    if (n <= 0) {
      clientClosed_ = true;
      changed_.notify_all();
      return;
    }
    received_.append(chunk, static_cast<std::size_t>(n));
    if (options_.AutoConnected || options_.AnswerReceipts) AnswerFrames();
    changed_.notify_all();
  }
}

void TKsScriptedPeer::AnswerFrames() {
  for (;;) {
    std::size_t skip = 0;
    std::string_view rest = std::string_view(received_).substr(autoCursor_);
    std::size_t len = FrameLength(rest, skip);
    if (len == 0) return;
    const std::string_view frame = rest.substr(skip, len);
    const std::size_t blockEnd = frame.find("\n\n");
    const std::size_t receiptAt = frame.find("\nreceipt:");
    std::string reply;
    if (options_.AutoConnected && frame.substr(0, 8) == "CONNECT\n") {
      reply = options_.ConnectedReply;
    } else if (options_.AnswerReceipts && receiptAt != std::string_view::npos && receiptAt < blockEnd) {
      const std::size_t from = receiptAt + 9;
      reply = "RECEIPT\nreceipt-id:" + std::string(frame.substr(from, frame.find('\n', from) - from)) + "\n\n";
      reply.push_back('\0');
      reply.push_back('\n');
    }
    if (!reply.empty()) {
      std::lock_guard<std::mutex> sendLock(sendMutex_);
      std::size_t sent = 0;
      while (sent < reply.size()) {
        ssize_t n = ::send(connFd_, reply.data() + sent, reply.size() - sent, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        sent += static_cast<std::size_t>(n);
      }
    }
    autoCursor_ += skip + len;
  }
}

std::size_t TKsScriptedPeer::FrameLength(std::string_view data, std::size_t& skip) {
  skip = 0;
  while (skip < data.size() && (data[skip] == '\n' || data[skip] == '\r')) ++skip;
  std::string_view frame = data.substr(skip);
  std::size_t headerEnd = frame.find("\n\n");
  if (headerEnd == std::string_view::npos) return 0;
  long long contentLength = HeaderContentLength(frame.substr(0, headerEnd));
  std::size_t bodyStart = headerEnd + 2;
  if (contentLength >= 0) {
    std::size_t need = bodyStart + static_cast<std::size_t>(contentLength) + 1;
    return frame.size() >= need ? need : 0;
  }
  std::size_t nul = frame.find('\0', bodyStart);
  return nul == std::string_view::npos ? 0 : nul + 1;
}

bool TKsScriptedPeer::WaitAccepted(Duration deadline) {
  std::unique_lock<std::mutex> lock(mutex_);
  return changed_.wait_for(lock, deadline, [this] { return accepted_ || closed_; }) && accepted_ && !closed_;
}

bool TKsScriptedPeer::Send(std::string_view bytes) {
  if (!WaitAccepted()) return false;
  int fd;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (closed_) return false;
    fd = connFd_;
  }
  std::lock_guard<std::mutex> sendLock(sendMutex_);
  if (sendClosed_) return false;
  std::size_t sent = 0;
  while (sent < bytes.size()) {
    ssize_t n = ::send(fd, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    sent += static_cast<std::size_t>(n);
  }
  return true;
}

bool TKsScriptedPeer::ReadUntil(const std::function<bool(const std::string&)>& predicate, Duration deadline) {
  std::unique_lock<std::mutex> lock(mutex_);
  return changed_.wait_for(lock, deadline, [&] { return predicate(received_); });
}

bool TKsScriptedPeer::ReadUntil(std::size_t count, Duration deadline) {
  return ReadUntil([count](const std::string& r) { return r.size() >= count; }, deadline);
}

std::string TKsScriptedPeer::ReadFrame(Duration deadline) {
  std::unique_lock<std::mutex> lock(mutex_);
  std::size_t skip = 0;
  std::size_t len = 0;
  changed_.wait_for(lock, deadline, [&] {
    len = FrameLength(std::string_view(received_).substr(frameCursor_), skip);
    return len != 0;
  });
  if (len == 0) return std::string();
  std::string frame = received_.substr(frameCursor_ + skip, len);
  frameCursor_ += skip + len;
  return frame;
}

std::string TKsScriptedPeer::Received() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return received_;
}

bool TKsScriptedPeer::WaitClientClosed(Duration deadline) {
  std::unique_lock<std::mutex> lock(mutex_);
  return changed_.wait_for(lock, deadline, [this] { return clientClosed_; });
}

void TKsScriptedPeer::Close() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (closed_) return;
    closed_ = true;
    changed_.notify_all();
  }
  char wake = 1;
  ssize_t ignored = ::write(wakeWrite_, &wake, 1);
  (void)ignored;
  if (thread_.joinable()) thread_.join();
  std::lock_guard<std::mutex> sendLock(sendMutex_);
  sendClosed_ = true;
  if (connFd_ >= 0) {
    // Send our FIN first and read what is still arriving, so that the close
    // is orderly (closing with unread bytes would reset the connection).
    ::shutdown(connFd_, SHUT_WR);
    char chunk[4096];
    for (;;) {
      ssize_t n = ::recv(connFd_, chunk, sizeof chunk, MSG_DONTWAIT);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) break;
      std::lock_guard<std::mutex> lock(mutex_);
      received_.append(chunk, static_cast<std::size_t>(n));
    }
  }
  CloseFd(connFd_);
  CloseFd(listenFd_);
  CloseFd(wakeRead_);
  CloseFd(wakeWrite_);
}

}  // namespace ks::test
