// KsHeartBeat: TKsHeartBeat keeps the heart-beats of one STOMP 1.1/1.2 link:
// it writes an end of line whenever the client has written nothing for half
// the outgoing interval, and declares the link lost when nothing has arrived
// from the broker for grace times the incoming interval.
//
// It watches the link only through IKsHeartBeatLink: counters of the bytes
// sent and received, how many bytes are waiting unread, and a beat write
// that never waits (a link busy with a send, or whose socket takes nothing,
// is not idle, and the beat is tried again later). Bytes that arrive while
// nobody reads count as arrived when the number waiting grows, so neither a
// listener that takes longer than the interval nor a connection that never
// reads (a producer) trips it, while a broker that stops sending does. A
// full receive window (kManyWaiting bytes or more waiting) also counts as
// alive: the broker cannot send more until the application reads.
// The per-frame paths pay only for their counters; all the rest happens on
// the timer's own thread, which wakes about twice per interval and never
// more often.
//
// States (one enum, changed in one place, each change logged at DEBUG with
// its cause):
//   Idle     made, or both intervals 0: no thread runs.
//   Watching the timer thread runs.
//   Lost     the broker was silent too long; OnLost is called once, on the
//            timer thread, with the cause, and the thread ends.
//   Stopped  Stop was called (the link is closing).
// Step runs one round of the timer at a given time without the thread, so
// that the rules can be checked without waiting (Arm sets it up).
//
// Ownership: the owner (the transport adapter) owns the heart-beat and the
// link it watches, which must outlive it. Threads: Start, Stop and
// GetState from any thread; Stop may be called from inside OnLost (it then
// returns at once, and the thread ends after OnLost returns); the owner may
// even be destroyed from inside OnLost. Step and Arm are for tests and must
// not be mixed with Start.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <thread>

namespace ks {

class IKsHeartBeatLink {
 public:
  virtual ~IKsHeartBeatLink() = default;
  // Monotone counts of the bytes the link has received and sent.
  virtual std::uint64_t BytesReceived() const noexcept = 0;
  virtual std::uint64_t BytesSent() const noexcept = 0;
  // How many bytes have arrived that nobody has read yet.
  virtual std::uint64_t BytesWaiting() noexcept = 0;
  // Writes one end of line unless that would wait; true when it was written.
  virtual bool TryWriteBeat() noexcept = 0;
};

// The intervals agreed in CONNECT/CONNECTED (0: no beats that way) and how
// many incoming intervals of silence are tolerated.
struct TKsHeartBeatTimes {
  std::chrono::milliseconds outgoing{0};
  std::chrono::milliseconds incoming{0};
  double grace = 2.5;
};

class TKsHeartBeat {
 public:
  enum class TState : std::uint8_t { Idle, Watching, Lost, Stopped };
  static constexpr std::uint64_t kManyWaiting = 64 * 1024;
  using TClock = std::chrono::steady_clock;
  using TLostEvent = std::function<void(const std::string& cause)>;

  TKsHeartBeat(IKsHeartBeatLink& link, TLostEvent onLost);
  ~TKsHeartBeat();
  TKsHeartBeat(const TKsHeartBeat&) = delete;
  TKsHeartBeat& operator=(const TKsHeartBeat&) = delete;

  // Starts watching with times (after a Stop, anew); with both intervals 0
  // nothing runs.
  void Start(const TKsHeartBeatTimes& times);
  // Ends the watch and joins the thread (not from the thread itself).
  void Stop();
  TState GetState() const;

  // For tests: sets up the watch at now without a thread, then runs one
  // round at now (a beat when due; Lost when the silence has lasted too
  // long) and answers when the next round is due.
  void Arm(const TKsHeartBeatTimes& times, TClock::time_point now);
  TClock::time_point Step(TClock::time_point now);
  // Why the link was declared lost (empty before).
  std::string LostCause() const;

 private:
  void Run();
  TClock::time_point StepLocked(TClock::time_point now);
  void ArmLocked(const TKsHeartBeatTimes& times, TClock::time_point now);
  void ChangeState(TState next, const std::string& cause);
  // Joins thread, or keeps it in retired_ when this is that thread.
  void Finish(std::thread thread);

  IKsHeartBeatLink& link_;
  const TLostEvent onLost_;
  mutable std::mutex mutex_;
  std::condition_variable changed_;
  std::thread thread_;
  std::thread retired_;  // a thread that stopped itself from inside OnLost
  TState state_ = TState::Idle;
  TKsHeartBeatTimes times_;
  std::chrono::milliseconds silenceLimit_{0};  // grace × incoming
  std::uint64_t lastSent_ = 0;
  std::uint64_t lastReceived_ = 0;
  std::uint64_t lastWaiting_ = 0;
  TClock::time_point lastWrite_;    // when the sent count last moved (or a beat went out)
  TClock::time_point lastArrival_;  // when the received count last moved (or bytes waited)
  std::string lostCause_;
};

}  // namespace ks
