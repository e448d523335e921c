#include "net/KsTcpClient.hpp"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <sys/uio.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <mutex>

namespace ks {

namespace {

std::string ErrnoText(int code) {
  std::string text = std::strerror(code);
  if (!text.empty() && text.back() != '.') text += '.';
  return text;
}

// poll() on one descriptor, retrying on EINTR with the remaining time.
// timeoutMs < 0 waits without limit. Returns revents (0 on time-out).
short PollOne(int fd, short events, int timeoutMs) {
  using Clock = std::chrono::steady_clock;
  const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs < 0 ? 0 : timeoutMs);
  for (;;) {
    pollfd p{fd, events, 0};
    int rc = ::poll(&p, 1, timeoutMs);
    if (rc > 0) return p.revents;
    if (rc == 0) return 0;
    if (errno != EINTR) RaiseSocketError(errno);
    if (timeoutMs > 0) {
      auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
      timeoutMs = left > 0 ? static_cast<int>(left) : 0;
    }
  }
}

}  // namespace

void RaiseSocketError(int code) { throw EKsSocketErrorCode(code, ErrnoText(code)); }

TKsTcpClient::TKsTcpClient() = default;

TKsTcpClient::~TKsTcpClient() { CloseSocket(false); }

void TKsTcpClient::Connect() {
  if (fd_.load() >= 0 && !ClosedByPeer()) throw EKsAlreadyConnected();
  if (host_.empty()) throw EKsHostRequired();
  if (port_ == 0) throw EKsPortRequired();
  CloseSocket(false);  // a connection the peer closed is dropped here

  const TAddressList addresses = Resolve();
  int lastError = ECONNREFUSED;
  bool timedOut = false;
  for (const addrinfo* ai = addresses.get(); ai != nullptr; ai = ai->ai_next) {
    const int fd = ConnectTo(*ai, lastError, timedOut);
    if (fd < 0) continue;
    Adopt(fd);
    return;
  }
  if (timedOut) throw EKsConnectTimeout();
  RaiseSocketError(lastError);
}

TKsTcpClient::TAddressList TKsTcpClient::Resolve() const {
  std::string host = host_;
  if (host.size() >= 2 && host.front() == '[' && host.back() == ']') host = host.substr(1, host.size() - 2);
  addrinfo hints{};
  hints.ai_family = ipVersion_ == TKsIPVersion::IPv6 ? AF_INET6 : AF_INET;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_protocol = IPPROTO_TCP;
  addrinfo* found = nullptr;
  const std::string service = std::to_string(port_);
  const int rc = ::getaddrinfo(host.c_str(), service.c_str(), &hints, &found);
  if (rc != 0) {
    if (rc == EAI_SYSTEM) RaiseSocketError(errno);
    std::string text = ::gai_strerror(rc);
    if (!text.empty() && text.back() != '.') text += '.';
    throw EKsSocketErrorCode(rc, text);
  }
  return TAddressList(found, &::freeaddrinfo);
}

int TKsTcpClient::ConnectTo(const addrinfo& address, int& lastError, bool& timedOut) const {
  const int fd = ::socket(address.ai_family, address.ai_socktype | SOCK_CLOEXEC | SOCK_NONBLOCK, address.ai_protocol);
  if (fd < 0) {
    lastError = errno;
    return -1;
  }
  int err = 0;
  if (::connect(fd, address.ai_addr, address.ai_addrlen) != 0) {
    err = errno;
    if (err == EINPROGRESS || err == EINTR) {
      short revents = 0;
      try {
        revents = PollOne(fd, POLLOUT, connectTimeout_ > 0 ? connectTimeout_ : -1);
      } catch (...) {
        ::close(fd);
        throw;
      }
      if (revents == 0) {
        ::close(fd);
        timedOut = true;
        return -1;
      }
      socklen_t len = sizeof err;
      if (::getsockopt(fd, SOL_SOCKET, SO_ERROR, &err, &len) != 0) err = errno;
    }
  }
  if (err != 0) {
    ::close(fd);
    lastError = err;
    return -1;
  }
  return fd;
}

