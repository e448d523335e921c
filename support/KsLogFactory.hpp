// KsLogFactory: where library components obtain their logger, and where an
// application routes the library's log lines to its own sink.
//
// Every GetLogger call returns a new, independent TSimpleLogger (its own
// threshold and handler); the class name is accepted for the caller's
// documentation and not used.
//
// SetSink: while a sink is set, every line that passes a library logger's
// threshold (INFO unless changed) goes to the sink, with its level, instead
// of the console; an empty sink brings the console lines back. The sink is
// called on the thread that logs (the caller's or the reader thread), never
// twice at once, and must not raise.
//
// Threads: GetLogger and SetSink may be called from any thread.
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <string_view>

#include "KsLog.hpp"

namespace ks {

class TLogFactory {
 public:
  TLogFactory() = delete;
  static std::shared_ptr<ILogging> GetLogger(std::string_view className);

  using TLogSink = std::function<void(TLogLevel level, const std::string& text)>;
  static void SetSink(TLogSink sink);
  // Hands a line to the sink; false (and nothing done) when none is set.
  static bool ToSink(TLogLevel level, const std::string& text);
};

}  // namespace ks
