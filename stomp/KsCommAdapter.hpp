// KsCommAdapter: TKsCommAdapter, the abstract base of the transport adapters,
// with the settings and events every adapter shares, and the hand-over of
// frames from a reader thread to the application thread when direct dispatch
// is off.
//
// An adapter is an owned component: the protocol client that created it (via
// the adapter registry) owns it through std::unique_ptr and destroys it.
// The adapter owns its SSL options and its logger reference.
//
// Direct dispatch (default: on in console programs): the reader thread calls
// OnDataAvailable itself. Off: the reader queues the call and waits until the
// application thread has run it; the application thread runs queued calls by
// calling CheckSynchronize, typically in its idle loop. A queued call that has
// not begun is dropped when its reader is asked to terminate, so Disconnect
// from the application thread never waits on itself.
//
// Threads: the setters are meant for the owner's thread before Connect; the
// event getters and DoDataAvailable may run on the reader thread. Log may run
// on any thread.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>

#include "stomp/KsCommInterfaces.hpp"
#include "stomp/KsSSLOptions.hpp"
#include "stomp/KsStompTypes.hpp"
#include "support/KsLog.hpp"

namespace ks {


// The largest frame body an adapter accepts unless told otherwise: 64 MiB.
inline constexpr std::size_t kDefaultMaxFrameSize = 64u * 1024u * 1024u;
// The largest header block an adapter accepts unless told otherwise: 64 KiB.
inline constexpr std::size_t kDefaultMaxHeaderSize = 64u * 1024u;

// A frame the transport dropped as it arrived instead of handing it on (its
// header block or its body was over the limit): why, and the headers that
// name it as far as they were seen (empty otherwise).
struct TKsSkippedFrame {
  std::string Reason;  // "Frame body of 5000 bytes exceeds the maximum frame size of 1000 bytes"
  std::string Command;
  std::string MessageId;
  std::string Destination;
  std::string Subscription;
  // The reason, then what was skipped: "; MESSAGE "ID:1" from
  // "jms.queue.q" skipped" for a message with an id, "; frame skipped"
  // otherwise.
  std::string Text() const;
};

// Runs the calls that reader threads queued for the application thread (see
// direct dispatch above). Waits up to timeoutMs (0: no wait) for the first
// one; true when at least one ran. An error raised by a queued call is handed
// back to the reader that queued it, not raised here.
bool CheckSynchronize(std::int32_t timeoutMs = 0);

// How many calls reader threads have queued that CheckSynchronize has not
// begun yet: lets an application (or a test) see that work is waiting.
std::size_t PendingSynchronizeCalls();

class TKsCommAdapter : public IStompCommAdapter {
 public:
  TKsCommAdapter();
  ~TKsCommAdapter() override;
  TKsCommAdapter(const TKsCommAdapter&) = delete;
  TKsCommAdapter& operator=(const TKsCommAdapter&) = delete;

  void SetOnConnect(TKsAdapterNotifyEvent handler) override;
  TKsAdapterNotifyEvent GetOnConnect() const override;
  void SetOnAfterConnect(TKsAdapterNotifyEvent handler) override;
  TKsAdapterNotifyEvent GetOnAfterConnect() const override;
  void SetOnDataAvailable(TKsAdapterDataEvent handler) override;
  TKsAdapterDataEvent GetOnDataAvailable() const override;
  void SetOnFrameParsed(TKsAdapterParsedEvent handler) override;
  void SetFrameReceiver(IStompFrameReceiver* receiver) override;
  void SetConnectTimeout(std::int32_t milliseconds) override;
  std::int32_t GetConnectTimeout() const override;
  // A replaced options object is freed.
  void SetSSLOptions(std::unique_ptr<TKsSSLOptions> options) override;
  TKsSSLOptions* GetSSLOptions() const override;
  bool GetDirectDispatch() const override;
  void SetDirectDispatch(bool value) override;
  bool GetUseConnectTimeout() const override;
  void SetUseConnectTimeout(bool value) override;
  bool SupportsProtocol(const std::string& protocol) const override;
  // No reader thread in the base: Start and Stop do nothing.
  void Start() override;
  void Stop() override;
  // The base answers true.
  bool DataAvailable() override;

  // One Trace message: GetName(), ": ", text.
  virtual void Log(const std::string& text);

