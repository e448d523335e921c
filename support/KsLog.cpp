#include "support/KsLog.hpp"

#include <atomic>

namespace ks {

namespace {
std::atomic<bool> consoleProgram{true};
}  // namespace

const char* LogLevelLabel(TLogLevel level) noexcept {
  static const char* const kLabels[] = {"TRACE", "DEBUG", "INFO", "WARN", "ERROR", "FATAL"};
  return level <= LOG_FATAL ? kLabels[level] : "";
}

bool IsConsoleProgram() noexcept { return consoleProgram.load(std::memory_order_relaxed); }

void SetConsoleProgram(bool value) noexcept { consoleProgram.store(value, std::memory_order_relaxed); }

}  // namespace ks