void TKsTcpClient::Adopt(int fd) {
  // Back to blocking mode: reads wait with poll(), writes block (bounded by
  // SO_SNDTIMEO when set).
  const int flags = ::fcntl(fd, F_GETFL);
  ::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK);
  int one = 1;
  ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  DropInput();
  closedByPeer_.store(false, std::memory_order_release);
  fd_.store(fd, std::memory_order_release);
  directFd_ = fd;
}

void TKsTcpClient::CloseSocket(bool notifyPeer) {
  const int open = fd_.load(std::memory_order_acquire);
  if (open < 0) return;
  // A writer blocked in send() holds the write lock: shutting the socket
  // down ends its send at once, so the descriptor is closed only after the
  // writer has let go of it (never under a running send, and never reused
  // by another socket while a send still names it).
  std::unique_lock<std::mutex> writing(writeMutex_, std::try_to_lock);
  if (!writing.owns_lock()) {
    ::shutdown(open, SHUT_RDWR);
    writing.lock();
  }
  if (layer_) {
    layer_->Close(notifyPeer);
    layer_.reset();
  }
  directFd_ = -1;
  int fd = -1;
  {
    std::lock_guard<std::mutex> guard(fdMutex_);
    fd = fd_.exchange(-1);
  }
  sendTimeout_ = -1;  // a new socket starts without one
  if (fd >= 0) {
    if (notifyPeer) ::shutdown(fd, SHUT_RDWR);
    ::close(fd);
  }
}

void TKsTcpClient::Shutdown() noexcept {
  std::lock_guard<std::mutex> guard(fdMutex_);
  const int fd = fd_.load(std::memory_order_acquire);
  if (fd >= 0) ::shutdown(fd, SHUT_RDWR);
}

void TKsTcpClient::Disconnect(bool notifyPeer) {
  CloseSocket(notifyPeer);
  DropInput();
  closedByPeer_.store(false, std::memory_order_release);
}

void TKsTcpClient::AttachLayer(std::unique_ptr<IKsSocketLayer> layer, std::int32_t timeoutMs) {
  const int fd = fd_.load(std::memory_order_acquire);
  if (fd < 0) throw EKsNotConnected();
  const int flags = ::fcntl(fd, F_GETFL);
  if (flags < 0 || ::fcntl(fd, F_SETFL, flags | O_NONBLOCK) != 0) {
    const int err = errno;
    Disconnect(false);
    RaiseSocketError(err);
  }
  try {
    layer->Open(fd, timeoutMs);
  } catch (...) {
    Disconnect(false);
    throw;
  }
  std::lock_guard<std::mutex> writing(writeMutex_);
  layer_ = std::move(layer);
  directFd_ = -1;
}

void TKsTcpClient::SetSendTimeout(std::int32_t milliseconds) {
  std::lock_guard<std::mutex> writing(writeMutex_);
  ApplySendTimeout(milliseconds);
}

void TKsTcpClient::ApplySendTimeout(std::int32_t milliseconds) {
  int fd = fd_.load(std::memory_order_acquire);
  if (fd < 0) throw EKsNotConnected();
  sendTimeout_ = -1;  // unknown until the call below succeeds
  timeval tv{};
  if (milliseconds > 0) {
    tv.tv_sec = milliseconds / 1000;
    tv.tv_usec = static_cast<suseconds_t>(milliseconds % 1000) * 1000;
  }
  if (::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv) != 0) RaiseSocketError(errno);
  sendTimeout_ = milliseconds;
}

bool TKsTcpClient::Connected() {
  int fd = fd_.load(std::memory_order_acquire);
  if (fd < 0) return false;
  if (ClosedByPeer()) return false;
  pollfd p{fd, POLLIN, 0};
  int rc = ::poll(&p, 1, 0);
  if (rc > 0) {
    if (p.revents & (POLLERR | POLLNVAL)) {
      closedByPeer_.store(true, std::memory_order_release);
    } else {
      // Peek: the stream's own buffer is left to the reading thread. A
      // zero-byte peek means every byte has been read and the peer is gone.
      char c;
      ssize_t n = ::recv(fd, &c, 1, MSG_PEEK | MSG_DONTWAIT);
      if (n == 0 || (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR)) {
        closedByPeer_.store(true, std::memory_order_release);
      }
    }
  }
  return !ClosedByPeer();
}