  // The largest frame body accepted from the peer; larger frames are read
  // and dropped. Takes effect at the next Connect.
  void SetMaxFrameSize(std::size_t bytes) { maxFrameSize_ = bytes; }
  std::size_t GetMaxFrameSize() const { return maxFrameSize_; }
  // The largest header block accepted from the peer; a frame with a larger
  // one is dropped as it arrives. Takes effect at the next Connect.
  void SetMaxHeaderSize(std::size_t bytes) { maxHeaderSize_ = bytes; }
  std::size_t GetMaxHeaderSize() const { return maxHeaderSize_; }
  // A fault confined to one incoming frame (a skipped oversized frame, a
  // frame the layers above could not handle): written as one ERROR line,
  // GetName(), ": ", text, then handed to the fault handler with
  // connectionLost false. May run on any thread.
  void ReportFrameFault(const std::string& text);
  // A frame dropped for its size: one ERROR line with its Text(), then the
  // skip handler, or without one the fault handler (connectionLost false).
  void ReportFrameSkipped(const TKsSkippedFrame& skipped);
  // The connection is gone (the peer closed it, the socket failed, the
  // broker's heart-beats stopped): one ERROR line, then the fault handler
  // with connectionLost true; once per connection, whoever sees it first.
  void ReportConnectionLost(const std::string& text);
  // The two steps of ReportConnectionLost: true for the one caller that may
  // report the loss of this connection, and that report.
  bool ClaimLossReport() noexcept { return !lossReported_.exchange(true, std::memory_order_acq_rel); }
  void ReportClaimedLoss(const std::string& text);
  // The cause of a loss the adapter found itself (a broker that stopped
  // beating) before the transport errors it brings about reach anyone;
  // empty when there is none. Any thread.
  void NoteLossCause(const std::string& cause);
  std::string GetLossCause() const;
  // Called for every fault above, on the thread that saw it (the reader
  // thread, or the caller of a synchronous read). Set before Connect.
  using TFaultEvent = std::function<void(const std::string& text, bool connectionLost)>;
  void SetOnFault(TFaultEvent handler) { onFault_ = std::move(handler); }
  // Called for every frame dropped for its size, on the thread that read
  // it. Set before Connect.
  using TSkippedEvent = std::function<void(const TKsSkippedFrame& skipped)>;
  void SetOnFrameSkipped(TSkippedEvent handler) { onSkipped_ = std::move(handler); }
  // Ends every read and write of the transport that blocks, at once, from
  // any thread: the socket is shut down (not yet closed), so they fail.
  // The base has no socket: nothing happens.
  virtual void ShutdownTransport() {}

  // True while a reader thread may be reading the stream (started, or still
  // finishing a read after Stop): synchronous reads must then leave it
  // alone. The base has no reader thread.
  virtual bool ReaderActive() const { return false; }
  // False while no reader thread was ever started on this adapter (then
  // ReaderActive is false too): a check without a call.
  bool ReaderEverStarted() const noexcept { return readerStarted_.load(std::memory_order_acquire); }
  // Dispatches a frame that is already whole in the input buffer, without
  // waiting or reading the socket (header blocks of blanks in front are
  // dropped); false when there is none. The rules of the synchronous reads
  // apply. The base has no buffer: false.
  virtual bool DispatchBuffered() { return false; }
  // True on the reader thread itself.
  virtual bool OnReaderThread() const { return false; }
  // The next Disconnect closes the socket without the usual pause: the peer
  // has confirmed the DISCONNECT already, or the link is gone.
  void SkipClosePause() { skipClosePause_ = true; }

  const std::shared_ptr<ILogging>& GetLogger() const { return logger_; }
  // Replaces the logger (for hosts and tests that want their own); set it
  // before Connect.
  void SetLogger(std::shared_ptr<ILogging> logger);

 protected:
  void DoAfterConnect();
  void DoConnect();
  // Hands a frame text to OnDataAvailable on the calling thread (nothing
  // happens without a handler); with parsed, hands that to the frame
  // receiver or OnFrameParsed instead (the text is then unused: only for an
  // adapter that checked WantsParsedFrames).
  void DoDataAvailable(const std::string& frameText, const TKsParsedFrame* parsed = nullptr) {
    if (parsed != nullptr) {
      if (frameReceiver_ != nullptr) {
        frameReceiver_->StompFrameParsed(this, *parsed);
      } else if (onFrameParsed_) {
        onFrameParsed_(this, *parsed);
      }
    } else if (onDataAvailable_) {
      onDataAvailable_(this, frameText);
    }
  }
  // The same, for a reader thread: direct or through the application thread
  // as DirectDispatch says. cancelled is polled while waiting for the
  // application thread; a call dropped that way returns without dispatching.
  void DispatchFromReader(const std::string& frameText, const TKsParsedFrame* parsed,
                          const std::function<bool()>& cancelled) {
    if (directDispatch_) {
      DoDataAvailable(frameText, parsed);
      return;
    }
    DispatchThroughApplication(frameText, parsed, cancelled);
  }
  // DispatchFromReader's way through the application thread.
  void DispatchThroughApplication(const std::string& frameText, const TKsParsedFrame* parsed,
                                  const std::function<bool()>& cancelled);
  // True when a frame receiver or an OnFrameParsed handler is set.
  bool WantsParsedFrames() const { return frameReceiver_ != nullptr || static_cast<bool>(onFrameParsed_); }

  std::int32_t connectTimeout_ = 0;
  bool useConnectTimeout_ = false;
  bool directDispatch_;
  bool skipClosePause_ = false;
  std::atomic<bool> readerStarted_{false};  // a reader thread was started
  std::atomic<bool> lossReported_{false};   // ReportConnectionLost ran since the last Connect
  mutable std::mutex lossMutex_;
  std::string lossCause_;  // see NoteLossCause; guarded by lossMutex_

 private:
  std::size_t maxFrameSize_ = kDefaultMaxFrameSize;
  std::size_t maxHeaderSize_ = kDefaultMaxHeaderSize;
  TFaultEvent onFault_;
  TSkippedEvent onSkipped_;
  std::unique_ptr<TKsSSLOptions> sslOptions_;
  TKsAdapterNotifyEvent onConnect_;
  TKsAdapterNotifyEvent onAfterConnect_;
  TKsAdapterDataEvent onDataAvailable_;
  TKsAdapterParsedEvent onFrameParsed_;
  IStompFrameReceiver* frameReceiver_ = nullptr;  // set instead of onFrameParsed_; not owned
  std::shared_ptr<ILogging> logger_;
};

}  // namespace ks
