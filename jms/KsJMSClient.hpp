// KsJMSClient: TKsJMSClient, the protocol connection of the messaging layer.
// It names destinations on the wire ("jms.queue." / "jms.topic." + name, or
// the forms of another dialect, see KsDialect.hpp; or the exact name a
// destination was received under),
// turns an outgoing message into the headers and body of a SEND frame, turns
// every incoming MESSAGE frame into a text message handed to the connection
// that made itself the dispatch target (or else to the message callback),
// and offers the three synchronous receive steps that consumers use.
//
// Ownership: owned by its TKsJMSConnection (one client per connection); owns
// its transport adapter, made from the adapter registry at construction. The
// owning connection and the dispatch target are uncounted back-references:
// the connection outlives its client, or removes itself first.
// Threads: Send runs on the caller's thread (sessions serialise their
// sends); StompFrameAvailable and the message callback run on the thread that
// read the frame. A synchronous receive and asynchronous delivery on the same
// connection at the same time are not supported.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>

#include "jms/KsDialect.hpp"
#include "stomp/KsStompCustomClient.hpp"
#include "support/KsDateTime.hpp"
#include "support/KsScratch.hpp"
#include "support/KsText.hpp"

namespace ks {

class IDestination;
class IMessage;
class TKsJMSConnection;
class TKsJMSMessage;
class TKsSendHead;

// What a session stamps on a message it sends, over the message's own
// fields: delivery mode, priority, time stamp, expiration and the
// transaction. The message itself is never changed.
struct TKsSendStamp {
  TDeliveryMode deliveryMode = TDeliveryMode::NonPersistent;
  std::int32_t priority = 4;
  TDateTime timestamp = 0.0;   // 0: not taken (only an expiration needs it)
  TDateTime expiration = 0.0;  // 0: none
  std::string_view transaction;
  // The message's own values of these fields.
  static TKsSendStamp Of(const TKsJMSMessage& message);
};

class TKsJMSClient;
// Called with each message received (handed over: the client keeps no
// reference) and the value of its frame's "subscription" header (nullptr
// when the frame had none); the view lasts for the call.
using TKsMessageCallback = std::function<void(TKsJMSClient* client, std::shared_ptr<IMessage>&& message,
                                              const std::string_view* subscription)>;

class TKsJMSClient : public TKsStompCustomClient {
 public:
  // Raises EKsNoCommAdapterInstalled "No communication adapter registered"
  // when the adapter registry is empty.
  TKsJMSClient();
  ~TKsJMSClient() override;

  // Wire name of a destination in the given dialect; empty text for none.
  // A destination received under a name of its own keeps that name in every
  // dialect. Plain error "GetDestinationName" for a destination of another
  // kind.
  static std::string GetDestinationName(const std::shared_ptr<IDestination>& destination,
                                        TKsDialect dialect = TKsDialect::Jms);
  // A new topic or queue from a wire name. "jms.queue." and "jms.topic."
  // names become plain queues and topics; any other text ("/queue/X",
  // "/topic/X", "/temp-queue/X", "/reply-queue/X", "/exchange/X/Y",
  // "/amq/queue/X", a bare name) becomes a destination whose wire name is
  // exactly that text (topics for "/topic/", "/temp-topic/" and
  // "/exchange/", queues otherwise).
  static std::shared_ptr<IDestination> CreateDestinationFromStompName(const std::string& name);
  // True when the broker makes the subscription itself: RabbitMQ subscribes
  // a connection to its temporary queue ("/temp-queue/NAME") when it first
  // names it as reply-to, with automatic acknowledgement, under the id
  // "/temp-queue/NAME". name is a destination's wire name or a
  // subscription id. Such a subscription is never subscribed, unsubscribed
  // or acknowledged by the library.
  static bool BrokerMadeSubscription(TKsDialect dialect, std::string_view name);
  // EKsReservedProperty "%s is a reserved property name".
  static void CheckReservedPropertyName(const std::string& name);

