// KsTcpClient: TKsTcpClient, a blocking TCP client with an input buffer and
// the few read operations the STOMP transport needs: wait for bytes, read up
// to a terminator, read a byte count, write everything, notice a close.
//
// The input buffer is one contiguous byte area with a read offset; consumed
// bytes are dropped lazily (when room is needed at the end), so cutting many
// small frames out of one network read moves no memory. While a hold is open
// (Hold), consumed bytes are not dropped at all, so views of them stay
// valid. A receive takes as much as the buffer has room for (at least 32768
// bytes). The buffer keeps its size from frame to frame up to
// KeptInputCapacity; one grown past that for a large frame is given back
// once it is empty again (or made smaller when it holds little). A terminator search remembers how far it got, so a
// read that waits several times never rescans bytes. Bytes received before an
// error stay buffered; a read that fails (time-out, close) consumes nothing.
//
// Settings (Host, Port, IPVersion, ConnectTimeout, ReadTimeout) are set
// before Connect. ReadTimeout: greater than 0 limits each wait for new bytes;
// -2, -1 and 0 mean no limit.
//
// Errors: everything raised here derives from EKsSocketError (and so from
// ks::Exception) with the texts "Read timed out.", "Connection Closed
// Gracefully.", "Max line length exceeded.", "Not Connected", "Already
// connected.", "Connect timed out.", "A host is required.", "A port is
// required." and "Socket Error # <errno>" CR LF "<text>." for any other
// failure of the platform's socket calls.
//
// A socket layer (TLS, see IKsSocketLayer below) may be attached right after
// Connect: from then on every byte goes through it, the socket is in
// non-blocking mode and the stream waits with poll() where the layer needs
// the socket, so reads, writes, time-outs and the input buffer behave
// exactly as without it. Without a layer nothing of it is touched.
//
// Ownership: the client owns its socket and closes it in Disconnect and in
// its destructor; it owns an attached layer and drops it with the socket.
// Threads: one thread reads at a time (CheckForDataOnSource, ReadLn,
// ReadBytes, the buffer operations). Write and SetSendTimeout may run on
// any number of other threads while a read waits; they share one write lock,
// so each Write goes onto the socket whole. Disconnect (and the destructor)
// may run while another thread is inside Write: the socket is shut down,
// which ends that write with a socket error, and is closed only after it.
// Shutdown may run on any thread at any time.
// Connected and ClosedByPeer do not touch the input buffer and may be called
// from any thread. Connect must not overlap any other call, and Disconnect
// must not overlap a read.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "support/KsErrors.hpp"
#include "support/KsException.hpp"

struct addrinfo;

namespace ks {


// Raises EKsSocketErrorCode for the platform error number code, with the
// platform's text for it.
[[noreturn]] void RaiseSocketError(int code);

enum class TKsIPVersion : std::uint8_t { IPv4, IPv6 };

// A layer between the stream and its socket that transforms the bytes on the
// wire (TLS). The stream calls it with the socket in non-blocking mode; it
// never waits itself, but says which readiness of the socket it waits for.
// Errors are EKsSocketError (or a class derived from it).
//
// Threads: Receive and Send may run on two threads at once (the reader and a
// writer); the layer guards its own state. Open and Close run alone.
class IKsSocketLayer {
 public:
  enum class TWait : std::uint8_t { None, Read, Write };

