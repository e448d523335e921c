// KsStompCustomClient: TKsStompCustomClient, the STOMP client: it turns
// log in, subscribe, unsubscribe, send, acknowledge, transactions and log out
// into frames, transmits them through the adapter, and dispatches the frames
// the adapter delivers by command (CONNECTED, MESSAGE, RECEIPT, ERROR).
//
// Every command builds a new frame; a header whose value is empty is never
// sent. Commands other than CONNECT are refused while not logged in.
//
// Versions (KsStompVersion.hpp): the client speaks 1.0 unless its offer
// names a later version. Then CONNECT also carries "accept-version", "host"
// and "heart-beat", the version in use is the one CONNECTED names (none
// means 1.0; one outside the offer fails the log-in), every later frame is
// written and read by that version's rules (escaped headers, see
// KsHeaderEscape.hpp; a frame with an undefined escape raises
// EKsStompError where it is dispatched), ACK and NACK carry what the version
// needs, and the adapter keeps the agreed heart-beats from the end of
// Connect on (KsHeartBeat.hpp).
//
// Batched sending (off unless SetBatchSend turns it on): SEND frames without
// a receipt request are gathered in a TKsFrameBatch and written together;
// every other frame writes what is gathered first, then itself, so the
// order on the wire is the order of the calls. FlushBatch writes what is
// gathered at once. Off, every frame is written before its command returns.
// An ERROR frame raises EKsStompServerErrorMessage ("message" header, a
// blank, the body) on the thread that read it.
//
// Ownership: owns its adapter (through TKsStompConnection); from Connect on
// the adapter hands parsed frames straight to the client (its frame
// receiver, IStompFrameReceiver).
// Threads: commands run on the caller's thread and may be called from any
// thread; StompDataAvailable and StompFrameParsed run on whichever thread
// the adapter reads in (the reader thread, or the caller of Connect or of a
// synchronous receive), one at a time.
#pragma once

#include <atomic>
#include <cstdint>
#include <cstring>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>

#include "jms/KsJMSInterfaces.hpp"
#include "stomp/KsFrameBatch.hpp"
#include "stomp/KsStompConnection.hpp"
#include "stomp/KsStompFrame.hpp"
#include "stomp/KsStompInterfaces.hpp"
#include "stomp/KsStompTypes.hpp"
#include "support/KsErrors.hpp"
#include "support/KsLogger.hpp"
#include "support/KsScratch.hpp"

namespace ks {


class TKsStompCustomClient;

using TKsStompFrameEvent =
    std::function<void(TKsStompCustomClient* sender, const std::shared_ptr<IStompFrame>& frame)>;

// The frame receiver comes first, so that the adapter's call reaches
// StompFrameParsed without a this-adjusting step.
class TKsStompCustomClient : public IStompFrameReceiver, public TKsStompConnection {
 public:
  TKsStompCustomClient();
  ~TKsStompCustomClient() override;

