// KsDialect: TKsDialect, how one kind of broker wants destinations and its
// own extensions written. The dialect only changes what the library writes;
// what it reads is understood in every dialect.
//
//   Jms       "jms.queue.NAME" / "jms.topic.NAME", durable subscriptions and
//             no-local with the "activemq." headers (the default).
//   ActiveMQ  "/queue/NAME" / "/topic/NAME", the "activemq." headers as
//             above.
//   RabbitMQ  "/queue/NAME" / "/topic/NAME"; a durable subscription is a
//             SUBSCRIBE whose "id" is the subscription name, with
//             "durable:true" and "auto-delete:false"; time to live is written
//             as "expiration" (relative milliseconds); what a rolled-back
//             transaction consumed is handed back with NACK; no-local is
//             not available.
//
// Threads: plain values and pure functions; any thread.
#pragma once

#include <string>
#include <string_view>

#include "../support/KsExport.hpp"

namespace ks {

// The dialects (see above).
enum class TKsDialect { Jms, ActiveMQ, RabbitMQ };

// The dialect named by text ("jms", "activemq" or "rabbitmq", any case).
// Raises EIllegalArgumentException naming the accepted values otherwise.
KS_API TKsDialect ParseDialect(const std::string& text);

// The prefixes of queue and topic names on the wire: the queue prefix.
KS_API std::string_view QueuePrefix(TKsDialect dialect);
// The topic prefix.
KS_API std::string_view TopicPrefix(TKsDialect dialect);

}  // namespace ks
