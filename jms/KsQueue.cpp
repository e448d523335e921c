#include "jms/KsQueue.hpp"

#include <utility>

namespace ks {

TDestinationType TKsDestination::GetDestinationType() const { return destinationType_; }

void TKsDestination::SetDestinationType(TDestinationType value) { destinationType_ = value; }

TKsQueue::TKsQueue(std::string name) : name_(std::move(name)) { destinationType_ = TDestinationType::Queue; }

std::shared_ptr<TKsQueue> TKsQueue::Create(std::string name) { return std::make_shared<TKsQueue>(std::move(name)); }

std::shared_ptr<TKsQueue> TKsQueue::CreateWithWireName(std::string name, std::string wireName) {
  auto queue = std::make_shared<TKsQueue>(std::move(name));
  queue->wireName_ = std::move(wireName);
  return queue;
}

TDestinationType TKsQueue::GetDestinationType() const { return TDestinationType::Queue; }

std::string TKsQueue::GetQueueName() const { return name_; }

}  // namespace ks
