// KsBrokerMessage: a message held by Cistern, and the priority-ordered queue
// of messages waiting for delivery.
//
// A TBrokerMessage is built once from a SEND frame and never changed; every
// queue, topic subscription and unacknowledged list that holds it shares one
// copy through std::shared_ptr<const TBrokerMessage>. Its header block is
// kept pre-rendered ("name:value" lines, LF ends) so that a delivery is a few
// memory copies for a consumer of its producer's version (see THeaderForm);
// one of another version gets it rewritten line by line, unless it holds
// nothing that any version escapes. The message id, the header block and the body live in one
// block of text the message owns (its fields are views into it), so a held
// message costs two allocations: this block and the shared pointer's. Its
// cost is the number of bytes it is taken to occupy, bookkeeping included;
// Cistern's memory limits count in it.
//
// Threads: used by the server loop's thread only.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "broker/KsBrokerEscape.hpp"

namespace ks {

struct TBrokerFrame;

// How a message's header block is written.
enum class THeaderForm : std::uint8_t {
  Plain,    // from a 1.1 or 1.2 producer, with no backslash, LF, CR or ':' in any name or value:
            // the same under every version
  Raw,      // as a 1.0 producer sent it (values may hold ':', backslash or CR)
  Escaped,  // escaped as under 1.2 (from a 1.1 or 1.2 producer)
};

struct TBrokerMessage {
  // The destination's name, owned by the destination: whatever holds the
  // message (a queue, a subscription, a durable subscription) keeps that
  // destination known.
  const std::string* destination = nullptr;
  // Views into text.
  std::string_view messageId;
  std::string_view headerBlock;  // forwarded headers, each "name:value\n"; always holds "timestamp"
  THeaderForm headerForm = THeaderForm::Plain;
  std::string_view body;
  std::unique_ptr<char[]> text;
  bool hasContentLength = false;
  int priority = 4;         // 0..9
  std::int64_t expires = 0; // milliseconds since 1970, 0 for never
  std::uint64_t origin = 0; // id of the connection that sent it
  std::size_t cost = 0;     // bytes taken to be held by it

  bool ExpiredAt(std::int64_t nowMillis) const { return expires != 0 && expires <= nowMillis; }

  // The value of a forwarded header with exactly this name (a name without
  // backslash, LF, CR or ':'). A value that must be unescaped is written to
  // scratch, which the result then views.
  std::optional<std::string_view> Header(std::string_view name, std::string& scratch) const;
};

// Builds a message from a SEND frame whose header names and values are as
// meant (unescaped), sent by a connection of version: every header is
// forwarded except "destination", "message-id", "subscription",
// "redelivered" (Cistern sets those itself), "transaction", "receipt" and
// "content-length" (names compared without regard to ASCII case);
// "timestamp" is added with nowMillis when the SEND has none. A forwarded
// "ack" stays behind the one Cistern puts first in a 1.2 MESSAGE, which is
// the one a reader takes.
std::shared_ptr<TBrokerMessage> BuildMessage(const TBrokerFrame& send, const std::string* destination,
                                             std::string_view messageId, std::uint64_t origin,
                                             std::int64_t nowMillis, TBrokerVersion version = TBrokerVersion::V1_0);

struct TPendingEntry {
  std::shared_ptr<const TBrokerMessage> message;
  bool redelivered = false;
};

// Messages waiting for delivery: by priority (9 first), then in arrival
// order. PushFront puts a message back ahead of the others of its priority.
// The queue keeps the sum of its messages' costs, and adds every change of
// it to a shared total as well when given one (which must outlive the
// queue).
class TPendingQueue {
 public:
  explicit TPendingQueue(std::size_t* total = nullptr) : total_(total) {}
  ~TPendingQueue() { Clear(); }
  TPendingQueue(const TPendingQueue&) = delete;
  TPendingQueue& operator=(const TPendingQueue&) = delete;

  bool Empty() const { return size_ == 0; }
  std::size_t Size() const { return size_; }
  std::size_t Bytes() const { return bytes_; }
  void PushBack(TPendingEntry entry);
  void PushFront(TPendingEntry entry);
  // The next message to leave; the queue must not be empty.
  TPendingEntry& Front();
  void PopFront();
  // Removes the next message and hands it out.
  TPendingEntry TakeFront();
  void Clear();

  // Offers each waiting message, in leaving order, to take(entry); a message
  // for which take returns true leaves the queue. Stops early when
  // keepGoing() turns false.
  template <typename Take, typename KeepGoing>
  void Sweep(Take take, KeepGoing keepGoing);

 private:
  static int Bucket(const TPendingEntry& e) { return e.message->priority; }
  // The bucket of the next message to leave (bucket 0 when all are empty).
  std::deque<TPendingEntry>& FrontBucket();
  void Add(std::size_t cost) {
    bytes_ += cost;
    if (total_ != nullptr) *total_ += cost;
  }
  void Remove(std::size_t cost) {
    bytes_ -= cost;
    if (total_ != nullptr) *total_ -= cost;
  }
  std::array<std::deque<TPendingEntry>, 10> buckets_;
  std::size_t size_ = 0;
  std::size_t bytes_ = 0;
  std::size_t* total_;
};

template <typename Take, typename KeepGoing>
void TPendingQueue::Sweep(Take take, KeepGoing keepGoing) {
  for (int b = 9; b >= 0; --b) {
    auto& bucket = buckets_[static_cast<std::size_t>(b)];
    if (bucket.empty()) continue;
    std::deque<TPendingEntry> kept;
    auto it = bucket.begin();
    for (; it != bucket.end(); ++it) {
      if (!keepGoing()) break;
      const std::size_t cost = it->message->cost;
      if (take(*it)) {
        --size_;
        Remove(cost);
      } else {
        kept.push_back(std::move(*it));
      }
    }
    for (; it != bucket.end(); ++it) kept.push_back(std::move(*it));
    bucket.swap(kept);
    if (!keepGoing()) return;
  }
}

}  // namespace ks
