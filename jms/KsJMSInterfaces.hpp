// KsJMSInterfaces: the public interfaces, value types and error classes of
// the messaging layer (connection factory, connection, session, producer,
// consumer, messages, destinations, property map, and the small role
// interfaces shared by them).
//
// Interfaces are abstract classes used through std::shared_ptr; an empty
// pointer stands for "none". Interfaces that extend another inherit it
// virtually, so one class can implement several of them. Type queries are
// std::dynamic_pointer_cast; IntfCast below raises EIntfCastError instead of
// answering none.
//
// Text is UTF-8 in std::string; byte strings are std::string holding raw
// bytes. Date-time values are TDateTime (days since 1899-12-30, 0 = not set).
//
// Durations are milliseconds everywhere (time-outs, time to live).
//
// Threads: each interface says which threads may call it. Errors are values
// and may cross threads.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "../support/KsDateTime.hpp"
#include "../support/KsErrors.hpp"
#include "../support/KsException.hpp"
#include "../support/KsExport.hpp"

namespace ks {

// ---- Errors ---------------------------------------------------------------

// The messaging layer's errors; the kinds below derive from it.
class KS_API EJMSException : public Exception {
 public:
  using Exception::Exception;
};

// "The JMS connection has failed due to a Transport problem", followed by
// ": " and the cause when a cause is given. GetCause answers the cause
// alone.
class KS_API EConnectionFailedException : public EJMSException {
 public:
  // The error with cause (none: the text alone).
  explicit EConnectionFailedException(const std::string& cause = std::string())
      : EJMSException(cause.empty() ? std::string("The JMS connection has failed due to a Transport problem")
                                    : "The JMS connection has failed due to a Transport problem: " + cause),
        cause_(cause) {}
  // The cause alone, without the fixed text in front (empty when none).
  const std::string& GetCause() const noexcept { return cause_; }

 private:
  std::string cause_;
};

// Raised by Commit when the transaction cannot be committed because the
// connection was interrupted while it was open (it was lost on the broker
// and is rolled back); the session goes on with a new transaction and the
// application repeats the work. When the text says "in doubt", the COMMIT
// was sent but its confirmation never came: the broker may have committed.
class KS_API ETransactionRolledBackException : public EJMSException {
 public:
  using EJMSException::EJMSException;
};

// An operation on a closed object ("The session is closed", "The producer
// is closed", "The consumer is closed", "The connection is closed") or one
// that the object's state does not allow.
class KS_API EIllegalStateException : public EJMSException {
 public:
  using EJMSException::EJMSException;
};

// CreateObjectMessage on a session without a message transformer.
class KS_API ENoMessageTransformer : public EJMSException {
 public:
  using EJMSException::EJMSException;
};

// What the broker of the chosen dialect cannot do, or a send or consumer
// without a destination.
class KS_API EUnsupportedOperationException : public EJMSException {
 public:
  using EJMSException::EJMSException;
};

// A broker URL, or one of its parameters, that cannot be used.
class KS_API EIllegalArgumentException : public EJMSException {
 public:
  using EJMSException::EJMSException;
};

// A factory without a broker URL ("BrokerURL not set.").
class KS_API EConfigurationException : public EJMSException {
 public:
  using EJMSException::EJMSException;
};

// A message that arrived but could not be handed on (its frame was over the
// connection's size limits) and was dropped; told to the exception
// listener. The broker still holds it when its consumer acknowledges by
// client (or is transacted): no later Acknowledge or Commit that would
// acknowledge it as well goes through.
class KS_API EMessageSkippedException : public EJMSException {
 public:
  // text says why and which; messageId and destination as the frame named
  // them (empty when it did not).
  EMessageSkippedException(const std::string& text, std::string messageId, std::string destination)
      : EJMSException(text), messageId_(std::move(messageId)), destination_(std::move(destination)) {}
  // The skipped message's "message-id"; empty when the frame had none.
  const std::string& GetMessageID() const noexcept { return messageId_; }
  // The skipped message's "destination" as the broker wrote it; empty when
  // the frame had none.
  const std::string& GetDestination() const noexcept { return destination_; }