  // Opens the transport, sends CONNECT and handles the broker's first reply
  // before returning (no time limit). Logged in afterwards only when that
  // reply was CONNECTED. keepBatch keeps the batched SENDs that a
  // suspended link held (SuspendLink), for ResumeLink to write; otherwise
  // a new link starts with an empty batch.
  void Connect(bool keepBatch = false);
  void StompConnect();
  // destination may carry options after "?": name=value items split at "&"
  // and blanks (a quoted item runs to its closing quote), each sent as a
  // header after the fixed ones.
  void Subscribe(const std::string& destination, TKsAckMode ackMode, const std::string& receipt, bool noLocal,
                 const std::string& selector, const std::string& id);
  // The same with "ack" client or auto.
  void Subscribe(const std::string& destination, bool clientAcknowledge, const std::string& receipt,
                 bool noLocal, const std::string& selector, const std::string& id) {
    Subscribe(destination, clientAcknowledge ? TKsAckMode::Client : TKsAckMode::Auto, receipt, noLocal, selector,
              id);
  }
  // durable adds "durable:true": RabbitMQ then removes the subscription
  // with its messages instead of detaching from it.
  void UnsubscribeID(const std::string& id, const std::string& receipt, bool durable = false);
  void UnsubscribeDurable(const std::string& destination, const std::string& subscriptionName);
  // NACK: hands an unacknowledged message back to its queue, to be
  // delivered again (under 1.0 a broker extension of RabbitMQ's). Named as
  // Ack names it.
  void Nack(const TKsAckTarget& target, const std::string& transactionId = std::string());
  void Nack(const std::string& messageId) { Nack(TKsAckTarget{messageId, {}, {}}); }
  // Raise EKsStompInvalidTranscationIdError "Invalid transaction id" for an
  // id that is empty after trimming; the untrimmed id is sent.
  void BeginTrans(const std::string& transactionId, const std::string& receipt);
  void CommitTrans(const std::string& transactionId, const std::string& receipt);
  void AbortTrans(const std::string& transactionId, const std::string& receipt);
  // ACK of the message target names, "transaction" when given: under 1.0
  // "message-id"; under 1.1 "message-id" and "subscription"; under 1.2 "id"
  // with the message's "ack" header (its message id when it had none).
  void Ack(const TKsAckTarget& target, const std::string& transactionId);
  void Ack(const std::string& messageId, const std::string& transactionId) {
    Ack(TKsAckTarget{messageId, {}, {}}, transactionId);
  }
  void Send(const std::string& destination, const std::string& body, std::int32_t sendTimeout,
            const std::string& receipt, bool omitContentLength, const TStompHeaders& extraHeaders);
  // DISCONNECT, with a "receipt" header when receipt is not empty.
  void StompDisconnect(const std::string& receipt = std::string());
  // DISCONNECT (when logged in) and close the transport; does nothing when
  // not logged in.
  void Disconnect() override;
  void Transmit(const IStompFrame& frame, std::int32_t sendTimeout);
  void TransmitWithHeaders(IStompFrame& frame, const TStompHeaders& headers, std::int32_t sendTimeout);

  // The adapter's data handler: parses the frame text and dispatches it.
  void StompDataAvailable(IStompCommAdapter* sender, const std::string& frameText);
  // The adapter's frame receiver, for frames it parsed itself: dispatches
  // it. A class may take the frames it handles itself first and hand the
  // rest to this one.
  void StompFrameParsed(IStompCommAdapter* sender, const TKsParsedFrame& parsed) override;

  bool GetLoggedIn() const;
  std::string GetSession() const;
  // The id of the link: how many CONNECTED frames this client has handled
  // (0 before the first). Any thread.
  std::uint64_t GetLink() const noexcept { return logins_.load(std::memory_order_acquire); }

  // What CONNECT offers (default: 1.0 alone, the frame of STOMP 1.0), the
  // "host" it names, and the heart-beats it asks for (milliseconds between
  // the client's beats and between the broker's, 0 for none) with the grace
  // factor for the broker's (at least 1; see KsHeartBeat.hpp). Set before
  // Connect; only an offer above 1.0 sends "host" and "heart-beat".
  void SetVersionOffer(const TKsVersionOffer& offer) { offer_ = offer; }
  const TKsVersionOffer& GetVersionOffer() const noexcept { return offer_; }
  void SetVirtualHost(const std::string& host) { virtualHost_ = host; }
  const std::string& GetVirtualHost() const noexcept { return virtualHost_; }
  void SetHeartBeat(std::uint32_t sendMs, std::uint32_t receiveMs, double grace);
  // The version in use: what the last CONNECTED named (1.0 before).
  TKsStompVersion GetVersion() const noexcept { return version_.load(std::memory_order_acquire); }
  // The heart-beat intervals agreed with the broker at the last log-in (0:
  // none that way).
  TKsHeartBeatTimes GetHeartBeatTimes() const;

  void SetOnMessage(TKsStompFrameEvent handler);
  void SetOnConnected(TKsStompFrameEvent handler);
  void SetOnError(TKsStompFrameEvent handler);
  void SetOnReceipt(TKsStompFrameEvent handler);
  // Called with the error's text when writing a frame fails at the socket
  // (the frame may be partly written: the connection is no longer usable),
  // on the thread that wrote. The error is raised afterwards: as
  // EConnectionFailedException with the cause given to SetTransportLost
  // when the handler has called it, else as it is.
  void SetOnTransportError(std::function<void(const std::string& text)> handler);
  // The transport is gone for good: every later command (CONNECT aside)
  // raises EConnectionFailedException with cause instead of writing.
  void SetTransportLost(const std::string& cause);
  // The transport is gone until a reconnect: as SetTransportLost, and the
  // batched SENDs not yet written stay held (see Connect's keepBatch).
  // ResumeLink, once logged in again, lets commands through again and
  // writes what the batch held, unless the new link speaks another version
  // than the one the frames were made for (then they are dropped and
  // logged). Any thread.
  void SuspendLink(const std::string& cause);
  void ResumeLink();