  // Wire times: milliseconds since 1970 in whole seconds (ties to even), and
  // back (truncating to whole seconds).
  static std::int64_t DateTimeToWire(TDateTime value);
  static constexpr TDateTime WireToDateTime(std::int64_t millis) {
    // In place: every received message reads one or two wire times.
    return static_cast<double>(millis / 1000) / 86400.0 + kUnixEpochDateTime;
  }
  // A wire time as its header's text: a run of nine to sixteen digits is
  // read in place, any other text by the integer rule (0 when it does not
  // convert, and for no text).
  [[gnu::always_inline]] static TDateTime WireTextToDateTime(std::string_view text) {
    std::int64_t millis = 0;
    if (!TryNineToSixteenDigits(text, millis) && !text.empty()) millis = StrToInt64Def(text, 0);
    return WireToDateTime(millis);
  }

  // Fills the headers and body of an empty frame from a message: the
  // message's part of the SEND that Send writes (fields, transaction,
  // properties, transformation; no destination, receipt or content-length).
  // EJMSException "Unsupported JMS Message Type" for a message without a
  // body class.
  void MessageToFrame(const TKsJMSMessage& message, IStompFrame& frame) const;
  // Copies the headers of a MESSAGE frame into a message (CopyFrameHeaders
  // is its last step).
  void FrameToMessage(const IStompFrame& frame, IMessage& message) const;
  void CopyFrameHeaders(const IStompFrame& frame, IMessage& message) const;
  // receipt, when not empty, is sent as the SEND's "receipt" header. Raises
  // as MessageToFrame for a message without a body class, before writing.
  // The fields stamp names are taken from stamp, not from the message; the
  // body goes to the transport from the message, without a copy of its own.
  void Send(const TKsJMSMessage& message, const TKsSendStamp& stamp, std::string_view destinationName,
            std::int32_t sendTimeout, std::string_view receipt = std::string_view());
  void Send(const TKsJMSMessage& message, const std::string& destinationName, std::int32_t sendTimeout,
            std::string_view receipt = std::string_view()) {
    Send(message, TKsSendStamp::Of(message), destinationName, sendTimeout, receipt);
  }
  // Send of a producer's usual message (see TKsSendHead: an own text message
  // without fields or properties) with a stamp at its defaults (not
  // persistent, priority 4, no expiration, no transaction) and no receipt,
  // its head written already: the same frame as Send's. False, with
  // nothing sent, when the message is not such a one, tracing is on, or
  // head has no image for the version in use: Send then.
  bool SendUsual(const TKsSendHead& head, const IMessage& message, std::int32_t sendTimeout);
  // The head image of such a send to destination under version (into out;
  // empty when there is none): the bytes Send writes for it.
  static void MakeUsualHead(std::string& out, std::string_view destination, TKsStompVersion version);

  // How destinations and broker extensions are written (TKsDialect). Set
  // once, before the connection is used.
  void SetDialect(TKsDialect dialect) { dialect_ = dialect; }
  TKsDialect GetDialect() const { return dialect_; }

  // Every message received goes to callback from now on (an empty one:
  // nowhere; a message then fails an assertion). Replaces the dispatch
  // target.
  void SetMessageCallback(TKsMessageCallback callback);
  // Every message received goes to connection->Dispatch from now on, called
  // directly; nullptr as an empty callback. Replaces the message callback.
  void SetDispatchTarget(TKsJMSConnection* connection);
  void SetOwningConnection(TKsJMSConnection* connection);
  TKsJMSConnection* GetOwningConnection() const;

  // Read exactly one frame on the calling thread and return the message it
  // produced, or none (time-out, a frame that is not a MESSAGE).
  std::shared_ptr<IMessage> Receive();
  std::shared_ptr<IMessage> Receive(std::int32_t timeout);
  std::shared_ptr<IMessage> ReceiveNoWait();

  void Log(const std::string& text) override;
  // A MESSAGE without escapes, with no detour (Detours: an OnMessage
  // handler, a message callback instead of a dispatch target, a Receive of
  // this client's own under way) and without tracing, goes from the adapter
  // straight to DeliverMessage; every other frame the general way.
  void StompFrameParsed(IStompCommAdapter* sender, const TKsParsedFrame& parsed) override;

