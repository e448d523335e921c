// KsCollector: TCollector, the message and exception listener of the tests,
// and TextOf.
//
// A TCollector keeps, in arrival order, the text of every message it is
// given (TextOf) and the thread that gave it, for the test thread to wait on
// (WaitFor) and look at; as an exception listener it keeps every error
// reported to it (Errors); as a transport listener, every interruption
// (its cause) and resumption (the broker) in order, each with the time it
// came (Transport, WaitForResumed). Two behaviours can be switched on, for tests of
// what the library does around a listener:
// - Gate: every delivery waits inside OnMessage until Open, so the test
//   knows the delivering thread is busy in a listener;
// - ThrowOn: a text that begins with a given prefix is recorded and then
//   refused with a ks::Exception, as a failing listener would.
//
// Ownership: held through std::shared_ptr, as consumers hold listeners.
// Threads: OnMessage and OnException run on whichever thread delivers (the
// reader thread, or the caller of a dispatch); every other member may be
// called from any thread at the same time.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "jms/KsJMSInterfaces.hpp"

namespace ks::test {

// The text of a text message, "<not text>" for anything else (or none).
std::string TextOf(const std::shared_ptr<IMessage>& message);

class TCollector;

// A started connection from url (a client id and credentials when given),
// with events as its exception and transport listener.
std::shared_ptr<IConnection> StartConnection(const std::string& url, const std::shared_ptr<TCollector>& events,
                                             const std::string& clientId = std::string(),
                                             const std::string& user = std::string(),
                                             const std::string& password = std::string());

class TCollector : public IMessageListener, public IExceptionListener, public ITransportListener {
 public:
  struct TError {
    std::string text;
    bool lost = false;  // an EConnectionFailedException
    std::thread::id thread;
    // An EMessageSkippedException: "<message id> from <destination>".
    std::string skipped;
  };
  struct TTransportEvent {
    bool resumed = false;
    std::string text;  // the cause, or the broker
    std::chrono::steady_clock::time_point at;
  };

  void OnMessage(const std::shared_ptr<IMessage>& message) override;
  void OnException(const Exception& error) override;
  void OnInterrupted(const Exception& cause) override;
  void OnResumed(const std::string& brokerUri) override;

  std::vector<TTransportEvent> Transport() const;
  // Waits until at least count resumptions came.
  bool WaitForResumed(std::size_t count, std::chrono::milliseconds timeout = std::chrono::milliseconds(15000));
  std::size_t Interruptions() const;

  // Waits until at least count messages arrived; false when the time-out
  // passed first.
  bool WaitFor(std::size_t count, std::chrono::milliseconds timeout = std::chrono::milliseconds(15000));
  std::size_t Count() const;
  std::vector<std::string> Texts() const;
  std::vector<std::thread::id> Threads() const;
  std::vector<TError> Errors() const;

  // From now on every delivery waits inside OnMessage until Open.
  void Gate();
  void Open();
  // Texts that begin with prefix are refused (after they are recorded).
  void ThrowOn(const std::string& prefix);

 private:
  mutable std::mutex mutex_;
  std::condition_variable opened_;
  std::vector<std::string> texts_;
  std::vector<std::thread::id> threads_;
  std::vector<TError> errors_;
  std::vector<TTransportEvent> transport_;
  bool gated_ = false;
  std::string refused_;
};

}  // namespace ks::test