  // Turns batched sending on (gathered SENDs are written at the latest
  // delayMs milliseconds after the first of them) or off. Set before
  // Connect, on the owner's thread.
  void SetBatchSend(bool enabled, std::int32_t delayMs = 1);
  bool GetBatchSend() const noexcept { return batch_ != nullptr; }
  // Writes the gathered SENDs now; raises the error of a batch write that
  // failed earlier, or of this one. Does nothing when batching is off.
  void FlushBatch() {
    if (batch_) FlushHeld();
  }
  // Writes the gathered SENDs when write is true (a failure is only
  // reported) or drops them, and ends the batch's timer thread. Called
  // before the transport closes; batching stays on for a later Connect.
  void StopBatch(bool write);
  // The transport is gone: drops the gathered SENDs and answers how many
  // SENDs were gathered and never written (TKsFrameBatch::Abandon); 0 when
  // batching is off.
  std::size_t AbandonBatch() { return batch_ ? batch_->Abandon() : 0; }

 protected:
  // Called for every MESSAGE frame after OnMessage; does nothing here.
  // Without an OnMessage handler the frame object is reused for a later
  // frame after the call returns, unless a shared_ptr to it is still held
  // then (a weak_ptr does not count).
  virtual void StompFrameAvailable(const std::shared_ptr<IStompFrame>& frame);
  // Every MESSAGE frame, parsed into views of the frame text (valid during
  // the call only). Here: a frame object is made from it and handed to
  // OnMessage and StompFrameAvailable. A class that needs no frame object
  // overrides this.
  virtual void MessageAvailable(const TKsParsedFrame& parsed);
  // Logs a parsed frame when debug (tracing is on), then dispatches it by
  // its command. Inlined into its callers: it is on the path of every frame.
  [[gnu::always_inline]] inline void FrameAvailable(const TKsParsedFrame& parsed, bool debug);
  // FrameAvailable for a frame whose header block holds escapes: dispatched
  // once they are resolved (the copy holds none).
  void EscapedFrameAvailable(const TKsParsedFrame& parsed, bool debug);
  bool HasOnMessage() const { return static_cast<bool>(onMessage_); }
  // Why a MESSAGE frame may not take a class's shortest way (see
  // TKsJMSClient::StompFrameParsed): one bit per reason, kept current by
  // whatever sets or clears the reason; 0 when there is none.
  // kDetourOnMessage: an OnMessage handler is set. Bits from kDetourOwn on
  // are the derived class's own (SetDetour).
  static constexpr std::uint32_t kDetourOnMessage = 1;
  static constexpr std::uint32_t kDetourOwn = 2;
  // The reader thread reads the word while a setter may change it: a bit
  // is published after what it points the reader to (a handler, a
  // callback) is in place.
  std::uint32_t Detours() const noexcept { return detours_.load(std::memory_order_acquire); }
  void SetDetour(std::uint32_t bit, bool on) noexcept {
    if (on) {
      detours_.fetch_or(bit, std::memory_order_release);
    } else {
      detours_.fetch_and(~bit, std::memory_order_release);
    }
  }
  const char* ClassName() const override;

