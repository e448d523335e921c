// KsBrokerHeartBeat: the heart-beats of one Cistern connection: when an
// end-of-line is due to the client, and when the client has been silent for
// too long.
//
// The connection reports each time it wrote bytes to its socket (Wrote) and
// read bytes from it (Read), on the server loop's clock. The server keeps
// each connection in a timer list under NextCheck() and calls Check when
// that time has come; Check answers what is due then. Reports in between
// move the next check later, and are taken into account when the early one
// comes, so a busy connection costs one check per interval, not one per
// write.
//
// States (one enum, changed only by Enter): Off until Start, and after Stop;
// Running while one side or both are watched; Lost once the client stayed
// silent past its limit (final).
//
// Threads: the server loop's thread only.
#pragma once

#include <cstdint>
#include <limits>

namespace ks {

class TBrokerHeartBeat {
 public:
  enum class TState : std::uint8_t { Off, Running, Lost };
  enum class TDue : std::uint8_t { Nothing, Beat, Lost };
  static constexpr std::int64_t kNever = std::numeric_limits<std::int64_t>::max();

  // From now on: an end-of-line is due when nothing was written for
  // sendEvery ms, and the client is lost when nothing was read for
  // silentLimit ms (0: not that side).
  void Start(std::int64_t sendEvery, std::int64_t silentLimit, std::int64_t now);
  // No more beats or checks (the connection is closing).
  void Stop();
  TState State() const { return state_; }
  std::int64_t SilentLimit() const { return silentLimit_; }

  void Wrote(std::int64_t now) { lastWrite_ = now; }
  void Read(std::int64_t now) { lastRead_ = now; }

  // What is due at now: Lost (and the state with it) once the client has
  // been silent for its limit; else Beat when nothing was written for the
  // send interval, after which the caller writes an end-of-line (or, with
  // output still waiting to go, nothing) and calls Wrote either way; else
  // Nothing.
  TDue Check(std::int64_t now);
  // When Check may next find something due; kNever unless Running.
  std::int64_t NextCheck() const;

 private:
  void Enter(TState state) { state_ = state; }

  TState state_ = TState::Off;
  std::int64_t sendEvery_ = 0;
  std::int64_t silentLimit_ = 0;
  std::int64_t lastWrite_ = 0;
  std::int64_t lastRead_ = 0;
};

}  // namespace ks
