#include "broker/KsBrokerEngine.hpp"

#include <algorithm>
#include <charconv>
#include <ctime>
#include <deque>
#include <malloc.h>
#include <unistd.h>

#include "broker/KsBrokerFrameReader.hpp"
#include "broker/KsBrokerFrameWriter.hpp"
#include "broker/KsBrokerMessage.hpp"
#include "broker/KsBrokerSelector.hpp"

namespace ks {

namespace {

std::int64_t NowMillis() {
  timespec ts{};
  ::clock_gettime(CLOCK_REALTIME, &ts);
  return static_cast<std::int64_t>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

constexpr std::string_view kQueuePrefix = "jms.queue.";
constexpr std::string_view kTopicPrefix = "jms.topic.";

}  // namespace

struct TBrokerDestination {
  explicit TBrokerDestination(std::size_t* total) : pending(total) {}
  std::unique_ptr<const std::string> name;  // held messages point at it
  bool isQueue = false;
  bool mayBeEmpty = false;                      // listed for the next check
  std::size_t unackedBytes = 0;                 // queues: delivered, not yet acknowledged
  std::size_t waiters = 0;                      // producers paused until it has room
  TPendingQueue pending;                        // queues only
  std::vector<TBrokerSubscription*> subscribers;  // queues: consumers; topics: plain subscriptions
  std::size_t next = 0;                         // round-robin position (queues)
  int selective = 0;                            // subscribers with a selector or noLocal (queues)
  std::vector<TBrokerDurable*> durables;        // topics only
};

struct TBrokerDurable {
  explicit TBrokerDurable(std::size_t* total) : pending(total) {}
  std::string clientId;
  std::string name;
  TBrokerDestination* topic = nullptr;
  std::string selectorText;
  TBrokerSelector selector;
  TPendingQueue pending;
  TBrokerSubscription* holder = nullptr;  // the subscription holding it, if any
};

struct TBrokerSubscription {
  explicit TBrokerSubscription(std::size_t* total) : ownPending(total) {}
  TBrokerClient* client = nullptr;  // owns this subscription
  std::string id;
  TBrokerDestination* destination = nullptr;
  bool clientAck = false;
  bool noLocal = false;
  TBrokerSelector selector;
  TPendingQueue ownPending;           // plain topic subscriptions
  TPendingQueue* pending = nullptr;   // topics: ownPending or the durable's; queues: nullptr
  TBrokerDurable* durable = nullptr;
  std::deque<std::shared_ptr<const TBrokerMessage>> unacked;
  std::size_t unackedBytes = 0;
  bool cutOff = false;                // fell too far behind; its connection is closing

