#include "bench/e2e/KsBenchPeers.hpp"

#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>

namespace ks::bench {

namespace {

constexpr std::size_t kReadChunk = 256 * 1024;
constexpr std::size_t kBatchBytes = 256 * 1024;

std::string_view HeaderValue(std::string_view frame, std::string_view name) {
  std::size_t pos = frame.find('\n');
  while (pos != std::string_view::npos && pos + 1 < frame.size()) {
    const std::size_t begin = pos + 1;
    const std::size_t end = frame.find('\n', begin);
    const std::string_view line = frame.substr(begin, end == std::string_view::npos ? end : end - begin);
    if (line.empty()) break;
    if (line.size() > name.size() && line.substr(0, name.size()) == name && line[name.size()] == ':')
      return line.substr(name.size() + 1);
    pos = end;
  }
  return {};
}

}  // namespace

int DialLoopback(const std::string& host, std::uint16_t port) {
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(port);
  if (::inet_pton(AF_INET, host.c_str(), &address.sin_addr) != 1 ||
      ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
    ::close(fd);
    return -1;
  }
  int one = 1;
  ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  return fd;
}

bool WriteAll(int fd, std::string_view bytes) {
  while (!bytes.empty()) {
    const ssize_t n = ::send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    bytes.remove_prefix(static_cast<std::size_t>(n));
  }
  return true;
}

std::string EncodeMessageFrame(std::string_view destination, std::string_view messageId,
                               std::string_view subscription, std::string_view body) {
  std::string out;
  out.reserve(96 + destination.size() + messageId.size() + subscription.size() + body.size());
  out.append("MESSAGE\ndestination:").append(destination);
  out.append("\nmessage-id:").append(messageId);
  out.append("\nsubscription:").append(subscription);
  out.append("\ntimestamp:1765100000000\n\n").append(body);
  out.push_back('\0');
  out.push_back('\n');
  return out;
}

TBenchPeer::TBenchPeer(TKind kind, std::uint64_t count, std::size_t bodySize, std::size_t subscribers)
    : kind_(kind), count_(count), bodySize_(bodySize), subscribers_(std::max<std::size_t>(1, subscribers)) {
  listenFd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  if (listenFd_ < 0 || ::bind(listenFd_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
      ::listen(listenFd_, 4) != 0 ||
      ::getsockname(listenFd_, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
    Fail(std::string("listen: ") + std::strerror(errno));
    done_ = true;
    return;
  }
  port_ = ntohs(address.sin_port);
  thread_ = std::thread([this] { Serve(); });
}

TBenchPeer::~TBenchPeer() {
  done_ = true;
  const int fd = clientFd_.load();
  if (fd >= 0) ::shutdown(fd, SHUT_RDWR);
  if (listenFd_ >= 0) ::shutdown(listenFd_, SHUT_RDWR);
  if (thread_.joinable()) thread_.join();
  if (listenFd_ >= 0) ::close(listenFd_);
}

bool TBenchPeer::Wait(std::chrono::milliseconds timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (!done_.load()) {
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return true;
}

std::string TBenchPeer::Error() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return error_;
}

void TBenchPeer::Fail(const std::string& text) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (error_.empty()) error_ = text;
}

bool TBenchPeer::ReadClient(int fd, std::string_view stopAt, std::string* frameOut) {
  std::size_t scanned = 0;
  for (;;) {
    // Process every whole frame in the buffer.
    std::size_t start = 0;
    for (;;) {
      while (start < in_.size() && (in_[start] == '\n' || in_[start] == '\r')) ++start;
      const void* nul = std::memchr(in_.data() + std::max(start, scanned), '\0', in_.size() - std::max(start, scanned));
      if (nul == nullptr) break;
      const std::size_t end = static_cast<std::size_t>(static_cast<const char*>(nul) - in_.data());
      const std::string_view frame(in_.data() + start, end - start);
      const std::string_view command = frame.substr(0, frame.find('\n'));
      start = end + 1;
      scanned = start;
      if (command == "SEND") {
        frames_.fetch_add(1, std::memory_order_relaxed);
      } else if (command == "CONNECT") {
        // A client that offers 1.2 gets it, with the heart-beats it asks
        // for (the peer does not beat itself: its stream never pauses).
        std::string reply = "CONNECTED\nsession:bench-peer\n";
        if (HeaderValue(frame, "accept-version").find("1.2") != std::string_view::npos) {
          const std::string_view beats = HeaderValue(frame, "heart-beat");
          const std::size_t comma = beats.find(',');
          reply += "version:1.2\n";
          if (comma != std::string_view::npos) {
            reply.append("heart-beat:").append(beats.substr(comma + 1)).append(",").append(beats.substr(0, comma));
            reply += "\n";
          }
        }
        reply += "\n";
        reply.push_back('\0');
        reply.push_back('\n');
        if (!WriteAll(fd, reply)) return false;
      } else if (command == "DISCONNECT") {
        const std::string_view receipt = HeaderValue(frame, "receipt");
        if (!receipt.empty()) {
          std::string reply = "RECEIPT\nreceipt-id:";
          reply.append(receipt).append("\n\n");
          reply.push_back('\0');
          reply.push_back('\n');
          WriteAll(fd, reply);
        }
      }
      if (!stopAt.empty() && command == stopAt) {
        if (frameOut != nullptr) frameOut->assign(frame);
        in_.erase(0, start);
        return true;
      }
    }
    in_.erase(0, start);
    scanned = in_.size();
    const std::size_t used = in_.size();
    in_.resize(used + kReadChunk);
    const ssize_t n = ::recv(fd, in_.data() + used, kReadChunk, 0);
    if (n < 0 && errno == EINTR) {
      in_.resize(used);
      continue;
    }
    if (n <= 0) {
      in_.resize(used);
      return stopAt.empty();
    }
    in_.resize(used + static_cast<std::size_t>(n));
  }
}

void TBenchPeer::Fire(int fd, const std::vector<std::string>& subscribes) {
  const std::string body(bodySize_, 'x');
  // One frame image per subscription, each with a fixed-width message-id
  // counter that is patched in place; batches of whole frames go out in
  // large writes.
  std::vector<std::string> images;
  for (const auto& subscribe : subscribes) {
    images.push_back(EncodeMessageFrame(HeaderValue(subscribe, "destination"), "ID:firehose-0000000000",
                                        HeaderValue(subscribe, "id"), body));
  }
  const std::size_t digits = images[0].find("ID:firehose-") + 12;
  const std::size_t perBatch = std::max<std::size_t>(1, kBatchBytes / images[0].size());
  std::string batch;
  batch.reserve(perBatch * images[0].size() + 64);
  std::uint64_t sent = 0;
  while (sent < count_ && !done_.load()) {
    batch.clear();
    for (std::size_t i = 0; i < perBatch && sent < count_; ++i, ++sent) {
      const std::size_t at = batch.size();
      batch.append(images[sent % images.size()]);
      std::uint64_t v = sent + 1;
      for (std::size_t d = 0; d < 10; ++d, v /= 10) batch[at + digits + 9 - d] = static_cast<char>('0' + v % 10);
    }
    if (!WriteAll(fd, batch)) {
      Fail(std::string("firehose write: ") + std::strerror(errno));
      break;
    }
    frames_.store(sent, std::memory_order_relaxed);
  }
}

void TBenchPeer::Serve() {
  pollfd waiter{listenFd_, POLLIN, 0};
  // The client is a process started right after the peer: a minute is ample.
  if (::poll(&waiter, 1, 60000) != 1 || done_.load()) {
    Fail("no client connected");
    done_ = true;
    return;
  }
  const int fd = ::accept4(listenFd_, nullptr, nullptr, SOCK_CLOEXEC);
  if (fd < 0) {
    Fail(std::string("accept: ") + std::strerror(errno));
    done_ = true;
    return;
  }
  clientFd_ = fd;
  int one = 1;
  ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);

  if (kind_ == TKind::Firehose) {
    std::vector<std::string> subscribes(subscribers_);
    bool subscribed = true;
    for (auto& subscribe : subscribes) subscribed = subscribed && ReadClient(fd, "SUBSCRIBE", &subscribe);
    if (!subscribed) {
      Fail("the client closed before SUBSCRIBE");
    } else {
      Fire(fd, subscribes);
      ReadClient(fd, {}, nullptr);
    }
  } else {
    ReadClient(fd, {}, nullptr);
  }
  clientFd_ = -1;
  ::close(fd);
  done_ = true;
}

}  // namespace ks::bench
