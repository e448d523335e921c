#include "support/KsLog.hpp"

#include <atomic>
#include <cstddef>

namespace ks {

namespace {
std::atomic<bool> consoleProgram{true};
}  // namespace

const char* LogLevelLabel(TLogLevel level) noexcept {
  static const char* const kLabels[] = {"TRACE", "DEBUG", "INFO", "WARN", "ERROR", "FATAL"};
  return level <= LOG_FATAL ? kLabels[level] : "";
}

bool LogLevelFromName(std::string_view name, TLogLevel& level) noexcept {
  for (TLogLevel candidate = LOG_TRACE; candidate <= LOG_FATAL; ++candidate) {
    const std::string_view label = LogLevelLabel(candidate);
    if (name.size() != label.size()) continue;
    bool same = true;
    for (std::size_t i = 0; i < name.size() && same; ++i) {
      char c = name[i];
      if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
      same = c == label[i];
    }
    if (same) {
      level = candidate;
      return true;
    }
  }
  return false;
}

bool IsConsoleProgram() noexcept { return consoleProgram.load(std::memory_order_relaxed); }

void SetConsoleProgram(bool value) noexcept { consoleProgram.store(value, std::memory_order_relaxed); }

}  // namespace ks
