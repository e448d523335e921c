#include "tests/common/KsRawStompPeer.hpp"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace ks::test {

std::string TRawFrame::Header(std::string_view name) const {
  for (const auto& h : headers)
    if (h.first == name) return h.second;
  return {};
}

bool TRawFrame::Has(std::string_view name) const {
  for (const auto& h : headers)
    if (h.first == name) return true;
  return false;
}

TRawStompPeer::~TRawStompPeer() { Close(); }

void TRawStompPeer::Close() {
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
}

bool TRawStompPeer::Connect(const std::string& host, std::uint16_t port) {
  Close();
  buffer_.clear();
  consumed_ = 0;
  eof_ = false;
  violation_.clear();
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* found = nullptr;
  if (::getaddrinfo(host.c_str(), std::to_string(port).c_str(), &hints, &found) != 0) return false;
  for (addrinfo* a = found; a != nullptr; a = a->ai_next) {
    int fd = ::socket(a->ai_family, a->ai_socktype | SOCK_CLOEXEC, a->ai_protocol);
    if (fd < 0) continue;
    if (::connect(fd, a->ai_addr, a->ai_addrlen) == 0) {
      int one = 1;
      ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
      fd_ = fd;
      break;
    }
    ::close(fd);
  }
  ::freeaddrinfo(found);
  return fd_ >= 0;
}

bool TRawStompPeer::Login(const std::string& host, std::uint16_t port, const TRawHeaders& headers) {
  lastReply_.reset();
  if (!Connect(host, port) || !SendFrame("CONNECT", headers)) return false;
  lastReply_ = ReadFrame();
  return lastReply_ && lastReply_->command == "CONNECTED";
}

std::string TRawStompPeer::Encode(std::string_view command, const TRawHeaders& headers, std::string_view body,
                                  bool contentLength) {
  std::string out(command);
  out.push_back('\n');
  for (const auto& [name, value] : headers) {
    out += name;
    out.push_back(':');
    out += value;
    out.push_back('\n');
  }
  if (contentLength) out += "content-length:" + std::to_string(body.size()) + "\n";
  out.push_back('\n');
  out.append(body);
  out.push_back('\0');
  out.push_back('\n');
  return out;
}

bool TRawStompPeer::SendRaw(std::string_view bytes) {
  while (!bytes.empty()) {
    if (fd_ < 0) return false;
    const ssize_t n = ::send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL);
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    bytes.remove_prefix(static_cast<std::size_t>(n));
  }
  return true;
}

bool TRawStompPeer::SendFrame(std::string_view command, const TRawHeaders& headers, std::string_view body,
                              bool contentLength) {
  return SendRaw(Encode(command, headers, body, contentLength));
}

bool TRawStompPeer::Fill(std::chrono::steady_clock::time_point deadline) {
  if (fd_ < 0 || eof_) return false;
  for (;;) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    if (left.count() < 0) return false;
    pollfd p{fd_, POLLIN, 0};
    const int r = ::poll(&p, 1, static_cast<int>(left.count()));
    if (r < 0 && errno == EINTR) continue;
    if (r <= 0) return false;
    char chunk[65536];
    const ssize_t n = ::recv(fd_, chunk, sizeof chunk, 0);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      eof_ = true;
      return false;
    }
    buffer_.append(chunk, static_cast<std::size_t>(n));
    return true;
  }
}

int TRawStompPeer::TryCut(TRawFrame& frame) {
  if (consumed_ > 0 && consumed_ * 2 >= buffer_.size()) {
    buffer_.erase(0, consumed_);
    consumed_ = 0;
  }
  std::size_t start = consumed_;
  while (start < buffer_.size() &&
         (buffer_[start] == '\n' || buffer_[start] == '\r' || buffer_[start] == ' ' || buffer_[start] == '\t'))
    ++start;
  const std::size_t blank = buffer_.find("\n\n", start);
  if (blank == std::string::npos) return 0;
  const std::size_t bodyStart = blank + 2;
  frame = TRawFrame();
  std::size_t pos = start;
  std::size_t nl = buffer_.find('\n', pos);
  frame.command = buffer_.substr(pos, nl - pos);
  pos = nl + 1;
  while (pos < bodyStart - 1) {
    nl = buffer_.find('\n', pos);
    const std::string line = buffer_.substr(pos, nl - pos);
    pos = nl + 1;
    const std::size_t colon = line.find(':');
    if (colon == std::string::npos) {
      violation_ = "header line without ':': " + line;
      return -1;
    }
    frame.headers.emplace_back(line.substr(0, colon), line.substr(colon + 1));
  }
  std::size_t end = 0;  // index of the terminating NUL
  if (frame.Has("content-length")) {
    const std::string text = frame.Header("content-length");
    char* stop = nullptr;
    const unsigned long long length = std::strtoull(text.c_str(), &stop, 10);
    if (text.empty() || *stop != '\0') {
      violation_ = "bad content-length: " + text;
      return -1;
    }
    if (buffer_.size() < bodyStart + length + 2) return 0;
    end = bodyStart + length;
    if (buffer_[end] != '\0') {
      violation_ = "content-length body not followed by NUL";
      return -1;
    }
  } else {
    end = buffer_.find('\0', bodyStart);
    if (end == std::string::npos || end + 1 >= buffer_.size()) return 0;
  }
  if (buffer_[end + 1] != '\n') {
    violation_ = "frame " + frame.command + " not ended by NUL LF";
    return -1;
  }
  frame.body = buffer_.substr(bodyStart, end - bodyStart);
  consumed_ = end + 2;
  return 1;
}

std::optional<TRawFrame> TRawStompPeer::ReadFrame(std::chrono::milliseconds timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  TRawFrame frame;
  for (;;) {
    const int r = TryCut(frame);
    if (r == 1) return frame;
    if (r < 0) return std::nullopt;
    if (!Fill(deadline)) return std::nullopt;
  }
}

std::optional<TRawFrame> TRawStompPeer::ReadUntil(std::string_view command, std::chrono::milliseconds timeout,
                                                  std::vector<TRawFrame>* skipped) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  for (;;) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    if (left.count() < 0) return std::nullopt;
    auto f = ReadFrame(left);
    if (!f) return std::nullopt;
    if (f->command == command) return f;
    if (skipped) skipped->push_back(std::move(*f));
  }
}

bool TRawStompPeer::WaitClosed(std::chrono::milliseconds timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (!eof_) {
    if (!Fill(deadline)) break;
  }
  return eof_;
}

bool TRawStompPeer::Quiet(std::chrono::milliseconds timeout) {
  return !ReadFrame(timeout) && violation_.empty();
}

std::vector<TRawFrame> ReadMessages(TRawStompPeer& peer, std::size_t count, std::chrono::milliseconds timeout) {
  std::vector<TRawFrame> out;
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (out.size() < count) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    if (left.count() < 0) break;
    auto f = peer.ReadFrame(left);
    if (!f) break;
    EXPECT_EQ(f->command, "MESSAGE") << f->Header("message") << " " << f->body;
    out.push_back(std::move(*f));
  }
  EXPECT_EQ(out.size(), count) << peer.Violation();
  return out;
}

}  // namespace ks::test