void TKsTcpClient::DropInput() {
  if (holds_ > 0 && data_) {
    heldBuffers_.push_back(std::move(data_));
    capacity_ = 0;
  }
  readPos_ = writePos_ = 0;
  ResetScan();
}

void TKsTcpClient::Emptied() noexcept {
  readPos_ = writePos_ = 0;
  // A buffer grown for a large frame is not kept once it is empty.
  if (capacity_ > KeptInputCapacity) {
    data_.reset();
    capacity_ = 0;
  }
}

void TKsTcpClient::ReserveInput(std::size_t total) {
  const std::size_t used = InputBufferSize();
  if (total > used) EnsureRoom(total - used);
}

void TKsTcpClient::EnsureRoom(std::size_t room) {
  if (capacity_ - writePos_ >= room) return;
  const std::size_t used = writePos_ - readPos_;
  if (capacity_ - used >= room && readPos_ > 0 && holds_ == 0 &&
      (capacity_ <= KeptInputCapacity || used + room > KeptInputCapacity / 2)) {
    // Compact: move the unread bytes to the front.
    std::memmove(data_.get(), data_.get() + readPos_, used);
    readPos_ = 0;
    writePos_ = used;
    return;
  }
  // Grown by doubling; a buffer over the kept size that holds little is
  // made smaller instead.
  std::size_t newCapacity = capacity_ == 0 ? 2 * RecvChunkSize
                            : capacity_ > KeptInputCapacity && used + room <= KeptInputCapacity / 2
                                ? KeptInputCapacity
                                : capacity_ * 2;
  while (newCapacity - used < room) newCapacity *= 2;
  std::unique_ptr<char[]> grown(new char[newCapacity]);
  if (used > 0) std::memcpy(grown.get(), data_.get() + readPos_, used);
  if (holds_ > 0 && data_) heldBuffers_.push_back(std::move(data_));
  data_ = std::move(grown);
  capacity_ = newCapacity;
  readPos_ = 0;
  writePos_ = used;
}

std::size_t TKsTcpClient::ReceiveChunk(bool raiseOnError) {
  int fd = fd_.load(std::memory_order_acquire);
  if (layer_) return ReceiveLayered(fd, raiseOnError);
  EnsureRoom(RecvChunkSize);
  for (;;) {
    // As much as there is room for: a large frame arrives in few receives.
    ssize_t n = ::recv(fd, data_.get() + writePos_, capacity_ - writePos_, MSG_DONTWAIT);
    if (n > 0) {
      writePos_ += static_cast<std::size_t>(n);
      CountReceived(static_cast<std::size_t>(n));
      return static_cast<std::size_t>(n);
    }
    if (n == 0) {
      closedByPeer_.store(true, std::memory_order_release);
      return 0;
    }
    int err = errno;
    if (err == EINTR) continue;
    if (err == EAGAIN || err == EWOULDBLOCK) return 0;
    closedByPeer_.store(true, std::memory_order_release);
    if (raiseOnError && InputBufferIsEmpty()) RaiseSocketError(err);
    return 0;
  }
}

std::size_t TKsTcpClient::ReceiveLayered(int fd, bool raiseOnError) {
  EnsureRoom(RecvChunkSize);
  try {
    for (;;) {
      IKsSocketLayer::TWait wait = IKsSocketLayer::TWait::None;
      const std::size_t n = layer_->Receive(data_.get() + writePos_, capacity_ - writePos_, wait);
      if (n > 0) {
        writePos_ += n;
        CountReceived(n);
        return n;
      }
      if (wait == IKsSocketLayer::TWait::None) {
        closedByPeer_.store(true, std::memory_order_release);
        return 0;
      }
      if (wait == IKsSocketLayer::TWait::Read) return 0;
      // The layer must send before it reads on (a TLS key update): wait a
      // moment for room, then try again; the caller polls again otherwise.
      if (PollOne(fd, POLLOUT, 200) == 0) return 0;
    }
  } catch (const EKsSocketError&) {
    closedByPeer_.store(true, std::memory_order_release);
    if (raiseOnError && InputBufferIsEmpty()) throw;
    return 0;
  }
}

