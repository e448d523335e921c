// KsThread: the base of the library's background workers.
//
// A TKsThread owns one std::thread that calls the subclass's Run over and
// over. Other threads pause the loop (Stop), resume it (Start) and end it
// (TerminateAndWaitFor). A paused worker parks on a condition variable and
// uses no processor time while parked.
//
// Lifecycle:
// - The platform thread is launched by the first Start, never by the
//   constructor, so Run is never called before the subclass is fully built.
//   A worker constructed with createStopped = false is marked as running but
//   still waits for that first Start: a subclass that wants to run at once
//   calls Start() as the last step of its own constructor. Until then
//   Stopped() answers true.
// - Stop takes effect after the current Run returns; a Run that blocks
//   delays it. Start resumes a parked worker.
// - TerminateAndWaitFor requests termination, wakes the worker and joins it.
//   On a worker that was never started it returns at once without calling
//   Run. Requesting termination alone (Terminate) does not wake a parked
//   worker.
// - An error of ks::Exception raised by Run ends the worker silently
//   (HandleRunException answers false); a subclass that must report such
//   errors does so inside Run. Any other exception also ends the worker and
//   is kept in FatalException(), readable once the worker has ended.
// - Destruction: a subclass whose Run uses the subclass's own members must
//   call TerminateAndWaitFor in its own destructor (by the time the base
//   destructor runs those members are gone). As a safety net the base
//   destructor requests termination, wakes and joins a worker that has not
//   ended; it never leaves a joinable std::thread behind (which would call
//   std::terminate).
// - FreeOnTerminate (off by default, never used by the library) makes a
//   worker allocated with new delete itself when its body ends; such a worker
//   refuses TerminateAndWaitFor.
//
// Threads: Start, Stop, Stopped, Terminate, Terminated and
// TerminateAndWaitFor may be called from any thread; Start and Stop take the
// worker's lock for the whole check-and-change. Run runs only on the
// worker's thread.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <exception>
#include <mutex>
#include <thread>

#include "support/KsException.hpp"

namespace ks {

class TKsThread {
 public:
  explicit TKsThread(bool createStopped = true);
  virtual ~TKsThread();

  TKsThread(const TKsThread&) = delete;
  TKsThread& operator=(const TKsThread&) = delete;

  // Resumes a stopped, parked or never-started worker; nothing happens when
  // it is already running.
  void Start();

  // Marks the worker to pause after its current Run; Stop twice is Stop once.
  void Stop();

  // True when termination was requested, the worker is marked to pause, is
  // parked, or has not been started yet.
  // Without the lock (every change of the answer is one published store),
  // and inline: a worker's loop asks it for every unit of work.
  bool Stopped() const noexcept { return Terminated() || idle_.load(std::memory_order_acquire); }

  // Requests termination, wakes the worker and waits for its end; returns the
  // exit value set by SetReturnValue (0 by default). Throws ks::Exception
  // "Cannot call TerminateAndWaitFor on FreeAndTerminate threads" when
  // FreeOnTerminate is set. Must not be called from the worker itself.
  std::int32_t TerminateAndWaitFor();

  // Requests termination without waking a parked worker.
  void Terminate();

  // Termination has been requested.
  bool Terminated() const noexcept { return terminated_.load(std::memory_order_acquire); }

  // The worker's body has returned.
  bool Finished() const noexcept { return finished_.load(std::memory_order_acquire); }

  bool GetFreeOnTerminate() const;
  void SetFreeOnTerminate(bool value);

  // The exception other than ks::Exception that ended the worker, or empty.
  std::exception_ptr FatalException() const;

 protected:
  // One unit of work; called repeatedly on the worker's thread.
  virtual void Run() = 0;

  // The fixed rule of this class: every ks::Exception from Run ends the worker.
  bool HandleRunException(const Exception&) const noexcept { return false; }

  void SetReturnValue(std::int32_t value) noexcept { returnValue_.store(value, std::memory_order_relaxed); }

 private:
  void Body();
  bool StoppedLocked() const;
  // Waits, parked, while the worker is stopped; false when it is to end.
  bool ParkWhileStopped();
  // Publishes whether stoppedMark_, parked_ or launched_ keep the worker
  // from running, for Stopped; lock_ held.
  void NoteIdle() noexcept { idle_.store(stoppedMark_ || parked_ || !launched_, std::memory_order_release); }

  mutable std::mutex lock_;            // guards the fields below it and the transitions
  std::condition_variable resumed_;    // signalled by Start
  bool stoppedMark_;
  bool parked_ = false;
  bool launched_ = false;
  std::atomic<bool> idle_{true};       // the three above, as NoteIdle last published them
  bool freeOnTerminate_ = false;
  std::exception_ptr fatal_;
  std::thread thread_;                 // assigned once, under lock_, by the first Start

  std::mutex joinLock_;                // serialises joins of thread_
  std::atomic<bool> terminated_{false};
  std::atomic<bool> finished_{false};
  std::atomic<std::int32_t> returnValue_{0};
};

}  // namespace ks
