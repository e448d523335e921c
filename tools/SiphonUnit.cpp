#include "tools/SiphonUnit.hpp"

#include <chrono>
#include <exception>

#include "jms/KsJMSConnectionFactory.hpp"
#include "support/KsConsole.hpp"
#include "support/KsText.hpp"
#include "tools/ProgramSupport.hpp"

namespace ks {

namespace {

constexpr std::size_t kShownCharacters = 50;
constexpr std::int32_t kCountedReceiveTimeout = 1000;

// Receives wait at most this long at a time, so that a stop request is
// seen within it.
constexpr std::int32_t kReceiveSlice = 100;

}  // namespace

TSiphon::TSiphon()
    : ackMode_(AUTO_ACKNOWLEDGE),
      url_("stomp://localhost:61613"),
      topic_(false),
      subject_("ExampleQueue"),
      durable_(false),
      sleepTime_(0),
      maximumMessages_(10),
      transacted_(false),
      verbose_(true),
      consumerName_("Vorlan"),
      receiveTimeOut_(0),
      pauseBeforeShutdown_(false) {}

std::span<const TPublishedProperty<TSiphon>> TSiphon::PublishedProperties() {
  static const TPublishedProperty<TSiphon> table[] = {
      StringProperty("AckMode", &TSiphon::SetAckMode)
          .Help("AUTO_ACKNOWLEDGE",
                "CLIENT_ACKNOWLEDGE, INDIVIDUAL_ACKNOWLEDGE, AUTO_ACKNOWLEDGE or SESSION_TRANSACTED (exact "
                "case; others are ignored)"),
      StringProperty("ClientId", &TSiphon::SetClientId)
          .Help("", "client id of the connection (durable mode only; must equal ConsumerName)"),
      StringProperty("ConsumerName", &TSiphon::SetConsumerName).Help("Vorlan", "name of the durable subscription"),
      BooleanProperty("Durable", &TSiphon::SetDurable).Help("false", "durable subscription (topics only)"),
      Int32Property("MaximumMessages", &TSiphon::SetMaximumMessages)
          .Help("10", "number of messages to consume; 0 or less: timed or listener mode"),
      StringProperty("Password", &TSiphon::SetPassword).Help("", "password for the broker"),
      BooleanProperty("PauseBeforeShutdown", &TSiphon::SetPauseBeforeShutdown)
          .Help("false", "wait for Enter after closing"),
      Int32Property("ReceiveTimeOut", &TSiphon::SetReceiveTimeOut)
          .Help("0", "with MaximumMessages 0 or less: end after this quiet period (ms); 0: listener mode"),
      Int32Property("SleepTime", &TSiphon::SetSleepTime)
          .Help("0", "pause after each handled message, in milliseconds"),
      StringProperty("Subject", &TSiphon::SetSubject).Help("ExampleQueue", "name of the queue or topic"),
      BooleanProperty("Topic", &TSiphon::SetTopic).Help("false", "consume from a topic instead of a queue"),
      BooleanProperty("Transacted", &TSiphon::SetTransacted)
          .Help("false", "transacted session, committed after every message"),
      StringProperty("URL", &TSiphon::SetURL).Help("stomp://localhost:61613", "broker URI"),
      StringProperty("User", &TSiphon::SetUser).Help("", "user name for the broker"),
      BooleanProperty("Verbose", &TSiphon::SetVerbose).Help("true", "print every received message"),
  };
  return table;
}

void TSiphon::SetAckMode(const std::string& value) {
  if (value == "CLIENT_ACKNOWLEDGE") {
    ackMode_ = CLIENT_ACKNOWLEDGE;
  } else if (value == "AUTO_ACKNOWLEDGE") {
    ackMode_ = AUTO_ACKNOWLEDGE;
  } else if (value == "SESSION_TRANSACTED") {
    ackMode_ = SESSION_TRANSACTED;
  } else if (value == "INDIVIDUAL_ACKNOWLEDGE") {
    ackMode_ = INDIVIDUAL_ACKNOWLEDGE;
  }
}

std::string TSiphon::GetDestinationTypeName() const { return topic_ ? "topic" : "queue"; }

std::string TSiphon::GetSubscriptionTypeName() const { return durable_ ? "durable" : "non-durable"; }

void TSiphon::RequestStop() { stop_.Raise(); }

void TSiphon::Pause(std::int32_t milliseconds) const {
  if (milliseconds > 0) stop_.WaitFor(std::chrono::milliseconds(milliseconds));
}

std::shared_ptr<IMessage> TSiphon::ReceiveUnlessStopped(IMessageConsumer& consumer, std::int32_t timeout) {
  // A time-out of 0 or less waits without limit, as Receive does.
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout);
  while (!stop_.Raised()) {
    std::int32_t slice = kReceiveSlice;
    if (timeout > 0) {
      const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
      if (left.count() <= 0) return nullptr;
      if (left.count() < slice) slice = static_cast<std::int32_t>(left.count());
    }
    if (std::shared_ptr<IMessage> message = consumer.Receive(slice)) return message;
  }
  return nullptr;
}

