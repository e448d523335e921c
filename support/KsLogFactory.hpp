// KsLogFactory: where library components obtain their logger, and where an
// application routes the library's log lines to its own sink.
//
// Every GetLogger call returns a new, independent TSimpleLogger (its own
// handler, and its own threshold once ILogging::SetLevel was called on it);
// the class name is accepted for the caller's documentation and not used.
//
// SetLevel: the threshold of every library logger that has no threshold of
// its own (none has, unless the application or the URI parameter "logLevel"
// of a connection gave one): LOG_TRACE, LOG_DEBUG, LOG_INFO (the default),
// LOG_WARN, LOG_ERROR or LOG_FATAL. It applies at once, to the loggers made
// before as well. The library writes its step-by-step traces at TRACE, so
// LOG_TRACE shows them; LOG_ERROR and above hide the warnings.
//
// SetSink: while a sink is set, every line that passes a library logger's
// threshold (INFO unless changed) goes to the sink, with its level, instead
// of the console; an empty sink brings the console lines back. The sink is
// called on the thread that logs (the caller's or the reader thread), never
// twice at once, and must not raise.
//
// Threads: GetLogger, SetLevel and SetSink may be called from any thread.
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <string_view>

#include "KsExport.hpp"
#include "KsLog.hpp"

namespace ks {

// The log factory (see above); all of it is static.
class KS_API TLogFactory {
 public:
  TLogFactory() = delete;
  // A new logger (for the library's components).
  static std::shared_ptr<ILogging> GetLogger(std::string_view className);

  // Sets the threshold of the library's loggers (see above).
  static void SetLevel(TLogLevel level) noexcept;
  // That threshold (LOG_INFO unless set).
  static TLogLevel GetLevel() noexcept;

  // Receives each line's level and text (without date and label).
  using TLogSink = std::function<void(TLogLevel level, const std::string& text)>;
  // Sets the sink, or with an empty one removes it (see above).
  static void SetSink(TLogSink sink);
  // Hands a line to the sink; false (and nothing done) when none is set.
  static bool ToSink(TLogLevel level, const std::string& text);
};

}  // namespace ks
