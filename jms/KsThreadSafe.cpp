#include "jms/KsThreadSafe.hpp"

namespace ks {

std::int32_t TKsThreadSafeIntegerSequence::Next() {
  Lock();
  const std::int32_t result = value_;
  // Wraps instead of overflowing (undefined for signed integers).
  value_ = static_cast<std::int32_t>(static_cast<std::uint32_t>(value_) + 1u);
  Unlock();
  return result;
}

}  // namespace ks