  // Send with the extra headers given as views (no copies of the caller's
  // strings); the same frame and checks as Send. The send path of the
  // messaging layer uses it. extrasDistinct: the extra headers follow the
  // header rule among themselves already (one entry per folded name, no
  // empty value), as a TKsHeaderViewList's do. The body is not copied on
  // its way out beyond what the socket needs: a small one joins the header
  // image, a large one is written from where it lies, and a batched one
  // goes straight into the batch.
  void SendViews(std::string_view destination, std::string_view body, std::int32_t sendTimeout,
                 std::string_view receipt, bool omitContentLength, const TKsHeaderView* extraHeaders,
                 std::size_t extraCount, bool extrasDistinct = false);
  // Bodies up to this size are copied behind the header image and written
  // with it; larger ones go to the transport as a part of their own.
  static constexpr std::size_t kJoinedBody = 4096;
  // True when a body of that size joins its header image (no batch, and
  // small enough); the image then has room reserved for it.
  bool JoinsBody(std::size_t size) const noexcept { return !batch_ && size <= kJoinedBody; }
  // SendViews for extra headers that are the library's own names, each
  // once, none of them destination, receipt or content-length (the fields
  // of a message without properties), without tracing: the header image is
  // written straight from them. False, with nothing sent, when a value
  // holds a byte that would break the frame or need escaping: SendViews
  // then writes the frame by the general rules (or raises).
  bool SendDistinct(std::string_view destination, std::string_view body, std::int32_t sendTimeout,
                    std::string_view receipt, bool omitContentLength, const TKsDistinctHeaders& extras);
  // The head (command line through the empty line) SendDistinct writes for
  // a SEND without receipt and content-length under version, into out;
  // false, with out empty, when SendDistinct would answer false.
  static bool MakeDistinctHead(std::string& out, std::string_view destination, const TKsDistinctHeaders& extras,
                               TKsStompVersion version);
  // SendDistinct for a SEND without receipt and content-length whose head
  // (MakeDistinctHead's, for the version in use) is written already: the
  // same bytes, the same checks and errors once the head is known. In
  // place, so that the usual batched send makes no call of its own.
  void SendHead(std::string_view head, std::string_view body, std::int32_t sendTimeout) {
    IStompCommAdapter& adapter = RequireLoggedIn("SEND");
    const std::size_t size = head.size() + body.size() + 2;
    if (batch_ && size < TKsFrameBatch::kCapacity) [[likely]] {
      // SendDistinct's way: straight into the batch, in one pass.
      try {
        batch_->AddInPlace(size, sendTimeout, [&](char* p) {
          std::memcpy(p, head.data(), head.size());
          PutBodyAndEnd(p + head.size(), body);
        });
      } catch (const EKsSocketError& e) {
        RaiseWriteFailure(e);
      }
      return;
    }
    SendHeadUnbatched(adapter, head, body, sendTimeout);
  }
  // True when the logger's debug level is on (trace lines are formatted
  // only then). Asks the logger only once a debug threshold was ever set
  // (TKsDebugWatch): the client's logger is always one the factory made.
  bool DebugEnabled() const { return TKsDebugWatch::Possible() && LoggerDebugEnabled(); }
  // The same, as asked once for the frame being dispatched on this call
  // path (asked now outside a dispatch).
  bool FrameDebugEnabled() const { return frameDebug_ >= 0 ? frameDebug_ != 0 : DebugEnabled(); }

 private:
  // The logger's own answer for DebugEnabled.
  bool LoggerDebugEnabled() const;
  // A trace line with this class's own prefix "TKsStompCustomClient: ".
  void LogOwn(const std::string& text);
  // The frame as one trace line: command, then " name=value," per header
  // without the last ",".
  void LogFrame(const IStompFrame& frame);
  void LogFrame(std::string_view command, const TKsHeaderView* headers, std::size_t count);
  void CheckTransaction(const std::string& transactionId);
  void TransactionCommand(const char* command, const char* label, const std::string& transactionId,
                          const std::string& receipt);
  IStompCommAdapter& RequireAdapter() const;
  // The adapter of a logged-in client whose transport is usable; raises
  // EConnectionFailedException after SetTransportLost and
  // EKsStompClientNotConnectedError "Not connected! Command: COMMAND".
  IStompCommAdapter& RequireLoggedIn(std::string_view command) const {
    IStompCommAdapter* adapter = GetAdapter();
    if (transportLost_.load(std::memory_order_acquire) || !loggedIn_.load(std::memory_order_acquire) ||
        adapter == nullptr) [[unlikely]] {
      return RequireLoggedInSlow(command);
    }
    return *adapter;
  }
  // RequireLoggedIn's checks one by one, raising the first that fails.
  IStompCommAdapter& RequireLoggedInSlow(std::string_view command) const;
  // Writes body and the frame's NUL LF at p (room for body.size() + 2).
  static void PutBodyAndEnd(char* p, std::string_view body) noexcept {
    if (!body.empty()) std::memcpy(p, body.data(), body.size());
    p[body.size()] = '\0';
    p[body.size() + 1] = '\n';
  }
  // SendHead past the batch (none, or a frame too large for it).
  void SendHeadUnbatched(IStompCommAdapter& adapter, std::string_view head, std::string_view body,
                         std::int32_t sendTimeout);
  // FlushBatch with batching on.
  void FlushHeld();
  // Inside the handler of a socket error while writing: tells the
  // transport-error handler, then raises as SetOnTransportError says.
  [[noreturn]] void RaiseWriteFailure(const EKsSocketError& error);
  // EConnectionFailedException after SetTransportLost.
  void CheckTransportUsable() const;
  // adapter.Transmit (through the batch when batching is on: gathered when
  // gather is true, else written with what is gathered; past it when
  // pastBatch is true), telling the transport-error handler about a
  // failure.
  void TransmitBytes(IStompCommAdapter& adapter, const std::string& bytes, std::int32_t sendTimeout,
                     bool gather = false, bool pastBatch = false);
  // The SEND of SendViews once its header list is known (first's entries,
  // then second's): traced, its head written, and transmitted.
  void WriteSend(const TKsHeaderView* first, std::size_t firstCount, const TKsHeaderView* second,
                 std::size_t secondCount, std::string_view body, std::int32_t sendTimeout, bool gather);
  // TransmitBytes for a SEND given as its head (command line and header
  // block, reserved room for a small body behind it), body and NUL LF.
  void TransmitFrame(IStompCommAdapter& adapter, std::string& head, std::string_view body, std::int32_t sendTimeout,
                     bool gather);

