// KsLog: the logging interface through which library components write their
// diagnostic traces, the log levels, and the process-wide "console program"
// flag.
//
// Levels are 8-bit values from TRACE (0) to FATAL (5); a message passes a
// logger when its level is not below the logger's threshold (compared as
// unsigned 8-bit values). A level outside 0..5 has the empty label.
//
// Console program: the library is used from console programs, so the flag
// defaults to true. A host that has no console (a service, a GUI) calls
// SetConsoleProgram(false) before it creates any logger; loggers then never
// write to standard output and SetConsoleOutput raises "No console
// application".
//
// Ownership: loggers are shared through std::shared_ptr<ILogging>.
// Threads: a logger takes no lock; Log may run on the reader thread and the
// caller's thread at the same time. Set the handler before the logger is
// shared between threads.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

#include "KsExport.hpp"

namespace ks {

// A log level (LOG_TRACE to LOG_FATAL).
using TLogLevel = std::uint8_t;

// The library's step-by-step traces.
inline constexpr TLogLevel LOG_TRACE = 0;
// Details for debugging.
inline constexpr TLogLevel LOG_DEBUG = 1;
// The default threshold.
inline constexpr TLogLevel LOG_INFO = 2;
// Something went wrong and was handled (a dropped message).
inline constexpr TLogLevel LOG_WARN = 3;
// A fault (a refused frame, a lost connection).
inline constexpr TLogLevel LOG_ERROR = 4;
// The highest level.
inline constexpr TLogLevel LOG_FATAL = 5;

// "TRACE", "DEBUG", "INFO", "WARN", "ERROR", "FATAL"; "" for other values.
KS_API const char* LogLevelLabel(TLogLevel level) noexcept;

// The level whose label is name, without regard to case ("debug" gives
// LOG_DEBUG); false, and level unchanged, for any other text.
KS_API bool LogLevelFromName(std::string_view name, TLogLevel& level) noexcept;

// Called with the message text and its level for every message that passes
// the threshold. Empty means no handler.
using TLogEvent = std::function<void(const std::string& text, TLogLevel level)>;

// Whether this process is a console program (default true).
KS_API bool IsConsoleProgram() noexcept;
// Declares whether this process is a console program (before any logger).
KS_API void SetConsoleProgram(bool value) noexcept;

// A logger: a threshold, an optional handler and console output. The
// library's components take theirs from TLogFactory; applications route
// the lines with TLogFactory::SetSink rather than through this interface.
class KS_API ILogging {
 public:
  virtual ~ILogging() = default;

  // Raises ks::Exception "No console application" when the process is not a
  // console program, whatever the value.
  virtual void SetConsoleOutput(bool value) = 0;
  // Whether passing lines are written to standard output.
  virtual bool GetConsoleOutput() const = 0;
  // Gives the logger a threshold of its own (instead of the factory's).
  virtual void SetLevel(TLogLevel level) = 0;
  // The threshold in force.
  virtual TLogLevel GetLevel() const = 0;
  // Sets or (empty) clears the handler.
  virtual void SetOnLog(TLogEvent handler) = 0;
  // The handler.
  virtual TLogEvent GetOnLog() const = 0;
  // Log at LOG_TRACE.
  virtual void Trace(const std::string& text) = 0;
  // Log at LOG_DEBUG.
  virtual void Debug(const std::string& text) = 0;
  // Log at LOG_INFO.
  virtual void Info(const std::string& text) = 0;
  // Log at LOG_WARN.
  virtual void Warn(const std::string& text) = 0;
  // Log at LOG_ERROR.
  virtual void Error(const std::string& text) = 0;
  // Log at LOG_FATAL.
  virtual void Fatal(const std::string& text) = 0;
  // Drops messages below the threshold; otherwise calls the handler first,
  // then writes FormatLine as one console line when console output is on.
  // Errors of the handler or of the console write reach the caller.
  virtual void Log(const std::string& text, TLogLevel level) = 0;
  // Local date and time, " [", the level's label, "] ", the text.
  virtual std::string FormatLine(const std::string& text, TLogLevel level) const = 0;
  // True when the threshold is TRACE or DEBUG.
  virtual bool IsDebugEnabled() const = 0;
};

}  // namespace ks
