// SiphonUnit: TSiphon, the consumer tool behind the Siphon program.
//
// A TSiphon holds the program's options (its published properties, bound
// from the command line by Run), consumes messages from one queue or topic
// and handles each in OnMessage: prints it (text cut to 50 characters plus
// "..."), answers a message that names a reply-to destination with "Reply: "
// and its message id, commits (when its session is transacted, by the
// Transacted option or the SESSION_TRANSACTED acknowledge mode) or
// acknowledges (client acknowledge), then pauses SleepTime milliseconds. Run ends after
// MaximumMessages messages (counted loop), after the first quiet
// ReceiveTimeOut (timed loop), or never (listener mode, chosen when both are
// 0). Every console line goes through ks::WriteLine.
//
// Errors before the loops and errors of Receive or Close leave Run as
// exceptions (a connection the broker has dropped surfaces as the
// library's error from Receive, so the program prints it and ends instead of
// polling a dead socket); errors while handling one message are printed by
// OnMessage and do not stop the loop.
//
// Ownership: always held by std::shared_ptr (it hands itself to its consumer
// as the message listener); create it with std::make_shared. It keeps the
// session, consumer and reply producer of its last Run until it is
// destroyed.
// Threads: Run on the main thread. In the loop modes OnMessage runs there as
// well; in listener mode the library calls OnMessage on its reader thread
// while the main thread only waits. RequestStop on any thread. No lock of its
// own.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <span>
#include <string>

#include "jms/KsJMSInterfaces.hpp"
#include "tools/CommandLineSupport.hpp"
#include "tools/ProgramSupport.hpp"

namespace ks {

class TSiphon : public IMessageListener, public std::enable_shared_from_this<TSiphon> {
 public:
  TSiphon();

  // Binds the arguments (argv[1] ..), connects, subscribes and consumes.
  void Run(int argc, const char* const* argv);

  // Handles one message; never raises a library error (it prints it).
  void OnMessage(const std::shared_ptr<IMessage>& message) override;

  // Counted loop: MaximumMessages messages, receiving with a 1000 ms limit.
  void ConsumeMessagesAndClose(const std::shared_ptr<IConnection>& connection,
                               const std::shared_ptr<ISession>& session,
                               const std::shared_ptr<IMessageConsumer>& consumer);
  // Timed loop: until a receive with timeout returns no message.
  void ConsumeMessagesAndClose(const std::shared_ptr<IConnection>& connection,
                               const std::shared_ptr<ISession>& session,
                               const std::shared_ptr<IMessageConsumer>& consumer, std::int32_t timeout);

  // "topic" or "queue".
  std::string GetDestinationTypeName() const;
  // "durable" or "non-durable".
  std::string GetSubscriptionTypeName() const;

  // Exactly "CLIENT_ACKNOWLEDGE", "AUTO_ACKNOWLEDGE" or "SESSION_TRANSACTED"
  // (case matters); any other text is ignored.
  void SetAckMode(const std::string& value);
  std::uint8_t GetAcknowledgeMode() const { return ackMode_; }

  const std::string& GetURL() const { return url_; }
  void SetURL(const std::string& value) { url_ = value; }
  bool GetTopic() const { return topic_; }
  void SetTopic(bool value) { topic_ = value; }
  const std::string& GetSubject() const { return subject_; }
  void SetSubject(const std::string& value) { subject_ = value; }
  bool GetDurable() const { return durable_; }
  void SetDurable(bool value) { durable_ = value; }
  std::int32_t GetSleepTime() const { return sleepTime_; }
  void SetSleepTime(std::int32_t value) { sleepTime_ = value; }
  std::int32_t GetMaximumMessages() const { return maximumMessages_; }
  void SetMaximumMessages(std::int32_t value) { maximumMessages_ = value; }
  bool GetTransacted() const { return transacted_; }
  void SetTransacted(bool value) { transacted_ = value; }
  bool GetVerbose() const { return verbose_; }
  void SetVerbose(bool value) { verbose_ = value; }
  const std::string& GetUser() const { return user_; }
  void SetUser(const std::string& value) { user_ = value; }
  const std::string& GetPassword() const { return password_; }
  void SetPassword(const std::string& value) { password_ = value; }
  const std::string& GetClientId() const { return clientId_; }
  void SetClientId(const std::string& value) { clientId_ = value; }
  const std::string& GetConsumerName() const { return consumerName_; }
  void SetConsumerName(const std::string& value) { consumerName_ = value; }
  std::int32_t GetReceiveTimeOut() const { return receiveTimeOut_; }
  void SetReceiveTimeOut(std::int32_t value) { receiveTimeOut_ = value; }
  bool GetPauseBeforeShutdown() const { return pauseBeforeShutdown_; }
  void SetPauseBeforeShutdown(bool value) { pauseBeforeShutdown_ = value; }

  // Used by OnMessage; Run sets them. Exposed so that a caller can drive
  // OnMessage with a session of its own.
  void SetSession(const std::shared_ptr<ISession>& session) { session_ = session; }
  void SetReplyProducer(const std::shared_ptr<IMessageProducer>& producer) { replyProducer_ = producer; }

  // The fifteen options, as the command-line binder sees them.
  static std::span<const TPublishedProperty<TSiphon>> PublishedProperties();

  // Asks a running Run to stop (any thread): the loop or the listener mode
  // ends within a tenth of a second (a receive waits at most that long at a
  // time) and closes down as usual, without waiting for Enter; a pause after
  // a message ends at once.
  void RequestStop();

 private:
  // Receive with a time-out (0 or less: none), made of short receives so
  // that a stop request ends the wait; none when stopped.
  std::shared_ptr<IMessage> ReceiveUnlessStopped(IMessageConsumer& consumer, std::int32_t timeout);
  // The pause after a message; ends early when stopped.
  void Pause(std::int32_t milliseconds) const;
  // The session, the reply producer and the consumer of the options.
  void OpenConsumer(IConnection& connection);
  // The consuming mode of the options: a count, a listener, or receives
  // with a time-out.
  void Consume(const std::shared_ptr<IConnection>& connection, const TConnectionWatch& watch);
  void CloseDown(const std::shared_ptr<IConnection>& connection, const std::shared_ptr<ISession>& session,
                 const std::shared_ptr<IMessageConsumer>& consumer);

  std::shared_ptr<ISession> session_;
  std::atomic<bool> running_{false};
  std::shared_ptr<IMessageConsumer> consumer_;
  std::shared_ptr<IMessageProducer> replyProducer_;
  std::uint8_t ackMode_;
  std::string url_;
  bool topic_;
  std::string subject_;
  bool durable_;
  std::int32_t sleepTime_;
  std::int32_t maximumMessages_;
  bool transacted_;
  bool verbose_;
  std::string user_;
  std::string password_;
  std::string clientId_;
  std::string consumerName_;
  std::int32_t receiveTimeOut_;
  bool pauseBeforeShutdown_;
  TStopFlag stop_;
};

}  // namespace ks
