// KsTopic: TKsTopic, a named topic. The name is the plain name without the
// wire prefix, kept exactly as given (the empty name included).
//
// Ownership: shared through IDestination / ITopic references.
// Threads: immutable except for SetDestinationType; no lock is taken.
#pragma once

#include <memory>
#include <string>

#include "jms/KsQueue.hpp"

namespace ks {

class TKsTopic : public TKsDestination, public virtual ITopic {
 public:
  explicit TKsTopic(std::string name);
  static std::shared_ptr<TKsTopic> Create(std::string name);
  // A topic named name that goes by wireName on the wire.
  static std::shared_ptr<TKsTopic> CreateWithWireName(std::string name, std::string wireName);

  // Always Topic, whatever SetDestinationType stored.
  TDestinationType GetDestinationType() const override;
  std::string GetTopicName() const override;
  const std::string& GetName() const noexcept { return name_; }

 private:
  std::string name_;
};

}  // namespace ks
