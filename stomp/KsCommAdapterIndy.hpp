// KsCommAdapterIndy: the TCP transport adapter TKsCommAdapterIndy, its socket
// object TIdStompClient and its reader thread TKsStompReadThread, plus
// RegisterTcpAdapter, which puts the adapter into the adapter registry.
//
// Frames are cut from the socket's input buffer in place: blanks and control
// characters in front of a command are skipped, then the header block up to
// LF LF, then either "content-length" + 2 bytes (body, NUL and the LF after
// it) or, without a length, the bytes up to the next NUL. Either way the body
// is delivered byte for byte. Nothing is consumed until a frame is complete,
// so a read that times out halfway loses nothing: the next read, on any
// thread, completes the same frame. A header block of blanks is consumed
// without a callback. An unusable content-length raises
// EKsInvalidContentLength. A header block longer than the maximum header
// size (64 KiB unless SetMaxHeaderSize says otherwise), or a body longer than
// the maximum frame size (64 MiB unless SetMaxFrameSize says otherwise),
// makes the frame skipped: it is dropped as it arrives and reported through
// ReportFrameSkipped; reading goes on with the next frame.
//
// With an OnFrameParsed handler set, a frame of the usual form that is whole
// in the buffer is cut and parsed in one pass and handed to that handler
// instead of its text to OnDataAvailable. Its views point into the input
// buffer, which holds those bytes (TKsTcpClient::Hold) until the handler
// returns, also when the handler reads the stream again.
//
// Connect waits for the broker's first frame no longer than the connect
// time-out (30 s when none is set) and then fails with
// EKsStompClientConnectError "No reply to CONNECT within N ms".
//
// The reader thread waits at most 200 ms at a time, so Stop and Disconnect
// take effect within about 200 ms even while a frame is incomplete; frames
// that arrived together are dispatched one after another without waiting.
// A fault of one frame (an ERROR frame, a frame the layers above cannot
// convert, a listener that throws) is reported through ReportFrameFault and
// the reader goes on. The reader ends only with the transport: when it ends
// because of a transport error it reports the loss through
// ReportConnectionLost (one ERROR line and the fault handler; not when it was
// asked to end or after DISCONNECT was sent), and raises nothing.
//
// Ownership: the adapter owns its client and its reader thread. Disconnect
// before destroying it; the destructor also ends a reader that still runs.
// Threads: Transmit from any thread; concurrent calls go onto the socket one
// whole frame after another. The synchronous reads (ReceiveFrame,
// WaitForFrame, PollFrame, DataAvailable) on one thread at a time and only
// while the reader is stopped. Connect, Disconnect and SetURI on the owner's
// thread (Disconnect from inside a handler on the reader thread is allowed:
// the reader then ends after the handler returns).
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>

#include "net/KsTcpClient.hpp"
#include "stomp/KsCommAdapter.hpp"
#include "stomp/KsStompFrame.hpp"
#include "support/KsScratch.hpp"
#include "support/KsThread.hpp"

namespace ks {

class IURI;
class TKsCommAdapterIndy;

// The TCP client of the adapter, under its own class name.
class TIdStompClient : public TKsTcpClient {
 public:
  using TKsTcpClient::TKsTcpClient;
};

// Cuts frame texts out of a stream's input buffer without consuming anything
// until a frame is whole. Positions are relative to the first unconsumed byte,
// so they stay valid while the stream only appends.
//
// A unit is a frame, a header block of blanks (Blank), or a piece of a frame
// whose header block is over the maximum header size or whose body is over
// the maximum frame size (Skipped): such a frame is dropped as its bytes
// arrive, never held whole, and one of its pieces carries a notice for the
// caller to report (the first piece of the body, or the piece that ends an
// oversized header block; its content-length, when the block has one, still
// says where the frame ends).
class TKsFrameCutter {
 public:
  enum class TUnit { Frame, Blank, Skipped };

