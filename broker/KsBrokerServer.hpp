// KsBrokerServer: Cistern's network side: one epoll loop with non-blocking
// sockets that accepts connections, reads their bytes into frames for the
// engine, and writes each connection's output buffer as far as its socket
// takes it.
//
// Writes are batched: frames produced while handling one loop iteration's
// events are written with one send per connection afterwards. A connection
// whose output buffer is over its bound gets no deliveries until the buffer
// drains (the engine keeps its messages), so a slow consumer holds up nobody
// else; a connection whose unsent output grows past 8 MiB anyway (receipts
// it does not read) is not read from until it drains. A connection that is
// refused or disconnects is flushed, shut down for writing and closed when
// the peer closes (or after two seconds), so the peer reads the last frame
// instead of a reset; one whose last frames are not read within five seconds
// is closed anyway. A connection the engine pauses (its producer is ahead of
// the consumers) is not read from until the engine resumes it, so TCP holds
// the producer back.
//
// Limits: past MaxConnections clients, a new connection is answered with
// ERROR and closed. Out of descriptors, a waiting connection is accepted on
// a spare descriptor and closed at once, and the loop goes back to waiting,
// so the connections it has keep being served. A connection that has not
// sent CONNECT within ConnectTimeout, or holds part of a frame for longer
// than FrameTimeout while it is being read, is answered with ERROR and
// closed. Deadlines are checked about four times a second.
//
// Heart-beats (agreed by the engine at CONNECT, see KsBrokerHeartBeat): a
// connection that has written nothing for its send interval gets one LF,
// appended only when no output waits (so never inside a frame, however it
// is written); one from which nothing was read for its silent limit is
// answered with ERROR ("Heart-beat timeout") and closed. Input Cistern holds
// back (flow control) does not count as silence. Each connection sits in a
// timer list under its next heart-beat time, so beats and drops happen on
// time to the millisecond, not with the deadline checks.
//
// With a certificate and key (options CertFile, KeyFile) a second listening
// socket serves STOMP over TLS (TlsPort); its connections run the TLS
// handshake first (within ConnectTimeout, like CONNECT) and are otherwise
// served exactly like the plain ones. A plain connection whose first byte
// opens a TLS handshake is answered with ERROR and closed, so a TLS client
// on the plain port learns at once that it is in the wrong place.
//
// The fault hooks of the options change only the output path: pieces of at
// most FaultChunk bytes with a pause of about a millisecond between them,
// stray LF and blank bytes after every frame, closing after FaultCloseAfter
// frames (the last one cut in the middle when it is a MESSAGE); and the
// first FaultRefuseConnects connections accepted are closed at once,
// before anything is read or written.
//
// Freezing, a test aid: SIGUSR1 freezes the server at the end of the loop
// turn it arrives in ("Cistern frozen" on standard output): from then on it
// reads, writes, accepts and times out nothing, heart-beats included, while
// every socket stays open, as a client sees a half-open link or a stopped
// broker. SIGUSR2 thaws it ("Cistern thawed"): its clock goes on from where
// it stopped, so the deadlines of its connections ignore the frozen time,
// and what arrived meanwhile is read.
//
// Ownership: the server owns the listening socket, the signal descriptor,
// the engine and every connection.
//
// Threads: construct, Listen and Run on one thread. Listen blocks SIGINT,
// SIGTERM, SIGUSR1 and SIGUSR2 for the calling thread and receives them
// through a signal descriptor; Run returns when SIGINT or SIGTERM arrives
// (frozen or not).
#pragma once

#include <cstdint>
#include <memory>
#include <set>
#include <string>
#include <string_view>
#include <sys/types.h>
#include <unordered_map>
#include <vector>

#include "broker/KsBrokerEngine.hpp"
#include "broker/KsBrokerOptions.hpp"
#include "broker/KsBrokerTls.hpp"

struct sockaddr_storage;
struct epoll_event;

namespace ks {

class TBrokerServer {
 public:
  explicit TBrokerServer(TBrokerOptions options);
  ~TBrokerServer();
  TBrokerServer(const TBrokerServer&) = delete;
  TBrokerServer& operator=(const TBrokerServer&) = delete;

  // Binds and listens on the options' host and port, and on the TLS port
  // when a certificate is given. Throws ks::Exception when that fails (or
  // the certificate or key cannot be used).
  void Listen();
  // The ports actually bound (after Listen; 0 when not listening there).
  std::uint16_t Port() const { return port_; }
  std::uint16_t TlsPort() const { return tlsPort_; }
  // "HOST:PORT" as printed in the listening lines (IPv6 hosts in brackets).
  std::string Address() const { return AddressOf(port_); }
  std::string TlsAddress() const { return AddressOf(tlsPort_); }
  // Whether the bound address is a loopback one (after Listen).
  bool IsLoopback() const { return loopback_; }

  // Serves until SIGINT or SIGTERM; then closes every connection.
  void Run();

 private:
  class TConnection;
  friend class TConnection;