bool TKsTcpClient::CheckForDataOnSource(std::int32_t timeoutMs) {
  int fd = fd_.load(std::memory_order_acquire);
  if (fd < 0 || ClosedByPeer()) return false;
  if (LayerPending()) return ReceiveChunk(false) > 0;
  int wait = timeoutMs > 0 ? timeoutMs : (timeoutMs == -2 ? -1 : 0);
  short revents = 0;
  try {
    revents = PollOne(fd, POLLIN, wait);
  } catch (const EKsSocketError&) {
    return false;
  }
  if (revents == 0) return false;
  return ReceiveChunk(false) > 0;
}

void TKsTcpClient::ReadFromSource(std::int32_t timeoutMs) {
  int fd = fd_.load(std::memory_order_acquire);
  if (fd < 0) throw EKsNotConnected();
  if (ClosedByPeer()) throw EKsConnClosedGracefully();
  if (LayerPending() && ReceiveChunk(true) > 0) return;
  using Clock = std::chrono::steady_clock;
  const bool limited = timeoutMs > 0;
  const auto deadline = Clock::now() + std::chrono::milliseconds(limited ? timeoutMs : 0);
  for (;;) {
    int wait = -1;
    if (limited) {
      auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
      if (left <= 0) throw EKsReadTimeout();
      wait = static_cast<int>(left);
    }
    short revents = PollOne(fd, POLLIN, wait);
    if (revents == 0) throw EKsReadTimeout();
    if (ReceiveChunk(true) > 0) return;
    if (ClosedByPeer()) throw EKsConnClosedGracefully();
    // Spurious wake-up: poll again with what is left of the wait.
  }
}

std::string TKsTcpClient::ReadLn(std::string_view terminator) {
  if (terminator.empty()) terminator = "\n";
  if (fd_.load(std::memory_order_acquire) < 0 && InputBufferIsEmpty()) throw EKsNotConnected();
  if (scanTerminator_ != terminator) {
    scanned_ = 0;
    scanTerminator_.assign(terminator);
  }
  const std::size_t termLen = terminator.size();
  for (;;) {
    std::string_view buffered = InputBuffer();
    // Resume where the last search stopped, keeping termLen - 1 bytes that
    // could begin a match straddling the old end.
    std::size_t from = scanned_ >= termLen - 1 ? scanned_ - (termLen - 1) : 0;
    std::size_t pos = buffered.find(terminator, from);
    if (pos != std::string_view::npos) {
      if (pos > MaxLineLength) throw EKsMaxLineLengthExceeded();
      std::string line(buffered.substr(0, pos));
      Consume(pos + termLen);
      return line;
    }
    scanned_ = buffered.size();
    // Any terminator still to come would start at or after size - termLen + 1.
    if (buffered.size() + 1 > MaxLineLength + termLen) throw EKsMaxLineLengthExceeded();
    ReadFromSource(readTimeout_);
  }
}

std::string TKsTcpClient::ReadBytes(std::size_t count) {
  if (fd_.load(std::memory_order_acquire) < 0 && InputBufferSize() < count) throw EKsNotConnected();
  while (InputBufferSize() < count) ReadFromSource(readTimeout_);
  std::string bytes(InputBuffer().substr(0, count));
  Consume(count);
  return bytes;
}

void TKsTcpClient::Write(std::string_view bytes, std::int32_t sendTimeout) { WriteParts(&bytes, 1, sendTimeout); }

void TKsTcpClient::WriteParts(const std::string_view* parts, std::size_t count, std::int32_t sendTimeout) {
  std::lock_guard<std::mutex> writing(writeMutex_);
  if (sendTimeout != -1 && sendTimeout != sendTimeout_) ApplySendTimeout(sendTimeout);
  WriteLocked(parts, count);
}

bool TKsTcpClient::TryWrite(std::string_view bytes) noexcept {
  std::unique_lock<std::mutex> writing(writeMutex_, std::try_to_lock);
  if (!writing.owns_lock()) return false;
  const int fd = fd_.load(std::memory_order_acquire);
  if (fd < 0 || PollOne(fd, POLLOUT, 0) == 0) return false;
  try {
    WriteLocked(&bytes, 1);
  } catch (...) {
    // The next write, or the reader, meets the same failure and reports it.
    return false;
  }
  return true;
}