  // The largest body accepted, with or without content-length (default
  // 64 MiB).
  void SetMaxFrameSize(std::size_t bytes);
  // The rules of the protocol version in use (default 1.0): from 1.1 on, the
  // blanks at the end of a header block are kept (they belong to its last
  // value) and frames are parsed by the version's rules; under 1.2 an empty
  // line that ends in CR LF also ends the block.
  void SetVersion(TKsStompVersion version) { version_ = version; }
  std::size_t GetMaxFrameSize() const { return maxFrameSize_; }
  // The largest header block accepted, counted from the first buffered
  // byte of the frame to its blank line (default 64 KiB).
  void SetMaxHeaderSize(std::size_t bytes) { maxHeaderSize_ = bytes; }
  std::size_t GetMaxHeaderSize() const { return maxHeaderSize_; }
  // Examines the buffered bytes; true when a whole unit is there. Never
  // waits. Raises EKsInvalidContentLength (and then starts over on the next
  // call).
  bool Advance(std::string_view buffered);
  // After Advance answered true: what the unit is.
  TUnit Unit() const { return unit_; }
  bool EmptyUnit() const { return unit_ != TUnit::Frame; }
  // After Advance answered true: moves the frame text into out (cleared for
  // a unit that is not a frame), answers how many bytes to consume, and
  // resets.
  std::size_t Take(std::string_view buffered, std::string& out);
  // The usual case in one step: when buffered starts with a whole frame of
  // the usual form (its header block regular and within the line limit, its
  // body cut at its NUL or by its one content-length, under the maximum frame
  // size), and no unit is under way, puts into parsed what
  // TKsParsedFrame::Parse would make of the text Take would give, its views
  // into buffered, and answers how many bytes to consume. 0 for anything
  // else, which Advance and Take handle. Raises what Advance raises for an
  // unusable content-length.
  std::size_t CutParsed(std::string_view buffered, TKsParsedFrame& parsed);
  // CutParsed inline, for the adapter's way of every frame (only in the
  // adapter's own unit).
  [[gnu::always_inline]] inline std::size_t CutParsedInline(std::string_view buffered, TKsParsedFrame& parsed);
  // After Advance answered false: the bytes (from the first buffered one)
  // that the frame under way takes in all, when its content-length says so;
  // 0 otherwise.
  std::size_t KnownFrameSize() const { return phase_ == TPhase::Body ? bodyStart_ + bodyNeed_ : 0; }
  // After Advance answered true for a unit that is not a frame: the bytes
  // to consume.
  std::size_t Skip();
  // True once for each skipped frame, with what is known of it.
  bool TakeNotice(TKsSkippedFrame& skipped);
  // True when TakeNotice has a notice to give.
  bool NoticePending() const { return noticePending_; }
  void Reset();

 private:
  enum class TPhase { Header, Body, Nul, DiscardHeader, Discard, Ready };
  // The steps of Advance, one per phase; each answers whether a unit is
  // whole (AdvanceHeader: whether the header block is).
  bool AdvanceHeader(std::string_view buffered);
  bool AdvanceBody(std::string_view buffered);
  bool AdvanceToNul(std::string_view buffered);
  // The declared content-length of the header block ending at terminator
  // (0 when none); raises EKsInvalidContentLength for an unusable one.
  std::int64_t DeclaredLength(std::string_view buffered, std::size_t terminator);
  // The value of the first "content-length" line as a length; raises
  // EKsInvalidContentLength for one that is unusable.
  static std::int64_t CheckedLength(const TKsContentLengthScan& scan, std::string_view text);
  // The position of the LF LF that ends the header block, or npos.
  std::size_t FindHeaderEnd(std::string_view buffered);
  // Starts dropping a frame whose body is too large; block is its header
  // block, which names it in the notice.
  void StartDiscard(std::string reason, std::string_view block);
  bool AdvanceDiscard(std::string_view buffered);
  // Dropping a header block over the limit, line by line up to its blank
  // line, keeping the lines that name the frame and its first
  // content-length; then its body, as AdvanceDiscard does.
  void StartHeaderDiscard();
  bool AdvanceHeaderDiscard(std::string_view buffered);
  // One whole line of a header block being dropped (the first: the
  // command).
  void NoteSkippedLine(std::string_view line);

