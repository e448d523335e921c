// The message listener of the tests. See KsCollector.hpp.
#include "tests/common/KsCollector.hpp"

#include "jms/KsJMSConnectionFactory.hpp"
#include "tests/common/KsTestUtil.hpp"

namespace ks::test {

std::string TextOf(const std::shared_ptr<IMessage>& message) {
  auto text = std::dynamic_pointer_cast<ITextMessage>(message);
  return text ? text->GetText() : std::string("<not text>");
}

std::shared_ptr<IConnection> StartConnection(const std::string& url, const std::shared_ptr<TCollector>& events,
                                             const std::string& clientId, const std::string& user,
                                             const std::string& password) {
  TKsJMSConnectionFactory factory(user, password, url);
  factory.SetClientID(clientId);
  auto connection = factory.CreateConnection();
  connection->SetExceptionListener(events);
  connection->SetTransportListener(events);
  connection->Start();
  return connection;
}

void TCollector::OnMessage(const std::shared_ptr<IMessage>& message) {
  const std::string text = TextOf(message);
  std::unique_lock<std::mutex> lock(mutex_);
  texts_.push_back(text);
  threads_.push_back(std::this_thread::get_id());
  if (!refused_.empty() && text.rfind(refused_, 0) == 0) throw Exception("listener refused " + text);
  opened_.wait(lock, [this] { return !gated_; });
}

void TCollector::OnException(const Exception& error) {
  const bool lost = dynamic_cast<const EConnectionFailedException*>(&error) != nullptr;
  std::string skipped;
  if (const auto* message = dynamic_cast<const EMessageSkippedException*>(&error)) {
    skipped = message->GetMessageID() + " from " + message->GetDestination();
  }
  std::lock_guard<std::mutex> lock(mutex_);
  errors_.push_back({error.what(), lost, std::this_thread::get_id(), std::move(skipped)});
}

void TCollector::OnInterrupted(const Exception& cause) {
  const auto* failed = dynamic_cast<const EConnectionFailedException*>(&cause);
  std::lock_guard<std::mutex> lock(mutex_);
  transport_.push_back({false, failed != nullptr ? failed->GetCause() : cause.what(), std::chrono::steady_clock::now()});
}

void TCollector::OnResumed(const std::string& brokerUri) {
  std::lock_guard<std::mutex> lock(mutex_);
  transport_.push_back({true, brokerUri, std::chrono::steady_clock::now()});
}

std::vector<TCollector::TTransportEvent> TCollector::Transport() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return transport_;
}

bool TCollector::WaitForResumed(std::size_t count, std::chrono::milliseconds timeout) {
  return WaitUntil(
      [&] {
        std::lock_guard<std::mutex> lock(mutex_);
        std::size_t resumed = 0;
        for (const auto& event : transport_) resumed += event.resumed ? 1 : 0;
        return resumed >= count;
      },
      timeout);
}

std::size_t TCollector::Interruptions() const {
  std::lock_guard<std::mutex> lock(mutex_);
  std::size_t count = 0;
  for (const auto& event : transport_) count += event.resumed ? 0 : 1;
  return count;
}

bool TCollector::WaitFor(std::size_t count, std::chrono::milliseconds timeout) {
  return WaitUntil([&] { return Count() >= count; }, timeout);
}

std::size_t TCollector::Count() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return texts_.size();
}

std::vector<std::string> TCollector::Texts() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return texts_;
}

std::vector<std::thread::id> TCollector::Threads() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return threads_;
}

std::vector<TCollector::TError> TCollector::Errors() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return errors_;
}

void TCollector::Gate() {
  std::lock_guard<std::mutex> lock(mutex_);
  gated_ = true;
}

void TCollector::Open() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    gated_ = false;
  }
  opened_.notify_all();
}

void TCollector::ThrowOn(const std::string& prefix) {
  std::lock_guard<std::mutex> lock(mutex_);
  refused_ = prefix;
}

}  // namespace ks::test
