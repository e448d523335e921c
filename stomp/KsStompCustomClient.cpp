#include "stomp/KsStompCustomClient.hpp"

#include <charconv>
#include <cstdint>
#include <cstring>
#include <optional>
#include <vector>

#include "net/KsTcpClient.hpp"
#include "support/KsLog.hpp"
#include "support/KsScopedValue.hpp"
#include "support/KsText.hpp"

namespace ks {

namespace {

constexpr const char* kOwnPrefix = "TKsStompCustomClient: ";

// " name=value" of a trace line, with "," unless it is the last header.
void AppendTraceHeader(std::string& line, std::string_view name, std::string_view value, bool last) {
  line += ' ';
  line += name;
  line += '=';
  line += value;
  if (!last) line += ',';
}

bool IsSeparator(char c) { return c == '&' || static_cast<unsigned char>(c) <= ' '; }

// Applies the options after "?" of a subscription destination to frame:
// items split at "&" and at blanks and control characters; an item that
// starts with a double quote runs to its closing quote (two quotes stand for
// one); each name=value item becomes a header.
void ApplyDestinationOptions(std::string_view options, IStompFrame& frame) {
  std::size_t i = 0;
  const std::size_t n = options.size();
  std::string item;
  while (i < n) {
    if (IsSeparator(options[i])) {
      ++i;
      continue;
    }
    item.clear();
    if (options[i] == '"') {
      ++i;
      while (i < n) {
        if (options[i] == '"') {
          if (i + 1 < n && options[i + 1] == '"') {
            item.push_back('"');
            i += 2;
            continue;
          }
          ++i;
          break;
        }
        item.push_back(options[i++]);
      }
    } else {
      std::size_t start = i;
      while (i < n && !IsSeparator(options[i])) ++i;
      item.assign(options.substr(start, i - start));
    }
    std::size_t eq = item.find('=');
    // Items without "=" (and those without a name) carry no header.
    if (eq == std::string::npos || eq == 0) continue;
    frame.SetHeader(std::string_view(item).substr(0, eq), std::string_view(item).substr(eq + 1));
  }
}

}  // namespace

TKsStompCustomClient::TKsStompCustomClient() = default;

TKsStompCustomClient::~TKsStompCustomClient() {
  // The adapter (and any reader thread calling back into this client) goes
  // while this object is still whole, after the batch's timer, which writes
  // to it.
  StopBatch(false);
  SetAdapter(nullptr);
}

const char* TKsStompCustomClient::ClassName() const { return "TKsStompCustomClient"; }

bool TKsStompCustomClient::LoggerDebugEnabled() const {
  const auto& logger = GetLogger();
  return logger && logger->IsDebugEnabled();
}

void TKsStompCustomClient::LogOwn(const std::string& text) {
  if (!DebugEnabled()) return;
  GetLogger()->Trace(kOwnPrefix + text);
}

void TKsStompCustomClient::LogFrame(const IStompFrame& frame) {
  if (!DebugEnabled()) return;
  std::string line = frame.GetCommand();
  const std::int32_t count = frame.GetHeaderCount();
  for (std::int32_t i = 0; i < count; ++i) {
    TStompHeaderItem item = frame.GetHeaderItem(i);
    AppendTraceHeader(line, item.Name, item.Value, i + 1 == count);
  }
  LogOwn(line);
}

void TKsStompCustomClient::LogFrame(std::string_view command, const TKsHeaderView* headers, std::size_t count) {
  std::string line(command);
  for (std::size_t i = 0; i < count; ++i) AppendTraceHeader(line, headers[i].first, headers[i].second, i + 1 == count);
  LogOwn(line);
}

IStompCommAdapter& TKsStompCustomClient::RequireAdapter() const {
  IStompCommAdapter* adapter = GetAdapter();
  if (adapter == nullptr) throw EKsNoCommAdapterInstalled("No communication adapter installed");
  return *adapter;
}

void TKsStompCustomClient::Connect(bool keepBatch) {
  Log("Connect");
  IStompCommAdapter& adapter = RequireAdapter();
  if (batch_ && !keepBatch) batch_->Reset();
  // Logged in again only by this connect's CONNECTED.
  loggedIn_.store(false, std::memory_order_release);
  adapter.SetOnConnect([this](IStompCommAdapter*) { StompConnect(); });
  adapter.SetOnDataAvailable(
      [this](IStompCommAdapter* sender, const std::string& text) { StompDataAvailable(sender, text); });
  adapter.SetFrameReceiver(this);
  version_.store(TKsStompVersion::V1_0, std::memory_order_release);
  {
    std::lock_guard<std::mutex> lock(sessionMutex_);
    agreedBeats_ = TKsHeartBeatTimes();
  }
  adapter.Connect();
  if (loggedIn_.load(std::memory_order_acquire)) {
    const TKsHeartBeatTimes beats = GetHeartBeatTimes();
    if (beats.outgoing.count() > 0 || beats.incoming.count() > 0) adapter.StartHeartBeat(beats);
  }
  Log("Connected");
}

void TKsStompCustomClient::SetHeartBeat(std::uint32_t sendMs, std::uint32_t receiveMs, double grace) {
  beatSend_ = sendMs;
  beatReceive_ = receiveMs;
  beatGrace_ = grace < 1.0 ? 1.0 : grace;
}

TKsHeartBeatTimes TKsStompCustomClient::GetHeartBeatTimes() const {
  std::lock_guard<std::mutex> lock(sessionMutex_);
  return agreedBeats_;
}

void TKsStompCustomClient::Negotiated(const IStompFrame& connected) {
  TKsStompVersion version = TKsStompVersion::V1_0;
  const std::string named = connected.GetHeader("version");
  if (!named.empty() && !ParseVersion(named, version)) {
    throw EKsStompClientConnectError("The broker answered with STOMP version \"" + named + "\", which is unknown");
  }
  if (!offer_.Contains(version)) {
    throw EKsStompClientConnectError("The broker speaks STOMP " + std::string(VersionText(version)) +
                                     ", which was not offered (" + offer_.Text() + ")");
  }
  TKsHeartBeatTimes beats;
  std::uint32_t brokerSends = 0;
  std::uint32_t brokerWants = 0;
  if (version != TKsStompVersion::V1_0 && ParseHeartBeat(connected.GetHeader("heart-beat"), brokerSends, brokerWants)) {
    beats.outgoing = std::chrono::milliseconds(AgreedInterval(beatSend_, brokerWants));
    beats.incoming = std::chrono::milliseconds(AgreedInterval(beatReceive_, brokerSends));
    beats.grace = beatGrace_;
  }
  {
    std::lock_guard<std::mutex> lock(sessionMutex_);
    agreedBeats_ = beats;
  }
  version_.store(version, std::memory_order_release);
  // What arrives after CONNECTED is cut and parsed by the version's rules.
  if (IStompCommAdapter* adapter = GetAdapter()) adapter->SetProtocolVersion(version);
  if (DebugEnabled()) {
    LogOwn("STOMP " + std::string(VersionText(version)) + ", heart-beats every " +
           std::to_string(beats.outgoing.count()) + " ms out and " + std::to_string(beats.incoming.count()) +
           " ms in");
  }
}

void TKsStompCustomClient::StompConnect() {
  LogOwn("StompConnect");
  TKsStompFrame frame;
  frame.SetCommand("CONNECT");
  frame.SetHeader("login", GetLogin());
  frame.SetHeader("passcode", GetPasscode());
  frame.SetHeader("client-id", GetClientID());
  if (offer_.Negotiates()) {
    frame.SetHeader("accept-version", offer_.Text());
    frame.SetHeader("host", virtualHost_);
    frame.SetHeader("heart-beat", std::to_string(beatSend_) + "," + std::to_string(beatReceive_));
  }
  Transmit(frame, -1);
}

void TKsStompCustomClient::Subscribe(const std::string& destination, TKsAckMode ackMode, const std::string& receipt,
                                     bool noLocal, const std::string& selector, const std::string& id) {
  LogOwn("Subscribe");
  std::string_view dest = destination;
  std::string_view options;
  std::size_t question = dest.find('?');
  if (question != std::string_view::npos) {
    options = dest.substr(question + 1);
    dest = dest.substr(0, question);
  }
  TKsStompFrame frame;
  frame.SetCommand("SUBSCRIBE");
  frame.SetHeader("destination", dest);
  frame.SetHeader("ack", ackMode == TKsAckMode::Auto     ? "auto"
                         : ackMode == TKsAckMode::Client ? "client"
                                                         : "client-individual");
  frame.SetHeader("id", id);
  frame.SetHeader("selector", selector);
  frame.SetHeader("receipt", receipt);
  if (noLocal) frame.SetHeader("activemq.noLocal", "true");
  ApplyDestinationOptions(options, frame);
  Transmit(frame, -1);
}

void TKsStompCustomClient::UnsubscribeID(const std::string& id, const std::string& receipt, bool durable) {
  LogOwn("UnsubscribeID");
  TKsStompFrame frame;
  frame.SetCommand("UNSUBSCRIBE");
  frame.SetHeader("id", id);
  frame.SetHeader("receipt", receipt);
  if (durable) frame.SetHeader("durable", "true");
  Transmit(frame, -1);
}

void TKsStompCustomClient::UnsubscribeDurable(const std::string& destination, const std::string& subscriptionName) {
  LogOwn("UnsubscribeDurable");
  TKsStompFrame frame;
  frame.SetCommand("UNSUBSCRIBE");
  frame.SetHeader("destination", destination);
  frame.SetHeader("activemq.subscriptionName", subscriptionName);
  // From 1.1 on an UNSUBSCRIBE must name a subscription id (ActiveMQ refuses
  // it otherwise); the durable one is found by its name all the same.
  if (GetVersion() != TKsStompVersion::V1_0) frame.SetHeader("id", subscriptionName);
  Transmit(frame, -1);
}

void TKsStompCustomClient::CheckTransaction(const std::string& transactionId) {
  if (Trim(transactionId).empty()) throw EKsStompInvalidTranscationIdError("Invalid transaction id");
}

void TKsStompCustomClient::TransactionCommand(const char* command, const char* label,
                                              const std::string& transactionId, const std::string& receipt) {
  LogOwn(label);
  CheckTransaction(transactionId);
  TKsStompFrame frame;
  frame.SetCommand(command);
  frame.SetHeader("transaction", transactionId);
  frame.SetHeader("receipt", receipt);
  Transmit(frame, -1);
}

void TKsStompCustomClient::BeginTrans(const std::string& transactionId, const std::string& receipt) {
  TransactionCommand("BEGIN", "BeginTrans", transactionId, receipt);
}

void TKsStompCustomClient::CommitTrans(const std::string& transactionId, const std::string& receipt) {
  TransactionCommand("COMMIT", "CommitTrans", transactionId, receipt);
}

void TKsStompCustomClient::AbortTrans(const std::string& transactionId, const std::string& receipt) {
  TransactionCommand("ABORT", "AbortTrans", transactionId, receipt);
}

namespace {

// The headers of ACK and NACK that name the message, as version wants them.
void NameAckTarget(TKsStompFrame& frame, const TKsAckTarget& target, TKsStompVersion version) {
  if (version == TKsStompVersion::V1_2) {
    frame.SetHeader("id", target.ackId.empty() ? target.messageId : target.ackId);
    return;
  }
  frame.SetHeader("message-id", target.messageId);
  if (version == TKsStompVersion::V1_1) frame.SetHeader("subscription", target.subscription);
}

}  // namespace

void TKsStompCustomClient::Ack(const TKsAckTarget& target, const std::string& transactionId) {
  LogOwn("Ack");
  TKsStompFrame frame;
  frame.SetCommand("ACK");
  NameAckTarget(frame, target, GetVersion());
  frame.SetHeader("transaction", transactionId);
  Transmit(frame, -1);
}

void TKsStompCustomClient::Nack(const TKsAckTarget& target, const std::string& transactionId) {
  LogOwn("Nack");
  TKsStompFrame frame;
  frame.SetCommand("NACK");
  NameAckTarget(frame, target, GetVersion());
  frame.SetHeader("transaction", transactionId);
  Transmit(frame, -1);
}

void TKsStompCustomClient::Send(const std::string& destination, const std::string& body, std::int32_t sendTimeout,
                                const std::string& receipt, bool omitContentLength,
                                const TStompHeaders& extraHeaders) {
  std::vector<TKsHeaderView> views;
  views.reserve(extraHeaders.size());
  for (const TStompHeaderItem& item : extraHeaders) views.emplace_back(item.Name, item.Value);
  SendViews(destination, body, sendTimeout, receipt, omitContentLength, views.data(), views.size());
}

namespace {

// True when name is one of the headers SendViews puts in front of the
// others (ASCII case folded).
bool NamesLeadingSendHeader(std::string_view name) {
  switch (name.size()) {
    case 7: return SameText(name, "receipt");
    case 11: return SameText(name, "destination");
    case 14: return SameText(name, "content-length");
    default: return false;
  }
}

}  // namespace

void TKsStompCustomClient::SendViews(std::string_view destination, std::string_view body, std::int32_t sendTimeout,
                                     std::string_view receipt, bool omitContentLength,
                                     const TKsHeaderView* extraHeaders, std::size_t extraCount, bool extrasDistinct) {
  char lengthText[24];
  std::string_view length;
  if (!omitContentLength) {
    auto result = std::to_chars(lengthText, lengthText + sizeof lengthText, body.size());
    length = std::string_view(lengthText, static_cast<std::size_t>(result.ptr - lengthText));
  }
  // destination, receipt and content-length come first, then the extra
  // headers, by the header rule of every list (one entry per name, a later
  // value replacing an earlier one in its place, an empty one removing it).
  // Extra headers that follow the rule among themselves and name none of
  // the three are written as they are; any others are merged into a list.
  TKsHeaderView leading[3];
  std::size_t leadingCount = 0;
  if (!destination.empty()) leading[leadingCount++] = TKsHeaderView("destination", destination);
  if (!receipt.empty()) leading[leadingCount++] = TKsHeaderView("receipt", receipt);
  if (!length.empty()) leading[leadingCount++] = TKsHeaderView("content-length", length);
  bool asTheyAre = extrasDistinct;
  for (std::size_t i = 0; asTheyAre && i < extraCount; ++i) asTheyAre = !NamesLeadingSendHeader(extraHeaders[i].first);
  if (asTheyAre) {
    WriteSend(leading, leadingCount, extraHeaders, extraCount, body, sendTimeout, receipt.empty());
    return;
  }
  auto merged = sendHeaders_.Lease();
  merged->Clear();
  merged->Reserve(leadingCount + extraCount);
  for (std::size_t i = 0; i < leadingCount; ++i) merged->Set(leading[i].first, leading[i].second);
  for (std::size_t i = 0; i < extraCount; ++i) merged->Set(extraHeaders[i].first, extraHeaders[i].second);
  WriteSend(merged->Data(), merged->Size(), nullptr, 0, body, sendTimeout, receipt.empty());
}

namespace {

// True when a header value of a frame written under version would break its
// line or need an escape.
inline bool NeedsCare(std::string_view value, bool plainVersion) {
  return plainVersion ? HasAnyByte<'\n', '\r', '\0'>(value) : HasAnyByte<'\n', '\r', '\0', ':', '\\'>(value);
}

inline char* PutHeader(char* p, std::string_view name, std::string_view value) {
  std::memcpy(p, name.data(), name.size());
  p += name.size();
  *p++ = ':';
  std::memcpy(p, value.data(), value.size());
  p += value.size();
  *p++ = '\n';
  return p;
}

// The size of the head (command line through the empty line) that
// PutDistinctHead writes; 0 when a value needs care (see NeedsCare).
[[gnu::always_inline]] inline std::size_t DistinctHeadSize(std::string_view destination, std::string_view receipt,
                                                          std::string_view length, const TKsDistinctHeaders& extras,
                                                          bool plainVersion) {
  // The names are the library's own; only the values need a look. Under
  // 1.0 a value must not break its line; from 1.1 on it must need no escape
  // either (the general way escapes it). The receipt and the length are
  // the library's own too.
  if (NeedsCare(destination, plainVersion)) return 0;
  std::size_t size = 4 + 1 + 1;  // "SEND", its LF, the empty line
  if (!destination.empty()) size += 11 + 1 + destination.size() + 1;
  if (!receipt.empty()) size += 7 + 1 + receipt.size() + 1;
  if (!length.empty()) size += 14 + 1 + length.size() + 1;
  const TKsHeaderView* const headers = extras.Data();
  for (std::size_t i = 0; i < extras.Size(); ++i) {
    if (NeedsCare(headers[i].second, plainVersion)) return 0;
    size += headers[i].first.size() + 1 + headers[i].second.size() + 1;
  }
  return size;
}

// Writes the head DistinctHeadSize measured at p; answers its end.
inline char* PutDistinctHead(char* p, std::string_view destination, std::string_view receipt, std::string_view length,
                             const TKsDistinctHeaders& extras) {
  std::memcpy(p, "SEND\n", 5);
  p += 5;
  if (!destination.empty()) p = PutHeader(p, "destination", destination);
  if (!receipt.empty()) p = PutHeader(p, "receipt", receipt);
  if (!length.empty()) p = PutHeader(p, "content-length", length);
  const TKsHeaderView* const headers = extras.Data();
  for (std::size_t i = 0; i < extras.Size(); ++i) p = PutHeader(p, headers[i].first, headers[i].second);
  *p++ = '\n';
  return p;
}

}  // namespace

bool TKsStompCustomClient::SendDistinct(std::string_view destination, std::string_view body, std::int32_t sendTimeout,
                                        std::string_view receipt, bool omitContentLength,
                                        const TKsDistinctHeaders& extras) {
  if (extras.Overflow()) return false;
  char lengthText[24];
  std::string_view length;
  if (!omitContentLength) {
    auto result = std::to_chars(lengthText, lengthText + sizeof lengthText, body.size());
    length = std::string_view(lengthText, static_cast<std::size_t>(result.ptr - lengthText));
  }
  const bool plainVersion = GetVersion() == TKsStompVersion::V1_0;
  const std::size_t size = DistinctHeadSize(destination, receipt, length, extras, plainVersion);
  if (size == 0) return false;
  IStompCommAdapter& adapter = RequireLoggedIn("SEND");
  if (batch_ && receipt.empty() && size + body.size() + 2 < TKsFrameBatch::kCapacity) {
    // The frame is written straight into the batch, in one pass.
    try {
      batch_->AddInPlace(size + body.size() + 2, sendTimeout, [&](char* p) {
        PutBodyAndEnd(PutDistinctHead(p, destination, receipt, length, extras), body);
      });
    } catch (const EKsSocketError& e) {
      RaiseWriteFailure(e);
    }
    return true;
  }
  auto image = image_.Lease();
  std::string& head = *image;
  const bool joined = JoinsBody(body.size());
  const std::size_t room = size + (joined ? body.size() + 2 : 0);
  if (head.capacity() < room) head.reserve(room);
  head.resize(size);
  PutDistinctHead(head.data(), destination, receipt, length, extras);
  TransmitFrame(adapter, head, body, sendTimeout, receipt.empty());
  return true;
}

bool TKsStompCustomClient::MakeDistinctHead(std::string& out, std::string_view destination,
                                            const TKsDistinctHeaders& extras, TKsStompVersion version) {
  out.clear();
  if (extras.Overflow()) return false;
  const std::size_t size = DistinctHeadSize(destination, {}, {}, extras, version == TKsStompVersion::V1_0);
  if (size == 0) return false;
  out.resize(size);
  PutDistinctHead(out.data(), destination, {}, {}, extras);
  return true;
}

void TKsStompCustomClient::SendHeadUnbatched(IStompCommAdapter& adapter, std::string_view head, std::string_view body,
                                             std::int32_t sendTimeout) {
  auto image = image_.Lease();
  std::string& out = *image;
  const std::size_t size = head.size() + body.size() + 2;
  const std::size_t room = JoinsBody(body.size()) ? size : head.size();
  if (out.capacity() < room) out.reserve(room);
  out.assign(head);
  TransmitFrame(adapter, out, body, sendTimeout, true);
}

void TKsStompCustomClient::WriteSend(const TKsHeaderView* first, std::size_t firstCount, const TKsHeaderView* second,
                                     std::size_t secondCount, std::string_view body, std::int32_t sendTimeout,
                                     bool gather) {
  if (DebugEnabled()) {
    LogOwn("Send");
    LogOwn("Transmit");
    std::vector<TKsHeaderView> all(first, first + firstCount);
    all.insert(all.end(), second, second + secondCount);
    LogFrame("SEND", all.data(), all.size());
  }
  IStompCommAdapter& adapter = RequireLoggedIn("SEND");
  auto image = image_.Lease();
  image->clear();
  const bool joined = JoinsBody(body.size());
  TKsStompFrame::AppendFrameHead(*image, "SEND", first, firstCount, second, secondCount, GetVersion(),
                                 joined ? body.size() + 2 : 0);
  TransmitFrame(adapter, *image, body, sendTimeout, gather);
}

void TKsStompCustomClient::TransmitFrame(IStompCommAdapter& adapter, std::string& head, std::string_view body,
                                         std::int32_t sendTimeout, bool gather) {
  static constexpr std::string_view kEnd("\0\n", 2);
  try {
    if (JoinsBody(body.size())) {
      head.append(body).append(kEnd);
      adapter.Transmit(head, sendTimeout);
      return;
    }
    const std::string_view parts[3] = {head, body, kEnd};
    if (!batch_) {
      adapter.TransmitParts(parts, 3, sendTimeout);
    } else if (gather) {
      batch_->Add(parts, 3, sendTimeout);
    } else {
      batch_->WriteThrough(parts, 3, sendTimeout);
    }
  } catch (const EKsSocketError& e) {
    RaiseWriteFailure(e);
  }
}

void TKsStompCustomClient::StompDisconnect(const std::string& receipt) {
  if (DebugEnabled()) LogOwn("StompDisconnect session=" + GetSession());
  TKsStompFrame frame;
  frame.SetCommand("DISCONNECT");
  frame.SetHeader("client-id", GetClientID());
  frame.SetHeader("receipt", receipt);
  Transmit(frame, -1);
  loggedIn_.store(false, std::memory_order_release);
  std::lock_guard<std::mutex> lock(sessionMutex_);
  session_.clear();
}

void TKsStompCustomClient::Disconnect() {
  if (!loggedIn_.load(std::memory_order_acquire)) return;
  Log("Disconnect");
  IStompCommAdapter& adapter = RequireAdapter();
  try {
    StompDisconnect();
  } catch (...) {
    // The transport is closed even when DISCONNECT could not be sent, so
    // that no reader thread or socket outlives the disconnect.
    StopBatch(false);
    adapter.Disconnect();
    throw;
  }
  StopBatch(false);
  adapter.Disconnect();
}

void TKsStompCustomClient::Transmit(const IStompFrame& frame, std::int32_t sendTimeout) {
  if (DebugEnabled()) {
    LogOwn("Transmit");
    LogFrame(frame);
  }
  const bool connect = frame.GetCommand() == "CONNECT";
  IStompCommAdapter& adapter = connect ? RequireAdapter() : RequireLoggedIn(frame.GetCommand());
  const bool gather = batch_ && frame.GetCommand() == "SEND" && frame.GetHeader("receipt").empty();
  const TKsStompVersion version = WireVersion(frame.GetCommand());
  if (const auto* own = TKsStompFrame::Own(frame)) {
    auto image = image_.Lease();
    image->clear();
    own->AppendBytes(*image, version);
    // CONNECT opens a link: what a batch holds for it waits (see SuspendLink).
    TransmitBytes(adapter, *image, sendTimeout, gather, connect);
  } else if (version == TKsStompVersion::V1_0) {
    TransmitBytes(adapter, frame.ToBytes(), sendTimeout, gather, connect);
  } else {
    // A frame of another class is written by the version's rules through a
    // copy.
    TKsStompFrame copy;
    copy.SetCommand(frame.GetCommand());
    for (const TStompHeaderItem& item : frame.GetHeaders()) copy.SetHeader(item.Name, item.Value);
    copy.SetBody(frame.GetBody());
    std::string image;
    copy.AppendBytes(image, version);
    TransmitBytes(adapter, image, sendTimeout, gather);
  }
}

IStompCommAdapter& TKsStompCustomClient::RequireLoggedInSlow(std::string_view command) const {
  CheckTransportUsable();
  if (!loggedIn_.load(std::memory_order_acquire)) {
    throw EKsStompClientNotConnectedError("Not connected! Command: " + std::string(command));
  }
  return RequireAdapter();
}

void TKsStompCustomClient::SetTransportLost(const std::string& cause) {
  std::lock_guard<std::mutex> lock(sessionMutex_);
  transportLostCause_ = cause;
  transportLost_.store(true, std::memory_order_release);
}

void TKsStompCustomClient::SuspendLink(const std::string& cause) {
  SetTransportLost(cause);
  if (!batch_) return;
  {
    std::lock_guard<std::mutex> lock(sessionMutex_);
    suspendedVersion_ = GetVersion();
  }
  batch_->Suspend(std::make_exception_ptr(EConnectionFailedException(cause)));
}

void TKsStompCustomClient::ResumeLink() {
  TKsStompVersion madeFor = TKsStompVersion::V1_0;
  {
    std::lock_guard<std::mutex> lock(sessionMutex_);
    transportLostCause_.clear();
    transportLost_.store(false, std::memory_order_release);
    madeFor = suspendedVersion_;
  }
  if (!batch_) return;
  if (madeFor != GetVersion() && batch_->HoldsBytes()) {
    // Frames made for another version's escaping cannot go out as they are.
    if (const auto& logger = GetLogger()) {
      logger->Error(kOwnPrefix + std::string("batched SENDs made for STOMP ") + std::string(VersionText(madeFor)) +
                    " dropped: the broker now speaks STOMP " + std::string(VersionText(GetVersion())));
    }
    batch_->Reset();
    return;
  }
  batch_->Resume();
  FlushHeld();
}

void TKsStompCustomClient::CheckTransportUsable() const {
  if (!transportLost_.load(std::memory_order_acquire)) return;
  std::lock_guard<std::mutex> lock(sessionMutex_);
  throw EConnectionFailedException(transportLostCause_);
}

void TKsStompCustomClient::TransmitBytes(IStompCommAdapter& adapter, const std::string& bytes,
                                         std::int32_t sendTimeout, bool gather, bool pastBatch) {
  try {
    const std::string_view frame(bytes);
    if (!batch_ || pastBatch) {
      adapter.Transmit(bytes, sendTimeout);
    } else if (gather) {
      batch_->Add(&frame, 1, sendTimeout);
    } else {
      batch_->WriteThrough(&frame, 1, sendTimeout);
    }
  } catch (const EKsSocketError& e) {
    RaiseWriteFailure(e);
  }
}

void TKsStompCustomClient::RaiseWriteFailure(const EKsSocketError& error) {
  if (onTransportError_) onTransportError_(error.what());
  CheckTransportUsable();
  throw;  // the error being handled, as it is
}

void TKsStompCustomClient::SetBatchSend(bool enabled, std::int32_t delayMs) {
  StopBatch(false);
  batch_.reset();
  if (!enabled) return;
  batch_ = std::make_unique<TKsFrameBatch>(
      [this](const std::string_view* parts, std::size_t count, std::int32_t sendTimeout) {
        IStompCommAdapter& adapter = RequireAdapter();
        // A peer that has closed the connection would still take the first
        // write after its close without an error: what is held would be
        // lost without a word.
        if (!adapter.Connected()) throw EKsConnClosedGracefully();
        adapter.TransmitParts(parts, count, sendTimeout);
      },
      delayMs,
      [this](const std::string& text) {
        // A write of the timer thread: nobody waits for it, so it is
        // reported here and raised by the next command.
        if (const auto& logger = GetLogger()) logger->Error(kOwnPrefix + ("batched write failed: " + text));
        if (onTransportError_) onTransportError_(text);
      });
}

void TKsStompCustomClient::FlushHeld() {
  try {
    batch_->Flush();
  } catch (const EKsSocketError& e) {
    RaiseWriteFailure(e);
  }
}

void TKsStompCustomClient::StopBatch(bool write) {
  if (batch_) batch_->Stop(write);
}

void TKsStompCustomClient::TransmitWithHeaders(IStompFrame& frame, const TStompHeaders& headers,
                                               std::int32_t sendTimeout) {
  for (const TStompHeaderItem& item : headers) frame.SetHeader(item.Name, item.Value);
  Transmit(frame, sendTimeout);
}

void TKsStompCustomClient::EscapedFrameAvailable(const TKsParsedFrame& parsed, bool debug) {
  auto plain = unescaped_.Lease();
  plain->Unescape(parsed, GetVersion());
  FrameAvailable(*plain, debug);
}

inline void TKsStompCustomClient::FrameAvailable(const TKsParsedFrame& parsed, bool debug) {
  if (parsed.Escaped()) [[unlikely]] {
    EscapedFrameAvailable(parsed, debug);
    return;
  }
  const TKsScopedValue<std::int8_t> frameDebug(frameDebug_, static_cast<std::int8_t>(debug ? 1 : 0));
  if (debug) {
    TKsStompFrame logged;
    parsed.CopyTo(logged);
    LogFrame(logged);
  }
  if (parsed.Command() == "MESSAGE") {
    MessageAvailable(parsed);
  } else {
    auto frame = std::make_shared<TKsStompFrame>();
    parsed.CopyTo(*frame);
    OtherFrameAvailable(frame);
  }
}

void TKsStompCustomClient::StompDataAvailable(IStompCommAdapter* /*sender*/, const std::string& frameText) {
  const bool debug = DebugEnabled();
  if (debug) Log("StompDataAvailable");
  auto parsed = parsed_.Lease();
  parsed->Parse(frameText, GetVersion());
  FrameAvailable(*parsed, debug);
}

void TKsStompCustomClient::StompFrameParsed(IStompCommAdapter* /*sender*/, const TKsParsedFrame& parsed) {
  const bool debug = DebugEnabled();
  if (debug) Log("StompDataAvailable");
  FrameAvailable(parsed, debug);
}

void TKsStompCustomClient::MessageAvailable(const TKsParsedFrame& parsed) {
  // The kept frame is filled when no other call has it, so that its strings
  // keep their capacity from one MESSAGE to the next.
  auto spare = spareFrame_.Lease();
  std::shared_ptr<TKsStompFrame>& kept = *spare;
  if (!kept) kept = std::make_shared<TKsStompFrame>();
  parsed.CopyTo(*kept);
  const std::shared_ptr<IStompFrame> frame = kept;
  // Kept only when nobody else holds it once the frame has been dispatched
  // (and never after a handler saw it, or after an error).
  struct TForget {
    std::shared_ptr<TKsStompFrame>& kept;
    bool keep = false;
    ~TForget() {
      if (!keep) kept.reset();
    }
  } forget{kept};
  const bool hooked = static_cast<bool>(onMessage_);
  if (hooked) onMessage_(this, frame);
  StompFrameAvailable(frame);
  // Two references: the kept one and frame.
  forget.keep = !hooked && frame.use_count() == 2;
}

void TKsStompCustomClient::OtherFrameAvailable(const std::shared_ptr<IStompFrame>& frame) {
  const std::string& command = frame->GetCommand();
  if (command == "RECEIPT") {
    if (onReceipt_) onReceipt_(this, frame);
  } else if (command == "CONNECTED") {
    Negotiated(*frame);
    {
      std::lock_guard<std::mutex> lock(sessionMutex_);
      session_ = frame->GetHeader("session");
    }
    logins_.fetch_add(1, std::memory_order_acq_rel);
    loggedIn_.store(true, std::memory_order_release);
    if (onConnected_) onConnected_(this, frame);
  } else if (command == "ERROR") {
    if (onError_) onError_(this, frame);
    std::string text = frame->GetHeader("message");
    text += ' ';
    text += frame->GetBody();
    throw EKsStompServerErrorMessage(text);
  } else {
    const auto& logger = GetLogger();
    if (logger) logger->Error("Unknown command " + command + " in stomp frame");
  }
}

bool TKsStompCustomClient::GetLoggedIn() const { return loggedIn_.load(std::memory_order_acquire); }

std::string TKsStompCustomClient::GetSession() const {
  std::lock_guard<std::mutex> lock(sessionMutex_);
  return session_;
}

void TKsStompCustomClient::SetOnMessage(TKsStompFrameEvent handler) {
  onMessage_ = std::move(handler);
  SetDetour(kDetourOnMessage, static_cast<bool>(onMessage_));
}
void TKsStompCustomClient::SetOnConnected(TKsStompFrameEvent handler) { onConnected_ = std::move(handler); }
void TKsStompCustomClient::SetOnError(TKsStompFrameEvent handler) { onError_ = std::move(handler); }
void TKsStompCustomClient::SetOnReceipt(TKsStompFrameEvent handler) { onReceipt_ = std::move(handler); }
void TKsStompCustomClient::SetOnTransportError(std::function<void(const std::string& text)> handler) {
  onTransportError_ = std::move(handler);
}

void TKsStompCustomClient::StompFrameAvailable(const std::shared_ptr<IStompFrame>& /*frame*/) {}

}  // namespace ks