  bool begun_ = false;  // Advance has looked at the buffer since the last Reset
  TPhase phase_ = TPhase::Header;
  TUnit unit_ = TUnit::Frame;
  TKsStompVersion version_ = TKsStompVersion::V1_0;
  std::size_t terminator_ = 2;  // length of the empty line that ended the block
  std::size_t maxFrameSize_ = kDefaultMaxFrameSize;
  std::size_t maxHeaderSize_ = kDefaultMaxHeaderSize;
  std::size_t scanned_ = 0;      // bytes already searched for the current terminator
  bool lengthLine_ = false;      // a line scanned so far starts with "content-length:"
  std::size_t headerBegin_ = 0;  // the trimmed header block
  std::size_t headerLen_ = 0;
  std::size_t bodyStart_ = 0;  // first byte after the header block's LF LF
  std::size_t bodyNeed_ = 0;   // Body: content-length + 2
  std::size_t bodyEnd_ = 0;    // Ready: end of the frame text (exclusive)
  std::size_t consume_ = 0;    // Ready: bytes to consume
  std::size_t discardLeft_ = 0;  // Discard: bytes of the skipped frame still to drop
  bool discardToNul_ = false;    // Discard: drop up to the next NUL instead
  // DiscardHeader: blanks in front of the command are still being skipped;
  // the line so far (its first kNotedLine bytes) and whether it is empty;
  // the block's bytes so far; its first content-length (-1: none usable).
  bool leadingBlanks_ = false;
  std::string line_;
  bool lineEmpty_ = false;
  std::size_t skippedHeaderBytes_ = 0;
  std::int64_t skippedLength_ = -1;
  bool skippedLengthSeen_ = false;
  TKsSkippedFrame notice_;       // the frame being skipped
  bool noticePending_ = false;   // notice_ is complete and not yet taken
  std::string scratch_;          // header block + LF LF for the length scan (reused)
};

// One unit as the adapter hands it over: a frame text, or (held) a frame
// the cutter parsed on its way, its views into the stream's input buffer,
// which holds those bytes until the frame has been dispatched. The text of
// a held frame is left as an earlier unit made it and means nothing.
struct TKsCutFrame {
  std::string text;
  TKsParsedFrame parsed;
  bool held = false;
};

// A kept cut frame drops a text buffer over 1 MiB, as a kept string does.
template <>
struct TKsScratchTrim<TKsCutFrame> {
  static void Apply(TKsCutFrame& frame) { TKsScratchTrim<std::string>::Apply(frame.text); }
};

class TKsStompReadThread : public TKsThread {
 public:
  // Created stopped: nothing runs until Start.
  explicit TKsStompReadThread(TKsCommAdapterIndy* adapter);
  ~TKsStompReadThread() override;

  // True on the reader's own thread.
  bool IsCurrentThread() const;
  // True while the reader is not inside an iteration (before the first, while
  // parked, after the end): the stream is free for synchronous reads.
  bool Idle() const { return !inRun_.load(); }

 protected:
  void Run() override;

 private:
  // Dispatches frame_; a fault of the frame is reported, never raised.
  // Inlined into the reader's loop: it runs for every frame.
  [[gnu::always_inline]] inline void DispatchOne(TKsCommAdapterIndy& adapter);

  TKsCommAdapterIndy* adapter_;  // the owner; outlives the thread
  TKsCutFrame frame_;            // the frame being handed over
  std::function<bool()> cancelled_;  // Terminated(), for DispatchFromReader
  std::atomic<std::thread::id> threadId_{};
  std::atomic<bool> inRun_{false};
};

class TKsCommAdapterIndy : public TKsCommAdapter {
 public:
  TKsCommAdapterIndy();
  ~TKsCommAdapterIndy() override;

  void SetURI(std::shared_ptr<IURI> uri) override;
  std::shared_ptr<IURI> GetURI() const override;
  void Connect() override;
  void Disconnect() override;
  bool Connected() override;
  bool ReaderActive() const override;
  bool OnReaderThread() const override;
  // True when a whole frame is buffered, waiting up to 50 ms for bytes when
  // none is. Header blocks of blanks in front are dropped on the way.
  bool DataAvailable() override;
  // Waits for a whole frame and dispatches it; raises the closed error when
  // the peer has closed the connection and no whole frame is buffered.
  void WaitForFrame() override;
  // Reads one frame on the caller's thread (waits for new bytes each limited
  // by timeout; -2, -1, 0: no limit) and dispatches it. A time-out is logged
  // and raised only when raiseOnTimeout; a peer close with no whole frame
  // buffered is logged and always raised.
  void ReceiveFrame(std::int32_t timeout, bool raiseOnTimeout) override;
  // Dispatches a frame when a whole one is there (after up to 50 ms); returns
  // quietly otherwise, also on a closed connection.
  void PollFrame() override;
  bool DispatchBuffered() override;
  void Start() override;
  void Stop() override;
  void Transmit(const std::string& data, std::int32_t sendTimeout) override;
  // The parts go onto the socket as they lie (TKsTcpClient::WriteParts).
  void TransmitParts(const std::string_view* parts, std::size_t count, std::int32_t sendTimeout) override;
  // Shuts the socket down (TKsTcpClient::Shutdown); Disconnect still closes
  // it. Any thread.
  void ShutdownTransport() override;
  void SetProtocolVersion(TKsStompVersion version) override { cutter_.SetVersion(version); }
  // The heart-beat runs on a thread of its own until Disconnect or the next
  // Connect. When the broker falls silent it reports the connection lost
  // (ReportConnectionLost, on that thread) and shuts the socket down, so
  // that a blocked send or receive on any thread returns at once.
  void StartHeartBeat(const TKsHeartBeatTimes& times) override;
  // The heart-beat's state (Idle when none was started).
  TKsHeartBeat::TState GetHeartBeatState() const { return heartBeat_.GetState(); }
  std::string GetName() const override;
  void Log(const std::string& text) override;

