#include "broker/KsBrokerServer.hpp"

#include <algorithm>
#include <arpa/inet.h>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/epoll.h>
#include <sys/signalfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include "broker/KsBrokerFrameReader.hpp"
#include "broker/KsBrokerHeartBeat.hpp"
#include "support/KsConsole.hpp"
#include "support/KsException.hpp"

namespace ks {

namespace {

using namespace std::string_view_literals;

constexpr std::size_t kReadChunk = 256 * 1024;
constexpr std::size_t kHighWater = 512 * 1024;
// Past this much unsent output (receipts to a client that does not read),
// the connection's input is not read until the output drains.
constexpr std::size_t kInputPauseBound = 8 * 1024 * 1024;
constexpr std::size_t kKeepBuffer = 1024 * 1024;
constexpr std::int64_t kChunkPauseMs = 1;
constexpr std::int64_t kDrainLimitMs = 2000;
// A closing connection whose last frames are not read within this time is
// closed anyway.
constexpr std::int64_t kCloseLimitMs = 5000;
constexpr std::int64_t kSweepEveryMs = 250;
// Out of descriptors with no spare one left: listening pauses this long.
constexpr std::int64_t kListenPauseMs = 100;
// Connections accepted per wake-up, so that a flood of them cannot keep the
// loop from everything else.
constexpr int kAcceptBatch = 64;
constexpr std::string_view kStrayBytes = "\n \n\t\n";

std::int64_t SteadyMillis() {
  timespec ts{};
  ::clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<std::int64_t>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

std::string PeerText(const sockaddr_storage& addr) {
  char host[INET6_ADDRSTRLEN] = "?";
  unsigned port = 0;
  if (addr.ss_family == AF_INET) {
    const auto* a = reinterpret_cast<const sockaddr_in*>(&addr);
    ::inet_ntop(AF_INET, &a->sin_addr, host, sizeof host);
    port = ntohs(a->sin_port);
    return std::string(host) + ":" + std::to_string(port);
  }
  if (addr.ss_family == AF_INET6) {
    const auto* a = reinterpret_cast<const sockaddr_in6*>(&addr);
    ::inet_ntop(AF_INET6, &a->sin6_addr, host, sizeof host);
    port = ntohs(a->sin6_port);
    return "[" + std::string(host) + "]:" + std::to_string(port);
  }
  return "?";
}

// A listening socket on the first of the addresses that takes one, or -1
// with the last failure's text in lastError.
int ListenOnFirst(const addrinfo* addresses, std::string& lastError) {
  for (const addrinfo* a = addresses; a != nullptr; a = a->ai_next) {
    int fd = ::socket(a->ai_family, a->ai_socktype | SOCK_NONBLOCK | SOCK_CLOEXEC, a->ai_protocol);
    if (fd < 0) {
      lastError = std::strerror(errno);
      continue;
    }
    int one = 1;
    ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    if (::bind(fd, a->ai_addr, a->ai_addrlen) != 0 || ::listen(fd, 1024) != 0) {
      lastError = std::strerror(errno);
      ::close(fd);
      continue;
    }
    return fd;
  }
  return -1;
}

// The port a socket is bound to; loopback tells whether its address is a
// loopback one.
std::uint16_t LocalPort(int fd, bool& loopback) {
  sockaddr_storage bound{};
  socklen_t len = sizeof bound;
  ::getsockname(fd, reinterpret_cast<sockaddr*>(&bound), &len);
  if (bound.ss_family == AF_INET6) {
    const auto* a6 = reinterpret_cast<const sockaddr_in6*>(&bound);
    const in6_addr& a = a6->sin6_addr;
    loopback = IN6_IS_ADDR_LOOPBACK(&a) || (IN6_IS_ADDR_V4MAPPED(&a) && a.s6_addr[12] == 127);
    return ntohs(a6->sin6_port);
  }
  const auto* a4 = reinterpret_cast<const sockaddr_in*>(&bound);
  loopback = (ntohl(a4->sin_addr.s_addr) >> 24) == 127;
  return ntohs(a4->sin_port);
}

template <typename T>
void EraseValue(std::vector<T>& list, const T& value) {
  list.erase(std::remove(list.begin(), list.end(), value), list.end());
}

}  // namespace

// One client connection: its socket, buffers, reader and state flags.
class TBrokerServer::TConnection final : public TBrokerClient {
 public:
  TConnection(TBrokerServer& server, int fd, std::uint64_t id) : TBrokerClient(id), server_(server), fd_(fd) {}
  ~TConnection() override {
    if (fd_ >= 0) ::close(fd_);
  }

