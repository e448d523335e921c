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
// instead of a reset.
//
// The fault hooks of the options change only the output path: pieces of at
// most FaultChunk bytes with a pause of about a millisecond between them,
// stray LF and blank bytes after every frame, closing after FaultCloseAfter
// frames (the last one cut in the middle when it is a MESSAGE).
//
// Ownership: the server owns the listening socket, the signal descriptor,
// the engine and every connection.
//
// Threads: construct, Listen and Run on one thread. Listen blocks SIGINT and
// SIGTERM for the calling thread and receives them through a signal
// descriptor; Run returns when one arrives.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

#include "broker/KsBrokerEngine.hpp"
#include "broker/KsBrokerOptions.hpp"

namespace ks {

class TBrokerServer {
 public:
  explicit TBrokerServer(TBrokerOptions options);
  ~TBrokerServer();
  TBrokerServer(const TBrokerServer&) = delete;
  TBrokerServer& operator=(const TBrokerServer&) = delete;

  // Binds and listens on the options' host and port. Throws ks::Exception
  // when that fails.
  void Listen();
  // The port actually bound (after Listen).
  std::uint16_t Port() const { return port_; }
  // "HOST:PORT" as printed in the listening line (IPv6 hosts in brackets).
  std::string Address() const;

  // Serves until SIGINT or SIGTERM; then closes every connection.
  void Run();

 private:
  class TConnection;
  friend class TConnection;

  void Accept();
  void OnReadable(TConnection& c);
  void Flush(TConnection& c);
  void Settle();
  void MarkDirty(TConnection& c);
  void StartDrain(TConnection& c);
  void Kill(TConnection& c);
  void Reap();
  void ProcessInput(TConnection& c);
  void UpdateInterest(TConnection& c);
  void SetWriteInterest(TConnection& c, bool on);
  void StopReading(TConnection& c);
  int Timeout();

  TBrokerOptions options_;
  TBrokerEngine engine_;
  int listenFd_ = -1;
  int signalFd_ = -1;
  int epollFd_ = -1;
  int spareFd_ = -1;
  std::uint16_t port_ = 0;
  bool stop_ = false;
  std::uint64_t nextId_ = 0;
  std::unordered_map<TConnection*, std::unique_ptr<TConnection>> connections_;
  std::vector<TConnection*> dirty_;
  std::vector<TConnection*> detach_;
  std::vector<TConnection*> timed_;     // chunked output waiting for its next piece
  std::vector<TConnection*> draining_;  // shut down for writing, waiting for the peer to close
  std::vector<TConnection*> dead_;
  char listenTag_ = 0;
  char signalTag_ = 0;
};

}  // namespace ks