  virtual ~IKsSocketLayer() = default;
  // Takes over the connected, non-blocking socket and does what the layer
  // needs before data can flow (the TLS handshake), waiting with poll() at
  // most timeoutMs in all (greater than 0). Raises on failure or time-out.
  virtual void Open(int fd, std::int32_t timeoutMs) = 0;
  // Up to size bytes for the stream. 0 with wait None: the peer has closed
  // the connection; 0 with wait Read or Write: nothing yet, try again when
  // the socket is ready that way.
  virtual std::size_t Receive(char* dest, std::size_t size, TWait& wait) = 0;
  // Takes bytes from src (at least one when it answers more than 0); 0:
  // try again with the same bytes when the socket is ready as wait says.
  virtual std::size_t Send(const char* src, std::size_t size, TWait& wait) = 0;
  // True when the layer holds bytes for Receive that the socket no longer
  // signals.
  virtual bool Pending() = 0;
  // The end of the connection; notifyPeer says goodbye in the layer's own
  // protocol first (without waiting). Never fails.
  virtual void Close(bool notifyPeer) noexcept = 0;
};

class TKsTcpClient {
 public:
  static constexpr std::size_t MaxLineLength = 16384;
  static constexpr std::size_t RecvChunkSize = 32768;
  static constexpr std::size_t KeptInputCapacity = std::size_t{4} << 20;

  TKsTcpClient();
  virtual ~TKsTcpClient();
  TKsTcpClient(const TKsTcpClient&) = delete;
  TKsTcpClient& operator=(const TKsTcpClient&) = delete;

  // Settings.
  const std::string& GetHost() const { return host_; }
  void SetHost(std::string host) { host_ = std::move(host); }
  std::uint16_t GetPort() const { return port_; }
  void SetPort(std::uint16_t port) { port_ = port; }
  TKsIPVersion GetIPVersion() const { return ipVersion_; }
  void SetIPVersion(TKsIPVersion version) { ipVersion_ = version; }
  std::int32_t GetConnectTimeout() const { return connectTimeout_; }
  void SetConnectTimeout(std::int32_t milliseconds) { connectTimeout_ = milliseconds; }
  std::int32_t GetReadTimeout() const { return readTimeout_; }
  void SetReadTimeout(std::int32_t milliseconds) { readTimeout_ = milliseconds; }

  // Resolves Host in the IPVersion family and connects (each address in turn
  // until one answers). Raises "Already connected.", the host or port
  // required errors, "Connect timed out." or the socket error.
  void Connect();
  // Closes the connection if there is one and drops buffered input; never
  // fails. notifyPeer shuts the connection down before closing it.
  void Disconnect(bool notifyPeer = true);
  // Right after Connect: puts layer between the stream and the socket and
  // opens it (timeoutMs bounds that, see IKsSocketLayer::Open). When Open
  // fails the connection is closed and the error raised.
  void AttachLayer(std::unique_ptr<IKsSocketLayer> layer, std::int32_t timeoutMs);
  // SO_SNDTIMEO in milliseconds (0: no limit). Raises "Not Connected".
  void SetSendTimeout(std::int32_t milliseconds);

  // Polls the socket without waiting and without touching the input buffer
  // (it notes a close), then answers whether the connection is open: the
  // socket exists and the peer has not closed it.
  bool Connected();
  // A socket exists (connected, possibly closed by the peer since).
  bool SocketAllocated() const { return fd_.load(std::memory_order_acquire) >= 0; }
  // True once the peer has closed the connection (or a receive failed).
  bool ClosedByPeer() const { return closedByPeer_.load(std::memory_order_acquire); }

