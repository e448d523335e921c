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
constexpr std::string_view kSupportedVersions = "1.0,1.1,1.2";

// A printable rendering of client text for an ERROR: at most limit bytes,
// line breaks as blanks.
std::string Quoted(std::string_view text, std::size_t limit = 200) {
  return SanitizeHeaderValue(text.substr(0, limit));
}

// A whole decimal number of milliseconds, blanks around it allowed.
bool ParseMillis(std::string_view text, std::int64_t& value) {
  while (!text.empty() && text.front() == ' ') text.remove_prefix(1);
  while (!text.empty() && text.back() == ' ') text.remove_suffix(1);
  if (text.empty() || text.size() > 10) return false;
  auto [ptr, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
  return ec == std::errc() && ptr == text.data() + text.size() && value >= 0 && value <= INT32_MAX;
}

// "heart-beat:cx,cy".
bool ParseHeartBeat(std::string_view text, std::int64_t& cx, std::int64_t& cy) {
  const std::size_t comma = text.find(',');
  return comma != std::string_view::npos && ParseMillis(text.substr(0, comma), cx) &&
         ParseMillis(text.substr(comma + 1), cy);
}

// The highest version of kSupportedVersions that the comma list accept
// names; false when it names none.
bool HighestCommon(std::string_view accept, TBrokerVersion& version) {
  bool found = false;
  while (true) {
    const std::size_t comma = accept.find(',');
    std::string_view item = accept.substr(0, comma);
    while (!item.empty() && item.front() == ' ') item.remove_prefix(1);
    while (!item.empty() && item.back() == ' ') item.remove_suffix(1);
    TBrokerVersion v = TBrokerVersion::V1_0;
    bool known = true;
    if (item == "1.1") {
      v = TBrokerVersion::V1_1;
    } else if (item == "1.2") {
      v = TBrokerVersion::V1_2;
    } else if (item != "1.0") {
      known = false;
    }
    if (known && (!found || v > version)) version = v;
    found = found || known;
    if (comma == std::string_view::npos) return found;
    accept.remove_prefix(comma + 1);
  }
}

}  // namespace

// What CONNECT and Cistern agreed on.
struct TBrokerConnectTerms {
  bool negotiated = false;  // the client sent "accept-version"
  TBrokerVersion version = TBrokerVersion::V1_0;
  std::int64_t cx = 0;  // the client's "heart-beat" pair (1.1 and 1.2 only)
  std::int64_t cy = 0;
};

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

enum class TAckMode : std::uint8_t { Auto, Client, Individual };

// A message delivered to a subscription that acknowledges, until its ACK.
struct TBrokerDelivery {
  std::shared_ptr<const TBrokerMessage> message;
  std::uint64_t ackId = 0;  // unique for the life of the engine, rising
};

struct TBrokerSubscription {
  explicit TBrokerSubscription(std::size_t* total) : ownPending(total) {}
  TBrokerClient* client = nullptr;  // owns this subscription
  std::string id;
  TBrokerDestination* destination = nullptr;
  TAckMode ack = TAckMode::Auto;
  bool noLocal = false;
  TBrokerSelector selector;
  TPendingQueue ownPending;           // plain topic subscriptions
  TPendingQueue* pending = nullptr;   // topics: ownPending or the durable's; queues: nullptr
  TBrokerDurable* durable = nullptr;
  std::deque<TBrokerDelivery> unacked;
  std::size_t unackedBytes = 0;
  bool cutOff = false;                // fell too far behind; its connection is closing

  bool Accepts(const TBrokerMessage& m) const {
    if (noLocal && m.origin == client->Id()) return false;
    return selector.Empty() || selector.Matches(m);
  }
};

struct TBrokerTxOp {
  std::shared_ptr<TBrokerMessage> message;  // SEND; nullptr for ACK and NACK
  // SEND: the destination's name (it may be forgotten until COMMIT); ACK,
  // NACK: the key that names the delivery (see Locate).
  std::string text;
  std::string subscription;  // ACK, NACK under 1.1: the subscription named
  bool nack = false;
};

TBrokerClient::TBrokerClient(std::uint64_t id) : id_(id) {}
TBrokerClient::~TBrokerClient() = default;
void TBrokerClient::StartHeartBeat(std::int64_t, std::int64_t) {}

