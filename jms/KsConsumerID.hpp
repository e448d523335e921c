// KsConsumerID: TKsConsumerID, the subscription id of one consumer: a random
// (version 4) GUID in its braced, upper-case, 38-character text form, made at
// construction, e.g. "{1B4E28BA-2FA1-41D2-883F-0016D3CCA427}". It is sent as
// the "id" of SUBSCRIBE and UNSUBSCRIBE and comes back as the "subscription"
// header of each MESSAGE.
//
// Ownership: owned by its consumer.
// Threads: immutable after construction; construction is safe on any thread.
#pragma once

#include <string>
#include <utility>

namespace ks {

class TKsConsumerID {
 public:
  TKsConsumerID();
  // An id chosen by the caller: a durable subscription's name, for brokers
  // that key durable subscriptions by id.
  explicit TKsConsumerID(std::string id) : id_(std::move(id)) {}
  const std::string& GetID() const noexcept { return id_; }

  // A new random GUID text in the form above.
  static std::string NewGUIDText();

 private:
  std::string id_;
};

}  // namespace ks
