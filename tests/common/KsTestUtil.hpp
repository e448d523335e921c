// KsTestUtil: the small helpers every suite shares.
//
// - Waiting and timing. WaitUntil is how a test waits for another thread or
//   process to reach a state: it checks a condition until it holds or the
//   time-out passes, and says which; a test never sleeps in the hope that a
//   state was reached. ElapsedMs measures a call. TimeBoundMs is for upper
//   bounds on elapsed time ("Disconnect is prompt"): the bound as written in
//   the plain build, a multiple of it under a sanitizer, where code runs
//   several times slower. A bound that guards against a wait of a known
//   length keeps its meaning in the plain build and, under a sanitizer,
//   still tells a prompt call from a hang.
// - Loopback ports. FreePort answers a port on 127.0.0.1 that was free a
//   moment ago (bound to port 0, then closed; 0 when none could be had): for
//   a server the test starts (which retries should another process take it
//   first), or as an address where nothing listens. PortAccepts tells
//   whether something listens on a port now.
// - Required peers. KS_REQUIRE_PEER(reason) is what a test does when a
//   third-party broker or client it needs (ActiveMQ, RabbitMQ, the Python
//   STOMP client) is not installed: reason says why (empty when the peer is
//   there). On a developer's machine the test is skipped, with the reason, so
//   everything else still runs; with CI=true in the environment (.ci/run sets
//   it) it fails, naming what is missing, so a CI run never goes green
//   without its real-broker coverage. The macro returns from the calling
//   function (a test body or SetUp): put it right before the first step that
//   needs the peer, so the steps before it run everywhere.
// - kConnectedFrame and ErrorOf, for tests of the protocol layers.
// - Program output and addresses: LinesAfter picks the lines of a program
//   that begin with a prefix; FailoverUrl writes a failover address.
//
// Threads: any; WaitUntil evaluates its condition on the calling thread.
// KS_REQUIRE_PEER belongs on the test's main thread.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace ks::test {

using TClock = std::chrono::steady_clock;

// Evaluates condition (about once a millisecond) until it answers true;
// false when the time-out passed first.
bool WaitUntil(const std::function<bool()>& condition,
               std::chrono::milliseconds timeout = std::chrono::milliseconds(5000));
// Milliseconds since since.
long long ElapsedMs(TClock::time_point since);
// ms scaled by how many times slower this build runs timed code: 1 in the
// plain build, more under a sanitizer.
long long TimeBoundMs(long long ms);

std::uint16_t FreePort();
bool PortAccepts(std::uint16_t port);
// A socket listening on 127.0.0.1 on a free port (-1 when that failed),
// with that port in port; receiveBuffer, when above 0, is its SO_RCVBUF
// (taken over by the connections it accepts). The caller closes it.
int ListenOnLoopback(std::uint16_t& port, int backlog = 8, int receiveBuffer = 0);

// True when the environment has CI=true.
bool PeersRequired();

// Lines that begin with prefix, with the prefix removed.
std::vector<std::string> LinesAfter(const std::vector<std::string>& lines, const std::string& prefix);
// "failover:(A1,A2,...)", followed by "?" and params when they are given.
std::string FailoverUrl(const std::vector<std::string>& addresses, const std::string& params = std::string());

// The reply a broker sends to accept a login.
inline const std::string kConnectedFrame = std::string("CONNECTED\nsession:s1\n\n") + std::string(1, '\0') + "\n";

// Runs f and returns the message of the error of type E it raises, or
// "<no error>" when it raises none.
template <typename E, typename F>
std::string ErrorOf(F&& f) {
  try {
    f();
  } catch (const E& e) {
    return e.what();
  }
  return "<no error>";
}

}  // namespace ks::test

#define KS_REQUIRE_PEER(reason)                                                                    \
  do {                                                                                             \
    const std::string ks_peer_missing_ = (reason);                                                 \
    if (!ks_peer_missing_.empty()) {                                                               \
      if (::ks::test::PeersRequired()) FAIL() << "required with CI=true: " << ks_peer_missing_;    \
      GTEST_SKIP() << ks_peer_missing_;                                                            \
    }                                                                                              \
  } while (false)