  // The merged SEND header list (when one is needed) and the frame image,
  // reused from command to command (a concurrent command uses fresh ones).
  TKsScratch<TKsHeaderViewList> sendHeaders_;
  TKsScratch<std::string> image_;
  mutable std::mutex sessionMutex_;  // guards session_ (written by the reader thread)
  TKsStompFrameEvent onMessage_;
  std::atomic<std::uint32_t> detours_{0};  // see Detours; set by the owner, read by the thread that reads
  TKsStompFrameEvent onConnected_;
  TKsStompFrameEvent onError_;
  TKsStompFrameEvent onReceipt_;
  std::function<void(const std::string& text)> onTransportError_;
  std::atomic<bool> transportLost_{false};
  std::string transportLostCause_;  // guarded by sessionMutex_
  std::atomic<bool> loggedIn_{false};
  std::atomic<std::uint64_t> logins_{0};
  std::string session_;
  TKsStompVersion suspendedVersion_ = TKsStompVersion::V1_0;  // of the frames a suspended batch holds
  // RECEIPT, CONNECTED, ERROR and unknown commands.
  void OtherFrameAvailable(const std::shared_ptr<IStompFrame>& frame);
  // CONNECTED: the version and heart-beats it names.
  void Negotiated(const IStompFrame& connected);
  // The version a frame with this command is written in (CONNECT: 1.0).
  TKsStompVersion WireVersion(std::string_view command) const noexcept {
    return command == "CONNECT" ? TKsStompVersion::V1_0 : GetVersion();
  }

  TKsVersionOffer offer_;
  std::string virtualHost_;
  std::uint32_t beatSend_ = 0;     // the client's beats, asked for in CONNECT
  std::uint32_t beatReceive_ = 0;  // the broker's beats, asked for in CONNECT
  double beatGrace_ = 2.5;
  std::atomic<TKsStompVersion> version_{TKsStompVersion::V1_0};
  TKsHeartBeatTimes agreedBeats_;  // guarded by sessionMutex_
  // A frame whose escapes were resolved (see FrameAvailable).
  TKsScratch<TKsParsedFrame> unescaped_;

  // The views of the frame being handled (its header list keeps its
  // capacity from one frame to the next).
  TKsScratch<TKsParsedFrame> parsed_;
  // DebugEnabled as the frame being dispatched found it: 0 or 1, -1
  // outside a dispatch. Used by the thread that reads (one at a time).
  std::int8_t frameDebug_ = -1;
  // The frame object filled for an OnMessage handler; kept for the next
  // MESSAGE only when nobody else holds it after the dispatch.
  TKsScratch<std::shared_ptr<TKsStompFrame>> spareFrame_;
  // The write buffer of batched sending; none when it is off.
  std::unique_ptr<TKsFrameBatch> batch_;
};

}  // namespace ks
