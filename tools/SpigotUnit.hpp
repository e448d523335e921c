// SpigotUnit: TSpigot, the producer tool behind the Spigot program.
//
// A TSpigot holds the program's options (its published properties, bound
// from the command line by Run) and publishes MessageCount text messages of
// exactly MessageSize characters to one queue or topic (over a failover URL
// each with its index in the property "Sequence"), then closes the
// connection and prints "Done.". Every console line goes through
// ks::WriteLine. Errors leave Run as exceptions; the main routine prints
// them.
//
// Ownership: a plain object owned by the main routine. The messaging objects
// (factory, connection, session, destination, producer, messages) are held
// only while Run executes.
// Threads: main thread only, except RequestStop.
#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <string>

#include "tools/CommandLineSupport.hpp"
#include "tools/ProgramSupport.hpp"

namespace ks {

class ISession;
class IMessageProducer;

// The integer property that carries each message's index (from 0).
inline constexpr const char* kSequenceProperty = "Sequence";

class TSpigot {
 public:
  TSpigot();

  // Binds the arguments (argv[1] ..), prints what it is going to do,
  // connects, sends, closes and prints "Done.".
  void Run(int argc, const char* const* argv);

  // "topic" or "queue".
  std::string GetDestinationTypeName() const;
  // "persistent" or "non-persistent".
  std::string GetDeliveryModeName() const;
  // The text of message index (from 0): "Message: <index> sent at: <local
  // date and time>", cut or padded with blanks to exactly MessageSize
  // characters (code points); empty when MessageSize is 0 or less.
  std::string CreateMessageText(std::int32_t index) const;
  // The send loop: MessageCount messages through producer, with optional
  // announcement, commit and pause.
  void SendMessages(const std::shared_ptr<ISession>& session, const std::shared_ptr<IMessageProducer>& producer);

  const std::string& GetURL() const { return url_; }
  void SetURL(const std::string& value) { url_ = value; }
  std::int32_t GetMessageSize() const { return messageSize_; }
  void SetMessageSize(std::int32_t value) { messageSize_ = value; }
  bool GetTopic() const { return topic_; }
  void SetTopic(bool value) { topic_ = value; }
  const std::string& GetSubject() const { return subject_; }
  void SetSubject(const std::string& value) { subject_ = value; }
  bool GetPersistent() const { return persistent_; }
  void SetPersistent(bool value) { persistent_ = value; }
  std::int32_t GetSleepTime() const { return sleepTime_; }
  void SetSleepTime(std::int32_t value) { sleepTime_ = value; }
  std::int32_t GetTimeToLive() const { return timeToLive_; }
  void SetTimeToLive(std::int32_t value) { timeToLive_ = value; }
  std::int32_t GetMessageCount() const { return messageCount_; }
  void SetMessageCount(std::int32_t value) { messageCount_ = value; }
  bool GetTransacted() const { return transacted_; }
  void SetTransacted(bool value) { transacted_ = value; }
  bool GetVerbose() const { return verbose_; }
  void SetVerbose(bool value) { verbose_ = value; }
  const std::string& GetPassword() const { return password_; }
  void SetPassword(const std::string& value) { password_ = value; }
  const std::string& GetUser() const { return user_; }
  void SetUser(const std::string& value) { user_ = value; }

  // The twelve options, as the command-line binder sees them.
  static std::span<const TPublishedProperty<TSpigot>> PublishedProperties();

  // Asks a running Run to stop (any thread): no further message is sent, the
  // pause between messages ends at once, the connection is closed as usual
  // and "Done." is not printed.
  void RequestStop() { stop_.Raise(); }

 private:
  // The local date and time of now as DateTimeToString renders it, made
  // once per second.
  const std::string& TimeText() const;
  // CreateMessageText's text, written into text (its memory reused).
  void FillMessageText(std::int32_t index, std::string& text) const;

  mutable std::int64_t timeSecond_ = 0;  // the second timeText_ shows
  mutable std::string timeText_;
  mutable std::size_t timeLength_ = 0;  // timeText_'s length in characters
  std::string url_;
  std::int32_t messageSize_;
  bool topic_;
  std::string subject_;
  bool persistent_;
  std::int32_t sleepTime_;
  std::int32_t timeToLive_;
  std::int32_t messageCount_;
  bool transacted_;
  bool verbose_;
  bool sequenced_ = false;  // the URL is a failover URL: each message carries its index
  std::string password_;
  std::string user_;
  TStopFlag stop_;
};

}  // namespace ks
