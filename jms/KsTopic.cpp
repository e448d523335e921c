#include "jms/KsTopic.hpp"

#include <utility>

namespace ks {

TKsTopic::TKsTopic(std::string name) : name_(std::move(name)) { destinationType_ = TDestinationType::Topic; }

std::shared_ptr<TKsTopic> TKsTopic::Create(std::string name) { return std::make_shared<TKsTopic>(std::move(name)); }

std::shared_ptr<TKsTopic> TKsTopic::CreateWithWireName(std::string name, std::string wireName) {
  auto topic = std::make_shared<TKsTopic>(std::move(name));
  topic->wireName_ = std::move(wireName);
  return topic;
}

TDestinationType TKsTopic::GetDestinationType() const { return TDestinationType::Topic; }

std::string TKsTopic::GetTopicName() const { return name_; }

}  // namespace ks