 protected:
  // Builds the message straight from the parsed views (through a frame
  // object only when an OnMessage handler wants one).
  void MessageAvailable(const TKsParsedFrame& parsed) override;
  void StompFrameAvailable(const std::shared_ptr<IStompFrame>& frame) override;
  const char* ClassName() const override;

 private:
  // The incoming path of every MESSAGE: a new text message from the
  // frame's header list and body, handed to the Receive of this client
  // that reads and to the dispatch target (or the message callback).
  // debug: tracing is on for this frame. Plain: the caller found no detour
  // and no tracing, so that nothing but the dispatch target is asked for.
  template <bool Plain>
  [[gnu::always_inline]] inline void DeliverMessage(const TKsHeaderView* headers, std::size_t count,
                                                   std::string_view body, bool debug);
  // The client's own detours (see Detours): a message callback (or none)
  // instead of a dispatch target, and a Receive of this client under way.
  static constexpr std::uint32_t kDetourCallback = kDetourOwn;
  static constexpr std::uint32_t kDetourReceiving = kDetourOwn << 1;

  // The message's part of a SEND, as BuildSend writes it: header views into
  // the message and into this object's own texts, and the body.
  struct TSendParts {
    TKsHeaderViewList headers;
    char expires[24];
    char priority[24];
    std::string replyTo;
    std::string transformation;
    std::string_view body;
    bool isBytes = false;
  };
  // Send by the general rules: every field, property and body class, traced
  // when debug is true.
  void SendWritten(const TKsJMSMessage& message, const TKsSendStamp& stamp, std::string_view destinationName,
                   std::int32_t sendTimeout, std::string_view receipt, bool debug);
  // The one SEND builder, for Send and MessageToFrame: the body, then
  // WriteHeaders into parts.headers.
  void BuildSend(const TKsJMSMessage& message, const TKsSendStamp& stamp, TSendParts& parts) const;
  // The header fields and the transaction, "content-type" from 1.1 on,
  // the properties, then "transformation" for an object message, each
  // through headers.Set(name, value) (a TKsHeaderViewList, or a
  // TKsDistinctHeaders for a message without properties).
  template <class Headers>
  void WriteHeaders(const TKsJMSMessage& message, const TKsSendStamp& stamp, bool isObject, TSendParts& parts,
                    Headers& headers) const;
  // "content-type" from 1.1 on, for a body that is not an object.
  template <class Headers>
  void WriteContentType(bool isObject, bool isBytes, Headers& headers) const {
    WriteContentTypeFor(GetVersion(), isObject, isBytes, headers);
  }
  template <class Headers>
  static void WriteContentTypeFor(TKsStompVersion version, bool isObject, bool isBytes, Headers& headers);
  // True when WriteFields and WriteProperties write nothing for the
  // message under stamp.
  [[gnu::always_inline]] static bool HasOnlyDefaults(const TKsJMSMessage& message,
                                                     const TKsSendStamp& stamp) noexcept;
  // The message's part of HasOnlyDefaults: no field set, no property.
  [[gnu::always_inline]] static bool HasNoFields(const TKsJMSMessage& message) noexcept;
  template <class Headers>
  void WriteFields(const TKsJMSMessage& message, const TKsSendStamp& stamp, TSendParts& parts,
                   Headers& headers) const;
  // Properties as headers; a reserved name raises EKsReservedProperty,
  // except that a received message's broker headers are left out.
  template <class Headers>
  static void WriteProperties(const TKsJMSMessage& message, Headers& headers);

  // Reads one frame in the way given and answers the message it produced.
  enum class TReadWay { Wait, UpToTimeout, Poll };
  std::shared_ptr<IMessage> ReadMessage(TReadWay way, std::int32_t timeout);

  // While Receive reads: where the message delivered goes (nothing is kept
  // otherwise).
  std::shared_ptr<IMessage>* receiveSlot_ = nullptr;
  TKsMessageCallback messageCallback_;
  TKsJMSConnection* dispatchTarget_ = nullptr;  // see SetDispatchTarget
  TKsJMSConnection* owningConnection_ = nullptr;  // the connection owns this client
  TKsDialect dialect_ = TKsDialect::Jms;
  TKsScratch<TSendParts> sendParts_;
};

}  // namespace ks