  std::string AddressOf(std::uint16_t port) const;
  // With Verbose: the line "Connection N" followed by what and detail.
  void Log(const TConnection& c, std::string_view what, std::string_view detail = {}) const;
  // A listening socket on the options' host and port; bound gets the port.
  int BindListener(std::int32_t port, std::uint16_t& bound);
  void Accept(int listenFd, bool tls);
  void Admit(int fd, const sockaddr_storage& addr, bool tls);
  void RefuseWaiting(int listenFd, bool tls);
  // Adds the listening sockets to the loop or takes them out.
  void SetListening(bool on);
  // Moves a TLS connection's handshake on; true once it is over. A failed
  // one kills the connection.
  bool AdvanceHandshake(TConnection& c);
  // recv or TLS read into to: the count, 0 at the peer's end, -1 when
  // nothing is there now (or the connection failed and was killed).
  ssize_t ReceiveSome(TConnection& c, char* to);
  // A TLS connection whose decrypted input waits in OpenSSL (where epoll
  // cannot see it) is read again in the next loop iteration.
  void WantBufferedInput(TConnection& c);
  // send or TLS write: the count, or -1 with errno (EAGAIN: try again when
  // writable).
  ssize_t SendSome(TConnection& c, const char* data, std::size_t size);
  void CheckDeadlines();
  void WantSweep();
  // The loop's clock: steady milliseconds, less the time spent frozen.
  std::int64_t Clock() const;
  // Files c in the heart-beat timers under its next check.
  void ScheduleBeat(TConnection& c);
  // Writes the beats that are due and drops the silent clients.
  void CheckBeats(std::int64_t now);
  void Freeze();
  void Thaw();
  // Frozen: waits for the next signal and handles it.
  void WaitWhileFrozen();

  // The loop's events, one member per kind: a listening socket's, the
  // signal descriptor's, a connection's.
  void OnEvent(const epoll_event& event);
  void OnSignal();
  void OnConnectionEvent(TConnection& c, std::uint32_t what);
  void OnReadable(TConnection& c);
  // Reads the TLS connections whose input waits in OpenSSL.
  void ReadTlsBacklog();
  // Once per loop iteration: chunked output whose next piece is due,
  // drains past their deadline, listening again, the deadline check.
  void OnTimers();
  void ReleaseDueChunks(std::int64_t now);

  // Writes c's output as far as its socket takes it; then shuts it down
  // when c is closing, or resumes what waited for the output to drain.
  void Flush(TConnection& c);
  // For a TLS connection whose handshake is not over: whether Flush may go
  // on writing. A closing one drops its output.
  bool HandshakeBeforeOutput(TConnection& c);
  // Sends the output (in pieces with FaultChunk); false when Flush has
  // nothing more to do now: the next piece is due later, or the connection
  // failed and was killed.
  bool WriteOutput(TConnection& c);
  bool WriteChunk(TConnection& c);
  // Puts c on the list of chunked output waiting for its next piece.
  void WaitForChunk(TConnection& c);
  // After a send that took nothing: true to send again at once (it was
  // interrupted); otherwise false, with write interest set when the socket
  // is full or the connection killed when the send failed.
  bool SendAgain(TConnection& c, ssize_t sent);
  // Output below its bound again: reads input paused for it, and tells the
  // engine that c takes deliveries again.
  void ResumeBelowHighWater(TConnection& c);
  // Input paused until now is wanted again: reads what arrived meanwhile.
  void ReadAgain(TConnection& c);
  void Settle();
  void MarkDirty(TConnection& c);
  void StartDrain(TConnection& c);
  void Kill(TConnection& c);
  void Reap();
  void ProcessInput(TConnection& c);
  void UpdateInterest(TConnection& c);
  void SetWriteInterest(TConnection& c, bool on);
  void StopReading(TConnection& c);
  void PauseInput(TConnection& c, bool paused);
  int Timeout();

  TBrokerOptions options_;
  TBrokerEngine engine_;
  std::unique_ptr<TBrokerTlsContext> tls_;  // with a certificate only
  int listenFd_ = -1;
  int tlsListenFd_ = -1;
  std::uint16_t tlsPort_ = 0;
  int signalFd_ = -1;
  int epollFd_ = -1;
  int spareFd_ = -1;
  std::uint16_t port_ = 0;
  bool loopback_ = false;
  bool stop_ = false;
  bool freezeWanted_ = false;      // SIGUSR1 came: freeze at the end of this turn
  bool frozen_ = false;
  std::int64_t frozenAt_ = 0;      // steady milliseconds when frozen
  std::int64_t frozenFor_ = 0;     // steady milliseconds spent frozen before
  std::int32_t refuseConnects_ = 0;  // accepted connections still to close at once
  bool listening_ = true;          // the listening sockets are in the epoll set
  std::int64_t listenAgainAt_ = 0; // when listening is off: when to resume
  std::int64_t now_ = 0;           // steady milliseconds, once per loop iteration
  std::int64_t nextSweep_ = 0;     // next deadline check, 0 when none is due
  std::size_t admitted_ = 0;       // connections that count against MaxConnections
  std::uint64_t nextId_ = 0;
  std::unordered_map<TConnection*, std::unique_ptr<TConnection>> connections_;
  std::vector<TConnection*> dirty_;
  std::vector<TConnection*> resumed_;   // input paused by the engine, now wanted again
  std::vector<TConnection*> detach_;
  std::vector<TConnection*> timed_;     // chunked output waiting for its next piece
  std::vector<TConnection*> draining_;  // shut down for writing, waiting for the peer to close
  std::vector<TConnection*> dead_;
  std::vector<TConnection*> tlsBacklog_;  // TLS input held by OpenSSL, to be read
  std::set<std::pair<std::int64_t, TConnection*>> beats_;  // heart-beat timers: when, whose
  char listenTag_ = 0;
  char tlsListenTag_ = 0;
  char signalTag_ = 0;
};

}  // namespace ks
