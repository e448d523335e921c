// Request and reply with a temporary reply queue. A service answers every
// request on the queue "ksstomp.example.service" at the request's reply-to;
// the client sends one request whose reply-to is a temporary queue of its
// own and waits for the answer. Both run here, each on its own connection.
//
// Usage: request_reply [BROKER-URL]
//   (default stomp://localhost:61613?dialect=activemq)
// Temporary queues need the "activemq" or "rabbitmq" dialect (ActiveMQ,
// RabbitMQ and Cistern offer them).
#include <iostream>
#include <memory>
#include <string>

#include <ksstomp/jms/KsJMSConnectionFactory.hpp>
#include <ksstomp/jms/KsJMSInterfaces.hpp>

namespace {

// Runs on the service connection's reader thread.
class TService : public ks::IMessageListener {
 public:
  explicit TService(const std::shared_ptr<ks::ISession>& session)
      : session_(session.get()), producer_(session->CreateProducer(nullptr)) {}  // no destination: one per Send

  void OnMessage(const std::shared_ptr<ks::IMessage>& request) override {
    auto question = std::dynamic_pointer_cast<ks::ITextMessage>(request);
    if (!question || !request->GetJMSReplyTo()) return;
    auto answer = session_->CreateTextMessage("You asked: " + question->GetText());
    answer->SetJMSCorrelationID(request->GetJMSMessageID());
    producer_->Send(request->GetJMSReplyTo(), answer);
  }

 private:
  ks::ISession* session_;  // kept alive by producer_
  std::shared_ptr<ks::IMessageProducer> producer_;
};

}  // namespace

int main(int argc, char** argv) {
  const std::string url = argc > 1 ? argv[1] : "stomp://localhost:61613?dialect=activemq";
  try {
    ks::TKsJMSConnectionFactory factory("", "", url);

    auto service = factory.CreateConnection();
    service->Start();
    auto serviceSession = service->CreateSession(false, ks::AUTO_ACKNOWLEDGE);
    auto requests = serviceSession->CreateConsumer(serviceSession->CreateQueue("ksstomp.example.service"));
    requests->SetMessageListener(std::make_shared<TService>(serviceSession));

    auto client = factory.CreateConnection();
    client->Start();
    auto session = client->CreateSession(false, ks::AUTO_ACKNOWLEDGE);
    auto replyQueue = session->CreateTemporaryQueue();  // gone when the connection closes
    auto replies = session->CreateConsumer(replyQueue);  // before asking, so that no answer is missed
    auto request = session->CreateTextMessage("What is the time?");
    request->SetJMSReplyTo(replyQueue);
    session->CreateProducer(session->CreateQueue("ksstomp.example.service"))->Send(request);

    auto reply = std::dynamic_pointer_cast<ks::ITextMessage>(replies->Receive(10000));  // milliseconds
    client->Close();
    service->Close();
    if (!reply) {
      std::cerr << "No reply within 10 s\n";
      return 1;
    }
    std::cout << "Reply: " << reply->GetText() << "\n";
    return 0;
  } catch (const ks::Exception& error) {
    std::cerr << error.what() << "\n";
    return 1;
  }
}
