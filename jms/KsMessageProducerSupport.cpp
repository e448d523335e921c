#include "jms/KsMessageProducerSupport.hpp"

namespace ks {

void TKsMessageProducerSupport::SetDeliveryMode(TDeliveryMode value) {
  CheckClosed();
  deliveryMode_ = value;
}

void TKsMessageProducerSupport::SetPriority(std::int32_t value) {
  if (value < 0 || value > 9) {
    throw Exception("IllegalStateException(\"default priority must be a value between 0 and 9\")");
  }
  CheckClosed();
  priority_ = value;
}

void TKsMessageProducerSupport::SetTimeToLive(std::uint32_t milliseconds) {
  CheckClosed();
  timeToLive_ = milliseconds;
}

TDeliveryMode TKsMessageProducerSupport::GetDeliveryMode() const {
  CheckClosed();
  return deliveryMode_;
}

std::int32_t TKsMessageProducerSupport::GetPriority() const {
  CheckClosed();
  return priority_;
}

std::uint32_t TKsMessageProducerSupport::GetTimeToLive() const {
  CheckClosed();
  return timeToLive_;
}

}  // namespace ks
