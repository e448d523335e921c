#include "tools/ProgramSupport.hpp"

#include <poll.h>
#include <unistd.h>

#include <exception>

#include "support/KsConsole.hpp"
#include "support/KsException.hpp"
#include "tools/CommandLineSupport.hpp"

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

void ReportIgnoredArguments(const std::vector<std::string>& ignored) {
  if (!ignored.empty()) WriteErrorLine("Ignored arguments (no such option): " + CommaText(ignored));
}

void PrintHelp(const std::string& program, const std::string& purpose, const std::vector<std::string>& options) {
  WriteLine("Usage: " + program + " [--Option=value ...]");
  WriteLine(purpose);
  WriteLine("Option names match without regard to case; a Boolean option alone (--Topic) means true.");
  WriteLine("Ctrl-C (SIGINT) or SIGTERM closes the connection and ends the program.");
  WriteLine("");
  for (const std::string& line : options) WriteLine(line);
}

void TStopFlag::Raise() {
  {
    std::lock_guard<std::mutex> guard(mutex_);
    flag_.store(true, std::memory_order_release);
  }
  raised_.notify_all();
}

bool TStopFlag::Raised() const { return flag_.load(std::memory_order_acquire); }

bool TStopFlag::WaitFor(std::chrono::milliseconds duration) const {
  std::unique_lock<std::mutex> lock(mutex_);
  return raised_.wait_for(lock, duration, [this] { return flag_.load(std::memory_order_acquire); });
}

bool TStopFlag::ReadLine(std::string& line) const {
  line.clear();
  // Standard input is watched in short steps, so that a raised flag ends
  // the wait for a line that may never come.
  pollfd input{STDIN_FILENO, POLLIN, 0};
  while (!Raised()) {
    const int ready = ::poll(&input, 1, 50);
    if (ready != 0) {
      ks::ReadLine(line);
      return true;
    }
  }
  return false;
}

void TTransportWatch::OnInterrupted(const Exception& cause) {
  const auto* failed = dynamic_cast<const EConnectionFailedException*>(&cause);
  WriteLine("Transport interrupted: " + (failed != nullptr && !failed->GetCause().empty() ? failed->GetCause()
                                                                                         : cause.Message()));
}

void TTransportWatch::OnResumed(const std::string& brokerUri) { WriteLine("Transport resumed: " + brokerUri); }

}  // namespace ks