TBrokerEngine::TBrokerEngine(TBrokerSettings settings) : settings_(std::move(settings)) {
  idPrefix_ = "ID:cistern-" + std::to_string(::getpid()) + "-";
  ackPrefix_ = std::to_string(::getpid()) + "-";
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

std::string TBrokerEngine::AckText(std::uint64_t ackId) const { return ackPrefix_ + std::to_string(ackId); }

// ---------------------------------------------------------------------------
// Frames

void TBrokerEngine::OnFrame(TBrokerClient& c, const TBrokerFrame& frame) {
  const std::string_view cmd = frame.command;
  if (!c.connected_) {
    if (cmd == "CONNECT" || cmd == "STOMP") {
      Connect(c, frame);
    } else {
      Refuse(c, &frame, "Not connected", "The first frame must be CONNECT, not " + SanitizeHeaderValue(cmd.substr(0, 40)) + ".");
    }
    return;
  }
  const TBrokerFrame* meant = c.version_ == TBrokerVersion::V1_0 ? &frame : Unescaped(c, frame);
  if (meant == nullptr) return;
  const TBrokerFrame& f = *meant;
  struct TTidy {
    TBrokerEngine& engine;
    ~TTidy() { engine.Tidy(); }
  } tidy{*this};
  if (cmd == "SEND") {
    Send(c, f);
  } else if (cmd == "ACK") {
    Acknowledge(c, f, TAckVerb::Ack);
  } else if (cmd == "NACK" && c.version_ != TBrokerVersion::V1_0) {
    Acknowledge(c, f, TAckVerb::Nack);
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

const TBrokerFrame* TBrokerEngine::Unescaped(TBrokerClient& c, const TBrokerFrame& f) {
  std::size_t room = 0;
  bool escaped = false;
  for (const auto& [name, value] : f.headers) {
    room += name.size() + value.size();
    escaped = escaped || name.find('\\') != std::string_view::npos || value.find('\\') != std::string_view::npos;
  }
  if (!escaped) return &f;
  // Unescaping never lengthens text: with room for all of it reserved, the
  // views into unescapedText_ stay valid while it fills.
  unescapedText_.clear();
  unescapedText_.reserve(room);
  if (unescaped_ == nullptr) unescaped_ = std::make_unique<TBrokerFrame>();
  TBrokerFrame& u = *unescaped_;
  u.command = f.command;
  u.body = f.body;
  u.hasContentLength = f.hasContentLength;
  u.headers.clear();
  for (const auto& [name, value] : f.headers) {
    const std::size_t nameAt = unescapedText_.size();
    const bool nameOk = AppendUnescaped(name, c.version_, unescapedText_);
    const std::size_t valueAt = unescapedText_.size();
    if (!nameOk || !AppendUnescaped(value, c.version_, unescapedText_)) {
      Refuse(c, nullptr, "Invalid header escape",
             "The header " + Quoted(name, 60) + " of " + std::string(f.command) +
                 " holds a backslash sequence that STOMP " + std::string(VersionText(c.version_)) +
                 " does not define.");
      return nullptr;
    }
    const char* text = unescapedText_.data();
    u.headers.emplace_back(std::string_view(text + nameAt, valueAt - nameAt),
                           std::string_view(text + valueAt, unescapedText_.size() - valueAt));
  }
  return &u;
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

void TBrokerEngine::HoldUnacked(TBrokerSubscription& s, const std::shared_ptr<const TBrokerMessage>& message,
                                std::uint64_t ackId) {
  s.unacked.push_back(TBrokerDelivery{message, ackId});
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
                           const std::string& detail, std::string_view supportedVersions) {
  const std::string text = SanitizeHeaderValue(message);
  if (TByteBuffer* out = c.BeginFrame()) {
    const std::size_t start = out->Size();
    const std::string_view receipt = f ? f->Get("receipt") : std::string_view();
    const std::string body = SanitizeHeaderValue(detail) + " The connection is closed.";
    if (!supportedVersions.empty()) {
      AppendFrame(*out, "ERROR", {{"version", supportedVersions}, {"message", text}}, body, c.version_);
    } else if (receipt.empty()) {
      AppendFrame(*out, "ERROR", {{"message", text}}, body, c.version_);
    } else {
      AppendFrame(*out, "ERROR", {{"message", text}, {"receipt-id", receipt}}, body, c.version_);
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
    AppendFrame(*out, "RECEIPT", {{"receipt-id", *receipt}}, {}, c.version_);
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
  // A name with a line break (possible from 1.1 on) could not be written to
  // a 1.0 consumer.
  if (c.Version() != TBrokerVersion::V1_0 && name.find_first_of("\r\n") != std::string_view::npos) {
    Refuse(c, &f, "Invalid destination", "A destination name cannot hold a line break.");
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
  TBrokerConnectTerms terms;
  if (!Negotiate(c, f, terms)) return;
  if ((settings_.checkLogin && f.Get("login") != settings_.login) ||
      (settings_.checkPasscode && f.Get("passcode") != settings_.passcode)) {
    Refuse(c, &f, "Authentication failed", "The login or passcode is not accepted.");
    return;
  }
  c.connected_ = true;
  c.clientId_.assign(f.Get("client-id"));
  Connected(c, terms);
  Receipt(c, f);
}

bool TBrokerEngine::Negotiate(TBrokerClient& c, const TBrokerFrame& f, TBrokerConnectTerms& terms) {
  if (const std::string_view* accept = f.Find("accept-version")) {
    terms.negotiated = true;
    if (!HighestCommon(*accept, terms.version)) {
      Refuse(c, &f, "Supported protocol versions are " + std::string(kSupportedVersions),
             "Cistern speaks STOMP 1.0, 1.1 and 1.2; the client accepts " + Quoted(*accept) + ".",
             kSupportedVersions);
      return false;
    }
  }
  if (settings_.checkVirtualHost) {
    const std::string_view* host = f.Find("host");
    if (host != nullptr && *host != settings_.virtualHost) {
      Refuse(c, &f, "Virtual host '" + Quoted(*host) + "' access denied",
             "This broker serves the virtual host '" + Quoted(settings_.virtualHost) + "' only.");
      return false;
    }
  }
  if (terms.version == TBrokerVersion::V1_0) return true;
  const std::string_view* beat = f.Find("heart-beat");
  if (beat != nullptr && !ParseHeartBeat(*beat, terms.cx, terms.cy)) {
    Refuse(c, &f, "Invalid heart-beat header",
           "The heart-beat header must be two whole numbers of milliseconds, as in 10000,10000, not " +
               Quoted(*beat, 60) + ".");
    return false;
  }
  return true;
}

void TBrokerEngine::Connected(TBrokerClient& c, const TBrokerConnectTerms& terms) {
  const std::string session = "cistern-session-" + std::to_string(::getpid()) + "-" + std::to_string(++nextSession_);
  TByteBuffer* out = c.BeginFrame();
  if (out == nullptr) return;
  const std::size_t start = out->Size();
  if (!terms.negotiated) {
    AppendFrame(*out, "CONNECTED", {{"session", session}});
    c.EndFrame(start, false);
    return;
  }
  // Heart-beats: Cistern sends every sx ms what the client wants every cy
  // ms, and wants every sy ms what the client can send every cx ms; never
  // more often than its own HeartBeat setting.
  const std::int64_t least = settings_.heartBeatMs;
  const bool beats = terms.version != TBrokerVersion::V1_0;
  const std::int64_t sx = !beats || terms.cy == 0 ? 0 : std::max(terms.cy, least);
  const std::int64_t sy = !beats || terms.cx == 0 ? 0 : std::max(terms.cx, least);
  const std::string beat = std::to_string(sx) + "," + std::to_string(sy);
  AppendFrame(*out, "CONNECTED", {{"version", VersionText(terms.version)}, {"heart-beat", beat}, {"session", session}});
  c.EndFrame(start, false);
  c.version_ = terms.version;
  if (sx != 0 || sy != 0) c.StartHeartBeat(sx, 2 * sy);
}

void TBrokerEngine::Send(TBrokerClient& c, const TBrokerFrame& f) {
  // A message is delivered with its SEND's header block and the headers
  // added here; the whole must stay within the 64 KiB header block that
  // clients accept by default, so what could not is refused, not forwarded.
  constexpr std::size_t kMaxSendHeaderBlock = kMaxHeaderBlock - 4096;
  std::size_t block = f.command.size() + 1;
  for (const auto& [name, value] : f.headers) block += name.size() + value.size() + 2;
  if (block > kMaxSendHeaderBlock) {
    Refuse(c, &f, "Header block too large",
           "The SEND's header block of " + std::to_string(block) + " bytes exceeds the maximum of " +
               std::to_string(kMaxSendHeaderBlock) + " bytes.");
    return;
  }
  TBrokerDestination* d = DestinationOf(c, f);
  if (d == nullptr) return;
  std::vector<TBrokerTxOp>* ops = nullptr;
  if (!OpenTransaction(c, f, ops)) return;
  auto message = BuildMessage(f, d->name.get(), NextMessageId(), c.Id(), NowMillis(), c.version_);
  if (ops != nullptr) {
    if (c.transactionBytes_ + message->cost > settings_.maxQueueBytes) {
      Refuse(c, &f, "Transaction too large",
             "The open transactions of this connection would hold more than " +
                 std::to_string(settings_.maxQueueBytes) + " bytes.");
      return;
    }
    c.transactionBytes_ += message->cost;
    ops->push_back(TBrokerTxOp{std::move(message), *d->name, {}, false});
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
  const bool individualKnown = c.version_ != TBrokerVersion::V1_0;
  if (ack == "client") {
    subscription->ack = TAckMode::Client;
  } else if (ack == "client-individual" && individualKnown) {
    subscription->ack = TAckMode::Individual;
  } else if (!ack.empty() && ack != "auto") {
    Refuse(c, &f, "Invalid ack mode",
           "The ack mode " + SanitizeHeaderValue(ack.substr(0, 40)) +
               (individualKnown ? " is not auto, client or client-individual." : " is not auto or client."));
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
  // A durable subscription's name removes it, as ActiveMQ does, whether or
  // not an "id" comes too (from 1.1 on every UNSUBSCRIBE carries one).
  const std::string_view durableName = f.Get("activemq.subscriptionName");
  const std::string_view id = f.Get("id");
  if (!id.empty() && durableName.empty()) {
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

void TBrokerEngine::Acknowledge(TBrokerClient& c, const TBrokerFrame& f, TAckVerb verb) {
  const std::string_view keyName = c.version_ == TBrokerVersion::V1_2 ? "id" : "message-id";
  const std::string_view key = f.Get(keyName);
  if (key.empty()) {
    Refuse(c, &f, "Missing header", std::string(f.command) + " needs a \"" + std::string(keyName) + "\" header.");
    return;
  }
  const std::string_view subscription = c.version_ == TBrokerVersion::V1_1 ? f.Get("subscription") : std::string_view();
  std::vector<TBrokerTxOp>* ops = nullptr;
  if (!OpenTransaction(c, f, ops)) return;
  // Under 1.0 an ACK in a transaction is looked at only at COMMIT.
  TFound found;
  if (ops == nullptr || c.version_ != TBrokerVersion::V1_0) found = Locate(c, key, subscription);
  if (found.empty() && c.version_ != TBrokerVersion::V1_0) {
    Refuse(c, &f, "Unknown message",
           std::string(f.command) + " names " + (c.version_ == TBrokerVersion::V1_2 ? "the ack id " : "the message ") +
               Quoted(key) + (subscription.empty() ? "" : " of subscription " + Quoted(subscription)) +
               ", which is not waiting for ACK or NACK on this connection.");
    return;
  }
  if (ops != nullptr) {
    ops->push_back(TBrokerTxOp{nullptr, std::string(key), std::string(subscription), verb == TAckVerb::Nack});
  } else {
    Settle(found, verb);
  }
  Receipt(c, f);
}

TBrokerEngine::TFound TBrokerEngine::Locate(TBrokerClient& c, std::string_view key,
                                            std::string_view subscription) const {
  TFound found;
  if (!subscription.empty()) {
    auto it = c.subscriptions_.find(std::string(subscription));
    if (it == c.subscriptions_.end()) return found;
    const std::size_t at = FindDelivery(*it->second, c.version_, key);
    if (at < it->second->unacked.size()) found.emplace_back(it->second.get(), at);
    return found;
  }
  for (auto& [name, s] : c.subscriptions_) {
    const std::size_t at = FindDelivery(*s, c.version_, key);
    if (at == s->unacked.size()) continue;
    found.emplace_back(s.get(), at);
    if (c.version_ == TBrokerVersion::V1_2) break;  // an ack id names one delivery
  }
  return found;
}

std::size_t TBrokerEngine::FindDelivery(const TBrokerSubscription& s, TBrokerVersion version,
                                        std::string_view key) const {
  const auto& list = s.unacked;
  if (version != TBrokerVersion::V1_2) {
    auto at = std::find_if(list.begin(), list.end(), [&](const TBrokerDelivery& d) { return d.message->messageId == key; });
    return static_cast<std::size_t>(at - list.begin());
  }
  std::uint64_t ackId = 0;
  if (!key.starts_with(ackPrefix_)) return list.size();
  const char* first = key.data() + ackPrefix_.size();
  const char* last = key.data() + key.size();
  auto [ptr, ec] = std::from_chars(first, last, ackId);
  if (ec != std::errc() || ptr != last || first == last) return list.size();
  // Deliveries are held in the order of their rising ack ids.
  auto at = std::lower_bound(list.begin(), list.end(), ackId,
                             [](const TBrokerDelivery& d, std::uint64_t id) { return d.ackId < id; });
  if (at == list.end() || at->ackId != ackId) return list.size();
  return static_cast<std::size_t>(at - list.begin());
}

void TBrokerEngine::Settle(const TFound& found, TAckVerb verb) {
  for (const auto& [s, at] : found) {
    const std::size_t first = s->ack == TAckMode::Client ? 0 : at;
    if (verb == TAckVerb::Nack) {
      HandBack(*s, first, at);
      continue;
    }
    auto& list = s->unacked;
    std::size_t bytes = 0;
    for (std::size_t k = first; k <= at; ++k) bytes += list[k].message->cost;
    list.erase(list.begin() + static_cast<std::ptrdiff_t>(first), list.begin() + static_cast<std::ptrdiff_t>(at) + 1);
    ReleaseUnacked(*s, bytes);
  }
  // Deliveries handed back go out again once every subscription has taken
  // its part.
  if (verb == TAckVerb::Ack) return;
  for (const auto& [s, at] : found) {
    if (s->destination->isQueue && s->durable == nullptr) {
      DispatchQueue(*s->destination);
    } else {
      DrainSubscription(*s);
    }
  }
}

void TBrokerEngine::HandBack(TBrokerSubscription& s, std::size_t first, std::size_t last) {
  auto& list = s.unacked;
  std::size_t bytes = 0;
  for (std::size_t k = first; k <= last; ++k) bytes += list[k].message->cost;
  ReleaseUnacked(s, bytes);
  TPendingQueue* to = s.pending != nullptr ? s.pending : &s.destination->pending;
  for (std::size_t k = last + 1; k-- > first;) {
    if (!s.cutOff) to->PushFront(TPendingEntry{std::move(list[k].message), true});
  }
  list.erase(list.begin() + static_cast<std::ptrdiff_t>(first), list.begin() + static_cast<std::ptrdiff_t>(last) + 1);
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
        // What was settled meanwhile (or went back with its subscription)
        // is no longer there to settle.
        Settle(Locate(c, op.text, op.subscription), op.nack ? TAckVerb::Nack : TAckVerb::Ack);
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
  const TBrokerVersion version = s.client->version_;
  if (s.ack == TAckMode::Auto) {
    AppendMessage(*out, *message, s.id, redelivered, version);
  } else {
    const std::uint64_t ackId = ++nextAck_;
    AppendMessage(*out, *message, s.id, redelivered, version,
                  version == TBrokerVersion::V1_2 ? std::string_view(AckText(ackId)) : std::string_view());
    HoldUnacked(s, message, ackId);
  }
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
  if (s.durable == nullptr && (!direct || s.ack != TAckMode::Auto)) {
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
      s.durable->pending.PushFront(TPendingEntry{std::move(it->message), true});
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
        d.pending.PushFront(TPendingEntry{std::move(it->message), true});
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