void TSiphon::Run(int argc, const char* const* argv) {
  std::string unparsed;
  std::vector<std::string> ignored;
  TCommandLineSupport::ParseCommandLine(*this, argc, argv, unparsed, &ignored);
  ReportIgnoredArguments(ignored);
  running_ = true;

  WriteLine("Connecting to URL: " + url_);
  WriteLine("Consuming " + GetDestinationTypeName() + ": " + subject_);
  WriteLine("Using a " + GetSubscriptionTypeName() + " subscription");

  std::shared_ptr<IConnectionFactory> factory = std::make_shared<TKsJMSConnectionFactory>(user_, password_, url_);
  std::shared_ptr<IConnection> connection = factory->CreateConnection();
  // Tells a lost connection (which ends the run) from one bad frame (which
  // is printed and skipped).
  auto watch = std::make_shared<TConnectionWatch>();
  connection->SetExceptionListener(watch);
  connection->SetTransportListener(std::make_shared<TTransportWatch>());
  // The session, consumer and reply producer refer to their connection
  // without keeping it alive: they are released before it, however Run ends.
  struct TReleaseBeforeConnection {
    TSiphon& owner;
    ~TReleaseBeforeConnection() {
      owner.consumer_.reset();
      owner.replyProducer_.reset();
      owner.session_.reset();
    }
  } release{*this};
  if (durable_ && !clientId_.empty()) connection->SetClientID(clientId_);
  connection->Start();
  OpenConsumer(*connection);
  Consume(connection, *watch);
  watch->RaiseFailure();
}

void TSiphon::OpenConsumer(IConnection& connection) {
  session_ = connection.CreateSession(transacted_, ackMode_);
  std::shared_ptr<IDestination> destination;
  std::shared_ptr<ITopic> topic;
  if (topic_) {
    topic = session_->CreateTopic(subject_);
    destination = topic;
  } else {
    destination = session_->CreateQueue(subject_);
  }
  replyProducer_ = session_->CreateProducer(nullptr);
  replyProducer_->SetDeliveryMode(TDeliveryMode::NonPersistent);
  if (durable_ && topic_) {
    consumer_ = session_->CreateDurableSubscriber(topic, consumerName_);
  } else {
    consumer_ = session_->CreateConsumer(destination);
  }
}

void TSiphon::Consume(const std::shared_ptr<IConnection>& connection, const TConnectionWatch& watch) {
  if (maximumMessages_ > 0) {
    ConsumeMessagesAndClose(connection, session_, consumer_);
  } else if (receiveTimeOut_ == 0) {
    consumer_->SetMessageListener(shared_from_this());
    // Listener mode: messages are handled on the library's reader thread;
    // the program runs until it is asked to stop (then it closes as the
    // loops do), its process is ended or the connection is lost.
    while (!watch.Failed() && !stop_.WaitFor(std::chrono::milliseconds(10))) {
    }
    watch.RaiseFailure();
    CloseDown(connection, session_, consumer_);
  } else {
    ConsumeMessagesAndClose(connection, session_, consumer_, receiveTimeOut_);
  }
}

void TSiphon::ConsumeMessagesAndClose(const std::shared_ptr<IConnection>& connection,
                                      const std::shared_ptr<ISession>& session,
                                      const std::shared_ptr<IMessageConsumer>& consumer) {
  WriteLine("We are about to wait until we consume: " + IntToStr(maximumMessages_) +
            " message(s) then we will shutdown");
  std::int32_t count = 0;
  while (count < maximumMessages_ && running_ && !stop_.Raised()) {
    // A connection the broker has closed raises here, which ends Run.
    std::shared_ptr<IMessage> message = ReceiveUnlessStopped(*consumer, kCountedReceiveTimeout);
    if (message) {
      ++count;
      OnMessage(message);
    }
  }
  CloseDown(connection, session, consumer);
}

void TSiphon::ConsumeMessagesAndClose(const std::shared_ptr<IConnection>& connection,
                                      const std::shared_ptr<ISession>& session,
                                      const std::shared_ptr<IMessageConsumer>& consumer, std::int32_t timeout) {
  WriteLine("We will consume messages while they continue to be delivered within: " + IntToStr(timeout) +
            " ms, and then we will shutdown");
  std::shared_ptr<IMessage> message = ReceiveUnlessStopped(*consumer, timeout);
  while (message) {
    OnMessage(message);
    message = ReceiveUnlessStopped(*consumer, timeout);
  }
  CloseDown(connection, session, consumer);
}

void TSiphon::CloseDown(const std::shared_ptr<IConnection>& connection, const std::shared_ptr<ISession>& session,
                        const std::shared_ptr<IMessageConsumer>& consumer) {
  WriteLine("Closing connection");
  consumer->Close();
  session->Close();
  connection->Close();
  // Asked to stop, the program does not wait for Enter.
  if (pauseBeforeShutdown_ && !stop_.Raised()) {
    WriteLine("Press return to shut down");
    std::string line;
    stop_.ReadLine(line);
  }
}

void TSiphon::OnMessage(const std::shared_ptr<IMessage>& message) {
  try {
    // Without printing there is nothing to look at here.
    if (verbose_) {
      if (const auto* text = dynamic_cast<const ITextMessage*>(message.get())) {
        WriteLine("Received: " + Ellipsize(text->GetText(), kShownCharacters));
      } else {
        WriteLine("Received: Message");
      }
    }
    if (message && message->GetJMSReplyTo()) {
      std::shared_ptr<ITextMessage> reply = session_->CreateTextMessage("Reply: " + message->GetJMSMessageID());
      replyProducer_->Send(message->GetJMSReplyTo(), reply);
    }
    // Transacted whichever option made it so (CreateSession's rule).
    if (transacted_ || ackMode_ == SESSION_TRANSACTED) {
      session_->Commit();
    } else if ((ackMode_ == CLIENT_ACKNOWLEDGE || ackMode_ == INDIVIDUAL_ACKNOWLEDGE) && message) {
      message->Acknowledge();
    }
  } catch (const Exception& e) {
    WriteLine(e.Message());
  } catch (const std::exception& e) {
    // Printed as well: on the reader thread an escaping error would end
    // delivery without a word.
    WriteLine(e.what());
  } catch (...) {
    Pause(sleepTime_);
    throw;
  }
  Pause(sleepTime_);
}

}  // namespace ks