  // Stream. Waits up to timeoutMs for bytes and moves what arrived into the
  // input buffer; true when the buffer grew. -2 waits without limit, 0 and
  // other negative values only poll. Never raises for a time-out, a close or
  // a failed receive (it records the close); false when not connected.
  bool CheckForDataOnSource(std::int32_t timeoutMs);
  bool InputBufferIsEmpty() const { return readPos_ == writePos_; }
  // The bytes the input buffer has room for: the memory it holds.
  std::size_t InputBufferCapacity() const { return capacity_; }
  std::size_t InputBufferSize() const { return writePos_ - readPos_; }
  // The unconsumed bytes; valid until the next operation on the stream.
  std::string_view InputBuffer() const {
    return std::string_view(data_.get() + readPos_, writePos_ - readPos_);
  }
  // Drops count bytes from the front of the input buffer.
  void Consume(std::size_t count) {
    if (count == 0) return;
    if (count > InputBufferSize()) count = InputBufferSize();
    readPos_ += count;
    if (readPos_ == writePos_ && holds_ == 0) Emptied();
    ResetScan();
  }
  // Room for the input buffer to hold total bytes from its first unconsumed
  // one without growing on the way: for a frame whose size is known before
  // its bytes have arrived.
  void ReserveInput(std::size_t total);
  // While a hold is open, consumed bytes stay where they are: the buffer is
  // not compacted or reused, and a buffer that must grow is kept until the
  // last hold ends. For views of consumed bytes handed to code that may read
  // the stream again before it lets go of them. Holds nest; each Hold needs
  // one Release.
  void Hold() noexcept { ++holds_; }
  // Hold, then Consume of count bytes (1 to InputBufferSize()) in one
  // step: for a unit handed over in place, whose views the hold keeps
  // valid until its Release.
  void HoldAndConsume(std::size_t count) noexcept {
    ++holds_;
    readPos_ += count;
    ResetScan();
  }
  void Release() noexcept {
    if (--holds_ > 0) return;
    if (!heldBuffers_.empty()) heldBuffers_.clear();
    if (readPos_ == writePos_) Emptied();
  }

  // The bytes before the first occurrence of terminator (which is consumed).
  // Each wait for bytes is limited by ReadTimeout. Raises "Max line length
  // exceeded." (nothing consumed) when the terminator is, or can only be,
  // more than MaxLineLength bytes from the start of the buffered data.
  std::string ReadLn(std::string_view terminator = "\n");
  // Exactly count bytes; each wait limited by ReadTimeout.
  std::string ReadBytes(std::size_t count);
  // Sends all bytes with one send call when the socket takes them at once.
  // Writes are serialised: the bytes of one call are never interleaved with
  // those of another call on any thread. sendTimeout other than -1 is set
  // as SO_SNDTIMEO first (only when it differs from the last one set).
  void Write(std::string_view bytes, std::int32_t sendTimeout = -1);
  // Write for bytes in several places: the parts go out in order as one
  // write (one sendmsg when the socket takes them at once), so a frame's
  // header image and a large body it points to need no common buffer.
  void WriteParts(const std::string_view* parts, std::size_t count, std::int32_t sendTimeout = -1);
  // Writes bytes only when that need not wait: the write lock is free and
  // the socket has room. False otherwise, and when the write fails (the
  // error is left for the next Write or read to meet). For keep-alive
  // bytes written from a timer thread. Any thread.
  bool TryWrite(std::string_view bytes) noexcept;
  // How many bytes have arrived at the socket that no receive has taken
  // yet. Any thread.
  std::uint64_t BytesWaiting() const noexcept;
  // Shuts the connection down both ways without closing the socket: a
  // blocked send or wait on any thread returns at once (with an error, or
  // as if the peer had closed), and so does every later one. Disconnect
  // still closes it. Any thread, at any time (never a descriptor that was
  // closed meanwhile).
  void Shutdown() noexcept;
  // Monotone counts of the bytes received into the input buffer and handed
  // to the socket (a write that fails counts too), for watchers on other
  // threads.
  std::uint64_t BytesReceived() const noexcept { return bytesReceived_.load(std::memory_order_relaxed); }
  std::uint64_t BytesSent() const noexcept { return bytesSent_.load(std::memory_order_relaxed); }

  // Raises the closed error when the peer has closed the connection (or it
  // was closed locally), raise is true, and the input buffer is empty or
  // ignoreBuffer is true.
  void CheckForDisconnect(bool raise = true, bool ignoreBuffer = false);

  // Waits once for new bytes, limited by timeoutMs (greater than 0) or without
  // limit. Raises "Read timed out." when none arrived, the closed error when
  // the peer has closed the connection, the socket error when a receive fails
  // with nothing buffered, "Not Connected" without a socket.
  void ReadFromSource(std::int32_t timeoutMs);

