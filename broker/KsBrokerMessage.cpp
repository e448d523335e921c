#include "broker/KsBrokerMessage.hpp"

#include <charconv>

#include "broker/KsBrokerFrameReader.hpp"
#include "support/KsText.hpp"

namespace ks {

namespace {

bool IsBrokerOwned(std::string_view name) {
  switch (name.size()) {
    case 7: return SameText(name, "receipt");
    case 10: return SameText(name, "message-id");
    case 11: return SameText(name, "destination") || SameText(name, "redelivered") || SameText(name, "transaction");
    case 12: return SameText(name, "subscription");
    case 14: return SameText(name, "content-length");
    default: return false;
  }
}

// Digits with an optional leading '-', nothing else.
bool ParseInt64(std::string_view text, std::int64_t& value) {
  if (text.empty()) return false;
  const char* first = text.data();
  const char* last = first + text.size();
  auto [ptr, ec] = std::from_chars(first, last, value);
  return ec == std::errc() && ptr == last;
}

// The shared pointer's control block, the allocator's headers and the
// queue slot of a held message.
constexpr std::size_t kHeldOverhead = 64;

constexpr std::string_view kTimestamp = "timestamp:";

// What the first pass over a SEND's headers learns: the forwarded header
// block's form and exact size, and the "timestamp" value to add when the
// SEND has none (stampSize 0 when it has one).
struct THeaderScan {
  THeaderForm form = THeaderForm::Plain;
  std::size_t blockSize = 0;
  char stamp[24];
  std::size_t stampSize = 0;
};

// The bytes text takes escaped as under 1.2.
std::size_t EscapedSize(std::string_view text) {
  std::size_t size = text.size();
  for (char c : text) size += (c == '\\' || c == '\n' || c == '\r' || c == ':') ? 1 : 0;
  return size;
}

// First pass: what is forwarded, the block's form and exact size; the
// first "priority" and "expires" headers go into msg.
THeaderScan ScanHeaders(const TBrokerFrame& send, std::int64_t nowMillis, TBrokerVersion version,
                        TBrokerMessage& msg) {
  THeaderScan scan;
  bool haveTimestamp = false;
  bool seenPriority = false;
  bool seenExpires = false;
  bool special = false;
  for (const auto& [name, value] : send.headers) {
    if (IsBrokerOwned(name)) continue;
    if (!haveTimestamp && SameText(name, "timestamp")) {
      haveTimestamp = true;
    } else if (!seenPriority && SameText(name, "priority")) {
      seenPriority = true;
      std::int64_t p = 4;
      if (ParseInt64(value, p)) msg.priority = p < 0 ? 0 : (p > 9 ? 9 : static_cast<int>(p));
    } else if (!seenExpires && SameText(name, "expires")) {
      seenExpires = true;
      std::int64_t e = 0;
      if (ParseInt64(value, e) && e > 0) msg.expires = e;
    }
    // A 1.0 producer's block is kept as it came, unlooked at: escaping it
    // is the rarer work of a delivery to a 1.1 or 1.2 consumer.
    special = special || (version != TBrokerVersion::V1_0 && (NeedsEscape(name) || NeedsEscape(value)));
    scan.blockSize += name.size() + value.size() + 2;
  }
  if (version == TBrokerVersion::V1_0) {
    scan.form = THeaderForm::Raw;
  } else if (special) {
    scan.form = THeaderForm::Escaped;
    scan.blockSize = 0;
    for (const auto& [name, value] : send.headers)
      if (!IsBrokerOwned(name)) scan.blockSize += EscapedSize(name) + EscapedSize(value) + 2;
  }
  if (!haveTimestamp) {
    auto res = std::to_chars(scan.stamp, scan.stamp + sizeof scan.stamp, nowMillis);
    scan.stampSize = static_cast<std::size_t>(res.ptr - scan.stamp);
    scan.blockSize += kTimestamp.size() + scan.stampSize + 1;
  }
  return scan;
}

// Second pass: id, header block and body into one block of text, and the
// message's views into it.
void FillText(TBrokerMessage& msg, const TBrokerFrame& send, std::string_view messageId, const THeaderScan& scan) {
  const std::size_t textSize = messageId.size() + scan.blockSize + send.body.size();
  msg.text = std::make_unique_for_overwrite<char[]>(textSize == 0 ? 1 : textSize);
  char* const start = msg.text.get();
  char* p = PutBytes(start, messageId);
  char* const block = p;
  const TBrokerVersion form = scan.form == THeaderForm::Escaped ? TBrokerVersion::V1_2 : TBrokerVersion::V1_0;
  for (const auto& [name, value] : send.headers) {
    if (IsBrokerOwned(name)) continue;
    p = PutEscaped(p, name, form);
    *p++ = ':';
    p = PutEscaped(p, value, form);
    *p++ = '\n';
  }
  if (scan.stampSize != 0) {
    p = PutBytes(p, kTimestamp);
    p = PutBytes(p, std::string_view(scan.stamp, scan.stampSize));
    *p++ = '\n';
  }
  char* const body = p;
  p = PutBytes(p, std::string_view(send.body.data(), send.body.size()));
  msg.messageId = std::string_view(start, messageId.size());
  msg.headerBlock = std::string_view(block, static_cast<std::size_t>(body - block));
  msg.headerForm = scan.form;
  msg.body = std::string_view(body, static_cast<std::size_t>(p - body));
  msg.cost = sizeof(TBrokerMessage) + kHeldOverhead + textSize;
}

}  // namespace

std::optional<std::string_view> TBrokerMessage::Header(std::string_view name, std::string& scratch) const {
  std::string_view block = headerBlock;
  std::size_t pos = 0;
  while (pos < block.size()) {
    std::size_t nl = block.find('\n', pos);
    if (nl == std::string_view::npos) nl = block.size();
    std::string_view line = block.substr(pos, nl - pos);
    if (line.size() > name.size() && line[name.size()] == ':' && line.compare(0, name.size(), name) == 0) {
      const std::string_view value = line.substr(name.size() + 1);
      if (headerForm != THeaderForm::Escaped || value.find('\\') == std::string_view::npos) return value;
      scratch.clear();
      AppendUnescaped(value, TBrokerVersion::V1_2, scratch);
      return std::string_view(scratch);
    }
    pos = nl + 1;
  }
  return std::nullopt;
}

std::shared_ptr<TBrokerMessage> BuildMessage(const TBrokerFrame& send, const std::string* destination,
                                             std::string_view messageId, std::uint64_t origin,
                                             std::int64_t nowMillis, TBrokerVersion version) {
  auto msg = std::make_shared<TBrokerMessage>();
  msg->destination = destination;
  msg->origin = origin;
  msg->hasContentLength = send.hasContentLength;
  const THeaderScan scan = ScanHeaders(send, nowMillis, version, *msg);
  FillText(*msg, send, messageId, scan);
  return msg;
}

void TPendingQueue::PushBack(TPendingEntry entry) {
  const int b = Bucket(entry);
  Add(entry.message->cost);
  buckets_[static_cast<std::size_t>(b)].push_back(std::move(entry));
  ++size_;
}

void TPendingQueue::PushFront(TPendingEntry entry) {
  const int b = Bucket(entry);
  Add(entry.message->cost);
  buckets_[static_cast<std::size_t>(b)].push_front(std::move(entry));
  ++size_;
}

std::deque<TPendingEntry>& TPendingQueue::FrontBucket() {
  for (int b = 9; b > 0; --b)
    if (!buckets_[static_cast<std::size_t>(b)].empty()) return buckets_[static_cast<std::size_t>(b)];
  return buckets_[0];
}

TPendingEntry& TPendingQueue::Front() { return FrontBucket().front(); }

void TPendingQueue::PopFront() {
  if (Empty()) return;
  auto& bucket = FrontBucket();
  Remove(bucket.front().message->cost);
  bucket.pop_front();
  --size_;
}

TPendingEntry TPendingQueue::TakeFront() {
  auto& bucket = FrontBucket();
  TPendingEntry entry = std::move(bucket.front());
  bucket.pop_front();
  --size_;
  Remove(entry.message->cost);
  return entry;
}

void TPendingQueue::Clear() {
  for (auto& b : buckets_) b.clear();
  size_ = 0;
  Remove(bytes_);
}

}  // namespace ks
