#include "support/KsThread.hpp"

#include <atomic>
#include <chrono>
#include <stdexcept>
#include <thread>

#include <gtest/gtest.h>

#include "tests/common/KsTestUtil.hpp"

namespace {

using namespace std::chrono_literals;

using ks::test::WaitUntil;

// Counts its Run calls; optionally raises on a chosen call.
class TCountingThread : public ks::TKsThread {
 public:
  enum class Raise { None, KsError, OtherError };

  explicit TCountingThread(bool createStopped, Raise raise = Raise::None, int raiseAt = 1)
      : TKsThread(createStopped), raise_(raise), raiseAt_(raiseAt) {}
  ~TCountingThread() override {
    if (!GetFreeOnTerminate()) TerminateAndWaitFor();
  }

  std::atomic<int> runs{0};

 protected:
  void Run() override {
    int n = ++runs;
    if (n == raiseAt_) {
      if (raise_ == Raise::KsError) throw ks::Exception("worker failed");
      if (raise_ == Raise::OtherError) throw std::runtime_error("not a library error");
    }
    SetReturnValue(n > 0 ? 7 : 0);
    std::this_thread::sleep_for(100us);
  }

 private:
  Raise raise_;
  int raiseAt_;
};

TEST(KsThread, CreatedStoppedWaitsForStartThenStopsAndResumes) {
  TCountingThread worker(true);
  std::this_thread::sleep_for(20ms);
  EXPECT_EQ(worker.runs.load(), 0);
  EXPECT_TRUE(worker.Stopped());

  worker.Start();
  EXPECT_FALSE(worker.Stopped());
  ASSERT_TRUE(WaitUntil([&] { return worker.runs.load() > 3; }));

  worker.Stop();
  worker.Stop();  // the same as once
  EXPECT_TRUE(worker.Stopped());
  // After the current Run the worker parks: the count settles.
  int settled = -1;
  ASSERT_TRUE(WaitUntil([&] {
    int before = worker.runs.load();
    std::this_thread::sleep_for(5ms);
    if (before == worker.runs.load()) settled = before;
    return settled >= 0;
  }));
  std::this_thread::sleep_for(20ms);
  EXPECT_EQ(worker.runs.load(), settled);
  EXPECT_FALSE(worker.Terminated());

  worker.Start();
  EXPECT_FALSE(worker.Stopped());
  ASSERT_TRUE(WaitUntil([&] { return worker.runs.load() > settled + 3; }));
  worker.Start();  // already running: nothing happens
  EXPECT_EQ(worker.TerminateAndWaitFor(), 7);
  EXPECT_TRUE(worker.Finished());
  EXPECT_TRUE(worker.Stopped());
}

TEST(KsThread, TerminateAndWaitForEndsNeverStartedAndParkedWorkers) {
  {
    TCountingThread never(true);
    auto begin = std::chrono::steady_clock::now();
    EXPECT_EQ(never.TerminateAndWaitFor(), 0);
    EXPECT_LT(std::chrono::steady_clock::now() - begin, 1s);
    EXPECT_EQ(never.runs.load(), 0);
    EXPECT_TRUE(never.Terminated());
    EXPECT_TRUE(never.Stopped());
    never.Start();  // a terminated worker is never launched
    EXPECT_EQ(never.runs.load(), 0);
  }
  {
    // Created "running": still waits for the first Start.
    TCountingThread running(false);
    EXPECT_TRUE(running.Stopped());
    running.Start();
    ASSERT_TRUE(WaitUntil([&] { return running.runs.load() > 0; }));
    running.Stop();
    ASSERT_TRUE(WaitUntil([&] { return running.Stopped(); }));
    running.Terminate();  // does not wake the parked worker
    EXPECT_FALSE(running.Finished());
    running.TerminateAndWaitFor();
    EXPECT_TRUE(running.Finished());
  }
}

TEST(KsThread, ErrorsFromRunEndTheWorker) {
  TCountingThread ksError(true, TCountingThread::Raise::KsError, 3);
  ksError.Start();
  ASSERT_TRUE(WaitUntil([&] { return ksError.Finished(); }));
  EXPECT_EQ(ksError.runs.load(), 3);
  EXPECT_TRUE(ksError.Stopped());
  EXPECT_TRUE(ksError.Terminated());
  EXPECT_FALSE(ksError.FatalException());  // dropped silently
  ksError.TerminateAndWaitFor();           // joining an ended worker is fine

  TCountingThread other(true, TCountingThread::Raise::OtherError, 2);
  other.Start();
  ASSERT_TRUE(WaitUntil([&] { return other.Finished(); }));
  EXPECT_EQ(other.runs.load(), 2);
  EXPECT_TRUE(other.Stopped());
  std::exception_ptr fatal = other.FatalException();
  ASSERT_TRUE(fatal);
  EXPECT_THROW(std::rethrow_exception(fatal), std::runtime_error);
}

TEST(KsThread, FreeOnTerminateRefusesWaitAndFreesItself) {
  TCountingThread worker(true);
  worker.SetFreeOnTerminate(true);
  try {
    worker.TerminateAndWaitFor();
    FAIL() << "expected an error";
  } catch (const ks::Exception& e) {
    EXPECT_STREQ(e.what(), "Cannot call TerminateAndWaitFor on FreeAndTerminate threads");
  }
  worker.SetFreeOnTerminate(false);
  worker.TerminateAndWaitFor();

  // A heap worker with FreeOnTerminate deletes itself when its body ends.
  static std::atomic<bool> destroyed{false};
  struct TSelfFreeing : TCountingThread {
    TSelfFreeing() : TCountingThread(true, Raise::KsError, 2) { SetFreeOnTerminate(true); }
    ~TSelfFreeing() override { destroyed = true; }
  };
  auto* self = new TSelfFreeing;
  self->Start();
  EXPECT_TRUE(WaitUntil([] { return destroyed.load(); }));
}

// The base destructor ends a parked worker that nobody terminated.
class TBareThread : public ks::TKsThread {
 public:
  explicit TBareThread(std::atomic<int>& runs) : TKsThread(true), runs_(runs) {}

 protected:
  void Run() override {
    ++runs_;
    Stop();
  }

 private:
  std::atomic<int>& runs_;
};

TEST(KsThread, DestructorJoinsAParkedWorkerAndStartStopRacesAreSafe) {
  std::atomic<int> runs{0};
  {
    TBareThread bare(runs);
    bare.Start();
    ASSERT_TRUE(WaitUntil([&] { return runs.load() == 1 && bare.Stopped(); }));
  }  // must neither hang nor call std::terminate
  EXPECT_EQ(runs.load(), 1);

  TCountingThread worker(true);
  std::atomic<bool> go{true};
  std::thread starter([&] {
    while (go) worker.Start();
  });
  std::thread stopper([&] {
    while (go) {
      worker.Stop();
      (void)worker.Stopped();
    }
  });
  ASSERT_TRUE(WaitUntil([&] { return worker.runs.load() > 20; }));
  go = false;
  starter.join();
  stopper.join();
  worker.TerminateAndWaitFor();
  EXPECT_TRUE(worker.Finished());
}

}  // namespace
