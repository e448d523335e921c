// Routing the library's log lines into the application's own logger, at a
// threshold of the application's choice. The library writes its steps at
// TRACE and its warnings and errors above; by default (INFO) only those
// reach the console.
//
// Usage: log_routing [BROKER-URL]   (default stomp://localhost:61613)
// The threshold of one connection alone: its URL's parameter logLevel, e.g.
// stomp://localhost:61613?logLevel=debug
#include <iostream>
#include <memory>
#include <mutex>
#include <string>

#include <ksstomp/jms/KsJMSConnectionFactory.hpp>
#include <ksstomp/jms/KsJMSInterfaces.hpp>
#include <ksstomp/support/KsLogFactory.hpp>

namespace {

// Stands for the application's logger.
class TAppLogger {
 public:
  void Write(const char* level, const std::string& text) {
    std::lock_guard<std::mutex> lock(mutex_);  // the library logs from several threads
    std::cout << "[app] " << level << " " << text << std::endl;
  }

 private:
  std::mutex mutex_;
};

}  // namespace

int main(int argc, char** argv) {
  TAppLogger logger;
  // Every line that passes the threshold goes to the sink instead of the
  // console, on the thread that logs; the sink must not raise.
  ks::TLogFactory::SetSink(
      [&logger](ks::TLogLevel level, const std::string& text) { logger.Write(ks::LogLevelLabel(level), text); });
  ks::TLogFactory::SetLevel(ks::LOG_TRACE);
  int status = 0;
  try {
    ks::TKsJMSConnectionFactory factory("", "", argc > 1 ? argv[1] : "stomp://localhost:61613");
    auto connection = factory.CreateConnection();
    connection->Start();
    auto session = connection->CreateSession(false, ks::AUTO_ACKNOWLEDGE);
    session->CreateProducer(session->CreateQueue("ksstomp.example.logged"))->Send(session->CreateTextMessage("hi"));
    connection->Close();
  } catch (const ks::Exception& error) {
    logger.Write("ERROR", error.what());
    status = 1;
  }
  ks::TLogFactory::SetSink(nullptr);  // before the logger goes
  return status;
}
