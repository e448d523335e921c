// KsLogFactory: where library components obtain their logger.
//
// Every GetLogger call returns a new, independent TSimpleLogger (its own
// threshold and handler); the class name is accepted for the caller's
// documentation and not used.
//
// Threads: GetLogger may be called from any thread.
#pragma once

#include <memory>
#include <string_view>

#include "support/KsLog.hpp"

namespace ks {

class TLogFactory {
 public:
  TLogFactory() = delete;
  static std::shared_ptr<ILogging> GetLogger(std::string_view className);
};

}  // namespace ks
