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
// Threads: RunReportingErrors is called once, from the main thread. The
// watch is told about errors on the connection's reader thread or on the
// main thread, and asked about them from the main thread.
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

}  // namespace ks