 private:
  using TAddressList = std::unique_ptr<addrinfo, void (*)(addrinfo*)>;
  // The addresses of host_ and port_ for the chosen IP version; raises the
  // resolver's error.
  TAddressList Resolve() const;
  // A connected socket to address within the connect time-out, or -1 with
  // lastError (or timedOut) set.
  int ConnectTo(const addrinfo& address, int& lastError, bool& timedOut) const;
  // Makes fd, connected, this client's socket.
  void Adopt(int fd);
  // One receive into the buffer after the socket polled readable; returns the
  // number of bytes added (0 on close or failure, which it records).
  std::size_t ReceiveChunk(bool raiseOnError);
  void EnsureRoom(std::size_t room);
  // Empties the input buffer (its bytes are kept while held).
  void DropInput();
  // Every byte is consumed and no hold is open: starts over at the front,
  // giving back a buffer larger than KeptInputCapacity.
  void Emptied() noexcept;
  // Nothing to do while no search has begun (the usual case: frames are
  // cut without one).
  void ResetScan() noexcept {
    if (scanned_ == 0) return;
    scanned_ = 0;
    scanTerminator_.clear();
  }
  void CloseSocket(bool notifyPeer);
  // WriteParts with writeMutex_ held.
  void WriteLocked(const std::string_view* parts, std::size_t count);
  // Counts bytes the reading thread took in (one reader at a time).
  void CountReceived(std::size_t bytes) noexcept {
    bytesReceived_.store(bytesReceived_.load(std::memory_order_relaxed) + bytes, std::memory_order_relaxed);
  }
  // SO_SNDTIMEO on the open socket; writeMutex_ held.
  void ApplySendTimeout(std::int32_t milliseconds);
  // ReceiveChunk and Write through the layer.
  std::size_t ReceiveLayered(int fd, bool raiseOnError);
  void WriteLayered(int fd, std::string_view bytes);
  // True when the layer holds bytes the socket does not signal.
  bool LayerPending() const { return layer_ != nullptr && layer_->Pending(); }

  std::string host_;
  std::uint16_t port_ = 0;
  TKsIPVersion ipVersion_ = TKsIPVersion::IPv4;
  std::int32_t connectTimeout_ = 0;
  std::int32_t readTimeout_ = -1;

  std::atomic<int> fd_{-1};
  // Held while the socket is shut down by Shutdown and while fd_ lets go of
  // it, so that Shutdown never reaches a descriptor closed (and maybe
  // reused) meanwhile.
  std::mutex fdMutex_;
  std::mutex writeMutex_;  // held for each whole Write, and while closing
  std::int32_t sendTimeout_ = -1;  // SO_SNDTIMEO last set by Write (under writeMutex_)
  // The socket while Write sends to it directly (connected, no layer);
  // -1 otherwise. Changed by Connect, AttachLayer and closing; read under
  // writeMutex_.
  int directFd_ = -1;
  std::atomic<bool> closedByPeer_{false};
  std::atomic<std::uint64_t> bytesReceived_{0};
  std::atomic<std::uint64_t> bytesSent_{0};
  // Set by AttachLayer, dropped with the socket (under writeMutex_).
  std::unique_ptr<IKsSocketLayer> layer_;

  std::unique_ptr<char[]> data_;
  std::size_t capacity_ = 0;
  std::size_t readPos_ = 0;
  std::size_t writePos_ = 0;
  std::size_t holds_ = 0;
  std::vector<std::unique_ptr<char[]>> heldBuffers_;  // replaced while held
  // Terminator search state: bytes after readPos_ already known not to start
  // a match of scanTerminator_.
  std::size_t scanned_ = 0;
  std::string scanTerminator_;
};

}  // namespace ks
