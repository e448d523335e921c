#include "support/KsLogFactory.hpp"

#include <atomic>
#include <mutex>
#include <utility>

#include "support/KsLogger.hpp"

namespace ks {

namespace {

std::mutex sinkLock;
TLogFactory::TLogSink sink;                // under sinkLock
std::atomic<bool> hasSink{false};          // whether sink is set, read without the lock
std::atomic<TLogLevel> level{LOG_INFO};

}  // namespace

std::shared_ptr<ILogging> TLogFactory::GetLogger(std::string_view /*className*/) {
  return std::make_shared<TSimpleLogger>();
}

void TLogFactory::SetLevel(TLogLevel value) noexcept {
  TKsDebugWatch::Note(value);
  level.store(value, std::memory_order_relaxed);
}

TLogLevel TLogFactory::GetLevel() noexcept { return level.load(std::memory_order_relaxed); }

void TLogFactory::SetSink(TLogSink newSink) {
  std::lock_guard<std::mutex> guard(sinkLock);
  sink = std::move(newSink);
  hasSink.store(static_cast<bool>(sink), std::memory_order_release);
}

bool TLogFactory::ToSink(TLogLevel level, const std::string& text) {
  if (!hasSink.load(std::memory_order_acquire)) return false;
  std::lock_guard<std::mutex> guard(sinkLock);
  if (!sink) return false;
  sink(level, text);
  return true;
}

}  // namespace ks
