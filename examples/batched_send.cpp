// Batched sending: many small messages go out in few socket writes. Sends
// are gathered for at most the batch delay (here 5 ms) or 64 KiB and written
// together; Close writes what is left.
//
// Usage: batched_send [BROKER-URL [COUNT]]   (default stomp://localhost:61613, 100000)
// The same from the URL alone: stomp://localhost:61613?batchSend=true&batchDelay=5
#include <chrono>
#include <cstdlib>
#include <iostream>
#include <memory>
#include <string>

#include <ksstomp/jms/KsJMSConnectionFactory.hpp>
#include <ksstomp/jms/KsJMSInterfaces.hpp>

int main(int argc, char** argv) {
  const int count = argc > 2 ? std::atoi(argv[2]) : 100000;
  ks::TKsJMSConnectionFactory factory("", "", argc > 1 ? argv[1] : "stomp://localhost:61613");
  factory.SetBatchSend(true);
  factory.SetBatchDelay(5);  // milliseconds
  try {
    const auto start = std::chrono::steady_clock::now();
    auto connection = factory.CreateConnection();
    connection->Start();
    auto session = connection->CreateSession(false, ks::AUTO_ACKNOWLEDGE);
    auto queue = session->CreateQueue("ksstomp.example.batched");
    auto producer = session->CreateProducer(queue);
    auto message = session->CreateTextMessage();
    for (int i = 0; i < count; ++i) {
      message->SetText("message " + std::to_string(i));  // Send copies: one message object serves every send
      producer->Send(message);
    }
    connection->Close();  // writes the last batch; a failed write is reported before it returns
    const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start);
    std::cout << "Sent " << count << " messages in " << ms.count() << " ms" << std::endl;

    // Take them back, to show that all arrived.
    auto reader = factory.CreateConnection();
    reader->Start();
    auto consumer = reader->CreateSession(false, ks::AUTO_ACKNOWLEDGE)->CreateConsumer(queue);
    int received = 0;
    while (received < count && consumer->Receive(5000)) ++received;
    reader->Close();
    std::cout << "Received " << received << " messages" << std::endl;
    return received == count ? 0 : 1;
  } catch (const ks::Exception& error) {
    std::cerr << error.what() << "\n";
    return 1;
  }
}
