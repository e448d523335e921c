// A short program that uses only the public headers of ksstomp: it sends a
// text message to a queue and receives it back synchronously, then sends a
// second one and receives it through a message listener.
//
// Usage: ksstomp_example [BROKER-URL]   (default stomp://localhost:61613)
// Ends with status 0 when both messages came back, 1 otherwise.
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <memory>
#include <mutex>
#include <string>

#include <ksstomp/jms/KsJMSConnectionFactory.hpp>
#include <ksstomp/jms/KsJMSInterfaces.hpp>

namespace {

// Called on the connection's reader thread: hands the text to main.
class TPrintingListener : public ks::IMessageListener {
 public:
  void OnMessage(const std::shared_ptr<ks::IMessage>& message) override {
    auto text = std::dynamic_pointer_cast<ks::ITextMessage>(message);
    std::lock_guard<std::mutex> lock(mutex_);
    text_ = text ? text->GetText() : "(not a text message)";
    arrived_ = true;
    changed_.notify_all();
  }

  bool WaitForText(std::string& text, std::chrono::milliseconds timeout) {
    std::unique_lock<std::mutex> lock(mutex_);
    if (!changed_.wait_for(lock, timeout, [this] { return arrived_; })) return false;
    text = text_;
    return true;
  }

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  std::string text_;
  bool arrived_ = false;
};

}  // namespace

int main(int argc, char** argv) {
  const std::string url = argc > 1 ? argv[1] : "stomp://localhost:61613";
  try {
    auto factory = std::make_shared<ks::TKsJMSConnectionFactory>("", "", url);
    auto connection = factory->CreateConnection();
    connection->Start();
    auto session = connection->CreateSession(false, ks::AUTO_ACKNOWLEDGE);
    auto queue = session->CreateQueue("ksstomp.example");
    auto producer = session->CreateProducer(queue);
    auto consumer = session->CreateConsumer(queue);

    // 1. Synchronously: Receive reads the next frame on this thread.
    producer->Send(session->CreateTextMessage("Hello, synchronously"));
    auto message = std::dynamic_pointer_cast<ks::ITextMessage>(consumer->Receive(5000));
    if (!message) {
      std::printf("No message arrived\n");
      return 1;
    }
    std::printf("Received: %s\n", message->GetText().c_str());

    // 2. Through a listener: the connection's reader thread delivers it.
    auto listener = std::make_shared<TPrintingListener>();
    consumer->SetMessageListener(listener);
    producer->Send(session->CreateTextMessage("Hello, through a listener"));
    std::string text;
    if (!listener->WaitForText(text, std::chrono::seconds(5))) {
      std::printf("No message reached the listener\n");
      connection->Close();
      return 1;
    }
    std::printf("Listener received: %s\n", text.c_str());

    connection->Close();
    return 0;
  } catch (const std::exception& error) {
    std::printf("%s\n", error.what());
    return 1;
  }
}
