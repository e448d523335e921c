// KsQueue: TKsDestination, the base of the library's destinations (a stored
// kind only), and TKsQueue, a named queue. The name is the plain name without
// the wire prefix, kept exactly as given (the empty name included).
//
// Ownership: shared through IDestination / IQueue references.
// Threads: immutable except for SetDestinationType; no lock is taken.
#pragma once

#include <memory>
#include <string>

#include "jms/KsJMSInterfaces.hpp"

namespace ks {

class TKsDestination : public virtual IDestination {
 public:
  TKsDestination() = default;
  // A plain destination reports the stored kind (initially Topic).
  TDestinationType GetDestinationType() const override;
  void SetDestinationType(TDestinationType value) override;
  // The exact name this destination goes by on the wire, for one received
  // from a broker in the broker's own naming; empty for the library's own
  // naming ("jms.queue." / "jms.topic." + name).
  const std::string& GetWireName() const noexcept { return wireName_; }

 protected:
  TDestinationType destinationType_ = TDestinationType::Topic;
  std::string wireName_;
};

class TKsQueue : public TKsDestination, public virtual IQueue {
 public:
  explicit TKsQueue(std::string name);
  static std::shared_ptr<TKsQueue> Create(std::string name);
  // A queue named name that goes by wireName on the wire.
  static std::shared_ptr<TKsQueue> CreateWithWireName(std::string name, std::string wireName);

  // Always Queue, whatever SetDestinationType stored.
  TDestinationType GetDestinationType() const override;
  std::string GetQueueName() const override;
  const std::string& GetName() const noexcept { return name_; }

 private:
  std::string name_;
};

}  // namespace ks
