// ProgramSupport: what the main routines and tool classes of both programs
// share.
//
// RunReportingErrors runs a program's job and prints the message text of
// any error that leaves it, alone, as one console line; nothing escapes, so
// no error ever aborts a program. It answers whether the job ended without
// an error, which the programs turn into their exit status.
//
// TConnectionWatch is the programs' exception listener: it remembers the
// first error that ends a connection (its loss, or a close the broker did not
// confirm), prints the faults of single frames as console lines, and counts
// the messages skipped for their size, which make the run fail as well.
//
// TStopFlag is how a tool is asked to stop (by a signal, see StopSignals):
// its waits and pauses end early once the flag is raised.
//
// ReportIgnoredArguments names, in one line on standard error, the
// arguments that bound to no option, so that a misspelt option is seen;
// PrintHelp prints a program's --help.
//
// TTransportWatch is their transport listener (failover URLs): it prints
// "Transport interrupted: <cause>" and "Transport resumed: <broker>".
//
// Threads: RunReportingErrors is called once, from the main thread. The
// watch is told about errors on the connection's reader thread or on the
// main thread (and the failover thread), and asked about them from the main
// thread. The transport watch runs on the failover thread. A stop flag may
// be raised on any thread while another waits on it.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "jms/KsJMSInterfaces.hpp"

namespace ks {

bool RunReportingErrors(const std::function<void()>& job);

// "Ignored arguments (no such option): " and the arguments as comma text, on
// standard error; nothing when there are none.
void ReportIgnoredArguments(const std::vector<std::string>& ignored);

// The help of a program: its usage, what it does, how options are written,
// and the option lines (OptionsHelp), on standard output.
void PrintHelp(const std::string& program, const std::string& purpose, const std::vector<std::string>& options);

class TStopFlag {
 public:
  void Raise();
  bool Raised() const;
  // Waits up to duration; true (at once, or as soon as it happens) when the
  // flag is raised.
  bool WaitFor(std::chrono::milliseconds duration) const;
  // Reads one line from standard input (end of input counts as a line);
  // false, without reading, when the flag is raised first.
  bool ReadLine(std::string& line) const;

 private:
  mutable std::mutex mutex_;
  mutable std::condition_variable raised_;
  // Set under mutex_ (so that a wait cannot miss it), read without it.
  std::atomic<bool> flag_{false};
};

class TConnectionWatch : public IExceptionListener {
 public:
  void OnException(const Exception& error) override;
  // True once an error ended the connection.
  bool Failed() const;
  // Raises the recorded failure as an Exception with its text, if any;
  // else, when messages were skipped, an Exception that counts them
  // ("Messages skipped: 2").
  void RaiseFailure() const;

 private:
  mutable std::mutex mutex_;
  bool failed_ = false;
  std::string failure_;
  int skipped_ = 0;
};

class TTransportWatch : public ITransportListener {
 public:
  void OnInterrupted(const Exception& cause) override;
  void OnResumed(const std::string& brokerUri) override;
};

}  // namespace ks
