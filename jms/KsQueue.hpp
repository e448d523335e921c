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

 protected:
  TDestinationType destinationType_ = TDestinationType::Topic;
};

class TKsQueue : public TKsDestination, public virtual IQueue {
 public:
  explicit TKsQueue(std::string name);
  static std::shared_ptr<TKsQueue> Create(std::string name);

  // Always Queue, whatever SetDestinationType stored.
  TDestinationType GetDestinationType() const override;
  std::string GetQueueName() const override;
  const std::string& GetName() const noexcept { return name_; }

 private:
  std::string name_;
};

}  // namespace ks
