// The reconnecting link (TKsFailover) on its own, with scripted hooks and
// no sockets: its back-off, its leases, its give-up rules; and the failover
// URI as the factory reads it.
#include "jms/KsFailover.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <deque>
#include <mutex>
#include <thread>
#include <vector>

#include "jms/KsJMSConnectionFactory.hpp"
#include "jms/KsURI.hpp"
#include "tests/common/KsTestUtil.hpp"

namespace ks::test {
namespace {

using namespace std::chrono_literals;
using TState = TKsFailover::TState;

TEST(FailoverBackOff, DelaysGrowByTheMultiplierToTheMaximumWithinTheirJitter) {
  const TKsBackOff defaults;  // 100 ms, x2, at most 30 s, 20 %
  // No jitter at 0.5; the most either way at 0 and (nearly) 1.
  EXPECT_EQ(ReconnectDelay(defaults, 0, 0.5), 100ms);
  EXPECT_EQ(ReconnectDelay(defaults, 1, 0.5), 200ms);
  EXPECT_EQ(ReconnectDelay(defaults, 4, 0.5), 1600ms);
  EXPECT_EQ(ReconnectDelay(defaults, 1, 0.0), 160ms);
  EXPECT_EQ(ReconnectDelay(defaults, 1, 0.999999), 240ms);
  // The first delay of a streak never goes below the initial delay (so the
  // first attempt comes within 120 ms), the last never above the maximum.
  EXPECT_EQ(ReconnectDelay(defaults, 0, 0.0), 100ms);
  EXPECT_EQ(ReconnectDelay(defaults, 0, 0.999999), 120ms);
  EXPECT_EQ(ReconnectDelay(defaults, 100, 0.999999), 30000ms);
  EXPECT_EQ(ReconnectDelay(defaults, 100, 0.0), 24000ms);
  // Delays from 100 ms up to 2 s.
  TKsBackOff capped;
  capped.maximum = 2000ms;
  std::vector<long long> delays;
  for (std::uint32_t n = 0; n < 8; ++n) delays.push_back(ReconnectDelay(capped, n, 0.5).count());
  EXPECT_EQ(delays, (std::vector<long long>{100, 200, 400, 800, 1600, 2000, 2000, 2000}));
  // A multiplier of 1 keeps the delay.
  TKsBackOff flat;
  flat.multiplier = 1.0;
  EXPECT_EQ(ReconnectDelay(flat, 50, 0.5), 100ms);
}

// Hooks that record what the failover asks of them; connect answers from a
// script (true: the log-in succeeds), failing once the script is empty.
struct TScriptedLink {
  std::mutex mutex;
  std::deque<bool> script;
  std::vector<std::size_t> connects;
  std::vector<std::chrono::milliseconds> delays;
  std::atomic<int> interrupted{0};
  std::atomic<int> resumed{0};
  std::atomic<int> gaveUp{0};
  std::atomic<int> cuts{0};
  std::atomic<std::uint64_t> link{0};
  bool refuse = false;

