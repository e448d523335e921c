// KsBenchPeers: the two synthetic STOMP peers of the end-to-end benchmark,
// and the raw-socket helpers the benchmark's clients and peers share.
//
// TBenchPeer listens on a free loopback port and serves exactly one client
// connection on its own thread:
// - Sink: answers CONNECT with CONNECTED, counts SEND frames and discards
//   everything else; answers a DISCONNECT that asks for a receipt with
//   RECEIPT and ends at the client's close.
// - Firehose: answers CONNECT with CONNECTED, waits for SUBSCRIBE (for as
//   many SUBSCRIBE frames as it is told to expect) and then writes Count
//   MESSAGE frames (no content-length, like a broker relaying text
//   messages) as fast as the socket takes them, in large writes, handing
//   them to the subscriptions in turn; then serves the DISCONNECT like the
//   sink.
// Frames from the client are cut at NUL: the benchmark's bodies never hold a
// NUL byte, so no content-length has to be honoured.
//
// Threads: construct, query and destroy on one thread; the serving thread is
// internal. The destructor closes the sockets and joins the thread.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

namespace ks::bench {

// A connected loopback TCP socket with TCP_NODELAY, or -1.
int DialLoopback(const std::string& host, std::uint16_t port);
// Writes all bytes; false on a socket error.
bool WriteAll(int fd, std::string_view bytes);
// The bytes of a MESSAGE frame as a broker relays a text message.
std::string EncodeMessageFrame(std::string_view destination, std::string_view messageId,
                               std::string_view subscription, std::string_view body);

class TBenchPeer {
 public:
  enum class TKind { Sink, Firehose };

  // subscribers: the SUBSCRIBE frames a firehose waits for.
  TBenchPeer(TKind kind, std::uint64_t count, std::size_t bodySize, std::size_t subscribers = 1);
  ~TBenchPeer();
  TBenchPeer(const TBenchPeer&) = delete;
  TBenchPeer& operator=(const TBenchPeer&) = delete;

  std::uint16_t Port() const { return port_; }
  // Waits for the served connection to end; false at the deadline.
  bool Wait(std::chrono::milliseconds timeout);
  // SEND frames received (sink) or MESSAGE frames written (firehose).
  std::uint64_t Frames() const { return frames_.load(); }
  std::string Error() const;

 private:
  void Serve();
  // Reads client frames until the connection ends; stopAt: return after the
  // first frame with this command (empty: read to the end).
  bool ReadClient(int fd, std::string_view stopAt, std::string* frameOut);
  void Fail(const std::string& text);

  // The firehose's work once every subscription is known.
  void Fire(int fd, const std::vector<std::string>& subscribes);

  TKind kind_;
  std::uint64_t count_;
  std::size_t bodySize_;
  std::size_t subscribers_;
  int listenFd_ = -1;
  std::uint16_t port_ = 0;
  std::string in_;  // unprocessed client bytes
  std::atomic<std::uint64_t> frames_{0};
  std::atomic<bool> done_{false};
  std::atomic<int> clientFd_{-1};
  mutable std::mutex mutex_;
  std::string error_;
  std::thread thread_;
};

}  // namespace ks::bench
