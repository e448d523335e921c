// StopSignals: how the programs end on SIGINT and SIGTERM.
//
// Watch blocks both signals in the calling thread and starts one thread that
// waits for them (sigwait); call it first in main, before any other thread
// starts, so that every thread inherits the mask and none is interrupted.
// The first signal is recorded and handed to the stop handler (OnStop), which
// asks the program's tool to stop; the tool closes its connection as usual
// and returns, and the main routine calls EndAtOnce, which ends the process
// by that signal. A second signal, or any signal once EndAtOnce was called,
// ends the process at once.
//
// Ending by a signal means: its default action is restored and the signal
// raised again, so the parent sees the process ended by it (a shell reports
// status 128 + the signal's number) and nothing else runs.
//
// Threads: Watch, OnStop and EndAtOnce are called on the main thread; the
// stop handler runs on the signal thread, under a lock that OnStop takes too,
// so that once OnStop(nullptr) returns the old handler is not running and
// never runs again.
#pragma once

#include <functional>

namespace ks {

class TStopSignals {
 public:
  TStopSignals() = delete;

  // Blocks SIGINT and SIGTERM and starts the signal thread; once per
  // process.
  static void Watch();
  // The handler of the first signal; empty for none. Called at once when a
  // signal came before it was set.
  static void OnStop(std::function<void()> handler);
  // The signal that asked the program to stop; 0 when none came.
  static int Received();
  // Ends the process by the signal that came, if one did; afterwards every
  // signal ends it at once (for a program that has nothing left to close).
  static void EndAtOnce();
};

}  // namespace ks