  TKsFailover::THooks Hooks() {
    TKsFailover::THooks hooks;
    hooks.connect = [this](std::size_t broker) -> std::uint64_t {
      std::lock_guard<std::mutex> guard(mutex);
      connects.push_back(broker);
      if (refuse) throw EKsLoginRefused("wrong password");
      const bool ok = !script.empty() && script.front();
      if (!script.empty()) script.pop_front();
      if (!ok) throw Exception("Connection refused");
      return ++link;
    };
    hooks.cut = [this] { ++cuts; };
    hooks.restore = [](std::uint64_t) {};
    hooks.interrupted = [this](const std::string&) { ++interrupted; };
    hooks.resumed = [this](const std::string&) { ++resumed; };
    hooks.gaveUp = [this](const std::string&) { ++gaveUp; };
    hooks.waiting = [this](std::uint32_t, std::chrono::milliseconds delay) {
      std::lock_guard<std::mutex> guard(mutex);
      delays.push_back(delay);
    };
    return hooks;
  }
  void Script(std::initializer_list<bool> results) {
    std::lock_guard<std::mutex> guard(mutex);
    script.insert(script.end(), results);
  }
  std::vector<std::chrono::milliseconds> TakeDelays() {
    std::lock_guard<std::mutex> guard(mutex);
    return std::exchange(delays, {});
  }
  std::size_t Connects() {
    std::lock_guard<std::mutex> guard(mutex);
    return connects.size();
  }
};

TKsFailoverOptions FastOptions() {
  TKsFailoverOptions options;
  options.backOff.initial = 10ms;
  options.backOff.maximum = 1000ms;
  return options;
}

TEST(Failover, ALinkUpForTheStablePeriodStartsTheNextOutageAtTheInitialDelayAShorterOneBacksOffFurther) {
  TScriptedLink link;
  auto now = TKsFailover::TClock::now();
  std::atomic<long long> shift{0};  // the failover's clock runs ahead by this many seconds
  TKsFailover failover({"a"}, FastOptions(), link.Hooks(),
                       [&] { return now + std::chrono::seconds(shift.load()) + (TKsFailover::TClock::now() - now); });
  link.Script({true});
  failover.Open();
  ASSERT_EQ(failover.GetState(), TState::Connected);
  // An outage whose first three attempts fail: 10, 20, 40, then 80 ms.
  link.Script({false, false, false, true});
  failover.Interrupted(failover.GetLink(), "lost");
  ASSERT_TRUE(WaitUntil([&] { return link.resumed.load() == 1; }));
  auto delays = link.TakeDelays();
  ASSERT_EQ(delays.size(), 4u);
  EXPECT_GE(delays[3], 64ms);
  // At once down again: the streak goes on (160 ms, give or take 20 %).
  link.Script({true});
  failover.Interrupted(failover.GetLink(), "lost again");
  ASSERT_TRUE(WaitUntil([&] { return link.resumed.load() == 2; }));
  delays = link.TakeDelays();
  ASSERT_EQ(delays.size(), 1u);
  EXPECT_GE(delays[0], 128ms);
  // Down after 30 s up: back to the initial delay.
  shift = 31;
  link.Script({true});
  failover.Interrupted(failover.GetLink(), "lost after a while");
  ASSERT_TRUE(WaitUntil([&] { return link.resumed.load() == 3; }));
  delays = link.TakeDelays();
  ASSERT_EQ(delays.size(), 1u);
  EXPECT_LE(delays[0], 12ms);
  EXPECT_EQ(link.interrupted.load(), 3);
  EXPECT_EQ(link.gaveUp.load(), 0);
}

TEST(Failover, TheLinkIsReplacedOnlyOnceNoOperationHoldsALeaseOnIt) {
  TScriptedLink link;
  TKsFailover failover({"a"}, FastOptions(), link.Hooks());
  link.Script({true});
  failover.Open();
  auto lease = failover.Enter(TKsFailover::TClock::time_point::max(), true);
  ASSERT_TRUE(lease.has_value());
  const std::uint64_t first = lease->Link();
  link.Script({true});
  failover.Interrupted(first, "lost");
  EXPECT_EQ(link.cuts.load(), 1);  // operations blocked on the socket return
  EXPECT_TRUE(failover.LinkWentDown(*lease));
  // The reconnect waits for the lease: nothing new connects meanwhile.
  EXPECT_FALSE(WaitUntil([&] { return link.Connects() > 1; }, 200ms));
  lease.reset();
  ASSERT_TRUE(WaitUntil([&] { return link.resumed.load() == 1; }));
  EXPECT_NE(failover.GetLink(), first);
  // A report about the old link does nothing now.
  failover.Interrupted(first, "late news");
  EXPECT_EQ(failover.GetState(), TState::Connected);
}

TEST(Failover, OperationsWaitForTheNextLinkUpToTheReconnectTimeoutAndNeverOnAThreadThatMayNot) {
  TScriptedLink link;
  TKsFailoverOptions options = FastOptions();
  options.backOff.initial = options.backOff.maximum = 300ms;
  options.reconnectTimeout = 100;
  TKsFailover failover({"a"}, options, link.Hooks());
  link.Script({true});
  failover.Open();
  link.Script({true});
  failover.Interrupted(failover.GetLink(), "lost");
  // Not back within 100 ms: raises, naming the time-out.
  const auto start = TKsFailover::TClock::now();
  try {
    failover.Enter(TKsFailover::TClock::time_point::max(), true);
    ADD_FAILURE() << "Enter did not raise";
  } catch (const EConnectionFailedException& error) {
    EXPECT_NE(std::string(error.what()).find("not resumed within 100 ms"), std::string::npos) << error.what();
  }
  EXPECT_LT(ElapsedMs(start), TimeBoundMs(250));
  // A caller that may not wait raises at once; one with a deadline of its
  // own that comes first gets none.
  EXPECT_THROW(failover.Enter(TKsFailover::TClock::time_point::max(), false), EKsLinkInterrupted);
  EXPECT_FALSE(failover.Enter(TKsFailover::TClock::now() + 20ms, true).has_value());
  ASSERT_TRUE(WaitUntil([&] { return link.resumed.load() == 1; }));
  EXPECT_TRUE(failover.Enter(TKsFailover::TClock::time_point::max(), false).has_value());
}

TEST(Failover, GivesUpOnceAfterMaxReconnectAttemptsAndAtOnceOnARefusedLogIn) {
  {
    TScriptedLink link;
    TKsFailoverOptions options = FastOptions();
    options.maxReconnectAttempts = 3;
    TKsFailover failover({"a", "b"}, options, link.Hooks());
    link.Script({true});
    failover.Open();
    failover.Interrupted(failover.GetLink(), "lost");
    // The state turns before the hook runs, on the reconnecting thread:
    // wait for the hook, the later of the two.
    ASSERT_TRUE(WaitUntil([&] { return link.gaveUp.load() >= 1; }));
    EXPECT_EQ(failover.GetState(), TState::GivenUp);
    EXPECT_EQ(link.gaveUp.load(), 1);
    // Three attempts of both brokers each, after the first connect.
    EXPECT_EQ(link.Connects(), 1u + 3u * 2u);
    EXPECT_NE(failover.GetCause().find("Gave up after 3 reconnect attempts"), std::string::npos);
    EXPECT_THROW(failover.Enter(TKsFailover::TClock::time_point::max(), true), EConnectionFailedException);
  }
  {
    // A refused log-in is never tried again, at the start or later.
    TScriptedLink link;
    TKsFailoverOptions options = FastOptions();
    options.startupMaxReconnectAttempts = 5;
    TKsFailover failover({"a", "b"}, options, link.Hooks());
    link.refuse = true;
    EXPECT_THROW(failover.Open(), EKsLoginRefused);
    EXPECT_EQ(link.Connects(), 1u);
    link.refuse = false;
    link.Script({true});
    failover.Open();
    ASSERT_EQ(failover.GetState(), TState::Connected);
    link.refuse = true;
    failover.Interrupted(failover.GetLink(), "lost");
    ASSERT_TRUE(WaitUntil([&] { return link.gaveUp.load() >= 1; }));
    EXPECT_EQ(failover.GetState(), TState::GivenUp);
    EXPECT_EQ(link.Connects(), 3u);
    EXPECT_EQ(link.gaveUp.load(), 1);
  }
}

TEST(FailoverURI, SplitsTheListAtItsAddressesAndTheFactoryChecksWhereEachParameterBelongs) {
  std::vector<std::string> uris;
  std::string params;
  ASSERT_TRUE(SplitFailoverURI(
      "failover:(stomp://h1:61613?vhost=a,b,stomp+ssl://h2?caFile=/x.pem)?heartBeat=1000,1000&randomize=true", uris,
      params));
  EXPECT_EQ(uris, (std::vector<std::string>{"stomp://h1:61613?vhost=a,b", "stomp+ssl://h2?caFile=/x.pem"}));
  EXPECT_EQ(params, "heartBeat=1000,1000&randomize=true");
  ASSERT_TRUE(SplitFailoverURI("failover:stomp://h1,stomp://h2", uris, params));
  EXPECT_EQ(uris.size(), 2u);
  EXPECT_TRUE(params.empty());
  EXPECT_FALSE(SplitFailoverURI("failover:(stomp://h1", uris, params));
  EXPECT_FALSE(SplitFailoverURI("failover:()", uris, params));
  EXPECT_FALSE(SplitFailoverURI("failover:(stomp://h1)x", uris, params));

  auto error = [](const std::string& url) {
    return ErrorOf<Exception>([&] { TKsJMSConnectionFactory("", "", url).CreateConnection(); });
  };
  EXPECT_EQ(error("failover:(stomp://h1?dialect=activemq)"),
            "The parameter dialect of stomp://h1?dialect=activemq belongs to the whole failover connection: give it "
            "after the list, as in failover:(...)?dialect=...");
  EXPECT_EQ(error("failover:(stomp://h1)?initialReconnectDelay=500&maxReconnectDelay=100"),
            "Invalid maxReconnectDelay 100: below initialReconnectDelay 500");
  EXPECT_EQ(error("failover:(stomp://h1)?backOffMultiplier=0.5"),
            "Invalid backOffMultiplier \"0.5\": a factor from 1 to 1000");
  EXPECT_EQ(error("failover:(stomp://h1,tcp://h2)"), "Unsupported Protocol!");
  EXPECT_EQ(error("failover:(stomp://h1)?maxReconnectAttempts=-2"),
            "Invalid maxReconnectAttempts \"-2\": a number of attempts from -1 to 2147483647");
  EXPECT_EQ(error("stomp://h1?maxReconnectAttempts=3"),
            "The parameter maxReconnectAttempts is for failover URLs only, as in "
            "failover:(stomp://host:61613)?maxReconnectAttempts=...");
  EXPECT_EQ(error("failover:(stomp://h1?cafile=x)?maxreconnectattempts=3&randomise=true").rfind(
                "Unknown URI parameter \"randomise\"; known parameters: ", 0),
            0u);
  EXPECT_EQ(error("failover:(stomp://h1?vhost=x,stomp+ssl://h2?verifyPeer=false)?randomize=true"), "<no error>");
}

}  // namespace
}  // namespace ks::test