  TByteBuffer* BeginFrame() override { return closing_ ? nullptr : &out_; }

  void EndFrame(std::size_t start, bool isMessage) override {
    server_.MarkDirty(*this);
    const TBrokerOptions& o = server_.options_;
    if (o.faultCloseAfter > 0 && ++framesSent_ >= static_cast<std::uint64_t>(o.faultCloseAfter)) {
      if (isMessage) out_.Truncate(start + (out_.Size() - start) / 2);
      CloseAfterFlush();
      return;
    }
    if (o.faultStrayLF) out_.Append(kStrayBytes);
  }

  bool CanDeliver() override {
    if (closing_) return false;
    if (out_.Size() >= kHighWater) {
      wantsReady_ = true;
      return false;
    }
    return true;
  }

  void CloseAfterFlush() override {
    if (closing_) return;
    closing_ = true;
    heart_.Stop();
    closeBy_ = server_.Clock() + kCloseLimitMs;
    server_.WantSweep();
    server_.detach_.push_back(this);
    server_.MarkDirty(*this);
  }

  void PauseInput(bool paused) override { server_.PauseInput(*this, paused); }

  void Refused(std::string_view reason) override {
    server_.Log(*this, " refused frame: ", reason);
  }

  void StartHeartBeat(std::int64_t sendEveryMs, std::int64_t silentLimitMs) override {
    heart_.Start(sendEveryMs, silentLimitMs, server_.now_);
    server_.ScheduleBeat(*this);
  }

  TBrokerServer& server_;
  int fd_;
  std::unique_ptr<TBrokerTlsStream> tls_;  // TLS connections only
  TByteBuffer in_;
  TByteBuffer out_;
  TBrokerFrameReader reader_;
  TBrokerFrame frame_;
  TBrokerHeartBeat heart_;
  std::int64_t beatAt_ = 0;  // its key in the server's heart-beat timers; 0: none
  std::string peer_;
  bool closing_ = false;     // no more input is handled, no more frames are written
  bool draining_ = false;    // output done and shut down; waiting for the peer's end
  bool dead_ = false;        // to be closed and freed at the end of this iteration
  bool readEof_ = false;     // the peer closed its side (or reading stopped)
  bool reading_ = true;      // input is wanted (false after the peer's end)
  bool inputPaused_ = false; // input waits until the output drains
  bool throttled_ = false;   // input waits until the engine resumes it
  bool inResumed_ = false;
  bool inTlsBacklog_ = false;
  bool admitted_ = false;    // counts against MaxConnections
  bool writeInterest_ = false;
  bool inDirty_ = false;
  bool inTimed_ = false;
  bool wantsReady_ = false;
  std::uint64_t framesSent_ = 0;
  std::int64_t nextChunkAt_ = 0;
  std::int64_t drainDeadline_ = 0;
  std::int64_t openedAt_ = 0;
  std::int64_t partialSince_ = 0;  // when the unfinished frame in in_ started; 0: none
  std::int64_t closeBy_ = 0;
};

TBrokerServer::TBrokerServer(TBrokerOptions options)
    : options_(std::move(options)),
      engine_(TBrokerSettings{options_.userSet, options_.user, options_.passwordSet, options_.password,
                              options_.faultConnectErrorSet, options_.faultConnectError,
                              static_cast<std::size_t>(options_.maxQueueBytes),
                              static_cast<std::size_t>(options_.maxTotalBytes),
                              static_cast<std::size_t>(options_.maxTopicLag), options_.heartBeatMs,
                              options_.virtualHostSet, options_.virtualHost}),
      refuseConnects_(options_.faultRefuseConnects) {}

TBrokerServer::~TBrokerServer() {
  connections_.clear();
  if (listenFd_ >= 0) ::close(listenFd_);
  if (tlsListenFd_ >= 0) ::close(tlsListenFd_);
  if (signalFd_ >= 0) ::close(signalFd_);
  if (epollFd_ >= 0) ::close(epollFd_);
  if (spareFd_ >= 0) ::close(spareFd_);
}

void TBrokerServer::Log(const TConnection& c, std::string_view what, std::string_view detail) const {
  if (!options_.verbose) return;
  std::string line = "Connection " + std::to_string(c.Id());
  line.append(what).append(detail);
  WriteLine(line);
}

std::string TBrokerServer::AddressOf(std::uint16_t port) const {
  const bool v6 = options_.host.find(':') != std::string::npos;
  return (v6 ? "[" + options_.host + "]" : options_.host) + ":" + std::to_string(port);
}

void TBrokerServer::Listen() {
  if (!options_.certFile.empty()) tls_ = std::make_unique<TBrokerTlsContext>(options_.certFile, options_.keyFile);
  if (options_.port >= 0) listenFd_ = BindListener(options_.port, port_);
  if (tls_) tlsListenFd_ = BindListener(options_.tlsPort, tlsPort_);

  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, SIGINT);
  sigaddset(&set, SIGTERM);
  sigaddset(&set, SIGUSR1);
  sigaddset(&set, SIGUSR2);
  ::sigprocmask(SIG_BLOCK, &set, nullptr);
  signalFd_ = ::signalfd(-1, &set, SFD_NONBLOCK | SFD_CLOEXEC);
  epollFd_ = ::epoll_create1(EPOLL_CLOEXEC);
  if (signalFd_ < 0 || epollFd_ < 0) throw Exception(std::string("Cannot set up the event loop: ") + std::strerror(errno));
  spareFd_ = ::open("/dev/null", O_RDONLY | O_CLOEXEC);

