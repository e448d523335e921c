#include "tools/ProgramSupport.hpp"

#include <exception>

#include "stomp/KsStompCustomClient.hpp"
#include "support/KsConsole.hpp"
#include "support/KsException.hpp"

namespace ks {

bool RunReportingErrors(const std::function<void()>& job) {
  try {
    job();
    return true;
  } catch (const Exception& e) {
    WriteLine(e.Message());
  } catch (const std::exception& e) {
    WriteLine(e.what());
  } catch (...) {
    WriteLine("Unknown error");
  }
  return false;
}

void TConnectionWatch::OnException(const Exception& error) {
  if (dynamic_cast<const EConnectionFailedException*>(&error) == nullptr) {
    // One frame's fault: said, and the program goes on.
    WriteLine(error.Message());
    return;
  }
  std::lock_guard<std::mutex> guard(mutex_);
  if (failed_) return;
  failed_ = true;
  failure_ = error.Message();
}

bool TConnectionWatch::Failed() const {
  std::lock_guard<std::mutex> guard(mutex_);
  return failed_;
}

void TConnectionWatch::RaiseFailure() const {
  std::lock_guard<std::mutex> guard(mutex_);
  if (failed_) throw Exception(failure_);
}

void TTransportWatch::OnInterrupted(const Exception& cause) {
  const auto* failed = dynamic_cast<const EConnectionFailedException*>(&cause);
  WriteLine("Transport interrupted: " + (failed != nullptr && !failed->GetCause().empty() ? failed->GetCause()
                                                                                         : cause.Message()));
}

void TTransportWatch::OnResumed(const std::string& brokerUri) { WriteLine("Transport resumed: " + brokerUri); }

}  // namespace ks
