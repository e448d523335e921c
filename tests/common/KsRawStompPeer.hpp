// KsRawStompPeer: a blocking raw-socket STOMP client for tests that must see
// the bytes on the wire, independent of the library's own framing code.
//
// It sends hand-written bytes or frames and reads whole frames with a
// deadline, cutting the stream the way the library's transport does: bytes
// between frames (LF, CR, blank, tab) are skipped, the header block runs to
// the first blank line, and the body is exactly "content-length" bytes when
// that header is present, else everything up to the first NUL. It is strict
// about what the library relies on: every frame must end with NUL followed by
// exactly one LF, otherwise ReadFrame fails and Violation() says why.
//
// ReadMessages reads a number of MESSAGE frames from a subscribed peer and
// records a test failure for anything else or for too few.
//
// Threads: one thread uses a peer at a time. The destructor closes the
// socket.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace ks::test {

using TRawHeaders = std::vector<std::pair<std::string, std::string>>;

struct TRawFrame {
  std::string command;
  TRawHeaders headers;  // in wire order, repeats kept
  std::string body;

  // The first header with exactly this name; empty text when there is none.
  std::string Header(std::string_view name) const;
  bool Has(std::string_view name) const;
};

class TRawStompPeer {
 public:
  TRawStompPeer() = default;
  ~TRawStompPeer();
  TRawStompPeer(const TRawStompPeer&) = delete;
  TRawStompPeer& operator=(const TRawStompPeer&) = delete;

  // Opens a TCP connection; false when that fails.
  bool Connect(const std::string& host, std::uint16_t port);
  // Connect, send CONNECT with the given headers and wait for CONNECTED.
  // False (the reply, if any, in LastReply()) otherwise.
  bool Login(const std::string& host, std::uint16_t port, const TRawHeaders& headers = {});
  void Close();
  bool IsOpen() const { return fd_ >= 0; }
  // The socket, for tests that read raw bytes themselves.
  int Fd() const { return fd_; }

  // The bytes of one frame: command, LF, name:value LF per header, LF, body,
  // NUL, LF; with contentLength a "content-length" header is added last.
  static std::string Encode(std::string_view command, const TRawHeaders& headers, std::string_view body = {},
                            bool contentLength = false);

  // Writes all bytes (blocking); false when the socket fails.
  bool SendRaw(std::string_view bytes);
  bool SendFrame(std::string_view command, const TRawHeaders& headers, std::string_view body = {},
                 bool contentLength = false);

  // The next frame, or nothing when the deadline passes, the peer closes or
  // the stream breaks the framing rules (see Violation()).
  std::optional<TRawFrame> ReadFrame(std::chrono::milliseconds timeout = std::chrono::milliseconds(5000));
  // Reads frames until one has this command; returns it, or nothing. Frames
  // read on the way are appended to skipped when it is given.
  std::optional<TRawFrame> ReadUntil(std::string_view command, std::chrono::milliseconds timeout,
                                     std::vector<TRawFrame>* skipped = nullptr);
  // Waits for the peer to close the connection, discarding what arrives.
  bool WaitClosed(std::chrono::milliseconds timeout = std::chrono::milliseconds(5000));
  // True when no frame arrives within the time (the connection may stay
  // open). Used to check that something is not delivered.
  bool Quiet(std::chrono::milliseconds timeout);

  bool PeerClosed() const { return eof_; }
  const std::string& Violation() const { return violation_; }
  const std::optional<TRawFrame>& LastReply() const { return lastReply_; }
  // Bytes received but not yet part of a returned frame.
  std::string Pending() const { return buffer_.substr(consumed_); }

 private:
  // 1: frame cut, 0: need more bytes, -1: framing violation.
  int TryCut(TRawFrame& frame);
  bool Fill(std::chrono::steady_clock::time_point deadline);

  int fd_ = -1;
  std::string buffer_;
  std::size_t consumed_ = 0;  // bytes of buffer_ already returned as frames
  bool eof_ = false;
  std::string violation_;
  std::optional<TRawFrame> lastReply_;
};

// Reads count frames within the time-out, all of which must be MESSAGE
// frames (a test failure otherwise, as when fewer arrive); the frames read.
std::vector<TRawFrame> ReadMessages(TRawStompPeer& peer, std::size_t count,
                                    std::chrono::milliseconds timeout = std::chrono::milliseconds(10000));

}  // namespace ks::test