  epoll_event ev{};
  ev.events = EPOLLIN;
  ev.data.ptr = &signalTag_;
  ::epoll_ctl(epollFd_, EPOLL_CTL_ADD, signalFd_, &ev);
  listening_ = false;
  SetListening(true);
}

void TBrokerServer::SetListening(bool on) {
  if (listening_ == on) return;
  bool ok = true;
  for (auto [fd, tag] : {std::pair<int, char*>{listenFd_, &listenTag_}, {tlsListenFd_, &tlsListenTag_}}) {
    if (fd < 0) continue;
    epoll_event ev{};
    ev.events = EPOLLIN;
    ev.data.ptr = tag;
    ok = ::epoll_ctl(epollFd_, on ? EPOLL_CTL_ADD : EPOLL_CTL_DEL, fd, &ev) == 0 && ok;
  }
  listening_ = on ? ok : !ok;
}

int TBrokerServer::BindListener(std::int32_t port, std::uint16_t& boundPort) {
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_flags = AI_PASSIVE | AI_NUMERICSERV;
  addrinfo* found = nullptr;
  const std::string portText = std::to_string(port);
  const int rc = ::getaddrinfo(options_.host.c_str(), portText.c_str(), &hints, &found);
  if (rc != 0) throw Exception("Cannot resolve " + options_.host + ": " + ::gai_strerror(rc));
  std::string lastError = "no address";
  const int listenFd = ListenOnFirst(found, lastError);
  ::freeaddrinfo(found);
  if (listenFd < 0) throw Exception("Cannot listen on " + options_.host + ":" + portText + ": " + lastError);
  boundPort = LocalPort(listenFd, loopback_);
  return listenFd;
}

std::int64_t TBrokerServer::Clock() const { return SteadyMillis() - frozenFor_; }

void TBrokerServer::Run() {
  std::vector<epoll_event> events(512);
  while (!stop_) {
    if (frozen_) {
      WaitWhileFrozen();
      continue;
    }
    // Decrypted input held by OpenSSL is not signalled by epoll: do not
    // wait while some is there.
    const int n =
        ::epoll_wait(epollFd_, events.data(), static_cast<int>(events.size()), tlsBacklog_.empty() ? Timeout() : 0);
    if (n < 0 && errno != EINTR) throw Exception(std::string("epoll_wait failed: ") + std::strerror(errno));
    now_ = Clock();
    for (int i = 0; i < n; ++i) OnEvent(events[static_cast<std::size_t>(i)]);
    ReadTlsBacklog();
    OnTimers();
    Settle();
    Reap();
    engine_.GiveBackMemory();
    if (freezeWanted_) Freeze();
  }
  for (auto& [raw, c] : connections_) engine_.OnClientGone(*c);
  connections_.clear();
}

void TBrokerServer::OnEvent(const epoll_event& event) {
  void* tag = event.data.ptr;
  if (tag == &listenTag_) {
    Accept(listenFd_, false);
  } else if (tag == &tlsListenTag_) {
    Accept(tlsListenFd_, true);
  } else if (tag == &signalTag_) {
    OnSignal();
  } else {
    OnConnectionEvent(*static_cast<TConnection*>(tag), event.events);
  }
}

void TBrokerServer::OnSignal() {
  signalfd_siginfo info;
  while (::read(signalFd_, &info, sizeof info) == static_cast<ssize_t>(sizeof info)) {
    if (info.ssi_signo == SIGUSR1) {
      freezeWanted_ = !frozen_;
    } else if (info.ssi_signo == SIGUSR2) {
      freezeWanted_ = false;
      if (frozen_) Thaw();
    } else {
      stop_ = true;
    }
  }
}

void TBrokerServer::Freeze() {
  freezeWanted_ = false;
  frozen_ = true;
  frozenAt_ = SteadyMillis();
  WriteLine("Cistern frozen");
}

void TBrokerServer::Thaw() {
  frozen_ = false;
  frozenFor_ += SteadyMillis() - frozenAt_;
  WriteLine("Cistern thawed");
}

void TBrokerServer::WaitWhileFrozen() {
  // Only signals are looked at; everything else waits in the epoll set,
  // which reports it again after the thaw.
  pollfd p{signalFd_, POLLIN, 0};
  if (::poll(&p, 1, -1) > 0) OnSignal();
}

void TBrokerServer::OnConnectionEvent(TConnection& c, std::uint32_t what) {
  if (c.dead_) return;
  // Not reading (paused) and the peer gone both ways: nothing more can be
  // read or sent.
  if ((what & (EPOLLHUP | EPOLLERR)) && (c.inputPaused_ || c.throttled_) && !c.closing_) Kill(c);
  if (c.dead_) return;
  if (what & (EPOLLIN | EPOLLHUP | EPOLLERR | EPOLLRDHUP)) OnReadable(c);
  // A hang-up in both directions while closing: nothing more can be sent.
  if ((what & (EPOLLHUP | EPOLLERR)) && c.closing_) Kill(c);
  if ((what & EPOLLOUT) && !c.dead_) MarkDirty(c);
}

void TBrokerServer::ReadTlsBacklog() {
  if (tlsBacklog_.empty()) return;
  std::vector<TConnection*> again;
  again.swap(tlsBacklog_);
  for (TConnection* c : again) {
    c->inTlsBacklog_ = false;
    if (!c->dead_) OnReadable(*c);
  }
}

void TBrokerServer::OnTimers() {
  const std::int64_t now = now_;
  ReleaseDueChunks(now);
  CheckBeats(now);
  for (TConnection* c : std::vector<TConnection*>(draining_))
    if (c->drainDeadline_ <= now) Kill(*c);
  if (!listening_ && listenAgainAt_ <= now) {
    SetListening(true);
    if (!listening_) listenAgainAt_ = now + kListenPauseMs;
  }
  if (nextSweep_ != 0 && nextSweep_ <= now) CheckDeadlines();
}

void TBrokerServer::ReleaseDueChunks(std::int64_t now) {
  if (timed_.empty()) return;
  std::vector<TConnection*> waiting;
  for (TConnection* c : timed_) {
    if (c->nextChunkAt_ <= now) {
      c->inTimed_ = false;
      MarkDirty(*c);
    } else {
      waiting.push_back(c);
    }
  }
  timed_.swap(waiting);
}

int TBrokerServer::Timeout() {
  std::int64_t best = -1;
  const std::int64_t now = Clock();
  auto consider = [&](std::int64_t at) {
    std::int64_t wait = std::max<std::int64_t>(0, at - now);
    if (best < 0 || wait < best) best = wait;
  };
  for (TConnection* c : timed_) consider(c->nextChunkAt_);
  for (TConnection* c : draining_) consider(c->drainDeadline_);
  if (!beats_.empty()) consider(beats_.begin()->first);
  if (!listening_) consider(listenAgainAt_);
  if (nextSweep_ != 0) consider(nextSweep_);
  return static_cast<int>(best);
}

void TBrokerServer::WantSweep() {
  if (nextSweep_ == 0) nextSweep_ = Clock() + kSweepEveryMs;
}

void TBrokerServer::ScheduleBeat(TConnection& c) {
  if (c.beatAt_ != 0) beats_.erase({c.beatAt_, &c});
  c.beatAt_ = 0;
  const std::int64_t next = c.heart_.NextCheck();
  if (next == TBrokerHeartBeat::kNever) return;
  c.beatAt_ = std::max<std::int64_t>(next, 1);
  beats_.emplace(c.beatAt_, &c);
}

void TBrokerServer::CheckBeats(std::int64_t now) {
  while (!beats_.empty() && beats_.begin()->first <= now) {
    TConnection& c = *beats_.begin()->second;
    beats_.erase(beats_.begin());
    c.beatAt_ = 0;
    if (c.dead_ || c.closing_) continue;
    // Input Cistern holds back on purpose is not the client's silence.
    if (c.inputPaused_ || c.throttled_) c.heart_.Read(now);
    switch (c.heart_.Check(now)) {
      case TBrokerHeartBeat::TDue::Lost:
        engine_.Reject(c, "Heart-beat timeout",
                       "Nothing arrived from the client within " + std::to_string(c.heart_.SilentLimit()) +
                           " ms, twice the heart-beat interval agreed at CONNECT.");
        continue;
      case TBrokerHeartBeat::TDue::Beat:
        // Behind output still waiting to go, a beat would say nothing more.
        if (c.out_.Empty()) {
          c.out_.Append('\n');
          MarkDirty(c);
        }
        c.heart_.Wrote(now);
        break;
      default:
        break;
    }
    ScheduleBeat(c);
  }
}

void TBrokerServer::CheckDeadlines() {
  nextSweep_ = 0;
  const std::int64_t connectLimit = std::int64_t{options_.connectTimeoutSeconds} * 1000;
  const std::int64_t frameLimit = std::int64_t{options_.frameTimeoutSeconds} * 1000;
  bool pending = false;
  for (auto& [raw, owned] : connections_) {
    TConnection& c = *owned;
    if (c.dead_ || c.draining_) continue;
    if (c.closing_) {
      if (c.closeBy_ <= now_) {
        Kill(c);
      } else {
        pending = true;
      }
      continue;
    }
    if (!c.Connected()) {
      if (connectLimit == 0) continue;
      if (now_ - c.openedAt_ >= connectLimit) {
        engine_.Reject(c, "Connect timeout",
                       "No CONNECT frame arrived within " + std::to_string(options_.connectTimeoutSeconds) + " seconds.");
      } else {
        pending = true;
      }
      continue;
    }
    if (c.partialSince_ == 0 || frameLimit == 0 || c.inputPaused_ || c.throttled_ || !c.reading_) continue;
    if (now_ - c.partialSince_ >= frameLimit) {
      engine_.Reject(c, "Frame timeout",
                     "A frame was not completed within " + std::to_string(options_.frameTimeoutSeconds) + " seconds.");
    } else {
      pending = true;
    }
  }
  if (pending) nextSweep_ = now_ + kSweepEveryMs;
}

void TBrokerServer::Accept(int listenFd, bool tls) {
  for (int accepted = 0; accepted < kAcceptBatch; ++accepted) {
    sockaddr_storage addr{};
    socklen_t len = sizeof addr;
    const int fd = ::accept4(listenFd, reinterpret_cast<sockaddr*>(&addr), &len, SOCK_NONBLOCK | SOCK_CLOEXEC);
    if (fd >= 0 && refuseConnects_ > 0) {
      // A fault on request: closed before anything is read or written.
      --refuseConnects_;
      ::close(fd);
      continue;
    }
    if (fd >= 0) {
      Admit(fd, addr, tls);
      continue;
    }
    if (errno == EINTR || errno == ECONNABORTED) continue;
    if (errno == EMFILE || errno == ENFILE) {
      RefuseWaiting(listenFd, tls);
      return;
    }
    return;  // EAGAIN, or an error that the next wake-up retries
  }
}

void TBrokerServer::RefuseWaiting(int listenFd, bool tls) {
  if (spareFd_ < 0) spareFd_ = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
  if (spareFd_ < 0) {
    // Not even a spare: stop listening for a moment rather than wake up
    // for the same waiting connection again and again.
    SetListening(false);
    listenAgainAt_ = now_ + kListenPauseMs;
    return;
  }
  // Out of descriptors: the spare one takes each waiting connection, which
  // is told why (in plain STOMP only) and closed at once.
  static constexpr std::string_view kRefusal =
      "ERROR\nmessage:Too many connections\n\nCistern has no descriptor left for a new connection."
      " The connection is closed.\0\n"sv;
  for (int refused = 0; refused < kAcceptBatch; ++refused) {
    ::close(spareFd_);
    spareFd_ = -1;
    const int fd = ::accept4(listenFd, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
    if (fd >= 0) {
      if (!tls) ::send(fd, kRefusal.data(), kRefusal.size(), MSG_NOSIGNAL);
      ::shutdown(fd, SHUT_RDWR);
      ::close(fd);
    }
    spareFd_ = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
    if (fd < 0 || spareFd_ < 0) return;
  }
}

void TBrokerServer::Admit(int fd, const sockaddr_storage& addr, bool tls) {
  int one = 1;
  ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  auto conn = std::make_unique<TConnection>(*this, fd, ++nextId_);
  TConnection* c = conn.get();
  if (tls) c->tls_ = std::make_unique<TBrokerTlsStream>(*tls_, fd);
  epoll_event ev{};
  ev.events = EPOLLIN | EPOLLRDHUP;
  ev.data.ptr = c;
  if (::epoll_ctl(epollFd_, EPOLL_CTL_ADD, fd, &ev) != 0) return;  // conn closes its socket
  c->openedAt_ = now_;
  if (options_.verbose) {
    c->peer_ = PeerText(addr);
    Log(*c, " opened from ", c->peer_ + (tls ? " (TLS)" : ""));
  }
  connections_.emplace(c, std::move(conn));
  if (admitted_ >= static_cast<std::size_t>(options_.maxConnections)) {
    engine_.Reject(*c, "Too many connections",
                   "Cistern serves at most " + std::to_string(options_.maxConnections) + " connections at once.");
    return;
  }
  c->admitted_ = true;
  ++admitted_;
  if (options_.connectTimeoutSeconds > 0) WantSweep();
}

void TBrokerServer::UpdateInterest(TConnection& c) {
  epoll_event ev{};
  const bool wantInput = c.reading_ && !c.inputPaused_ && !c.throttled_;
  ev.events = (wantInput ? static_cast<std::uint32_t>(EPOLLIN | EPOLLRDHUP) : 0u) |
              (c.writeInterest_ ? static_cast<std::uint32_t>(EPOLLOUT) : 0u);
  ev.data.ptr = &c;
  ::epoll_ctl(epollFd_, EPOLL_CTL_MOD, c.fd_, &ev);
}

void TBrokerServer::StopReading(TConnection& c) {
  if (!c.reading_) return;
  c.reading_ = false;
  UpdateInterest(c);
}

void TBrokerServer::SetWriteInterest(TConnection& c, bool on) {
  if (c.writeInterest_ == on) return;
  c.writeInterest_ = on;
  UpdateInterest(c);
}

void TBrokerServer::PauseInput(TConnection& c, bool paused) {
  if (c.throttled_ == paused || c.closing_) return;
  c.throttled_ = paused;
  Log(c, paused ? " paused: a destination it sends to is full" : " resumed");
  if (paused) {
    UpdateInterest(c);
  } else if (!c.inResumed_) {
    // Picked up by Settle, outside of the engine call that resumed it.
    c.inResumed_ = true;
    resumed_.push_back(&c);
  }
}

void TBrokerServer::ProcessInput(TConnection& c) {
  bool progressed = false;
  while (!c.closing_ && !c.throttled_) {
    if (c.out_.Size() >= kInputPauseBound) {
      if (!c.inputPaused_) {
        c.inputPaused_ = true;
        UpdateInterest(c);
      }
      break;
    }
    const auto result = c.reader_.Next(c.in_, c.frame_);
    if (result == TBrokerFrameReader::TResult::NeedMore) break;
    if (result == TBrokerFrameReader::TResult::Error) {
      engine_.OnReadError(c, c.reader_.ErrorText());
      break;
    }
    engine_.OnFrame(c, c.frame_);
    c.reader_.Consume(c.in_);
    progressed = true;
  }
  // The deadline of an unfinished frame runs from when it started arriving.
  if (c.in_.Empty()) {
    c.partialSince_ = 0;
  } else if (progressed || c.partialSince_ == 0) {
    c.partialSince_ = now_;
    if (options_.frameTimeoutSeconds > 0) WantSweep();
  }
  c.in_.ShrinkIfIdle(kKeepBuffer);
}

void TBrokerServer::OnReadable(TConnection& c) {
  if (c.closing_) {
    // Input after the end is read and thrown away until the peer closes.
    char scratch[16384];
    for (;;) {
      const ssize_t n = ::recv(c.fd_, scratch, sizeof scratch, 0);
      if (n > 0) continue;
      if (n < 0 && errno == EINTR) continue;
      if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return;
      c.readEof_ = true;
      StopReading(c);
      if (c.draining_) Kill(c);
      return;
    }
  }
  if (c.inputPaused_ || c.throttled_) return;
  if (c.tls_ && !c.tls_->Ready() && !AdvanceHandshake(c)) return;
  char* to = c.in_.Reserve(kReadChunk);
  const ssize_t n = ReceiveSome(c, to);
  if (n < 0) return;
  if (n == 0) {
    // The peer is done sending; whatever it still reads gets flushed.
    c.readEof_ = true;
    StopReading(c);
    c.CloseAfterFlush();
    return;
  }
  c.in_.Commit(static_cast<std::size_t>(n));
  c.heart_.Read(now_);
  if (!c.tls_ && !c.Connected() && c.in_.Size() == static_cast<std::size_t>(n) &&
      static_cast<unsigned char>(c.in_.Data()[0]) == 0x16) {
    // A TLS handshake record where a STOMP command belongs.
    engine_.Reject(c, "TLS on a plain port",
                   "This port of Cistern speaks plain STOMP; connect with stomp:// or to its TLS port.");
    return;
  }
  ProcessInput(c);
  WantBufferedInput(c);
}

void TBrokerServer::WantBufferedInput(TConnection& c) {
  if (!c.tls_ || c.inTlsBacklog_ || c.dead_ || c.closing_ || c.inputPaused_ || c.throttled_) return;
  if (!c.tls_->Pending()) return;
  c.inTlsBacklog_ = true;
  tlsBacklog_.push_back(&c);
}

ssize_t TBrokerServer::ReceiveSome(TConnection& c, char* to) {
  if (!c.tls_) {
    const ssize_t n = ::recv(c.fd_, to, kReadChunk, 0);
    if (n >= 0) return n;
    if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) Kill(c);
    return -1;
  }
  TBrokerTlsStream::TStatus status;
  const std::size_t got = c.tls_->Read(to, kReadChunk, status);
  if (got > 0) return static_cast<ssize_t>(got);
  switch (status) {
    case TBrokerTlsStream::TStatus::Closed:
      return 0;
    case TBrokerTlsStream::TStatus::WantWrite:
      SetWriteInterest(c, true);
      return -1;
    case TBrokerTlsStream::TStatus::Failed:
      Log(c, " TLS error: ", c.tls_->ErrorText());
      Kill(c);
      return -1;
    default:
      return -1;
  }
}

ssize_t TBrokerServer::SendSome(TConnection& c, const char* data, std::size_t size) {
  if (!c.tls_) return ::send(c.fd_, data, size, MSG_NOSIGNAL);
  TBrokerTlsStream::TStatus status;
  const std::size_t taken = c.tls_->Write(data, size, status);
  if (taken > 0) return static_cast<ssize_t>(taken);
  const bool again = status == TBrokerTlsStream::TStatus::WantWrite || status == TBrokerTlsStream::TStatus::WantRead;
  errno = again ? EAGAIN : EPIPE;
  return -1;
}

bool TBrokerServer::AdvanceHandshake(TConnection& c) {
  switch (c.tls_->Handshake()) {
    case TBrokerTlsStream::TStatus::Done:
      return true;
    case TBrokerTlsStream::TStatus::WantRead:
      SetWriteInterest(c, !c.out_.Empty());
      return false;
    case TBrokerTlsStream::TStatus::WantWrite:
      SetWriteInterest(c, true);
      return false;
    default:
      Log(c, " TLS handshake failed: ",
          c.tls_->ErrorText().empty() ? std::string_view("closed by the peer") : std::string_view(c.tls_->ErrorText()));
      Kill(c);
      return false;
  }
}

void TBrokerServer::MarkDirty(TConnection& c) {
  if (c.inDirty_ || c.dead_) return;
  c.inDirty_ = true;
  dirty_.push_back(&c);
}

void TBrokerServer::Flush(TConnection& c) {
  if (c.dead_ || c.draining_) return;
  if (c.tls_ && !c.tls_->Ready() && !HandshakeBeforeOutput(c)) return;
  if (!c.out_.Empty() && !WriteOutput(c)) return;
  if (c.out_.Empty()) {
    SetWriteInterest(c, false);
    if (c.closing_) {
      StartDrain(c);
      return;
    }
    c.out_.ShrinkIfIdle(kKeepBuffer);
  }
  ResumeBelowHighWater(c);
}

bool TBrokerServer::HandshakeBeforeOutput(TConnection& c) {
  // Closing before the handshake is over (refused, or no CONNECT in time):
  // nothing can be said in TLS, so nothing is said.
  if (!c.closing_) return AdvanceHandshake(c);
  c.out_.Clear();
  return true;
}

bool TBrokerServer::WriteOutput(TConnection& c) {
  if (options_.faultChunk > 0) return WriteChunk(c);
  for (;;) {
    const ssize_t n = SendSome(c, c.out_.Data(), c.out_.Size());
    if (n > 0) {
      c.heart_.Wrote(now_);
      c.out_.Consume(static_cast<std::size_t>(n));
      if (c.out_.Empty()) return true;
    } else if (!SendAgain(c, n)) {
      return !c.dead_;
    }
  }
}

bool TBrokerServer::WriteChunk(TConnection& c) {
  if (c.inTimed_) return false;  // its next piece is due later
  const std::int64_t now = Clock();
  if (now < c.nextChunkAt_) {
    WaitForChunk(c);
    return false;
  }
  for (;;) {
    const std::size_t size = std::min<std::size_t>(c.out_.Size(), static_cast<std::size_t>(options_.faultChunk));
    const ssize_t n = SendSome(c, c.out_.Data(), size);
    if (n > 0) {
      c.heart_.Wrote(now_);
      c.out_.Consume(static_cast<std::size_t>(n));
      if (!c.out_.Empty()) {
        c.nextChunkAt_ = now + kChunkPauseMs;
        WaitForChunk(c);
      }
      return true;
    }
    if (!SendAgain(c, n)) return !c.dead_;
  }
}

void TBrokerServer::WaitForChunk(TConnection& c) {
  c.inTimed_ = true;
  timed_.push_back(&c);
}

bool TBrokerServer::SendAgain(TConnection& c, ssize_t sent) {
  if (sent < 0 && errno == EINTR) return true;
  if (sent < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
    SetWriteInterest(c, true);
  } else {
    Kill(c);
  }
  return false;
}

void TBrokerServer::ResumeBelowHighWater(TConnection& c) {
  if (c.inputPaused_ && c.out_.Size() < kHighWater && !c.closing_) {
    c.inputPaused_ = false;
    ReadAgain(c);  // frames that arrived while paused
  }
  if (c.wantsReady_ && c.out_.Size() < kHighWater && !c.closing_) {
    c.wantsReady_ = false;
    engine_.OnClientReady(c);
  }
}

void TBrokerServer::ReadAgain(TConnection& c) {
  c.partialSince_ = 0;  // the frame's time starts again
  UpdateInterest(c);
  ProcessInput(c);
  WantBufferedInput(c);
}

void TBrokerServer::Settle() {
  std::vector<TConnection*> batch;
  for (;;) {
    while (!detach_.empty()) {
      TConnection* c = detach_.back();
      detach_.pop_back();
      engine_.OnClientGone(*c);
    }
    while (!resumed_.empty()) {
      TConnection* c = resumed_.back();
      resumed_.pop_back();
      c->inResumed_ = false;
      if (c->closing_ || c->throttled_) continue;
      ReadAgain(*c);  // frames read before the pause
    }
    if (!detach_.empty()) continue;
    if (dirty_.empty()) break;
    batch.swap(dirty_);
    for (TConnection* c : batch) {
      c->inDirty_ = false;
      Flush(*c);
    }
    batch.clear();
  }
}

void TBrokerServer::StartDrain(TConnection& c) {
  if (c.draining_ || c.dead_) return;
  if (c.tls_) c.tls_->Shutdown();
  ::shutdown(c.fd_, SHUT_WR);
  if (c.readEof_) {
    Kill(c);
    return;
  }
  c.draining_ = true;
  c.drainDeadline_ = Clock() + kDrainLimitMs;
  draining_.push_back(&c);
}

void TBrokerServer::Kill(TConnection& c) {
  if (c.dead_) return;
  if (!c.closing_) {
    c.closing_ = true;
    detach_.push_back(&c);
  }
  c.dead_ = true;
  dead_.push_back(&c);
}

void TBrokerServer::Reap() {
  while (!dead_.empty()) {
    std::vector<TConnection*> batch;
    batch.swap(dead_);
    for (TConnection* c : batch) {
      EraseValue(detach_, c);
      engine_.OnClientGone(*c);
    }
    // Ending subscriptions may have handed messages to other connections
    // (and a failed write there may kill more).
    Settle();
    for (TConnection* c : batch) {
      EraseValue(dirty_, c);
      EraseValue(timed_, c);
      EraseValue(draining_, c);
      EraseValue(resumed_, c);
      EraseValue(tlsBacklog_, c);
      if (c->beatAt_ != 0) beats_.erase({c->beatAt_, c});
      if (c->admitted_) --admitted_;
      ::epoll_ctl(epollFd_, EPOLL_CTL_DEL, c->fd_, nullptr);
      Log(*c, " closed");
      connections_.erase(c);
    }
  }
}

}  // namespace ks
