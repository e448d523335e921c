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
    if (dynamic_cast<const EMessageSkippedException*>(&error) != nullptr) {
      std::lock_guard<std::mutex> guard(mutex_);
      ++skipped_;
    }
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
  if (skipped_ > 0) throw Exception("Messages skipped: " + std::to_string(skipped_));
}

}  // namespace ks
