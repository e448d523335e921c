// KsLogger: TSimpleLogger, the console logger behind ILogging.
//
// A new logger follows the log factory's threshold (INFO unless the
// application changed it) until SetLevel gives it one of its own; it has no
// handler, and console output on in a console program (off otherwise). A console line is written with one
// ks::WriteLine call, so lines from several threads never interleave.
//
// TKsDebugWatch answers, with one load, whether any logger may have debug
// enabled at all: it notes every threshold set (here and in TLogFactory).
//
// Threads: no lock. Level and console flag are atomics and may be changed
// while other threads log; the handler must be set before the logger is
// shared between threads.
#pragma once

#include <atomic>

#include "support/KsLog.hpp"

namespace ks {

// Whether a threshold of LOG_DEBUG or below was ever set, on any logger or
// on the log factory. Until then no logger the factory made has debug
// enabled, so a caller on the path of every message may take a false
// Possible() as the answer of IsDebugEnabled and ask its logger only
// otherwise. It never turns false again. Any thread.
class TKsDebugWatch {
 public:
  TKsDebugWatch() = delete;
  static bool Possible() noexcept { return seen_.load(std::memory_order_relaxed); }
  // Called by every setter of a threshold, before it stores the threshold.
  static void Note(int threshold) noexcept {
    if (threshold <= LOG_DEBUG) seen_.store(true, std::memory_order_relaxed);
  }

 private:
  static inline std::atomic<bool> seen_{false};
};

class TSimpleLogger final : public ILogging {
 public:
  TSimpleLogger();

  void SetConsoleOutput(bool value) override;
  bool GetConsoleOutput() const override;
  void SetLevel(TLogLevel level) override;
  TLogLevel GetLevel() const override;
  void SetOnLog(TLogEvent handler) override;
  TLogEvent GetOnLog() const override;
  void Trace(const std::string& text) override;
  void Debug(const std::string& text) override;
  void Info(const std::string& text) override;
  void Warn(const std::string& text) override;
  void Error(const std::string& text) override;
  void Fatal(const std::string& text) override;
  void Log(const std::string& text, TLogLevel level) override;
  std::string FormatLine(const std::string& text, TLogLevel level) const override;
  bool IsDebugEnabled() const override;

 private:
  // The logger's own threshold, or kFollowFactory.
  static constexpr int kFollowFactory = -1;
  std::atomic<int> threshold_{kFollowFactory};
  TLogEvent handler_;
  std::atomic<bool> consoleOutput_{false};
};

}  // namespace ks
