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
// Threads: see each implementing unit. Errors are values and may cross
// threads.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "../support/KsDateTime.hpp"
#include "../support/KsErrors.hpp"
#include "../support/KsException.hpp"

namespace ks {

// ---- Errors ---------------------------------------------------------------

class EJMSException : public Exception {
 public:
  using Exception::Exception;
};

// "The JMS connection has failed due to a Transport problem", followed by
// ": " and the cause when a cause is given. GetCause answers the cause
// alone.
class EConnectionFailedException : public EJMSException {
 public:
  explicit EConnectionFailedException(const std::string& cause = std::string())
      : EJMSException(cause.empty() ? std::string("The JMS connection has failed due to a Transport problem")
                                    : "The JMS connection has failed due to a Transport problem: " + cause),
        cause_(cause) {}
  const std::string& GetCause() const noexcept { return cause_; }

 private:
  std::string cause_;
};

// Raised by Commit when the transaction cannot be committed because the
// connection was interrupted while it was open (it was lost on the broker
// and is rolled back); the session goes on with a new transaction and the
// application repeats the work. When the text says "in doubt", the COMMIT
// was sent but its confirmation never came: the broker may have committed.
class ETransactionRolledBackException : public EJMSException {
 public:
  using EJMSException::EJMSException;
};

class EIllegalStateException : public EJMSException {
 public:
  using EJMSException::EJMSException;
};

class ENoMessageTransformer : public EJMSException {
 public:
  using EJMSException::EJMSException;
};

class EUnsupportedOperationException : public EJMSException {
 public:
  using EJMSException::EJMSException;
};

class EIllegalArgumentException : public EJMSException {
 public:
  using EJMSException::EJMSException;
};

class EConfigurationException : public EJMSException {
 public:
  using EJMSException::EJMSException;
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

enum class TDeliveryMode : std::uint8_t { NonPersistent = 0, Persistent = 1 };

enum class TDestinationType : std::uint8_t { Topic = 0, Queue = 2 };

// Acknowledge modes of a session.
inline constexpr std::uint8_t CLIENT_ACKNOWLEDGE = 0;
inline constexpr std::uint8_t SESSION_TRANSACTED = 1;
inline constexpr std::uint8_t AUTO_ACKNOWLEDGE = 3;
// Acknowledge on a message acknowledges that message alone ("ack:
// client-individual"); needs a connection that speaks STOMP 1.1 or later
// (its consumers are refused on a 1.0 connection).
inline constexpr std::uint8_t INDIVIDUAL_ACKNOWLEDGE = 4;

using TStringArray = std::vector<std::string>;

class IConnection;
class ISession;
class IMessage;
class IMessageProducer;
class IMessageConsumer;
class TKsConsumerID;

// ---- Destinations ---------------------------------------------------------

class IDestination {
 public:
  virtual ~IDestination() = default;
  virtual TDestinationType GetDestinationType() const = 0;
  virtual void SetDestinationType(TDestinationType value) = 0;
};

class IQueue : public virtual IDestination {
 public:
  virtual std::string GetQueueName() const = 0;
};

class ITopic : public virtual IDestination {
 public:
  virtual std::string GetTopicName() const = 0;
};

// ---- Property map ---------------------------------------------------------

// Every property is stored as text; names compare without regard to ASCII
// letter case. Missing or unconvertible values read as "", false or 0.
class IPrimitiveMap {
 public:
  virtual ~IPrimitiveMap() = default;
  virtual void Clear() = 0;
  virtual TStringArray GetNames() const = 0;
  virtual bool GetBoolean(const std::string& name) const = 0;
  virtual void SetBoolean(const std::string& name, bool value) = 0;
  virtual std::int32_t GetInteger(const std::string& name) const = 0;
  virtual void SetInteger(const std::string& name, std::int32_t value) = 0;
  virtual std::string GetString(const std::string& name) const = 0;
  // An empty value removes the entry.
  virtual void SetString(const std::string& name, const std::string& value) = 0;
};

// ---- Messages -------------------------------------------------------------

class IMessage {
 public:
  virtual ~IMessage() = default;
  virtual void SetJMSMessageID(const std::string& value) = 0;
  virtual std::string GetJMSMessageID() const = 0;
  virtual std::shared_ptr<IDestination> GetJMSDestination() const = 0;
  virtual void SetJMSReplyTo(const std::shared_ptr<IDestination>& value) = 0;
  virtual std::shared_ptr<IDestination> GetJMSReplyTo() const = 0;
  // Raises Exception "JMS_MAX_PRIORITY" above 9 (the priority is unchanged).
  virtual void SetJMSPriority(std::int32_t value) = 0;
  virtual std::int32_t GetJMSPriority() const = 0;
  virtual void SetJMSDeliveryMode(TDeliveryMode value) = 0;
  virtual TDeliveryMode GetJMSDeliveryMode() const = 0;
  virtual void SetJMSRedelivered(bool value) = 0;
  virtual bool GetJMSRedelivered() const = 0;
  virtual void SetJMSExpiration(TDateTime value) = 0;
  virtual TDateTime GetJMSExpiration() const = 0;
  virtual void SetJMSCorrelationID(const std::string& value) = 0;
  virtual std::string GetJMSCorrelationID() const = 0;
  virtual std::string GetJMSType() const = 0;
  virtual void SetJMSType(const std::string& value) = 0;
  virtual TStringArray GetPropertyNames() const = 0;
  virtual bool GetBooleanProperty(const std::string& name) const = 0;
  virtual void SetBooleanProperty(const std::string& name, bool value) = 0;
  virtual std::int32_t GetIntProperty(const std::string& name) const = 0;
  virtual void SetIntProperty(const std::string& name, std::int32_t value) = 0;
  virtual std::string GetStringProperty(const std::string& name) const = 0;
  virtual void SetStringProperty(const std::string& name, const std::string& value) = 0;
  virtual void SetJMSTimestamp(TDateTime value) = 0;
  virtual TDateTime GetJMSTimestamp() const = 0;
  // Writes one ACK for this message (no transaction) through the message's
  // connection, named as the connection's protocol version needs; raises
  // what the protocol layer raises.
  virtual void Acknowledge() = 0;
};

class ITextMessage : public virtual IMessage {
 public:
  virtual void SetText(const std::string& value) = 0;
  virtual std::string GetText() const = 0;
};

class IBytesMessage : public virtual IMessage {
 public:
  virtual void SetContent(const std::string& value) = 0;
  virtual std::string GetContent() const = 0;
};

// Deliberately not derived from IBytesMessage: an object message answers
// only to IMessage and IObjectMessage.
class IObjectMessage : public virtual IMessage {
 public:
  virtual void SetContent(const std::string& value) = 0;
  virtual std::string GetContent() const = 0;
  // A plain, uncounted reference; the application keeps the object alive.
  virtual void SetObject(void* value) = 0;
  virtual void* GetObject() const = 0;
};

// ---- Callbacks and hooks --------------------------------------------------

// Implemented by the application; called on the thread that read the frame.
class IMessageListener {
 public:
  virtual ~IMessageListener() = default;
  virtual void OnMessage(const std::shared_ptr<IMessage>& message) = 0;
};

// Optional hook: each operation may return a replacement message, or none to
// keep the given one.
class IMessageTransformer {
 public:
  virtual ~IMessageTransformer() = default;
  virtual std::shared_ptr<IMessage> ConsumerTransform(ISession* session, IMessageConsumer* consumer,
                                                      const std::shared_ptr<IMessage>& message) = 0;
  virtual std::shared_ptr<IMessage> ProducerTransform(ISession* session, IMessageProducer* producer,
                                                      const std::shared_ptr<IMessage>& message) = 0;
};

// Offered by a transformer that names its transformation (sent as the
// "transformation" header of object messages).
class ITransformationName {
 public:
  virtual ~ITransformationName() = default;
  virtual std::string GetTransformationName() const = 0;
};

class IMessageTransformerHost {
 public:
  virtual ~IMessageTransformerHost() = default;
  virtual std::shared_ptr<IMessageTransformer> GetMessageTransformer() const = 0;
  virtual void SetMessageTransformer(const std::shared_ptr<IMessageTransformer>& value) = 0;
};

// ---- Role interfaces ------------------------------------------------------

class IStartable {
 public:
  virtual ~IStartable() = default;
  virtual void Start() = 0;
};

class IStoppable {
 public:
  virtual ~IStoppable() = default;
  virtual void Stop() = 0;
};

// Detach from the owner's list.
class IDisposable {
 public:
  virtual ~IDisposable() = default;
  virtual void Dispose() = 0;
};

class IMessageDispatch {
 public:
  virtual ~IMessageDispatch() = default;
  virtual void Dispatch(const std::shared_ptr<IMessage>& message) = 0;
};

// The consumer's subscription id; the object stays owned by the consumer.
class IConsumerIdentity {
 public:
  virtual ~IConsumerIdentity() = default;
  virtual const TKsConsumerID& GetConsumerID() const = 0;
};

// ---- Producer and consumer ------------------------------------------------

class IMessageProducer {
 public:
  virtual ~IMessageProducer() = default;
  virtual void SetDeliveryMode(TDeliveryMode value) = 0;
  virtual void SetPriority(std::int32_t value) = 0;
  virtual void SetTimeToLive(std::uint32_t milliseconds) = 0;
  virtual TDeliveryMode GetDeliveryMode() const = 0;
  virtual std::int32_t GetPriority() const = 0;
  virtual std::uint32_t GetTimeToLive() const = 0;
  virtual void Close() = 0;
  virtual void Send(const std::shared_ptr<IMessage>& message) = 0;
  virtual void Send(const std::shared_ptr<IDestination>& destination, const std::shared_ptr<IMessage>& message) = 0;
  virtual void Send(const std::shared_ptr<IMessage>& message, TDeliveryMode deliveryMode, std::uint8_t priority,
                    std::uint32_t timeToLive) = 0;
  virtual void Send(const std::shared_ptr<IDestination>& destination, const std::shared_ptr<IMessage>& message,
                    TDeliveryMode deliveryMode, std::uint8_t priority, std::uint32_t timeToLive) = 0;
};

class IMessageConsumer {
 public:
  virtual ~IMessageConsumer() = default;
  virtual std::shared_ptr<IMessageListener> GetMessageListener() const = 0;
  virtual void SetMessageListener(const std::shared_ptr<IMessageListener>& listener) = 0;
  virtual std::string GetMessageSelector() const = 0;
  // Each reads exactly one frame and answers the message it produced, or
  // none (time-out, a frame that is not a MESSAGE).
  virtual std::shared_ptr<IMessage> Receive() = 0;
  virtual std::shared_ptr<IMessage> Receive(std::int32_t timeout) = 0;
  virtual std::shared_ptr<IMessage> ReceiveNoWait() = 0;
  virtual void Close() = 0;
  virtual void Dispatch(const std::shared_ptr<IMessage>& message) = 0;
};

class ITopicSubscriber : public virtual IMessageConsumer {
 public:
  virtual bool GetNoLocal() const = 0;
  // Raises EIntfCastError when the destination is not a topic.
  virtual std::shared_ptr<ITopic> GetTopic() const = 0;
};

// ---- Session, connection, factory -----------------------------------------

class ISession {
 public:
  virtual ~ISession() = default;
  virtual void Close() = 0;
  virtual void Commit() = 0;
  virtual std::shared_ptr<IBytesMessage> CreateBytesMessage() = 0;
  virtual std::shared_ptr<IMessageConsumer> CreateConsumer(const std::shared_ptr<IDestination>& destination) = 0;
  virtual std::shared_ptr<IMessageConsumer> CreateConsumer(const std::shared_ptr<IDestination>& destination,
                                                           const std::string& messageSelector) = 0;
  virtual std::shared_ptr<IMessageConsumer> CreateConsumer(const std::shared_ptr<IDestination>& destination,
                                                           const std::string& messageSelector, bool noLocal) = 0;
  virtual std::shared_ptr<ITopicSubscriber> CreateDurableSubscriber(const std::shared_ptr<ITopic>& topic,
                                                                    const std::string& name) = 0;
  virtual std::shared_ptr<IMessage> CreateMessage() = 0;
  virtual std::shared_ptr<IMessageProducer> CreateProducer(const std::shared_ptr<IDestination>& destination) = 0;
  virtual std::shared_ptr<IQueue> CreateQueue(const std::string& name) = 0;
  // Not supported: raise EJMSException "Feature not supported".
  virtual std::shared_ptr<IQueue> CreateTemporaryQueue() = 0;
  virtual std::shared_ptr<ITopic> CreateTemporaryTopic() = 0;
  virtual std::shared_ptr<IObjectMessage> CreateObjectMessage() = 0;
  virtual std::shared_ptr<IObjectMessage> CreateObjectMessage(void* object) = 0;
  virtual std::shared_ptr<ITextMessage> CreateTextMessage() = 0;
  virtual std::shared_ptr<ITextMessage> CreateTextMessage(const std::string& text) = 0;
  virtual std::shared_ptr<ITopic> CreateTopic(const std::string& name) = 0;
  virtual std::uint8_t GetAcknowledgeMode() const = 0;
  virtual bool GetTransacted() const = 0;
  virtual void Rollback() = 0;
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
// it is called on.
class IExceptionListener {
 public:
  virtual ~IExceptionListener() = default;
  virtual void OnException(const Exception& error) = 0;
};

// Told when a connection made from a failover URI loses its link to the
// broker (OnInterrupted, with the cause as an EConnectionFailedException)
// and when it has logged in again and restored its subscriptions
// (OnResumed, with the address of the broker, as the failover URI names
// it). Both run on the connection's failover thread, never on the reader
// thread of the link that was lost; a send, receive or commit from inside
// OnInterrupted raises instead of waiting for the link. Implemented by the
// application.
class ITransportListener {
 public:
  virtual ~ITransportListener() = default;
  virtual void OnInterrupted(const Exception& cause) = 0;
  virtual void OnResumed(const std::string& brokerUri) = 0;
};

class IConnection {
 public:
  virtual ~IConnection() = default;
  virtual std::string GetClientID() const = 0;
  virtual void SetClientID(const std::string& clientId) = 0;
  virtual void Start() = 0;
  virtual void Stop() = 0;
  virtual void Close() = 0;
  virtual std::shared_ptr<ISession> CreateSession(bool transacted, std::uint8_t acknowledgeMode) = 0;
  // The listener is called on the connection's reader thread for what that
  // thread sees, and otherwise on the application thread that saw the
  // failure (a receive, a send, Close); when failover gives up, on the
  // failover thread. It may be set at any time; none removes it.
  virtual std::shared_ptr<IExceptionListener> GetExceptionListener() const = 0;
  virtual void SetExceptionListener(const std::shared_ptr<IExceptionListener>& listener) = 0;
  // The STOMP version the broker chose at the last successful Start: "1.0",
  // "1.1" or "1.2"; empty before one (and after Close).
  virtual std::string GetProtocolVersion() const = 0;
  // Told about interruptions and resumptions of a connection made from a
  // failover URI (see ITransportListener); never called otherwise. It may
  // be set at any time; none removes it.
  virtual std::shared_ptr<ITransportListener> GetTransportListener() const = 0;
  virtual void SetTransportListener(const std::shared_ptr<ITransportListener>& listener) = 0;
};

class IConnectionFactory {
 public:
  virtual ~IConnectionFactory() = default;
  virtual std::shared_ptr<IConnection> CreateConnection() = 0;
  virtual std::shared_ptr<IConnection> CreateConnection(const std::string& userName, const std::string& password) = 0;
};

}  // namespace ks
