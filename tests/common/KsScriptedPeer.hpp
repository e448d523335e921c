// KsScriptedPeer: a scripted peer socket for exact-byte tests of anything that
// talks to a broker.
//
// The peer listens on a loopback address (127.0.0.1, or ::1 when asked) on a
// free port (Port() tells which), accepts exactly one connection on a
// background thread and collects every byte that connection sends. The test
// writes bytes with Send and looks at what arrived with ReadUntil, ReadFrame
// and Received. Every wait takes a deadline; nothing sleeps.
//
// Auto-CONNECTED mode: when constructed with AutoConnected, the peer answers
// every CONNECT frame it receives with "CONNECTED\nsession:s1\n\n\0\n" (or the
// reply given in the options) on its own, so a client's login completes
// without the test's help. The CONNECT frames stay visible to ReadFrame.
//
// Ownership: the test owns the peer; the destructor closes the listener and
// the connection and joins the background thread.
// Threads: every member function may be called from the test's thread while
// the background thread receives; the byte store is guarded by a mutex.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>

#include "tests/common/KsTestUtil.hpp"

namespace ks::test {

struct TKsScriptedPeerOptions {
  bool AutoConnected = false;
  bool IPv6 = false;  // listen on ::1 instead of 127.0.0.1
  std::string ConnectedReply = kConnectedFrame;
  // Answer every frame that asks for a receipt with its RECEIPT, as brokers
  // do.
  bool AnswerReceipts = true;
};

class TKsScriptedPeer {
 public:
  using Duration = std::chrono::milliseconds;
  static constexpr Duration kDefaultDeadline{5000};

  TKsScriptedPeer();
  explicit TKsScriptedPeer(TKsScriptedPeerOptions options);
  ~TKsScriptedPeer();
  TKsScriptedPeer(const TKsScriptedPeer&) = delete;
  TKsScriptedPeer& operator=(const TKsScriptedPeer&) = delete;

  // The port the peer listens on.
  std::uint16_t Port() const { return port_; }
  // "127.0.0.1" or "::1".
  std::string Host() const;
  // "stomp://127.0.0.1:<port>" (or "stomp://[::1]:<port>").
  std::string Url() const;

  // True once a client has connected (waits up to the deadline).
  bool WaitAccepted(Duration deadline = kDefaultDeadline);

  // Sends all bytes on the accepted connection (waits for the accept first).
  // False when there is no connection or the send failed.
  bool Send(std::string_view bytes);

  // Waits until the predicate holds for all bytes received so far; true when
  // it did before the deadline.
  bool ReadUntil(const std::function<bool(const std::string& received)>& predicate,
                 Duration deadline = kDefaultDeadline);
  // Waits until at least count bytes have been received in total.
  bool ReadUntil(std::size_t count, Duration deadline = kDefaultDeadline);

  // The raw bytes of the next client frame not yet returned by ReadFrame, up
  // to and including its NUL (a frame with a content-length header is cut by
  // that length, so its body may hold NUL bytes); LF and CR bytes before the
  // frame are skipped. Empty when no whole frame arrived before the deadline.
  std::string ReadFrame(Duration deadline = kDefaultDeadline);

  // All bytes received so far.
  std::string Received() const;

  // True when the client has closed its side (end of stream or reset), waiting
  // up to the deadline.
  bool WaitClientClosed(Duration deadline = kDefaultDeadline);

  // Closes the accepted connection and the listener; later Sends fail. A
  // client then sees an orderly close after any bytes already sent.
  void Close();

 private:
  void Listen();
  void Loop();
  void AnswerFrames();  // called with mutex_ held
  // Length of the frame starting at from (after skipped line ends), or 0 when
  // incomplete; skip receives the number of bytes skipped before it.
  static std::size_t FrameLength(std::string_view data, std::size_t& skip);

  TKsScriptedPeerOptions options_;
  int listenFd_ = -1;
  int connFd_ = -1;
  int wakeRead_ = -1;
  int wakeWrite_ = -1;
  std::uint16_t port_ = 0;

  mutable std::mutex mutex_;
  std::condition_variable changed_;
  std::mutex sendMutex_;  // serialises sends; the receive loop takes it under mutex_
  bool sendClosed_ = false;  // guarded by sendMutex_
  bool accepted_ = false;
  bool clientClosed_ = false;
  bool closed_ = false;
  std::string received_;
  std::size_t frameCursor_ = 0;  // ReadFrame's position in received_
  std::size_t autoCursor_ = 0;   // auto-CONNECTED scan position in received_
  std::thread thread_;
};

}  // namespace ks::test