  TIdStompClient* GetClient() const { return client_.get(); }
  TKsStompReadThread* GetReaderThread() const { return readerThread_.get(); }

 protected:
  // Called by Connect before the TCP connection is made: a layer to put
  // between the stream and the socket once connected (opened within the
  // connect time-out), or none. The TCP adapter answers none.
  virtual std::unique_ptr<IKsSocketLayer> MakeSocketLayer();

 private:
  friend class TKsStompReadThread;

  // Cuts a unit that is whole in the input buffer; true when one was
  // consumed (frame.text empty for a header block of blanks). Never waits.
  bool TakeBufferedUnit(TKsCutFrame& frame);
  // The same inline, for the loops that take one frame after another.
  [[gnu::always_inline]] inline bool TakeUnit(TKsCutFrame& frame);
  // TakeBufferedUnit after the first look: the general way (Advance).
  bool TakeAdvanced(std::string_view buffered, TKsCutFrame& frame);
  // Cuts and parses a frame of the usual form that is whole in buffered,
  // holding its bytes in place (TKsFrameCutter::CutParsed); false for any
  // other. kInline: with the cut inline (the first look at the buffer).
  template <bool kInline>
  [[gnu::always_inline]] inline bool TakeParsed(std::string_view buffered, TKsCutFrame& frame);
  // True when a whole frame is buffered; drops header blocks of blanks in
  // front of it. Never waits.
  bool FrameBuffered();
  // Reads one unit, waiting as needed (each wait limited by timeout).
  void ReadUnit(std::int32_t timeout, TKsCutFrame& frame);
  // Hands a frame that was taken to the handler (nothing for blanks).
  [[gnu::always_inline]] inline void DispatchTaken(TKsCutFrame& frame);
  void EndReader();
  void ResetStreamState();
  // Reports a frame the cutter has begun to skip (once per frame).
  void ReportSkippedFrame();
  // Transmit and TransmitParts.
  void WriteFrame(const std::string_view* parts, std::size_t count, std::int32_t sendTimeout);

  // What the heart-beat watches: the client's counters and writes.
  class THeartBeatLink : public IKsHeartBeatLink {
   public:
    explicit THeartBeatLink(TIdStompClient& client) : client_(client) {}
    std::uint64_t BytesReceived() const noexcept override { return client_.BytesReceived(); }
    std::uint64_t BytesSent() const noexcept override { return client_.BytesSent(); }
    std::uint64_t BytesWaiting() noexcept override { return client_.BytesWaiting(); }
    bool TryWriteBeat() noexcept override { return client_.TryWrite("\n"); }

   private:
    TIdStompClient& client_;
  };
  void HeartBeatLost(const std::string& cause);

  std::unique_ptr<TIdStompClient> client_;
  THeartBeatLink heartBeatLink_{*client_};
  TKsHeartBeat heartBeat_{heartBeatLink_, [this](const std::string& cause) { HeartBeatLost(cause); }};
  // The reader threads, replaced by Connect and ended by Disconnect while
  // consumers may start and stop reading on other threads.
  mutable std::mutex readerMutex_;
  std::unique_ptr<TKsStompReadThread> readerThread_;    // guarded by readerMutex_
  std::unique_ptr<TKsStompReadThread> retiredThread_;  // ended from inside its own handler; guarded too
  std::shared_ptr<IURI> uri_;
  std::string invalidPort_;   // a port text that is not 1..65535 (Connect refuses it)
  bool portInvalid_ = false;
  TKsFrameCutter cutter_;
  TKsScratch<TKsCutFrame> received_;  // the frame of a synchronous read
  std::atomic<bool> closeExpected_{false};     // DISCONNECT was sent
};

// Registers TKsCommAdapterIndy in the adapter registry once; later calls do
// nothing. The connection factory calls it before it creates adapters.
void RegisterTcpAdapter();

}  // namespace ks
