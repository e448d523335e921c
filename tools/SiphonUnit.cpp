#include "tools/SiphonUnit.hpp"

#include "tools/ProgramSupport.hpp"

#include <chrono>
#include <exception>
#include <thread>

#include "jms/KsJMSConnectionFactory.hpp"
#include "support/KsConsole.hpp"
#include "support/KsText.hpp"
#include "tools/ProgramSupport.hpp"

namespace ks {

namespace {

constexpr std::size_t kShownCharacters = 50;
constexpr std::int32_t kCountedReceiveTimeout = 1000;

void Pause(std::int32_t milliseconds) {
  if (milliseconds > 0) std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds));
}

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
      StringProperty("AckMode", &TSiphon::SetAckMode),
      StringProperty("ClientId", &TSiphon::SetClientId),
      StringProperty("ConsumerName", &TSiphon::SetConsumerName),
      BooleanProperty("Durable", &TSiphon::SetDurable),
      Int32Property("MaximumMessages", &TSiphon::SetMaximumMessages),
      StringProperty("Password", &TSiphon::SetPassword),
      BooleanProperty("PauseBeforeShutdown", &TSiphon::SetPauseBeforeShutdown),
      Int32Property("ReceiveTimeOut", &TSiphon::SetReceiveTimeOut),
      Int32Property("SleepTime", &TSiphon::SetSleepTime),
      StringProperty("Subject", &TSiphon::SetSubject),
      BooleanProperty("Topic", &TSiphon::SetTopic),
      BooleanProperty("Transacted", &TSiphon::SetTransacted),
      StringProperty("URL", &TSiphon::SetURL),
      StringProperty("User", &TSiphon::SetUser),
      BooleanProperty("Verbose", &TSiphon::SetVerbose),
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

void TSiphon::Run(int argc, const char* const* argv) {
  std::string unparsed;
  TCommandLineSupport::ParseCommandLine(*this, argc, argv, unparsed);
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
    // the program runs until its process is ended or the connection is lost.
    while (!watch.Failed()) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    watch.RaiseFailure();
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
  while (count < maximumMessages_ && running_) {
    // A connection the broker has closed raises here, which ends Run.
    std::shared_ptr<IMessage> message = consumer->Receive(kCountedReceiveTimeout);
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
  std::shared_ptr<IMessage> message = consumer->Receive(timeout);
  while (message) {
    OnMessage(message);
    message = consumer->Receive(timeout);
  }
  CloseDown(connection, session, consumer);
}

void TSiphon::CloseDown(const std::shared_ptr<IConnection>& connection, const std::shared_ptr<ISession>& session,
                        const std::shared_ptr<IMessageConsumer>& consumer) {
  WriteLine("Closing connection");
  consumer->Close();
  session->Close();
  connection->Close();
  if (pauseBeforeShutdown_) {
    WriteLine("Press return to shut down");
    std::string line;
    ReadLine(line);
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
    if (transacted_) {
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