  bool Accepts(const TBrokerMessage& m) const {
    if (noLocal && m.origin == client->Id()) return false;
    return selector.Empty() || selector.Matches(m);
  }
};

struct TBrokerTxOp {
  std::shared_ptr<TBrokerMessage> message;  // SEND; nullptr for ACK
  std::string text;  // SEND: the destination's name (it may be forgotten until COMMIT); ACK: the message id
};

TBrokerClient::TBrokerClient(std::uint64_t id) : id_(id) {}
TBrokerClient::~TBrokerClient() = default;

TBrokerEngine::TBrokerEngine(TBrokerSettings settings) : settings_(std::move(settings)) {
  idPrefix_ = "ID:cistern-" + std::to_string(::getpid()) + "-";
}

TBrokerEngine::~TBrokerEngine() = default;

std::string_view TBrokerEngine::NextMessageId() {
  // The prefix stays in place; only the number after it changes.
  char digits[24];
  auto res = std::to_chars(digits, digits + sizeof digits, ++nextMessage_);
  idScratch_.assign(idPrefix_);
  idScratch_.append(digits, res.ptr);
  return idScratch_;
}

// ---------------------------------------------------------------------------
// Frames

void TBrokerEngine::OnFrame(TBrokerClient& c, const TBrokerFrame& f) {
  const std::string_view cmd = f.command;
  if (!c.connected_) {
    if (cmd == "CONNECT" || cmd == "STOMP") {
      Connect(c, f);
    } else {
      Refuse(c, &f, "Not connected", "The first frame must be CONNECT, not " + SanitizeHeaderValue(cmd.substr(0, 40)) + ".");
    }
    return;
  }
  struct TTidy {
    TBrokerEngine& engine;
    ~TTidy() { engine.Tidy(); }
  } tidy{*this};
  if (cmd == "SEND") {
    Send(c, f);
  } else if (cmd == "ACK") {
    Ack(c, f);
  } else if (cmd == "SUBSCRIBE") {
    Subscribe(c, f);
  } else if (cmd == "UNSUBSCRIBE") {
    Unsubscribe(c, f);
  } else if (cmd == "BEGIN") {
    Transaction(c, f, TTxVerb::Begin);
  } else if (cmd == "COMMIT") {
    Transaction(c, f, TTxVerb::Commit);
  } else if (cmd == "ABORT") {
    Transaction(c, f, TTxVerb::Abort);
  } else if (cmd == "DISCONNECT") {
    Receipt(c, f);
    c.CloseAfterFlush();
  } else if (cmd == "CONNECT" || cmd == "STOMP") {
    Refuse(c, &f, "Already connected", "CONNECT was sent twice on one connection.");
  } else {
    Refuse(c, &f, "Unknown command", "Cistern does not know the command " + SanitizeHeaderValue(cmd.substr(0, 40)) + ".");
  }
}

void TBrokerEngine::OnReadError(TBrokerClient& c, std::string_view reason) {
  Refuse(c, nullptr, std::string(reason), "The frame could not be read: " + std::string(reason) + ".");
}

void TBrokerEngine::Reject(TBrokerClient& c, std::string_view message, const std::string& detail) {
  Refuse(c, nullptr, std::string(message), detail);
}

void TBrokerEngine::Tidy() {
  if (!waiting_.empty()) {
    std::vector<TBrokerClient*> still;
    for (TBrokerClient* c : waiting_) {
      if (Full(*c->waitingOn_, 1)) {
        still.push_back(c);
        continue;
      }
      TBrokerDestination* d = c->waitingOn_;
      c->waitingOn_ = nullptr;
      --d->waiters;
      MayBeEmpty(*d);
      c->PauseInput(false);
    }
    waiting_.swap(still);
  }
  while (!mayBeEmpty_.empty()) {
    TBrokerDestination* d = mayBeEmpty_.back();
    mayBeEmpty_.pop_back();
    d->mayBeEmpty = false;
    if (d->subscribers.empty() && d->durables.empty() && d->pending.Empty() && d->waiters == 0)
      destinations_.erase(destinations_.find(*d->name));  // d dies here
  }
}

void TBrokerEngine::GiveBackMemory() {
  // The allocator keeps what a drain freed; after a large drain it is handed
  // back to the system, so that the broker's size follows what it holds.
  // Rare by construction: only when the messages held have fallen to a
  // quarter of a peak of at least kTrimPeak, or to nothing after a peak of
  // at least kTrimRest (what the steps of a quarter leave behind).
  constexpr std::size_t kTrimPeak = 1024u * 1024u;
  constexpr std::size_t kTrimRest = 64u * 1024u;
  heldPeak_ = std::max(heldPeak_, held_);
  const bool drained = held_ == 0 && heldPeak_ >= kTrimRest;
  if (!drained && (heldPeak_ < kTrimPeak || held_ > heldPeak_ / 4)) return;
  ::malloc_trim(0);
  heldPeak_ = held_;
}

void TBrokerEngine::MayBeEmpty(TBrokerDestination& d) {
  if (d.mayBeEmpty) return;
  d.mayBeEmpty = true;
  mayBeEmpty_.push_back(&d);
}

bool TBrokerEngine::Full(const TBrokerDestination& d, std::size_t slack) const {
  auto over = [slack](std::size_t bytes, std::size_t limit) { return bytes >= limit / 8 * (8 - slack); };
  // A topic without durable subscriptions holds nothing for long: its
  // plain subscribers are cut off instead.
  if (!d.isQueue && d.durables.empty()) return false;
  if (over(held_, settings_.maxTotalBytes)) return true;
  if (d.isQueue) return over(d.pending.Bytes() + d.unackedBytes, settings_.maxQueueBytes);
  for (const TBrokerDurable* dur : d.durables) {
    const std::size_t unacked = dur->holder != nullptr ? dur->holder->unackedBytes : 0;
    if (over(dur->pending.Bytes() + unacked, settings_.maxQueueBytes)) return true;
  }
  return false;
}

void TBrokerEngine::StopWaiting(TBrokerClient& c) {
  if (c.waitingOn_ == nullptr) return;
  --c.waitingOn_->waiters;
  MayBeEmpty(*c.waitingOn_);
  c.waitingOn_ = nullptr;
  waiting_.erase(std::remove(waiting_.begin(), waiting_.end(), &c), waiting_.end());
}

void TBrokerEngine::HoldUnacked(TBrokerSubscription& s, const std::shared_ptr<const TBrokerMessage>& message) {
  s.unacked.push_back(message);
  s.unackedBytes += message->cost;
  held_ += message->cost;
  if (s.durable == nullptr && s.destination->isQueue) s.destination->unackedBytes += message->cost;
}

void TBrokerEngine::ReleaseUnacked(TBrokerSubscription& s, std::size_t bytes) {
  s.unackedBytes -= bytes;
  held_ -= bytes;
  if (s.durable == nullptr && s.destination->isQueue) s.destination->unackedBytes -= bytes;
}

void TBrokerEngine::Refuse(TBrokerClient& c, const TBrokerFrame* f, const std::string& message,
                           const std::string& detail) {
  const std::string text = SanitizeHeaderValue(message);
  if (TByteBuffer* out = c.BeginFrame()) {
    const std::size_t start = out->Size();
    const std::string_view receipt = f ? f->Get("receipt") : std::string_view();
    const std::string body = SanitizeHeaderValue(detail) + " The connection is closed.";
    if (receipt.empty()) {
      AppendFrame(*out, "ERROR", {{"message", text}}, body);
    } else {
      AppendFrame(*out, "ERROR", {{"message", text}, {"receipt-id", receipt}}, body);
    }
    c.EndFrame(start, false);
  }
  c.Refused(text);
  c.CloseAfterFlush();
}

void TBrokerEngine::Receipt(TBrokerClient& c, const TBrokerFrame& f) {
  const std::string_view* receipt = f.Find("receipt");
  if (receipt == nullptr || receipt->empty()) return;
  if (TByteBuffer* out = c.BeginFrame()) {
    const std::size_t start = out->Size();
    AppendFrame(*out, "RECEIPT", {{"receipt-id", *receipt}});
    c.EndFrame(start, false);
  }
}

std::string_view TBrokerEngine::CanonicalName(std::string_view name) {
  // Blanks after the colon, which other brokers tolerate, are not part of
  // the name.
  while (!name.empty() && (name.front() == ' ' || name.front() == '\t')) name.remove_prefix(1);
  static constexpr std::string_view kSlashQueue = "/queue/";
  static constexpr std::string_view kSlashTopic = "/topic/";
  std::string_view prefix;
  if (name.starts_with(kSlashQueue)) {
    prefix = kQueuePrefix;
    name.remove_prefix(kSlashQueue.size());
  } else if (name.starts_with(kSlashTopic)) {
    prefix = kTopicPrefix;
    name.remove_prefix(kSlashTopic.size());
  } else if (name.starts_with("/temp-queue/")) {
    // Temporary destinations are kept as ordinary ones under their whole
    // name (they are not removed when their connection ends).
    prefix = kQueuePrefix;
  } else if (name.starts_with("/temp-topic/")) {
    prefix = kTopicPrefix;
  } else {
    return name;
  }
  canonical_.assign(prefix);
  canonical_.append(name);
  return canonical_;
}

TBrokerDestination* TBrokerEngine::DestinationOf(TBrokerClient& c, const TBrokerFrame& f) {
  const std::string_view* given = f.Find("destination");
  const std::string_view name = given != nullptr ? CanonicalName(*given) : std::string_view();
  if (name.empty()) {
    Refuse(c, &f, "Missing header", std::string(f.command) + " needs a \"destination\" header.");
    return nullptr;
  }
  auto it = destinations_.find(name);
  if (it != destinations_.end()) return it->second.get();
  if (!name.starts_with(kQueuePrefix) && !name.starts_with(kTopicPrefix)) {
    Refuse(c, &f, "Invalid destination",
           "The destination " + SanitizeHeaderValue(name.substr(0, 200)) +
               " must start with jms.queue., jms.topic., /queue/ or /topic/");
    return nullptr;
  }
  return &Named(name);
}

TBrokerDestination& TBrokerEngine::Named(const std::string_view& name) {
  auto it = destinations_.find(name);
  if (it != destinations_.end()) return *it->second;
  auto d = std::make_unique<TBrokerDestination>(&held_);
  d->name = std::make_unique<const std::string>(name);
  d->isQueue = name.starts_with(kQueuePrefix);
  TBrokerDestination& made = *d;
  destinations_.emplace(*made.name, std::move(d));
  MayBeEmpty(made);  // until something holds it
  return made;
}

void TBrokerEngine::Connect(TBrokerClient& c, const TBrokerFrame& f) {
  if (settings_.failConnect) {
    Refuse(c, &f, settings_.connectError, "CONNECT refused on request.");
    return;
  }
  if ((settings_.checkLogin && f.Get("login") != settings_.login) ||
      (settings_.checkPasscode && f.Get("passcode") != settings_.passcode)) {
    Refuse(c, &f, "Authentication failed", "The login or passcode is not accepted.");
    return;
  }
  c.connected_ = true;
  c.clientId_.assign(f.Get("client-id"));
  const std::string session = "cistern-session-" + std::to_string(::getpid()) + "-" + std::to_string(++nextSession_);
  if (TByteBuffer* out = c.BeginFrame()) {
    const std::size_t start = out->Size();
    AppendFrame(*out, "CONNECTED", {{"session", session}});
    c.EndFrame(start, false);
  }
  Receipt(c, f);
}

void TBrokerEngine::Send(TBrokerClient& c, const TBrokerFrame& f) {
  TBrokerDestination* d = DestinationOf(c, f);
  if (d == nullptr) return;
  std::vector<TBrokerTxOp>* ops = nullptr;
  if (!OpenTransaction(c, f, ops)) return;
  auto message = BuildMessage(f, d->name.get(), NextMessageId(), c.Id(), NowMillis());
  if (ops != nullptr) {
    if (c.transactionBytes_ + message->cost > settings_.maxQueueBytes) {
      Refuse(c, &f, "Transaction too large",
             "The open transactions of this connection would hold more than " +
                 std::to_string(settings_.maxQueueBytes) + " bytes.");
      return;
    }
    c.transactionBytes_ += message->cost;
    ops->push_back(TBrokerTxOp{std::move(message), *d->name});
    Receipt(c, f);
    return;
  }
  Publish(*d, std::move(message));
  Receipt(c, f);
  if (Full(*d, 0) && c.waitingOn_ == nullptr) {
    // Producer flow control: its next frames wait until there is room.
    c.waitingOn_ = d;
    ++d->waiters;
    waiting_.push_back(&c);
    c.PauseInput(true);
  }
}

std::unique_ptr<TBrokerSubscription> TBrokerEngine::NewSubscription(TBrokerClient& c, const TBrokerFrame& f,
                                                                   TBrokerDestination& d) {
  auto subscription = std::make_unique<TBrokerSubscription>(&held_);
  subscription->client = &c;
  subscription->destination = &d;
  const std::string_view ack = f.Get("ack");
  if (ack == "client") {
    subscription->clientAck = true;
  } else if (!ack.empty() && ack != "auto") {
    Refuse(c, &f, "Invalid ack mode", "The ack mode " + SanitizeHeaderValue(ack.substr(0, 40)) + " is not auto or client.");
    return nullptr;
  }
  const std::string_view id = f.Get("id");
  subscription->id.assign(id.empty() ? *d.name : id);
  if (c.subscriptions_.count(subscription->id) != 0) {
    Refuse(c, &f, "Duplicate subscription",
           "The subscription id " + SanitizeHeaderValue(subscription->id) + " is already in use.");
    return nullptr;
  }
  std::string error;
  if (!subscription->selector.Parse(f.Get("selector"), error)) {
    Refuse(c, &f, "Invalid selector", error);
    return nullptr;
  }
  subscription->noLocal = f.Get("activemq.noLocal") == "true";
  return subscription;
}

TBrokerDurable* TBrokerEngine::HoldDurable(TBrokerClient& c, const TBrokerFrame& f, TBrokerDestination& topic,
                                           std::string_view name) {
  if (topic.isQueue) {
    Refuse(c, &f, "Invalid subscription", "A durable subscription needs a topic, not " + *topic.name + ".");
    return nullptr;
  }
  if (c.clientId_.empty()) {
    Refuse(c, &f, "Invalid subscription", "A durable subscription needs a client-id at CONNECT.");
    return nullptr;
  }
  auto key = std::make_pair(c.clientId_, std::string(name));
  auto it = durables_.find(key);
  if (it == durables_.end()) {
    auto fresh = std::make_unique<TBrokerDurable>(&held_);
    fresh->clientId = key.first;
    fresh->name = key.second;
    it = durables_.emplace(std::move(key), std::move(fresh)).first;
  } else if (it->second->holder != nullptr) {
    Refuse(c, &f, "Subscription in use",
           "The durable subscription " + SanitizeHeaderValue(name) + " is held by another subscriber.");
    return nullptr;
  }
  TBrokerDurable* durable = it->second.get();
  const std::string_view selector = f.Get("selector");
  if (durable->topic != &topic || durable->selectorText != selector) {
    // A durable subscription that changes topic or selector starts afresh.
    if (durable->topic != nullptr) {
      auto& list = durable->topic->durables;
      list.erase(std::remove(list.begin(), list.end(), durable), list.end());
      MayBeEmpty(*durable->topic);
    }
    durable->pending.Clear();
    durable->topic = &topic;
    durable->selectorText.assign(selector);
    std::string error;
    durable->selector.Parse(selector, error);
    topic.durables.push_back(durable);
  }
  return durable;
}

void TBrokerEngine::Subscribe(TBrokerClient& c, const TBrokerFrame& f) {
  TBrokerDestination* d = DestinationOf(c, f);
  if (d == nullptr) return;
  std::unique_ptr<TBrokerSubscription> made = NewSubscription(c, f, *d);
  if (made == nullptr) return;
  TBrokerSubscription* subscription = made.get();
  if (const std::string_view name = f.Get("activemq.subscriptionName"); !name.empty()) {
    TBrokerDurable* durable = HoldDurable(c, f, *d, name);
    if (durable == nullptr) return;
    durable->holder = subscription;
    subscription->durable = durable;
    subscription->pending = &durable->pending;
  } else {
    if (!d->isQueue) subscription->pending = &subscription->ownPending;
    if (d->isQueue && (subscription->noLocal || !subscription->selector.Empty())) ++d->selective;
    d->subscribers.push_back(subscription);
  }
  c.subscriptions_.emplace(subscription->id, std::move(made));
  Receipt(c, f);
  if (d->isQueue) {
    DispatchQueue(*d);
  } else {
    DrainSubscription(*subscription);
  }
}

void TBrokerEngine::Unsubscribe(TBrokerClient& c, const TBrokerFrame& f) {
  const std::string_view id = f.Get("id");
  if (!id.empty()) {
    auto it = c.subscriptions_.find(std::string(id));
    if (it != c.subscriptions_.end()) EndSubscription(c, *it->second);
    Receipt(c, f);
    return;
  }
  const std::string_view destination = CanonicalName(f.Get("destination"));
  if (destination.empty()) {
    Refuse(c, &f, "Missing header", "UNSUBSCRIBE needs an \"id\" or a \"destination\" header.");
    return;
  }
  const std::string_view durableName = f.Get("activemq.subscriptionName");
  if (!durableName.empty()) {
    auto it = durables_.find(std::make_pair(c.clientId_, std::string(durableName)));
    if (it != durables_.end()) {
      TBrokerDurable* dur = it->second.get();
      if (dur->holder != nullptr && dur->holder->client != &c) {
        Refuse(c, &f, "Subscription in use",
               "The durable subscription " + SanitizeHeaderValue(durableName) + " is held by another connection.");
        return;
      }
      // Held by this very connection: that subscription ends with it.
      if (dur->holder != nullptr) EndSubscription(c, *dur->holder);
      auto& list = dur->topic->durables;
      list.erase(std::remove(list.begin(), list.end(), dur), list.end());
      MayBeEmpty(*dur->topic);
      durables_.erase(it);
    }
    Receipt(c, f);
    return;
  }
  std::vector<TBrokerSubscription*> matching;
  for (auto& [key, s] : c.subscriptions_)
    if (*s->destination->name == destination) matching.push_back(s.get());
  for (TBrokerSubscription* s : matching) EndSubscription(c, *s);
  Receipt(c, f);
}

void TBrokerEngine::Ack(TBrokerClient& c, const TBrokerFrame& f) {
  const std::string_view id = f.Get("message-id");
  if (id.empty()) {
    Refuse(c, &f, "Missing header", "ACK needs a \"message-id\" header.");
    return;
  }
  std::vector<TBrokerTxOp>* ops = nullptr;
  if (!OpenTransaction(c, f, ops)) return;
  if (ops != nullptr) {
    ops->push_back(TBrokerTxOp{nullptr, std::string(id)});
  } else {
    DoAck(c, id);
  }
  Receipt(c, f);
}

void TBrokerEngine::DoAck(TBrokerClient& c, std::string_view messageId) {
  for (auto& [key, s] : c.subscriptions_) {
    if (!s->clientAck || s->unacked.empty()) continue;
    auto& list = s->unacked;
    auto found = std::find_if(list.begin(), list.end(), [&](const auto& m) { return m->messageId == messageId; });
    if (found == list.end()) continue;
    std::size_t bytes = 0;
    for (auto m = list.begin(); m != found + 1; ++m) bytes += (*m)->cost;
    list.erase(list.begin(), found + 1);
    ReleaseUnacked(*s, bytes);
  }
}

bool TBrokerEngine::OpenTransaction(TBrokerClient& c, const TBrokerFrame& f, std::vector<TBrokerTxOp>*& ops) {
  ops = nullptr;
  const std::string_view tx = f.Get("transaction");
  if (tx.empty()) return true;
  auto it = c.transactions_.find(std::string(tx));
  if (it == c.transactions_.end()) {
    Refuse(c, &f, "Unknown transaction", "The transaction " + SanitizeHeaderValue(tx) + " is not open.");
    return false;
  }
  ops = &it->second;
  return true;
}

void TBrokerEngine::Transaction(TBrokerClient& c, const TBrokerFrame& f, TTxVerb verb) {
  const std::string_view tx = f.Get("transaction");
  if (tx.empty()) {
    Refuse(c, &f, "Missing header", std::string(f.command) + " needs a \"transaction\" header.");
    return;
  }
  if (verb == TTxVerb::Begin) {
    if (!c.transactions_.emplace(std::string(tx), std::vector<TBrokerTxOp>()).second) {
      Refuse(c, &f, "Transaction already open", "The transaction " + SanitizeHeaderValue(tx) + " was already begun.");
      return;
    }
    Receipt(c, f);
    return;
  }
  std::vector<TBrokerTxOp>* open = nullptr;
  if (!OpenTransaction(c, f, open)) return;
  std::vector<TBrokerTxOp> ops = std::move(*open);
  c.transactions_.erase(std::string(tx));
  for (const TBrokerTxOp& op : ops)
    if (op.message != nullptr) c.transactionBytes_ -= op.message->cost;
  if (verb == TTxVerb::Commit) {
    for (TBrokerTxOp& op : ops) {
      if (op.message != nullptr) {
        TBrokerDestination& d = Named(op.text);
        op.message->destination = d.name.get();
        Publish(d, std::move(op.message));
      } else {
        DoAck(c, op.text);
      }
    }
  }
  Receipt(c, f);
}

// ---------------------------------------------------------------------------
// Delivery

bool TBrokerEngine::Deliver(TBrokerSubscription& s, const std::shared_ptr<const TBrokerMessage>& message,
                            bool redelivered) {
  if (message->expires != 0 && message->ExpiredAt(NowMillis())) return true;  // dropped
  TByteBuffer* out = s.client->BeginFrame();
  if (out == nullptr) return false;
  const std::size_t start = out->Size();
  AppendMessage(*out, *message, s.id, redelivered);
  if (s.clientAck) HoldUnacked(s, message);
  s.client->EndFrame(start, true);
  return true;
}

TBrokerSubscription* TBrokerEngine::NextReady(TBrokerDestination& d, const TBrokerMessage& m) {
  const std::size_t n = d.subscribers.size();
  for (std::size_t k = 0; k < n; ++k) {
    const std::size_t index = (d.next + k) % n;
    TBrokerSubscription* s = d.subscribers[index];
    if (d.selective != 0 && !s->Accepts(m)) continue;
    if (!s->client->CanDeliver()) continue;
    d.next = (index + 1) % n;
    return s;
  }
  return nullptr;
}

void TBrokerEngine::Publish(TBrokerDestination& d, std::shared_ptr<const TBrokerMessage> message) {
  if (message->expires != 0 && message->ExpiredAt(NowMillis())) return;
  if (d.isQueue) {
    if (!d.subscribers.empty() && (d.pending.Empty() || d.selective != 0)) {
      if (TBrokerSubscription* s = NextReady(d, *message))
        if (Deliver(*s, message, false)) return;
    }
    d.pending.PushBack(TPendingEntry{std::move(message), false});
    return;
  }
  for (TBrokerSubscription* s : d.subscribers)
    if (s->Accepts(*message)) Offer(*s, message);
  for (TBrokerDurable* dur : d.durables) {
    if (dur->holder != nullptr) {
      if (dur->holder->Accepts(*message)) Offer(*dur->holder, message);
    } else if (dur->selector.Empty() || dur->selector.Matches(*message)) {
      dur->pending.PushBack(TPendingEntry{message, false});
    }
  }
}

void TBrokerEngine::Offer(TBrokerSubscription& s, const std::shared_ptr<const TBrokerMessage>& message) {
  if (s.cutOff) return;
  const bool direct = s.pending->Empty() && s.client->CanDeliver();
  if (s.durable == nullptr && (!direct || s.clientAck)) {
    // A plain topic subscriber is not waited for: past its limits it ends.
    const std::size_t lag = s.pending->Bytes() + s.unackedBytes + message->cost;
    if (lag > settings_.maxTopicLag || held_ + message->cost > settings_.maxTotalBytes) {
      CutOff(s);
      return;
    }
  }
  if (direct && Deliver(s, message, false)) return;
  s.pending->PushBack(TPendingEntry{message, false});
}

void TBrokerEngine::CutOff(TBrokerSubscription& s) {
  s.cutOff = true;
  s.pending->Clear();
  Refuse(*s.client, nullptr, "Slow consumer",
         "The subscription " + SanitizeHeaderValue(s.id) + " fell too far behind the topic " +
             SanitizeHeaderValue(*s.destination->name) + ".");
}

void TBrokerEngine::DrainSubscription(TBrokerSubscription& s) {
  TPendingQueue& q = *s.pending;
  while (!q.Empty() && s.client->CanDeliver()) {
    TPendingEntry entry = q.TakeFront();
    if (!Deliver(s, entry.message, entry.redelivered)) {
      q.PushFront(std::move(entry));
      return;
    }
  }
}

void TBrokerEngine::DispatchQueue(TBrokerDestination& d) {
  if (d.subscribers.empty() || d.pending.Empty()) return;
  const std::int64_t now = NowMillis();
  if (d.selective == 0) {
    while (!d.pending.Empty()) {
      TPendingEntry& front = d.pending.Front();
      if (front.message->ExpiredAt(now)) {
        d.pending.PopFront();
        continue;
      }
      TBrokerSubscription* s = NextReady(d, *front.message);
      if (s == nullptr) return;
      TPendingEntry entry = d.pending.TakeFront();
      if (!Deliver(*s, entry.message, entry.redelivered)) {
        d.pending.PushFront(std::move(entry));
        return;
      }
    }
    return;
  }
  auto anyReady = [&] {
    for (TBrokerSubscription* s : d.subscribers)
      if (s->client->CanDeliver()) return true;
    return false;
  };
  d.pending.Sweep(
      [&](TPendingEntry& e) {
        if (e.message->ExpiredAt(now)) return true;
        TBrokerSubscription* s = NextReady(d, *e.message);
        return s != nullptr && Deliver(*s, e.message, e.redelivered);
      },
      anyReady);
}

void TBrokerEngine::EndSubscription(TBrokerClient& c, TBrokerSubscription& s) {
  TBrokerDestination& d = *s.destination;
  // The unacknowledged messages go back (below) or go; either way they are
  // no longer held by this subscription.
  ReleaseUnacked(s, s.unackedBytes);
  if (s.durable != nullptr) {
    for (auto it = s.unacked.rbegin(); it != s.unacked.rend(); ++it)
      s.durable->pending.PushFront(TPendingEntry{std::move(*it), true});
    s.durable->holder = nullptr;
  } else {
    auto& list = d.subscribers;
    auto pos = std::find(list.begin(), list.end(), &s);
    if (pos != list.end()) {
      const std::size_t index = static_cast<std::size_t>(pos - list.begin());
      list.erase(pos);
      if (index < d.next) --d.next;
      if (d.next >= list.size()) d.next = 0;
    }
    if (d.isQueue) {
      if (s.noLocal || !s.selector.Empty()) --d.selective;
      for (auto it = s.unacked.rbegin(); it != s.unacked.rend(); ++it)
        d.pending.PushFront(TPendingEntry{std::move(*it), true});
    }
  }
  s.unacked.clear();
  const std::string id = s.id;  // s dies with the erase below
  c.subscriptions_.erase(id);
  if (d.isQueue) DispatchQueue(d);
  MayBeEmpty(d);
}

void TBrokerEngine::OnClientGone(TBrokerClient& c) {
  if (c.gone_) return;
  c.gone_ = true;
  c.transactions_.clear();
  c.transactionBytes_ = 0;
  StopWaiting(c);
  while (!c.subscriptions_.empty()) EndSubscription(c, *c.subscriptions_.begin()->second);
  Tidy();
}

void TBrokerEngine::OnClientReady(TBrokerClient& c) {
  if (c.gone_) return;
  std::vector<TBrokerSubscription*> subs;
  subs.reserve(c.subscriptions_.size());
  for (auto& [key, s] : c.subscriptions_) subs.push_back(s.get());
  for (TBrokerSubscription* s : subs) {
    if (s->destination->isQueue) {
      DispatchQueue(*s->destination);
    } else {
      DrainSubscription(*s);
    }
  }
  Tidy();
}

}  // namespace ks
