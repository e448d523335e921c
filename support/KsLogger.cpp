#include "support/KsLogger.hpp"

#include "support/KsConsole.hpp"
#include "support/KsDateTime.hpp"
#include "support/KsException.hpp"
#include "support/KsLogFactory.hpp"

namespace ks {

TSimpleLogger::TSimpleLogger() {
  if (IsConsoleProgram()) SetConsoleOutput(true);
}

void TSimpleLogger::SetConsoleOutput(bool value) {
  if (!IsConsoleProgram()) throw Exception("No console application");
  consoleOutput_.store(value, std::memory_order_relaxed);
}

bool TSimpleLogger::GetConsoleOutput() const { return consoleOutput_.load(std::memory_order_relaxed); }

void TSimpleLogger::SetLevel(TLogLevel level) {
  TKsDebugWatch::Note(level);
  threshold_.store(level, std::memory_order_relaxed);
}

TLogLevel TSimpleLogger::GetLevel() const {
  const int own = threshold_.load(std::memory_order_relaxed);
  return own == kFollowFactory ? TLogFactory::GetLevel() : static_cast<TLogLevel>(own);
}

void TSimpleLogger::SetOnLog(TLogEvent handler) { handler_ = std::move(handler); }

TLogEvent TSimpleLogger::GetOnLog() const { return handler_; }

void TSimpleLogger::Trace(const std::string& text) { Log(text, LOG_TRACE); }
void TSimpleLogger::Debug(const std::string& text) { Log(text, LOG_DEBUG); }
void TSimpleLogger::Info(const std::string& text) { Log(text, LOG_INFO); }
void TSimpleLogger::Warn(const std::string& text) { Log(text, LOG_WARN); }
void TSimpleLogger::Error(const std::string& text) { Log(text, LOG_ERROR); }
void TSimpleLogger::Fatal(const std::string& text) { Log(text, LOG_FATAL); }

void TSimpleLogger::Log(const std::string& text, TLogLevel level) {
  if (level < GetLevel()) return;
  if (handler_) handler_(text, level);
  if (TLogFactory::ToSink(level, text)) return;
  if (GetConsoleOutput() && IsConsoleProgram()) WriteLine(FormatLine(text, level));
}

std::string TSimpleLogger::FormatLine(const std::string& text, TLogLevel level) const {
  std::string line = DateTimeToString(NowLocal());
  line += " [";
  line += LogLevelLabel(level);
  line += "] ";
  line += text;
  return line;
}

bool TSimpleLogger::IsDebugEnabled() const { return GetLevel() <= LOG_DEBUG; }

}  // namespace ks
