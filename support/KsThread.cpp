#include "support/KsThread.hpp"

namespace ks {

TKsThread::TKsThread(bool createStopped) : stoppedMark_(createStopped) { NoteIdle(); }

TKsThread::~TKsThread() {
  bool ownThread = false;
  {
    std::lock_guard<std::mutex> guard(lock_);
    ownThread = launched_ && thread_.get_id() == std::this_thread::get_id();
  }
  if (ownThread) {
    // Destroyed from its own body (FreeOnTerminate, or a Run that deletes its
    // worker): the thread cannot join itself.
    if (thread_.joinable()) thread_.detach();
    return;
  }
  {
    std::lock_guard<std::mutex> guard(lock_);
    terminated_.store(true, std::memory_order_release);
    parked_ = false;
    NoteIdle();
  }
  resumed_.notify_all();
  std::lock_guard<std::mutex> join(joinLock_);
  if (thread_.joinable()) thread_.join();
}

bool TKsThread::StoppedLocked() const {
  return Terminated() || stoppedMark_ || parked_ || !launched_;
}

void TKsThread::Start() {
  {
    std::lock_guard<std::mutex> guard(lock_);
    if (!StoppedLocked()) return;
    stoppedMark_ = Terminated();
    parked_ = false;
    if (!launched_) {
      // A worker that was asked to end before it ever ran is never launched.
      if (Terminated()) {
        NoteIdle();
        return;
      }
      launched_ = true;
      NoteIdle();
      thread_ = std::thread([this] { Body(); });
      return;
    }
    NoteIdle();
  }
  resumed_.notify_all();
}

void TKsThread::Stop() {
  std::lock_guard<std::mutex> guard(lock_);
  if (StoppedLocked()) return;
  stoppedMark_ = true;
  NoteIdle();
}

void TKsThread::Terminate() {
  std::lock_guard<std::mutex> guard(lock_);
  terminated_.store(true, std::memory_order_release);
}

std::int32_t TKsThread::TerminateAndWaitFor() {
  if (GetFreeOnTerminate()) {
    throw Exception("Cannot call TerminateAndWaitFor on FreeAndTerminate threads");
  }
  Terminate();
  Start();
  // No launch can happen after termination was requested, so thread_ is
  // stable from here on.
  std::lock_guard<std::mutex> join(joinLock_);
  {
    std::lock_guard<std::mutex> guard(lock_);
    if (!launched_) return returnValue_.load(std::memory_order_relaxed);
  }
  if (thread_.joinable()) thread_.join();
  return returnValue_.load(std::memory_order_relaxed);
}

bool TKsThread::GetFreeOnTerminate() const {
  std::lock_guard<std::mutex> guard(lock_);
  return freeOnTerminate_;
}

void TKsThread::SetFreeOnTerminate(bool value) {
  std::lock_guard<std::mutex> guard(lock_);
  freeOnTerminate_ = value;
}

std::exception_ptr TKsThread::FatalException() const {
  std::lock_guard<std::mutex> guard(lock_);
  return fatal_;
}

bool TKsThread::ParkWhileStopped() {
  std::unique_lock<std::mutex> guard(lock_);
  if (!StoppedLocked()) return true;
  if (Terminated()) return false;
  parked_ = true;
  NoteIdle();
  resumed_.wait(guard, [this] { return !parked_ || Terminated(); });
  parked_ = false;
  NoteIdle();
  return !Terminated();
}

void TKsThread::Body() {
  try {
    while (!Terminated()) {
      if (!ParkWhileStopped()) break;
      while (!Stopped()) {
        try {
          Run();
        } catch (const Exception& e) {
          if (!HandleRunException(e)) {
            Terminate();
            throw;
          }
        }
      }
    }
  } catch (const Exception&) {
    // Errors of the library end the worker silently.
    Terminate();
  } catch (...) {
    Terminate();
    std::lock_guard<std::mutex> guard(lock_);
    fatal_ = std::current_exception();
  }
  bool freeSelf;
  {
    std::lock_guard<std::mutex> guard(lock_);
    freeSelf = freeOnTerminate_;
  }
  finished_.store(true, std::memory_order_release);
  if (freeSelf) delete this;
}

}  // namespace ks