 private:
  std::string messageId_;
  std::string destination_;
};

// ---- Casts ----------------------------------------------------------------

// Interface query that must succeed: raises EIntfCastError
// ("Interface not supported") when `from` is none or lacks the interface.
template <class I, class T>
std::shared_ptr<I> IntfCast(const std::shared_ptr<T>& from) {
  auto result = std::dynamic_pointer_cast<I>(from);
  if (!result) throw EIntfCastError();
  return result;
}

// ---- Value types ----------------------------------------------------------

// Whether the broker keeps a message across its own restart (Persistent,
// sent as "persistent:true").
enum class TDeliveryMode : std::uint8_t { NonPersistent = 0, Persistent = 1 };

// The kind of a destination.
enum class TDestinationType : std::uint8_t { Topic = 0, Queue = 2 };

// Acknowledge modes of a session (CreateSession). CLIENT_ACKNOWLEDGE: the
// application acknowledges each message with IMessage::Acknowledge.
// SESSION_TRANSACTED: sends and consumption belong to the current
// transaction until Commit or Rollback. AUTO_ACKNOWLEDGE: the broker counts
// a message as consumed once it delivered it.
inline constexpr std::uint8_t CLIENT_ACKNOWLEDGE = 0;
// Transacted (see CreateSession).
inline constexpr std::uint8_t SESSION_TRANSACTED = 1;
// Acknowledged by the broker on delivery.
inline constexpr std::uint8_t AUTO_ACKNOWLEDGE = 3;
// Acknowledge on a message acknowledges that message alone ("ack:
// client-individual"); needs a connection that speaks STOMP 1.1 or later
// (its consumers are refused on a 1.0 connection).
inline constexpr std::uint8_t INDIVIDUAL_ACKNOWLEDGE = 4;

// A list of texts (property names).
using TStringArray = std::vector<std::string>;

class IConnection;
class ISession;
class IMessage;
class IMessageProducer;
class IMessageConsumer;
class TKsConsumerID;

// ---- Destinations ---------------------------------------------------------

// A queue or a topic. Destinations are values made by a session (or taken
// from a received message); they hold no broker resource. Threads: any, once
// made.
class KS_API IDestination {
 public:
  virtual ~IDestination() = default;
  // Queue or Topic.
  virtual TDestinationType GetDestinationType() const = 0;
  // Stores a kind; queues and topics keep answering their own.
  virtual void SetDestinationType(TDestinationType value) = 0;
};

// A queue: each message goes to one of its consumers.
class KS_API IQueue : public virtual IDestination {
 public:
  // The name as given to CreateQueue (without "jms.queue." or "/queue/"); a
  // temporary queue's generated name.
  virtual std::string GetQueueName() const = 0;
};

// A topic: each message goes to every subscriber.
class KS_API ITopic : public virtual IDestination {
 public:
  // The name as given to CreateTopic (without the wire prefix).
  virtual std::string GetTopicName() const = 0;
};

// ---- Property map ---------------------------------------------------------

// Every property is stored as text; names compare without regard to ASCII
// letter case. Missing or unconvertible values read as "", false or 0.
// Threads: one at a time.
class KS_API IPrimitiveMap {
 public:
  virtual ~IPrimitiveMap() = default;
  // Removes every entry.
  virtual void Clear() = 0;
  // The names, in the order they were first set.
  virtual TStringArray GetNames() const = 0;
  // True when the value is "true".
  virtual bool GetBoolean(const std::string& name) const = 0;
  // Stores "true" or "false".
  virtual void SetBoolean(const std::string& name, bool value) = 0;
  // The value as a decimal number; 0 when it is not one.
  virtual std::int32_t GetInteger(const std::string& name) const = 0;
  // Stores the decimal text.
  virtual void SetInteger(const std::string& name, std::int32_t value) = 0;
  // The text; empty when the entry is missing.
  virtual std::string GetString(const std::string& name) const = 0;
  // An empty value removes the entry.
  virtual void SetString(const std::string& name, const std::string& value) = 0;
};

// ---- Messages -------------------------------------------------------------

// A message: header fields (the JMS... accessors), properties (sent as
// headers of their own) and, in the derived interfaces, a body. The session
// makes them (CreateTextMessage, ...); received ones come from Receive or a
// listener. Setters and getters never raise, except SetJMSPriority; getters
// answer "", 0, false or none for what is not set. A send copies the message,
// so it can be changed and sent again at once.
// Threads: one thread at a time per message.
class KS_API IMessage {
 public:
  virtual ~IMessage() = default;
  // The broker's "message-id" of a received message; the broker gives every
  // message it takes an id of its own.
  virtual void SetJMSMessageID(const std::string& value) = 0;
  // The message id; empty for a message not received.
  virtual std::string GetJMSMessageID() const = 0;
  // Where the message was sent to (after Send), or where it came from.
  virtual std::shared_ptr<IDestination> GetJMSDestination() const = 0;
  // Where the receiver should send its answer ("reply-to"); a received
  // reply-to keeps the broker's exact name, so an answer reaches it.
  virtual void SetJMSReplyTo(const std::shared_ptr<IDestination>& value) = 0;
  // The reply-to destination; none when there is none.
  virtual std::shared_ptr<IDestination> GetJMSReplyTo() const = 0;
  // 0 (lowest) to 9; 4 by default. Raises Exception "JMS_MAX_PRIORITY" above
  // 9 (the priority is unchanged). A producer's send stamps its own
  // priority.
  virtual void SetJMSPriority(std::int32_t value) = 0;
  // The priority (0 to 9).
  virtual std::int32_t GetJMSPriority() const = 0;
  // A producer's send stamps its own delivery mode.
  virtual void SetJMSDeliveryMode(TDeliveryMode value) = 0;
  // The delivery mode.
  virtual TDeliveryMode GetJMSDeliveryMode() const = 0;
  // True on a received message that the broker delivered before
  // ("redelivered").
  virtual void SetJMSRedelivered(bool value) = 0;
  // Whether the broker delivered the message before.
  virtual bool GetJMSRedelivered() const = 0;
  // When the message expires (UTC date-time; 0: never). A send stamps it
  // from the time to live.
  virtual void SetJMSExpiration(TDateTime value) = 0;
  // The expiration (UTC date-time; 0: never).
  virtual TDateTime GetJMSExpiration() const = 0;
  // Free text that links a reply to its request ("correlation-id").
  virtual void SetJMSCorrelationID(const std::string& value) = 0;
  // The correlation id.
  virtual std::string GetJMSCorrelationID() const = 0;
  // Free text naming the kind of message ("type").
  virtual std::string GetJMSType() const = 0;
  // Sets the message's type text.
  virtual void SetJMSType(const std::string& value) = 0;
  // The application's properties (sent as headers). A name that STOMP or the
  // broker reserves ("destination", "activemq.*", ...) makes the send raise
  // EKsReservedProperty "NAME is a reserved property name". Values are stored
  // as text; the typed getters convert (0 or false when they cannot).
  virtual TStringArray GetPropertyNames() const = 0;
  // True when the property's text is "true".
  virtual bool GetBooleanProperty(const std::string& name) const = 0;
  // Sets the property to "true" or "false".
  virtual void SetBooleanProperty(const std::string& name, bool value) = 0;
  // The property as a decimal number; 0 when it is not one.
  virtual std::int32_t GetIntProperty(const std::string& name) const = 0;
  // Sets the property to the decimal text.
  virtual void SetIntProperty(const std::string& name, std::int32_t value) = 0;
  // The property's text; empty when it is missing. A received message also
  // answers the broker's headers here ("subscription", "destination", ...).
  virtual std::string GetStringProperty(const std::string& name) const = 0;
  // Sets the property; an empty value removes it.
  virtual void SetStringProperty(const std::string& name, const std::string& value) = 0;
  // When the message was sent (UTC date-time; a send stamps it).
  virtual void SetJMSTimestamp(TDateTime value) = 0;
  // The time stamp (UTC date-time; 0: not set).
  virtual TDateTime GetJMSTimestamp() const = 0;
  // Tells the broker that this received message is consumed: one ACK (no
  // transaction), named as the connection's protocol version needs. Used in
  // CLIENT_ACKNOWLEDGE and INDIVIDUAL_ACKNOWLEDGE sessions; call it on the
  // thread that received the message. Raises EIllegalStateException "The
  // message has no connection" for a message not received, "The connection
  // is closed" when its connection is gone, EConnectionFailedException once
  // the connection is lost, and the transport's errors.
  virtual void Acknowledge() = 0;
};

// A message whose body is UTF-8 text, sent without "content-length" (a NUL
// would end it on the way: send such bodies as a bytes message).
class KS_API ITextMessage : public virtual IMessage {
 public:
  // The body, byte for byte.
  virtual void SetText(const std::string& value) = 0;
  // The body.
  virtual std::string GetText() const = 0;
};

// A message whose body is raw bytes (sent with "content-length", so any
// byte, NUL included, arrives).
class KS_API IBytesMessage : public virtual IMessage {
 public:
  // The body, byte for byte.
  virtual void SetContent(const std::string& value) = 0;
  // The body.
  virtual std::string GetContent() const = 0;
};

// A message that carries an application object, converted by the session's
// message transformer. Deliberately not derived from IBytesMessage: an
// object message answers only to IMessage and IObjectMessage.
class KS_API IObjectMessage : public virtual IMessage {
 public:
  // The object's text form, as the transformer made it.
  virtual void SetContent(const std::string& value) = 0;
  // The object's text form.
  virtual std::string GetContent() const = 0;
  // A plain, uncounted reference; the application keeps the object alive.
  // The application's object (see GetObject).
  virtual void SetObject(void* value) = 0;
  // A plain, uncounted reference; the application keeps the object alive.
  virtual void* GetObject() const = 0;
};

// ---- Callbacks and hooks --------------------------------------------------

// Implemented by the application and given to
// IMessageConsumer::SetMessageListener. OnMessage runs on the connection's
// reader thread, one message at a time, in arrival order; it may send,
// commit, acknowledge and close consumers. An error it raises is reported
// to the exception listener and delivery goes on.
class KS_API IMessageListener {
 public:
  virtual ~IMessageListener() = default;
  // Handles one message (on the reader thread).
  virtual void OnMessage(const std::shared_ptr<IMessage>& message) = 0;
};

// Optional hook (IMessageTransformerHost): each operation may return a
// replacement message, or none to keep the given one. ConsumerTransform
// runs on the thread that delivers the message, ProducerTransform on the
// sending thread.
class KS_API IMessageTransformer {
 public:
  virtual ~IMessageTransformer() = default;
  // A replacement for a message that consumer is about to deliver, or none
  // to keep it.
  virtual std::shared_ptr<IMessage> ConsumerTransform(ISession* session, IMessageConsumer* consumer,
                                                      const std::shared_ptr<IMessage>& message) = 0;
  // A replacement for a message that producer is about to send, or none to
  // keep it.
  virtual std::shared_ptr<IMessage> ProducerTransform(ISession* session, IMessageProducer* producer,
                                                      const std::shared_ptr<IMessage>& message) = 0;
};

// Offered by a transformer that names its transformation (sent as the
// "transformation" header of object messages).
class KS_API ITransformationName {
 public:
  virtual ~ITransformationName() = default;
  // The name sent as "transformation".
  virtual std::string GetTransformationName() const = 0;
};

// Offered by the connection (query it with dynamic_pointer_cast): the
// transformer that sessions created afterwards use. Set it before Start;
// setting it on a started connection raises Exception "Connection started
// already!".
class KS_API IMessageTransformerHost {
 public:
  virtual ~IMessageTransformerHost() = default;
  // The transformer; none by default.
  virtual std::shared_ptr<IMessageTransformer> GetMessageTransformer() const = 0;
  // Sets it (before Start).
  virtual void SetMessageTransformer(const std::shared_ptr<IMessageTransformer>& value) = 0;
};

// ---- Role interfaces ------------------------------------------------------

// Role interfaces of the library's own objects: the connection starts and
// stops its sessions and consumers through them. Applications use
// IConnection::Start and Stop.
class KS_API IStartable {
 public:
  virtual ~IStartable() = default;
  // Starts (the library calls it).
  virtual void Start() = 0;
};

// See IStartable.
class KS_API IStoppable {
 public:
  virtual ~IStoppable() = default;
  // Stops (the library calls it).
  virtual void Stop() = 0;
};

// Detach from the owner's list; nothing is sent to the broker.
class KS_API IDisposable {
 public:
  virtual ~IDisposable() = default;
  // Leaves the owner's list.
  virtual void Dispose() = 0;
};

// Hands an incoming message on; the connection calls it for its sessions.
class KS_API IMessageDispatch {
 public:
  virtual ~IMessageDispatch() = default;
  // Hands message on to the consumer whose subscription it belongs to.
  virtual void Dispatch(const std::shared_ptr<IMessage>& message) = 0;
};

// The consumer's subscription id (the "id" of its SUBSCRIBE); the object
// stays owned by the consumer.
class KS_API IConsumerIdentity {
 public:
  virtual ~IConsumerIdentity() = default;
  // The id object.
  virtual const TKsConsumerID& GetConsumerID() const = 0;
};

// ---- Producer and consumer ------------------------------------------------

// Sends messages to its destination, or to one given with each send when
// it has none (CreateProducer(nullptr): an unbound producer). Every send
// stamps the message's delivery mode, priority, time stamp and expiration
// from the producer's settings (or the send's arguments).
// Raises, besides what each operation names: EIllegalStateException "The
// producer is closed" once closed (also when its session closed).
// Threads: any number of threads may send through the producers of one
// session; the session writes one message at a time.
class KS_API IMessageProducer {
 public:
  virtual ~IMessageProducer() = default;
  // NonPersistent (the default) or Persistent.
  virtual void SetDeliveryMode(TDeliveryMode value) = 0;
  // 0 to 9 (default 4); Exception "IllegalStateException(\"default priority
  // must be a value between 0 and 9\")" otherwise.
  virtual void SetPriority(std::int32_t value) = 0;
  // How long a sent message lives, in milliseconds; 0 (the default): for
  // ever.
  virtual void SetTimeToLive(std::uint32_t milliseconds) = 0;
  // The producer's settings (EIllegalStateException once it is closed).
  virtual TDeliveryMode GetDeliveryMode() const = 0;
  // The priority (0 to 9).
  virtual std::int32_t GetPriority() const = 0;
  // The time to live in milliseconds (0: for ever).
  virtual std::uint32_t GetTimeToLive() const = 0;
  // Leaves the session; nothing is sent. Later calls do nothing.
  virtual void Close() = 0;
  // Sends to the producer's destination; EUnsupportedOperationException "A
  // destination must be specified." for an unbound producer. A send copies
  // the message (the caller's object is not changed) and writes it before it
  // returns: with the URL parameter syncSend=true it also waits for the
  // broker's receipt; with batchSend=true it may be gathered and written a
  // little later (errors then reach the exception listener and the next
  // call). Raises "Unknown Message type" for a message that is neither text,
  // bytes nor object, EKsReservedProperty for a reserved property name,
  // EConnectionFailedException once the connection is lost, and the
  // transport's errors. In a transacted session the message is part of the
  // current transaction.
  virtual void Send(const std::shared_ptr<IMessage>& message) = 0;
  // Sends to destination (also with a producer that has one of its own);
  // none raises EUnsupportedOperationException.
  virtual void Send(const std::shared_ptr<IDestination>& destination, const std::shared_ptr<IMessage>& message) = 0;
  // As Send(message), with this delivery mode, priority (0 to 9) and time to
  // live (milliseconds; 0: for ever) instead of the producer's.
  virtual void Send(const std::shared_ptr<IMessage>& message, TDeliveryMode deliveryMode, std::uint8_t priority,
                    std::uint32_t timeToLive) = 0;
  // As Send(destination, message), with these settings.
  virtual void Send(const std::shared_ptr<IDestination>& destination, const std::shared_ptr<IMessage>& message,
                    TDeliveryMode deliveryMode, std::uint8_t priority, std::uint32_t timeToLive) = 0;
};

// One subscription of a session to a destination. Messages arrive either
// through Receive on the application's thread or, once a listener is set,
// through the listener on the connection's reader thread; not both on one
// session. Raises, besides what each operation names:
// EIllegalStateException "The consumer is closed" once closed, and "The
// session is closed" when its session (or connection) is gone.
// Threads: Receive on any application thread (several consumers of one
// connection may receive at once); Close on the thread that receives, or
// in its listener.
class KS_API IMessageConsumer {
 public:
  virtual ~IMessageConsumer() = default;
  // The listener; none by default.
  virtual std::shared_ptr<IMessageListener> GetMessageListener() const = 0;
  // Sets (or, with none, removes) the listener and, on a started
  // connection, starts the reader thread that calls it. May be set while
  // messages arrive.
  virtual void SetMessageListener(const std::shared_ptr<IMessageListener>& listener) = 0;
  // The selector given to CreateConsumer (sent as "selector"; the broker
  // evaluates it).
  virtual std::string GetMessageSelector() const = 0;
  // The next message of this consumer, waiting without limit. Messages of
  // other consumers of the connection read on the way are kept for them.
  // Raises EIllegalStateException "Cannot synchronously receive a message
  // when a MessageListener is set" when a consumer of the session has a
  // listener, EConnectionFailedException once the connection is lost, and
  // the transport's error when the broker closed the connection.
  virtual std::shared_ptr<IMessage> Receive() = 0;
  // As Receive(), waiting at most timeout milliseconds; none when nothing
  // came in time. 0 or less: without limit.
  virtual std::shared_ptr<IMessage> Receive(std::int32_t timeout) = 0;
  // As Receive(), taking only what has arrived already; none otherwise.
  virtual std::shared_ptr<IMessage> ReceiveNoWait() = 0;
  // Ends the subscription (UNSUBSCRIBE; a durable subscription stays on the
  // broker) and drops the messages held for it. Transport errors reach the
  // caller; the consumer is closed all the same.
  virtual void Close() = 0;
  // Hands message to the listener; called by the library on the reader
  // thread.
  virtual void Dispatch(const std::shared_ptr<IMessage>& message) = 0;
};

// A durable subscriber (ISession::CreateDurableSubscriber).
class KS_API ITopicSubscriber : public virtual IMessageConsumer {
 public:
  // Whether the connection's own messages are held back (always false for a
  // durable subscriber).
  virtual bool GetNoLocal() const = 0;
  // Raises EIntfCastError when the destination is not a topic.
  virtual std::shared_ptr<ITopic> GetTopic() const = 0;
};

// ---- Session, connection, factory -----------------------------------------

// The unit of work inside a connection: it makes destinations, messages,
// producers and consumers, holds the acknowledge mode and, when transacted,
// the current transaction. Every operation except GetAcknowledgeMode,
// GetTransacted and Close raises EIllegalStateException "The session is
// closed" once the session is closed (or its connection is gone).
// Threads: a session belongs to one thread at a time (the application
// thread that uses it, or a listener of its consumers on the reader
// thread); its producers' sends are serialised by the session.
class KS_API ISession {
 public:
  virtual ~ISession() = default;
  // Rolls a transacted session back, then closes it: its consumers and
  // producers are closed without a frame (no UNSUBSCRIBE; the broker ends
  // the subscriptions with the connection or a later one). A session whose
  // connection was never started, or is stopped, is left as it is. Errors of
  // the transport reach the caller.
  virtual void Close() = 0;
  // Ends the current transaction: what it sent is delivered and what it
  // consumed is gone; then the next transaction begins. Waits for the
  // broker's receipt (the URL's receiptTimeout, 10 000 ms by default).
  // Raises EJMSException "Session is not transacted", "The broker did not
  // confirm COMMIT within N ms", and EConnectionFailedException once the
  // connection is lost.
  virtual void Commit() = 0;
  // A new empty message of each kind, bound to this connection.
  virtual std::shared_ptr<IBytesMessage> CreateBytesMessage() = 0;
  // A consumer of destination: subscribes at once (SUBSCRIBE with a new id;
  // "ack:client" in CLIENT_ACKNOWLEDGE and transacted sessions,
  // "ack:client-individual" in INDIVIDUAL_ACKNOWLEDGE ones, which need a
  // connection that speaks STOMP 1.1 or later: EUnsupportedOperationException
  // otherwise). None raises EUnsupportedOperationException "A destination
  // must be specified."; transport errors reach the caller.
  virtual std::shared_ptr<IMessageConsumer> CreateConsumer(const std::shared_ptr<IDestination>& destination) = 0;
  // With a selector that the broker evaluates ("selector"; empty: none) and,
  // in the three-argument form, noLocal: the connection's own messages are
  // held back ("activemq.noLocal"; the rabbitmq dialect raises
  // EUnsupportedOperationException).
  virtual std::shared_ptr<IMessageConsumer> CreateConsumer(const std::shared_ptr<IDestination>& destination,
                                                           const std::string& messageSelector) = 0;
  // The same with noLocal.
  virtual std::shared_ptr<IMessageConsumer> CreateConsumer(const std::shared_ptr<IDestination>& destination,
                                                           const std::string& messageSelector, bool noLocal) = 0;
  // A durable subscription named name to topic: the broker keeps its
  // messages while no subscriber is connected, until Unsubscribe. The
  // connection needs a client id set explicitly (IConnection::SetClientID
  // before Start, or the factory's SetClientID) equal to name: otherwise
  // EJMSException "You cannot create a durable subscriber without specifying
  // a unique clientID on a Connection" or "You must specify the same
  // clientId on the connection and subcriptionName on the subscribe".
  virtual std::shared_ptr<ITopicSubscriber> CreateDurableSubscriber(const std::shared_ptr<ITopic>& topic,
                                                                    const std::string& name) = 0;
  // A message without a body (it cannot be sent: "Unknown Message type").
  virtual std::shared_ptr<IMessage> CreateMessage() = 0;
  // A producer for destination, or with none an unbound producer that takes
  // the destination with each Send (as a service answers each request's
  // reply-to). Nothing is sent to the broker.
  virtual std::shared_ptr<IMessageProducer> CreateProducer(const std::shared_ptr<IDestination>& destination) = 0;
  // The queue named name ("jms.queue.NAME", or "/queue/NAME" with the
  // activemq and rabbitmq dialects). No broker call is made.
  virtual std::shared_ptr<IQueue> CreateQueue(const std::string& name) = 0;
  // A queue that lives as long as this connection, for replies: a
  // "/temp-queue/" name of its own under the activemq and rabbitmq dialects
  // (create its consumer before sending the request that names it as
  // reply-to). Under the jms dialect EJMSException "Feature not supported".
  virtual std::shared_ptr<IQueue> CreateTemporaryQueue() = 0;
  // A "/temp-topic/" topic that lives as long as this connection, under the
  // activemq dialect; EUnsupportedOperationException under rabbitmq (the
  // broker has none) and EJMSException "Feature not supported" under jms.
  virtual std::shared_ptr<ITopic> CreateTemporaryTopic() = 0;
  // Needs a message transformer: ENoMessageTransformer "Session has no
  // message transformer" otherwise. The second form stores object in it.
  virtual std::shared_ptr<IObjectMessage> CreateObjectMessage() = 0;
  // An object message holding object (needs a transformer, as above).
  virtual std::shared_ptr<IObjectMessage> CreateObjectMessage(void* object) = 0;
  // A text message, empty or with text.
  virtual std::shared_ptr<ITextMessage> CreateTextMessage() = 0;
  // A text message with text.
  virtual std::shared_ptr<ITextMessage> CreateTextMessage(const std::string& text) = 0;
  // The topic named name ("jms.topic.NAME", or "/topic/NAME" with the
  // activemq and rabbitmq dialects). No broker call is made.
  virtual std::shared_ptr<ITopic> CreateTopic(const std::string& name) = 0;
  // The acknowledge mode (SESSION_TRANSACTED for a transacted session).
  virtual std::uint8_t GetAcknowledgeMode() const = 0;
  // Whether the session is transacted.
  virtual bool GetTransacted() const = 0;
  // Ends the current transaction without effect: what it sent is dropped
  // and what it consumed is delivered again (marked redelivered); then the
  // next transaction begins. Waits for the broker's receipt; raises as
  // Commit ("... ABORT ...").
  virtual void Rollback() = 0;
  // Removes the durable subscription subscriptionName for good, with what
  // it kept. destinationName is the topic's name on the wire
  // ("jms.topic.NAME", or "/topic/NAME" with the activemq and rabbitmq
  // dialects); close the subscriber first. Under rabbitmq it waits for the
  // broker's receipt: EJMSException "The broker did not confirm UNSUBSCRIBE
  // within N ms" otherwise.
  virtual void Unsubscribe(const std::string& destinationName, const std::string& subscriptionName) = 0;
};

// Told about failures that no call of the application would see: the loss
// of the connection (then the error is an EConnectionFailedException, once
// per connection; on a connection made from a failover URI only when
// failover gives up, or a broker refuses the log-in of a reconnect), a
// close the broker did not confirm, and the faults of
// single incoming frames (an ERROR frame, a frame that cannot be converted,
// a listener that threw, an oversized frame that was skipped). Implemented
// by the application; see IConnection::SetExceptionListener for the thread
// it is called on. It must not raise (what it raises is dropped).
class KS_API IExceptionListener {
 public:
  virtual ~IExceptionListener() = default;
  // Told about error (see above).
  virtual void OnException(const Exception& error) = 0;
};

// Told when a connection made from a failover URI loses its link to the
// broker (OnInterrupted, with the cause as an EConnectionFailedException)
// and when it has logged in again and restored its subscriptions
// (OnResumed, with the address of the broker, as the failover URI names
// it). Both run on the connection's failover thread, never on the reader
// thread of the link that was lost; a send, receive or commit from inside
// OnInterrupted raises instead of waiting for the link. Implemented by the
// application; it must not raise (what it raises is dropped).
class KS_API ITransportListener {
 public:
  virtual ~ITransportListener() = default;
  // The link is lost; cause says why. Calls made meanwhile wait for the
  // link (see the connection's reconnectTimeout).
  virtual void OnInterrupted(const Exception& cause) = 0;
  // The link is back, to brokerUri, with every subscription restored.
  virtual void OnResumed(const std::string& brokerUri) = 0;
};

// One link to one broker: one socket, and a reader thread once a consumer
// has a listener. Made by a connection factory; nothing touches the
// network until Start. A connection made from a failover URI keeps its
// link up across broker restarts and to the next broker of its list (see
// ITransportListener).
// Threads: Start, Stop, Close, SetClientID and CreateSession belong to the
// application thread that owns the connection; its sessions may then be
// used on other threads (see ISession).
class KS_API IConnection {
 public:
  virtual ~IConnection() = default;
  // The client id ("client-id" of CONNECT); empty when none was set.
  virtual std::string GetClientID() const = 0;
  // Sets the client id, once, before Start; durable subscribers need it.
  // Raises EIllegalStateException "The ClientID has already been set" (also
  // when the factory set one) and Exception "Connection is closed".
  virtual void SetClientID(const std::string& clientId) = 0;
  // Connects and logs in (the first time, or again after a failed attempt),
  // then starts the sessions: transacted ones begin their transaction and
  // listeners get messages. The connect and the wait for the broker's
  // answer are bounded by the connect time-out (URL parameter
  // connectTimeout, 30 000 ms by default). Raises EConnectionFailedException
  // with the cause (refused, time-out, TLS trouble, the broker's ERROR), and
  // Exception "Connection is closed" after Close.
  virtual void Start() = 0;
  // Pauses delivery to listeners (the reader thread stops); Start resumes.
  virtual void Stop() = 0;
  // Stops, sends DISCONNECT and waits for its receipt (the URL's
  // receiptTimeout), then closes the socket. Never raises: a close the broker
  // did not confirm is told to the exception listener. Any number of calls.
  // Afterwards the sessions' sends and receives fail with a "not connected"
  // error of the protocol layer or the transport, and once the connection
  // object is gone its sessions, producers and consumers raise
  // EIllegalStateException.
  virtual void Close() = 0;
  // A new session: transacted (the mode is then SESSION_TRANSACTED, whatever
  // acknowledgeMode says), or with acknowledgeMode (CLIENT_ACKNOWLEDGE,
  // INDIVIDUAL_ACKNOWLEDGE or AUTO_ACKNOWLEDGE). On a started connection it
  // starts at once.
  virtual std::shared_ptr<ISession> CreateSession(bool transacted, std::uint8_t acknowledgeMode) = 0;
  // The listener is called on the connection's reader thread for what that
  // thread sees, and otherwise on the application thread that saw the
  // failure (a receive, a send, Close); when failover gives up, on the
  // failover thread. It may be set at any time; none removes it.
  virtual std::shared_ptr<IExceptionListener> GetExceptionListener() const = 0;
  // Sets or (with none) removes the listener.
  virtual void SetExceptionListener(const std::shared_ptr<IExceptionListener>& listener) = 0;
  // The STOMP version the broker chose at the last successful Start: "1.0",
  // "1.1" or "1.2"; empty before one (and after Close).
  virtual std::string GetProtocolVersion() const = 0;
  // The transport listener (none when not set).
  virtual std::shared_ptr<ITransportListener> GetTransportListener() const = 0;
  // Told about interruptions and resumptions of a connection made from a
  // failover URI (see ITransportListener); never called otherwise. It may
  // be set at any time; none removes it.
  virtual void SetTransportListener(const std::shared_ptr<ITransportListener>& listener) = 0;
};

// Makes connections (TKsJMSConnectionFactory).
class KS_API IConnectionFactory {
 public:
  virtual ~IConnectionFactory() = default;
  // A new, unstarted connection with the factory's user name and password.
  virtual std::shared_ptr<IConnection> CreateConnection() = 0;
  // A new, unstarted connection with this user name and password ("login"
  // and "passcode" of CONNECT).
  virtual std::shared_ptr<IConnection> CreateConnection(const std::string& userName, const std::string& password) = 0;
};

}  // namespace ks
