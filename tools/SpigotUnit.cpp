#include "tools/SpigotUnit.hpp"

#include <charconv>
#include <chrono>
#include <cstring>
#include <string_view>

#include "jms/KsJMSConnectionFactory.hpp"
#include "jms/KsJMSInterfaces.hpp"
#include "support/KsConsole.hpp"
#include "support/KsDateTime.hpp"
#include "support/KsText.hpp"
#include "tools/ProgramSupport.hpp"

namespace ks {

namespace {
constexpr std::size_t kShownCharacters = 50;
}  // namespace

TSpigot::TSpigot()
    : url_("stomp://localhost:61613"),
      messageSize_(255),
      topic_(false),
      subject_("ExampleQueue"),
      persistent_(false),
      sleepTime_(0),
      timeToLive_(0),
      messageCount_(10),
      transacted_(false),
      verbose_(true) {}

std::span<const TPublishedProperty<TSpigot>> TSpigot::PublishedProperties() {
  static const TPublishedProperty<TSpigot> table[] = {
      StringProperty("URL", &TSpigot::SetURL).Help("stomp://localhost:61613", "broker URI"),
      Int32Property("MessageSize", &TSpigot::SetMessageSize)
          .Help("255", "exact length, in characters, of every message text"),
      BooleanProperty("Topic", &TSpigot::SetTopic).Help("false", "publish to a topic instead of a queue"),
      StringProperty("Subject", &TSpigot::SetSubject).Help("ExampleQueue", "name of the queue or topic"),
      BooleanProperty("Persistent", &TSpigot::SetPersistent).Help("false", "persistent delivery mode"),
      Int32Property("SleepTime", &TSpigot::SetSleepTime).Help("0", "pause after each message, in milliseconds"),
      Int32Property("TimeToLive", &TSpigot::SetTimeToLive)
          .Help("0", "message time to live in milliseconds; 0: none"),
      Int32Property("MessageCount", &TSpigot::SetMessageCount).Help("10", "number of messages to send"),
      BooleanProperty("Transacted", &TSpigot::SetTransacted)
          .Help("false", "transacted session, committed after every message"),
      BooleanProperty("Verbose", &TSpigot::SetVerbose).Help("true", "print every message text when it is sent"),
      StringProperty("Password", &TSpigot::SetPassword).Help("", "password for the broker"),
      StringProperty("User", &TSpigot::SetUser).Help("", "user name for the broker"),
  };
  return table;
}

std::string TSpigot::GetDestinationTypeName() const { return topic_ ? "topic" : "queue"; }

std::string TSpigot::GetDeliveryModeName() const { return persistent_ ? "persistent" : "non-persistent"; }

std::string TSpigot::CreateMessageText(std::int32_t index) const {
  std::string text;
  FillMessageText(index, text);
  return text;
}

void TSpigot::FillMessageText(std::int32_t index, std::string& text) const {
  if (messageSize_ <= 0) {
    text.clear();
    return;
  }
  static constexpr std::string_view kHead = "Message: ";
  static constexpr std::string_view kAt = " sent at: ";
  const std::size_t size = static_cast<std::size_t>(messageSize_);
  char digits[16];
  const auto res = std::to_chars(digits, digits + sizeof digits, index);
  const std::string_view number(digits, static_cast<std::size_t>(res.ptr - digits));
  const std::string& time = TimeText();
  // Everything before the time is ASCII, one character per byte; the time's
  // characters are counted when it is made.
  const std::size_t length = kHead.size() + number.size() + kAt.size() + timeLength_;
  const std::size_t bytes = kHead.size() + number.size() + kAt.size() + time.size();
  if (length > size) {
    text.clear();
    text.append(kHead).append(number).append(kAt).append(time);
    text = Utf8Left(text, size);
    return;
  }
  // Written in place: the buffer has the right size already on every
  // message but those whose number or time text changed in length.
  text.resize(bytes + (size - length));
  char* p = text.data();
  std::memcpy(p, kHead.data(), kHead.size());
  p += kHead.size();
  std::memcpy(p, number.data(), number.size());
  p += number.size();
  std::memcpy(p, kAt.data(), kAt.size());
  p += kAt.size();
  std::memcpy(p, time.data(), time.size());
  p += time.size();
  std::memset(p, ' ', size - length);
}

const std::string& TSpigot::TimeText() const {
  // The text shows whole seconds, so it is made again only when the second
  // of the system clock changes.
  using namespace std::chrono;
  const auto now = system_clock::now();
  const std::int64_t second = floor<seconds>(now.time_since_epoch()).count();
  if (second != timeSecond_ || timeText_.empty()) {
    timeText_ = DateTimeToString(LocalDateTimeOf(now));
    timeLength_ = Utf8Length(timeText_);
    timeSecond_ = second;
  }
  return timeText_;
}

void TSpigot::SendMessages(const std::shared_ptr<ISession>& session,
                           const std::shared_ptr<IMessageProducer>& producer) {
  // One message and one text buffer serve every send: a send copies what
  // it writes, so the message can take the next text at once, and neither
  // needs memory of its own per message.
  std::shared_ptr<ITextMessage> message = session->CreateTextMessage();
  std::string text;
  for (std::int32_t i = 0; i < messageCount_ && !stop_.Raised(); ++i) {
    FillMessageText(i, text);
    message->SetText(text);
    // Over a failover URL a message may arrive twice (a confirmed send is
    // sent again after a reconnect): the index as a property too, for a
    // consumer to count by. Otherwise the frame is left as it always was.
    if (sequenced_) message->SetIntProperty(kSequenceProperty, i);
    if (verbose_) WriteLine("Sending message: " + Ellipsize(text, kShownCharacters));
    producer->Send(message);
    if (transacted_) session->Commit();
    if (sleepTime_ > 0) stop_.WaitFor(std::chrono::milliseconds(sleepTime_));
  }
}

void TSpigot::Run(int argc, const char* const* argv) {
  std::string unparsed;
  std::vector<std::string> ignored;
  TCommandLineSupport::ParseCommandLine(*this, argc, argv, unparsed, &ignored);
  ReportIgnoredArguments(ignored);

  WriteLine("Connecting to URL: " + url_);
  sequenced_ = url_.rfind("failover:", 0) == 0;
  WriteLine("Publishing a Message with size " + IntToStr(messageSize_) + " to " + GetDestinationTypeName() + ": " +
            subject_);
  WriteLine("Using " + GetDeliveryModeName() + " messages");
  WriteLine("Sleeping between publish " + IntToStr(sleepTime_) + " ms");
  if (timeToLive_ != 0) WriteLine("Messages time to live " + IntToStr(timeToLive_) + " ms");

  std::shared_ptr<IConnectionFactory> factory = std::make_shared<TKsJMSConnectionFactory>(user_, password_, url_);
  std::shared_ptr<IConnection> connection = factory->CreateConnection();
  // A lost connection or a close the broker did not confirm means some
  // messages may not have arrived: the run then ends on that error.
  auto watch = std::make_shared<TConnectionWatch>();
  connection->SetExceptionListener(watch);
  connection->SetTransportListener(std::make_shared<TTransportWatch>());
  connection->Start();
  std::shared_ptr<ISession> session = connection->CreateSession(transacted_, AUTO_ACKNOWLEDGE);
  std::shared_ptr<IDestination> destination;
  if (topic_) {
    destination = session->CreateTopic(subject_);
  } else {
    destination = session->CreateQueue(subject_);
  }
  std::shared_ptr<IMessageProducer> producer = session->CreateProducer(destination);
  producer->SetDeliveryMode(persistent_ ? TDeliveryMode::Persistent : TDeliveryMode::NonPersistent);
  // The time to live is an unsigned count of milliseconds on the producer; a
  // negative option value is passed as its 32-bit pattern.
  if (timeToLive_ != 0) producer->SetTimeToLive(static_cast<std::uint32_t>(timeToLive_));
  SendMessages(session, producer);
  connection->Close();
  watch->RaiseFailure();
  // Stopped before the last message: not done.
  if (!stop_.Raised()) WriteLine("Done.");
}

}  // namespace ks
