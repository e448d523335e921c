#include "jms/KsDialect.hpp"

#include "jms/KsJMSInterfaces.hpp"
#include "support/KsText.hpp"

namespace ks {

TKsDialect ParseDialect(const std::string& text) {
  if (SameText(text, "jms")) return TKsDialect::Jms;
  if (SameText(text, "activemq")) return TKsDialect::ActiveMQ;
  if (SameText(text, "rabbitmq")) return TKsDialect::RabbitMQ;
  throw EIllegalArgumentException("Invalid dialect \"" + text + "\": jms, activemq or rabbitmq");
}

std::string_view QueuePrefix(TKsDialect dialect) {
  return dialect == TKsDialect::Jms ? std::string_view("jms.queue.") : std::string_view("/queue/");
}

std::string_view TopicPrefix(TKsDialect dialect) {
  return dialect == TKsDialect::Jms ? std::string_view("jms.topic.") : std::string_view("/topic/");
}

}  // namespace ks
