// A durable subscription keeps what is published to its topic while its
// subscriber is away. The subscriber's connection needs a client id equal to
// the subscription's name; Unsubscribe removes the subscription for good.
//
// Usage: durable_subscriber [BROKER-URL]   (default stomp://localhost:61613)
#include <iostream>
#include <memory>
#include <string>

#include <ksstomp/jms/KsJMSConnectionFactory.hpp>
#include <ksstomp/jms/KsJMSInterfaces.hpp>

namespace {

const std::string kName = "ksstomp-example-durable";  // client id and subscription name
const std::string kTopic = "ksstomp.example.news";

std::shared_ptr<ks::IConnection> Connect(ks::TKsJMSConnectionFactory& factory, const std::string& clientId) {
  auto connection = factory.CreateConnection();
  if (!clientId.empty()) connection->SetClientID(clientId);  // before Start
  connection->Start();
  return connection;
}

}  // namespace

int main(int argc, char** argv) {
  ks::TKsJMSConnectionFactory factory("", "", argc > 1 ? argv[1] : "stomp://localhost:61613");
  try {
    // Subscribe once, then go away: the subscription stays on the broker.
    auto subscriber = Connect(factory, kName);
    auto session = subscriber->CreateSession(false, ks::AUTO_ACKNOWLEDGE);
    session->CreateDurableSubscriber(session->CreateTopic(kTopic), kName);
    subscriber->Close();

    // Published while nobody listens.
    auto publisher = Connect(factory, "");
    auto publishing = publisher->CreateSession(false, ks::AUTO_ACKNOWLEDGE);
    publishing->CreateProducer(publishing->CreateTopic(kTopic))
        ->Send(publishing->CreateTextMessage("Published while you were away"));
    publisher->Close();

    // Back again under the same name: the message waited.
    subscriber = Connect(factory, kName);
    session = subscriber->CreateSession(false, ks::AUTO_ACKNOWLEDGE);
    auto consumer = session->CreateDurableSubscriber(session->CreateTopic(kTopic), kName);
    auto message = std::dynamic_pointer_cast<ks::ITextMessage>(consumer->Receive(5000));  // milliseconds
    consumer->Close();
    // The topic's name as the broker sees it ("/topic/..." with the
    // activemq and rabbitmq dialects).
    session->Unsubscribe("jms.topic." + kTopic, kName);
    subscriber->Close();
    if (!message) {
      std::cerr << "Nothing was kept\n";
      return 1;
    }
    std::cout << "Received: " << message->GetText() << "\n";
    return 0;
  } catch (const ks::Exception& error) {
    std::cerr << error.what() << "\n";
    return 1;
  }
}
