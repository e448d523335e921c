#include "tools/StopSignals.hpp"

#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <mutex>
#include <thread>
#include <utility>

namespace ks {

namespace {

// Never destroyed: the signal thread may use it while the process exits.
struct TState {
  std::mutex lock;
  std::function<void()> stopHandler;  // under lock
  int received = 0;                   // under lock
  bool endAtOnce = false;             // under lock
};
TState& State() {
  static TState* const state = new TState;
  return *state;
}

sigset_t StopSet() {
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, SIGINT);
  sigaddset(&set, SIGTERM);
  return set;
}

[[noreturn]] void EndBy(int signal) {
  struct sigaction action {};
  action.sa_handler = SIG_DFL;
  sigemptyset(&action.sa_mask);
  sigaction(signal, &action, nullptr);
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, signal);
  // Raised on this thread, where it is now unblocked: the default action
  // ends the process.
  pthread_sigmask(SIG_UNBLOCK, &set, nullptr);
  raise(signal);
  _exit(128 + signal);
}

void WaitForSignals() {
  const sigset_t set = StopSet();
  for (;;) {
    int signal = 0;
    if (sigwait(&set, &signal) != 0) continue;
    TState& state = State();
    std::lock_guard<std::mutex> guard(state.lock);
    if (state.endAtOnce || state.received != 0) EndBy(signal);
    state.received = signal;
    if (state.stopHandler) state.stopHandler();
  }
}

}  // namespace

void TStopSignals::Watch() {
  State();
  const sigset_t set = StopSet();
  pthread_sigmask(SIG_BLOCK, &set, nullptr);
  std::thread(WaitForSignals).detach();
}

void TStopSignals::OnStop(std::function<void()> handler) {
  TState& state = State();
  std::lock_guard<std::mutex> guard(state.lock);
  state.stopHandler = std::move(handler);
  if (state.received != 0 && state.stopHandler) state.stopHandler();
}

int TStopSignals::Received() {
  TState& state = State();
  std::lock_guard<std::mutex> guard(state.lock);
  return state.received;
}

void TStopSignals::EndAtOnce() {
  TState& state = State();
  std::lock_guard<std::mutex> guard(state.lock);
  state.endAtOnce = true;
  if (state.received != 0) EndBy(state.received);
}

}  // namespace ks
