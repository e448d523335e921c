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
// confirm) and prints the faults of single frames as console lines.
//
// TTransportWatch is their transport listener (failover URLs): it prints
// "Transport interrupted: <cause>" and "Transport resumed: <broker>".
//
// Threads: RunReportingErrors is called once, from the main thread. The
// watch is told about errors on the connection's reader thread or on the
// main thread (and the failover thread), and asked about them from the main
// thread. The transport watch runs on the failover thread.
#pragma once

#include <functional>
#include <mutex>
#include <string>

#include "jms/KsJMSInterfaces.hpp"

namespace ks {

bool RunReportingErrors(const std::function<void()>& job);

class TConnectionWatch : public IExceptionListener {
 public:
  void OnException(const Exception& error) override;
  // True once an error ended the connection.
  bool Failed() const;
  // Raises the recorded failure as an Exception with its text, if any.
  void RaiseFailure() const;

 private:
  mutable std::mutex mutex_;
  bool failed_ = false;
  std::string failure_;
};

class TTransportWatch : public ITransportListener {
 public:
  void OnInterrupted(const Exception& cause) override;
  void OnResumed(const std::string& brokerUri) override;
};

}  // namespace ks
