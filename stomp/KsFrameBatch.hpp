// KsFrameBatch: TKsFrameBatch, the write buffer of batched sending. The
// byte images of SEND frames are gathered in one buffer of at most 64 KiB
// and written with one transport write when the buffer is full, before any
// frame that is written through (every frame that is not a plain SEND), on
// Flush, and at the latest `delay` milliseconds after the first frame that
// is still unwritten (a timer thread sees to that), so a lone frame is never
// held longer. A frame comes as its parts (header block, body, NUL LF),
// each copied once, straight into the buffer, or is written into the buffer
// in place by its maker; a frame too large for the buffer is written from
// where its parts lie, after what is held.
//
// The batch serialises all writes of its connection: Add, WriteThrough,
// Flush and the timer's write run under one lock, so frames never
// interleave and keep the order in which they were handed over. The writer
// (the transport's write of whole frames) runs under that lock and may
// block it while the socket is full, exactly as an unbatched write would.
// The lock is a TKsLightLock (one atomic step to take it, one to release
// it), since every batched send takes it once.
//
// Errors: the writer's ks::Exception goes to the caller when the write runs
// on the caller's thread. A write by the timer that fails goes to the error
// handler (on the timer thread, with no lock held). Either way the failed
// bytes are gone, the error is kept, and every later Add, WriteThrough and
// Flush raises it again until Reset. The frames that were held and not
// written (those of failed writes, and those Abandon drops) are counted
// until Abandon answers the count.
//
// Ownership: owned by the protocol client whose frames it gathers; owns its
// timer thread, which is started by the first Add and stopped and joined by
// Stop and by the destructor.
// Threads: Add, WriteThrough, Flush and Stop from any thread; Reset and the
// constructor's handlers on the owner's thread while nothing else runs.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <exception>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>

#include "support/KsLightLock.hpp"

namespace ks {

class TKsFrameBatch {
 public:
  // The largest number of bytes held before they are written.
  static constexpr std::size_t kCapacity = 64u * 1024u;

  // Writes one or more whole frames, given as parts in order, with the
  // given send time-out.
  using TWriter = std::function<void(const std::string_view* parts, std::size_t count, std::int32_t sendTimeout)>;
  // Told the error text of a failed write by the timer thread.
  using TErrorEvent = std::function<void(const std::string& text)>;

  TKsFrameBatch(TWriter writer, std::int32_t delayMs, TErrorEvent onTimerError);
  ~TKsFrameBatch();
  TKsFrameBatch(const TKsFrameBatch&) = delete;
  TKsFrameBatch& operator=(const TKsFrameBatch&) = delete;

  std::int32_t GetDelay() const noexcept { return delayMs_; }

  // Holds one frame, given as its parts in order, for a later write. What
  // is held is written first when the frame does not fit or has another
  // send time-out; a frame larger than the buffer is then written on its
  // own, from its parts.
  void Add(const std::string_view* parts, std::size_t count, std::int32_t sendTimeout);
  // The same for a frame of size bytes (below kCapacity) that fill(at)
  // writes straight into the buffer, at the char* it is given; fill must
  // write exactly size bytes and must not raise.
  template <class Fill>
  void AddInPlace(std::size_t size, std::int32_t sendTimeout, Fill&& fill) {
    std::lock_guard<TKsLightLock> guard(lock_);
    char* at = ReserveLocked(size, sendTimeout);
    fill(at);
    CommitLocked(size);
  }
  // Writes what is held, then the frame of parts on its own.
  void WriteThrough(const std::string_view* parts, std::size_t count, std::int32_t sendTimeout);
  // Writes what is held.
  void Flush();
  // Writes what is held when write is true (errors kept, not raised), drops
  // it otherwise, and ends the timer thread (joined, unless Stop runs on it,
  // from the error handler: then it ends when the handler returns). A later
  // Add starts a new one.
  void Stop(bool write);
  // Forgets what is held and any kept error (for a new connection).
  void Reset();
  // The connection is gone: drops what is held and answers how many frames
  // were handed to Add and never written (dropped here, or lost with a
  // failed write) since the last Abandon. Waits for a write under way.
  std::size_t Abandon();
  // The connection is down for a while: nothing is written (what is held
  // stays held, the timer idles) and Add, WriteThrough and Flush raise
  // cause, until Resume, which forgets cause and any kept error; the next
  // Flush writes what is held.
  void Suspend(std::exception_ptr cause);
  void Resume();
  // True when bytes are held.
  bool HoldsBytes();

 private:
  class TTimer;
  using Clock = std::chrono::steady_clock;

  // The helpers below run with lock_ held.
  // Raises the suspension's cause, else a kept error, when there is one.
  void RaiseKept() const {
    if (suspended_ || kept_) [[unlikely]] RaiseKeptNow();
  }
  [[noreturn]] void RaiseKeptNow() const;
  // Writes buffer_ and empties it; a failure is kept and raised.
  void WriteHeld();
  // Room for a frame of size bytes (below kCapacity) at the end of the
  // held bytes (written first when it does not fit or has another send
  // time-out); CommitLocked then holds the frame written there. The usual
  // case (bytes held already, and room for the frame) is decided in place.
  char* ReserveLocked(std::size_t size, std::int32_t sendTimeout) {
    if (bufferSize_ != 0 && !suspended_ && !kept_ && sendTimeout == bufferTimeout_ &&
        bufferSize_ + size <= kCapacity) [[likely]] {
      return buffer_.get() + bufferSize_;
    }
    return ReserveOther(size, sendTimeout);
  }
  char* ReserveOther(std::size_t size, std::int32_t sendTimeout);
  void CommitLocked(std::size_t size) {
    bufferSize_ += size;
    ++bufferFrames_;
    // The first frame held starts the timer; a full buffer is written.
    if (bufferSize_ == size || bufferSize_ == kCapacity) [[unlikely]] CommitOther(size);
  }
  void CommitOther(std::size_t size);
  // Writes one frame past the buffer; frames is what a failure leaves
  // unwritten. A failure is kept and raised.
  void WriteDirect(const std::string_view* parts, std::size_t count, std::int32_t sendTimeout, std::size_t frames);
  // Takes the lock and writes what is held, then the frame of parts on
  // its own (frames as WriteDirect's).
  void WriteAfterHeld(const std::string_view* parts, std::size_t count, std::int32_t sendTimeout,
                      std::size_t frames);
  void StartTimerLocked();
  // One wait of the timer thread: writes the held bytes when they are due.
  void TimerStep(const TTimer& self);

  TWriter writer_;
  TErrorEvent onTimerError_;
  const std::int32_t delayMs_;

  TKsLightLock lock_;
  std::condition_variable_any changed_;  // bytes held for the first time, or stop
  std::unique_ptr<char[]> buffer_;  // kCapacity bytes, made by the first Add
  std::size_t bufferSize_ = 0;       // bytes held in buffer_
  std::size_t bufferFrames_ = 0;     // frames in buffer_
  std::size_t unwritten_ = 0;        // frames held and never written, until Abandon
  std::int32_t bufferTimeout_ = -1;  // send time-out of the held frames
  Clock::time_point firstHeld_{};    // when the first held frame came
  std::uint64_t generation_ = 0;     // counts the writes of held bytes
  int idleTimers_ = 0;               // timer threads waiting for bytes to be held
  std::exception_ptr kept_;
  std::exception_ptr suspended_;  // see Suspend
  std::unique_ptr<TTimer> timer_;
  std::unique_ptr<TTimer> retired_;  // stopped from its own thread; joined later
};

}  // namespace ks