std::uint64_t TKsTcpClient::BytesWaiting() const noexcept {
  const int fd = fd_.load(std::memory_order_acquire);
  int waiting = 0;
  if (fd < 0 || ::ioctl(fd, FIONREAD, &waiting) != 0 || waiting < 0) return 0;
  return static_cast<std::uint64_t>(waiting);
}


void TKsTcpClient::WriteLocked(const std::string_view* parts, std::size_t count) {
  std::size_t total = 0;
  for (std::size_t i = 0; i < count; ++i) total += parts[i].size();
  // Counted first: a write that fails half way has still used the link.
  bytesSent_.store(bytesSent_.load(std::memory_order_relaxed) + total, std::memory_order_relaxed);
  const int fd = directFd_;
  if (fd < 0) {
    // Not connected, or connected through a layer.
    const int layered = fd_.load(std::memory_order_acquire);
    if (layered < 0 || !layer_) throw EKsNotConnected();
    for (std::size_t i = 0; i < count; ++i) WriteLayered(layered, parts[i]);
    return;
  }
  if (count == 1) {
    // One part: send, from where a short write stopped.
    const char* next = parts[0].data();
    std::size_t left = parts[0].size();
    while (left > 0) {
      const ssize_t n = ::send(fd, next, left, MSG_NOSIGNAL);
      if (n <= 0) {
        if (n < 0 && errno == EINTR) continue;
        RaiseSocketError(n < 0 ? errno : EPIPE);
      }
      next += n;
      left -= static_cast<std::size_t>(n);
    }
    return;
  }
  // One sendmsg over all parts; after a short write the rest goes out from
  // where it stopped.
  constexpr std::size_t kMaxParts = 8;
  if (count > kMaxParts) {
    for (std::size_t i = 0; i < count; i += kMaxParts) WriteLocked(parts + i, std::min(kMaxParts, count - i));
    return;
  }
  iovec vectors[kMaxParts];
  std::size_t used = 0;
  for (std::size_t i = 0; i < count; ++i) {
    if (parts[i].empty()) continue;
    vectors[used].iov_base = const_cast<char*>(parts[i].data());
    vectors[used].iov_len = parts[i].size();
    ++used;
  }
  iovec* next = vectors;
  while (used > 0) {
    msghdr message{};
    message.msg_iov = next;
    message.msg_iovlen = used;
    ssize_t n = ::sendmsg(fd, &message, MSG_NOSIGNAL);
    if (n <= 0) {
      if (n < 0 && errno == EINTR) continue;
      RaiseSocketError(n < 0 ? errno : EPIPE);
    }
    auto sent = static_cast<std::size_t>(n);
    while (used > 0 && sent >= next->iov_len) {
      sent -= next->iov_len;
      ++next;
      --used;
    }
    if (used > 0) {
      next->iov_base = static_cast<char*>(next->iov_base) + sent;
      next->iov_len -= sent;
    }
  }
}

void TKsTcpClient::WriteLayered(int fd, std::string_view bytes) {
  // The send time-out bounds each wait for room, as SO_SNDTIMEO bounds each
  // blocking send without a layer (and fails the same way).
  const int limit = sendTimeout_ > 0 ? sendTimeout_ : -1;
  std::size_t sent = 0;
  while (sent < bytes.size()) {
    IKsSocketLayer::TWait wait = IKsSocketLayer::TWait::None;
    const std::size_t n = layer_->Send(bytes.data() + sent, bytes.size() - sent, wait);
    if (n > 0) {
      sent += n;
      continue;
    }
    if (wait == IKsSocketLayer::TWait::Read) {
      // The layer must read first; the reader thread may take those bytes,
      // so look again every little while.
      PollOne(fd, POLLIN, limit < 0 || limit > 50 ? 50 : limit);
      continue;
    }
    if (PollOne(fd, POLLOUT, limit) == 0) RaiseSocketError(EAGAIN);
  }
}

void TKsTcpClient::CheckForDisconnect(bool raise, bool ignoreBuffer) {
  const bool closed = fd_.load(std::memory_order_acquire) < 0 || ClosedByPeer();
  if (closed && raise && (ignoreBuffer || InputBufferIsEmpty())) throw EKsConnClosedGracefully();
}

}  // namespace ks
