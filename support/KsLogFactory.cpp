#include "support/KsLogFactory.hpp"

#include "support/KsLogger.hpp"

namespace ks {

std::shared_ptr<ILogging> TLogFactory::GetLogger(std::string_view /*className*/) {
  return std::make_shared<TSimpleLogger>();
}

}  // namespace ks
