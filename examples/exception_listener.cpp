// An exception listener that ends the program cleanly when the broker goes
// away: messages arrive through a listener until the connection is lost, then
// main closes the connection and ends with status 0.
//
// Usage: exception_listener [BROKER-URL]   (default stomp://localhost:61613)
// Stop the broker to end it.
#include <condition_variable>
#include <iostream>
#include <memory>
#include <mutex>
#include <string>

#include <ksstomp/jms/KsJMSConnectionFactory.hpp>
#include <ksstomp/jms/KsJMSInterfaces.hpp>

namespace {

// Told on the connection's reader thread (or the thread that saw it).
class TWatch : public ks::IExceptionListener {
 public:
  void OnException(const ks::Exception& error) override {
    // One frame's fault (an ERROR frame, a listener that threw): reported,
    // and delivery goes on.
    if (dynamic_cast<const ks::EConnectionFailedException*>(&error) == nullptr) {
      std::cerr << "Skipped: " << error.what() << "\n";
      return;
    }
    std::lock_guard<std::mutex> lock(mutex_);
    lost_ = error.what();
    changed_.notify_all();
  }

  std::string WaitForLoss() {
    std::unique_lock<std::mutex> lock(mutex_);
    changed_.wait(lock, [this] { return !lost_.empty(); });
    return lost_;
  }

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  std::string lost_;
};

class TPrinter : public ks::IMessageListener {
 public:
  void OnMessage(const std::shared_ptr<ks::IMessage>& message) override {
    if (auto text = std::dynamic_pointer_cast<ks::ITextMessage>(message)) std::cout << text->GetText() << std::endl;
  }
};

}  // namespace

int main(int argc, char** argv) {
  ks::TKsJMSConnectionFactory factory("", "", argc > 1 ? argv[1] : "stomp://localhost:61613");
  auto watch = std::make_shared<TWatch>();
  auto connection = factory.CreateConnection();
  connection->SetExceptionListener(watch);
  try {
    connection->Start();
    auto session = connection->CreateSession(false, ks::AUTO_ACKNOWLEDGE);
    auto consumer = session->CreateConsumer(session->CreateQueue("ksstomp.example.events"));
    consumer->SetMessageListener(std::make_shared<TPrinter>());
    std::cout << "Listening until the broker goes away" << std::endl;
  } catch (const ks::Exception& error) {
    std::cerr << error.what() << "\n";
    return 1;
  }
  const std::string why = watch->WaitForLoss();
  connection->Close();  // never raises
  std::cout << "Connection lost: " << why << std::endl;
  return 0;
}
