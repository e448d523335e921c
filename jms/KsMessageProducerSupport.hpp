// KsMessageProducerSupport: TKsMessageProducerSupport, the base of message
// producers: the defaults used when a send names no delivery mode, priority
// or time to live (NonPersistent, 4, 0), and the abstract closed check.
//
// Ownership: the session is an uncounted back-reference; the session
// outlives its producers.
// Threads: no lock of its own; sends are serialised by the session.
#pragma once

#include <cstdint>

#include "jms/KsJMSInterfaces.hpp"

namespace ks {

class TKsJMSSession;

class TKsMessageProducerSupport : public virtual IMessageProducer {
 public:
  explicit TKsMessageProducerSupport(TKsJMSSession* session) noexcept : session_(session) {}

  // Each runs CheckClosed first.
  void SetDeliveryMode(TDeliveryMode value) override;
  // Outside 0..9 raises Exception
  // "IllegalStateException("default priority must be a value between 0 and 9")"
  // before the closed check; the default stays unchanged.
  void SetPriority(std::int32_t value) override;
  void SetTimeToLive(std::uint32_t milliseconds) override;
  TDeliveryMode GetDeliveryMode() const override;
  std::int32_t GetPriority() const override;
  std::uint32_t GetTimeToLive() const override;

  TKsJMSSession* GetSession() const noexcept { return session_; }

 protected:
  virtual void CheckClosed() const = 0;

  TKsJMSSession* session_;  // the session outlives its producers
  std::uint32_t timeToLive_ = 0;
  std::int32_t priority_ = 4;
  TDeliveryMode deliveryMode_ = TDeliveryMode::NonPersistent;
};

}  // namespace ks
