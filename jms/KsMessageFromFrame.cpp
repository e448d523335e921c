#include "jms/KsMessageFromFrame.hpp"

#include <algorithm>
#include <bit>
#include <cstdint>
#include <cstring>
#include <iterator>
#include <string>
#include <vector>

#include "jms/KsJMSClient.hpp"
#include "jms/KsJMSConnection.hpp"
#include "jms/KsJMSMessage.hpp"
#include "support/KsText.hpp"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace ks {

namespace {

using TSlot = TKsHeaderScan::TSlot;

// How a header name compares with one spelling of the same length.
enum TMatch { kNoMatch, kFolded, kExact };

// The length is a constant, so the exact comparison needs no library call.
template <std::size_t N>
TMatch MatchName(std::string_view name, const char (&spelling)[N]) {
  if (std::memcmp(name.data(), spelling, N - 1) == 0) return kExact;
  if (SameTextSlow(name, std::string_view(spelling, N - 1))) return kFolded;
  return kNoMatch;
}

// True when name holds "=".
bool HasEquals(std::string_view name) { return HasAnyByte<'='>(name); }

// What SortName finds a header name to be: none of the names it knows;
// one of them, case folded or not one of the ten standard names (a
// property whose name is a known spelling, so it holds no "="); exactly one
// of the ten standard names.
enum TNameSort { kOtherName = -1, kKnownProperty = 0, kStandardName = 1 };

// What a header name is: calls note(slot) for the slot it names (ASCII
// case folded), if any. One switch on the length, then at most two
// comparisons.
template <class Note>
inline TNameSort SortName(std::string_view name, Note&& note) {
  auto one = [&]<std::size_t N>(const char (&spelling)[N], int slot, bool isStandard) -> TNameSort {
    const TMatch match = MatchName(name, spelling);
    if (match == kNoMatch) return kOtherName;
    note(slot);
    return match == kExact && isStandard ? kStandardName : kKnownProperty;
  };
  // The first of two spellings of one length that name matches.
  auto either = [&](TNameSort first, auto&& second) { return first != kOtherName ? first : second(); };
  switch (name.size()) {
    case 4: return one("type", TKsHeaderScan::kType, true);
    case 7: return one("expires", TKsHeaderScan::kExpires, true);
    case 8:
      return either(one("priority", TKsHeaderScan::kPriority, true),
                    [&] { return one("reply-to", TKsHeaderScan::kReplyTo, true); });
    case 9: return one("timestamp", TKsHeaderScan::kTimestamp, true);
    case 10:
      return either(one("message-id", TKsHeaderScan::kMessageId, true),
                    [&] { return one("persistent", TKsHeaderScan::kPersistent, true); });
    case 11:
      if (std::memcmp(name.data(), "destination", 11) == 0) return kStandardName;
      return one("redelivered", TKsHeaderScan::kRedelivered, true);
    case 12:
      return either(one("subscription", TKsHeaderScan::kSubscription, false),
                    [&] { return one("content-type", TKsHeaderScan::kContentType, false); });
    case 14: return one("correlation-id", TKsHeaderScan::kCorrelationId, true);
    case 20: return one("transformation-error", TKsHeaderScan::kTransformationError, false);
    default: return kOtherName;
  }
}

// What a header name is: its slot (kSlotCount for none) and whether it is
// exactly one of the ten standard names.
struct TNameKind {
  int slot;
  bool standard;
};

inline TNameKind KindOf(std::string_view name) {
  TNameKind kind{TKsHeaderScan::kSlotCount, false};
  kind.standard = SortName(name, [&kind](int slot) { kind.slot = slot; }) == kStandardName;
  return kind;
}

// The scan's quick look: the exact spellings of the known names of four to
// fifteen bytes, recognised by two word compares each and no call. A name
// of eight bytes or more is loaded as its first and its last eight bytes
// (overlapping), a shorter one as its first and last four: a name is never
// read outside its bytes. Each length has room for two spellings; an unused
// one has words whose overlap disagrees, so no name matches it.
template <class Word, std::size_t First, std::size_t Last>
struct TQuickLengths {
  // Indexed by the length; those under First are not used. The first
  // spelling's words, then how the second's differ from them.
  Word head[Last + 1];
  Word tail[Last + 1];
  Word headDelta[Last + 1];
  Word tailDelta[Last + 1];
  // The index in TKsHeaderScan::slots_ of each spelling.
  std::uint8_t at[2][Last + 1];
};

struct TQuickNames {
  TQuickLengths<std::uint64_t, 8, 15> longer;
  TQuickLengths<std::uint32_t, 4, 7> shorter;
};

// The known names the quick look takes, the commoner first where two
// share a length, with their slots (-1 for "destination", which has none).
struct TKnownName {
  std::string_view spelling;
  int slot;
};
constexpr TKnownName kQuickNames[] = {
    {"destination", -1},
    {"message-id", TKsHeaderScan::kMessageId},
    {"subscription", TKsHeaderScan::kSubscription},
    {"timestamp", TKsHeaderScan::kTimestamp},
    {"expires", TKsHeaderScan::kExpires},
    {"priority", TKsHeaderScan::kPriority},
    {"persistent", TKsHeaderScan::kPersistent},
    {"correlation-id", TKsHeaderScan::kCorrelationId},
    {"reply-to", TKsHeaderScan::kReplyTo},
    {"type", TKsHeaderScan::kType},
    {"redelivered", TKsHeaderScan::kRedelivered},
    {"content-type", TKsHeaderScan::kContentType},
};

// The bytes from at on as a load of a Word from memory gives them.
template <class Word>
constexpr Word WordAt(std::string_view text, std::size_t at) {
  Word word = 0;
  for (std::size_t i = 0; i < sizeof(Word); ++i) {
    const std::size_t shift = std::endian::native == std::endian::little ? i : sizeof(Word) - 1 - i;
    word |= static_cast<Word>(static_cast<unsigned char>(text[at + i])) << (8 * shift);
  }
  return word;
}

template <class Word, std::size_t First, std::size_t Last>
constexpr void PutQuickNames(TQuickLengths<Word, First, Last>& lengths) {
  Word heads[2][Last + 1];
  Word tails[2][Last + 1];
  for (std::size_t k = 0; k < 2; ++k) {
    for (std::size_t size = 0; size <= Last; ++size) {
      heads[k][size] = 0;
      tails[k][size] = static_cast<Word>(~Word{0});
      lengths.at[k][size] = 0;
    }
  }
  std::size_t used[Last + 1] = {};
  for (const TKnownName& name : kQuickNames) {
    const std::size_t size = name.spelling.size();
    if (size < First || size > Last) continue;
    const std::size_t k = used[size]++;
    if (k >= 2) throw "more than two spellings of one length";
    heads[k][size] = WordAt<Word>(name.spelling, 0);
    tails[k][size] = WordAt<Word>(name.spelling, size - sizeof(Word));
    lengths.at[k][size] = static_cast<std::uint8_t>(name.slot + 1);
  }
  for (std::size_t size = 0; size <= Last; ++size) {
    lengths.head[size] = heads[0][size];
    lengths.tail[size] = tails[0][size];
    lengths.headDelta[size] = heads[0][size] ^ heads[1][size];
    lengths.tailDelta[size] = tails[0][size] ^ tails[1][size];
  }
}

constexpr TQuickNames MakeQuickNames() {
  TQuickNames names{};
  PutQuickNames(names.longer);
  PutQuickNames(names.shorter);
  return names;
}

constexpr TQuickNames kQuick = MakeQuickNames();

template <class Word>
Word LoadWord(const char* at) {
  Word word;
  std::memcpy(&word, at, sizeof word);
  return word;
}

template <class Word, std::size_t First, std::size_t Last>
[[gnu::always_inline]] inline std::ptrdiff_t QuickIndex(const TQuickLengths<Word, First, Last>& lengths,
                                                        const char* name, std::size_t size) {
  // How the name's words differ from the first spelling's, then from the
  // second's.
  Word head = LoadWord<Word>(name) ^ lengths.head[size];
  Word tail = LoadWord<Word>(name + size - sizeof(Word)) ^ lengths.tail[size];
  if (__builtin_expect((head | tail) == 0, 1)) return lengths.at[0][size];
  head ^= lengths.headDelta[size];
  tail ^= lengths.tailDelta[size];
  if ((head | tail) == 0) return lengths.at[1][size];
  return -1;
}

// The index in TKsHeaderScan::slots_ of a name that is exactly one of the
// quick spellings, else -1 (the name needs the general look).
[[gnu::always_inline]] inline std::ptrdiff_t QuickIndex(std::string_view name) {
  const std::size_t size = name.size();
  if (size - 8 < 8) return QuickIndex(kQuick.longer, name.data(), size);
  if (size - 4 < 4) return QuickIndex(kQuick.shorter, name.data(), size);
  return -1;
}

// A wire time as a message keeps it: the text itself when it has nine to
// sixteen bytes (the usual thirteen digits), read only if the application
// asks; else its value now.
[[gnu::always_inline]] inline TKsMessage::TKeptTime KeptWireTime(std::string_view value) {
  const std::size_t size = value.size();
  if (size - 9 <= 16 - 9) {
    std::uint64_t head;
    std::uint64_t tail;
    std::memcpy(&head, value.data(), sizeof head);
    std::memcpy(&tail, value.data() + size - 8, sizeof tail);
    return TKsMessage::TKeptTime{head, tail, static_cast<std::uint8_t>(size)};
  }
  return TKsMessage::TKeptTime{std::bit_cast<std::uint64_t>(TKsJMSClient::WireTextToDateTime(value)), 0, 0};
}

// A text field: straight from the view into one of the library's own
// messages (own), through the interface's setter into any other.
void SetTextField(TSlot field, std::string_view value, TKsMessage* own, IMessage& message) {
  if (own != nullptr) {
    if (field == TKsHeaderScan::kMessageId) own->AssignMessageID(value);
    if (field == TKsHeaderScan::kCorrelationId) own->AssignCorrelationID(value);
    if (field == TKsHeaderScan::kType) own->AssignType(value);
    return;
  }
  if (field == TKsHeaderScan::kMessageId) message.SetJMSMessageID(std::string(value));
  if (field == TKsHeaderScan::kCorrelationId) message.SetJMSCorrelationID(std::string(value));
  if (field == TKsHeaderScan::kType) message.SetJMSType(std::string(value));
}

void SetFields(const TKsHeaderScan& v, IMessage& message) {
  TKsMessage* own = AsOwnMessage(&message);
  SetTextField(TKsHeaderScan::kMessageId, v.Value(TKsHeaderScan::kMessageId), own, message);
  SetTextField(TKsHeaderScan::kCorrelationId, v.Value(TKsHeaderScan::kCorrelationId), own, message);
  message.SetJMSExpiration(TKsJMSClient::WireTextToDateTime(v.Value(TKsHeaderScan::kExpires)));
  message.SetJMSDeliveryMode(v.Value(TKsHeaderScan::kPersistent) == "true" ? TDeliveryMode::Persistent
                                                                           : TDeliveryMode::NonPersistent);
  message.SetJMSPriority(StrToInt32Def(v.Value(TKsHeaderScan::kPriority), 4));
  const std::string_view replyTo = v.Value(TKsHeaderScan::kReplyTo);
  if (!replyTo.empty()) message.SetJMSReplyTo(TKsJMSClient::CreateDestinationFromStompName(std::string(replyTo)));
  message.SetJMSTimestamp(TKsJMSClient::WireTextToDateTime(v.Value(TKsHeaderScan::kTimestamp)));
  SetTextField(TKsHeaderScan::kType, v.Value(TKsHeaderScan::kType), own, message);
  message.SetJMSRedelivered(v.Value(TKsHeaderScan::kRedelivered) == "true");
}

// SetFields and the properties step, as the library's own text message
// makes them at construction (see TKsMessage's received constructor): the
// same values. The priority is read and checked first, by the constructor
// of this: Exception "JMS_MAX_PRIORITY" for a priority over 9. Nothing the
// message asks of it raises: a map that would not fit in its inline room
// (or a list that is not Appendable) is left empty, a body that would not
// fit in the text's inline room is left out, for FinishReceived to add;
// Whole tells whether it had to.
class TReceivedFields {
 public:
  TReceivedFields(const TKsHeaderScan& v, std::string_view body, std::uint64_t link)
      : v_(v), body_(body), link_(link) {
    const std::string_view* priority = v.Find(TKsHeaderScan::kPriority);
    priority_ = priority != nullptr ? StrToInt32Def(*priority, 4) : 4;
    TKsMessage::CheckPriority(priority_);
  }
  TDateTime Expiration() const noexcept {
    // No "expires" reads as a wire time of 0.
    constexpr TDateTime kNoExpires = TKsJMSClient::WireToDateTime(0);
    const std::string_view* expires = v_.Find(TKsHeaderScan::kExpires);
    return expires != nullptr ? TKsJMSClient::WireTextToDateTime(*expires) : kNoExpires;
  }
  TDeliveryMode DeliveryMode() const noexcept {
    return v_.Value(TKsHeaderScan::kPersistent) == "true" ? TDeliveryMode::Persistent : TDeliveryMode::NonPersistent;
  }
  std::int32_t Priority() const noexcept { return priority_; }
  TKsMessage::TKeptTime Timestamp() const noexcept { return KeptWireTime(v_.Value(TKsHeaderScan::kTimestamp)); }
  bool Redelivered() const noexcept { return v_.Value(TKsHeaderScan::kRedelivered) == "true"; }
  std::uint64_t Link() const noexcept { return link_; }
  TPrimitiveMap Properties() const noexcept {
    // The message id and the properties share one buffer, written once.
    const std::string_view id = v_.Value(TKsHeaderScan::kMessageId);
    const TKsHeaderScan& v = v_;
    if (v.Appendable() && TPrimitiveMap::FitsInline(id.size(), v.PropertyCount(), v.PropertyBytes())) [[likely]] {
      if (v.PropertyCount() <= 1) {
        // At most one property (often "subscription" alone): no loop.
        if (v.PropertyCount() == 0) return TPrimitiveMap(id, false, std::string_view(), std::string_view());
        const TKsHeaderView& only = v.OnlyProperty();
        return TPrimitiveMap(id, true, only.first, only.second);
      }
      return TPrimitiveMap(id, v.PropertyCount(), v.PropertyBytes(), [&v](auto&& put) { v.ForEachProperty(put); });
    }
    whole_ = false;
    return TPrimitiveMap();
  }
  std::string_view Body() const noexcept { return body_; }
  // False when Properties left the map empty or the body is over the
  // text's inline room.
  bool Whole() const noexcept { return whole_ && body_.size() <= TKsTextBuffer::kInline; }

 private:
  const TKsHeaderScan& v_;
  std::string_view body_;
  std::uint64_t link_;
  std::int32_t priority_;
  mutable bool whole_ = true;
};

// SetFields' text fields and reply-to, but the message id, for a new message
// whose exact class is the library's own: the same values through the
// class's own setters, without a virtual call; a text field the list lacks
// stays as it is (empty).
void SetOwnFields(const TKsHeaderScan& v, TKsMessage& message) {
  if (const std::string_view* id = v.Find(TKsHeaderScan::kCorrelationId)) message.AssignCorrelationID(*id);
  const std::string_view replyTo = v.Value(TKsHeaderScan::kReplyTo);
  if (!replyTo.empty()) {
    message.TKsMessage::SetJMSReplyTo(TKsJMSClient::CreateDestinationFromStompName(std::string(replyTo)));
  }
  if (const std::string_view* type = v.Find(TKsHeaderScan::kType)) message.AssignType(*type);
}

// Properties into an empty map of the library's own: sized once, appended
// in order. False when the fast way does not apply.
bool AppendProperties(const TKsHeaderScan& scan, TPrimitiveMap& map) {
  if (!map.Empty() || !scan.Appendable()) return false;
  map.Reserve(scan.PropertyCount(), scan.PropertyBytes());
  scan.ForEachProperty([&map](std::string_view name, std::string_view value) { map.Append(name, value); });
  return true;
}

// The properties of a scanned list, one setter call each.
void SetProperties(const TKsHeaderScan& scan, TKsJMSTextMessage* own, IMessage& message) {
  for (std::size_t i = 0; i < scan.Count(); ++i) {
    const TKsHeaderView& h = scan.Headers()[i];
    if (KindOf(h.first).standard) continue;
    if (own != nullptr) {
      own->GetProperties().SetString(std::string(h.first), std::string(h.second));
    } else {
      message.SetStringProperty(std::string(h.first), std::string(h.second));
    }
  }
}

// What TReceivedFields leaves out of a new received message: the text
// fields and reply-to; when not whole, the properties if its map is empty
// and the body if its text is.
void FinishReceived(const TKsHeaderScan& scan, std::string_view body, bool notWhole, TKsJMSTextMessage& message) {
  SetOwnFields(scan, message);
  if (!notWhole) return;
  const std::string_view id = scan.Value(TKsHeaderScan::kMessageId);
  TPrimitiveMap& map = message.GetProperties();
  if (map.Front().empty() && map.Empty()) {
    if (scan.Appendable()) {
      map.Build(id, scan.PropertyCount(), scan.PropertyBytes(), [&scan](auto&& put) { scan.ForEachProperty(put); });
    } else {
      message.AssignMessageID(id);
      SetProperties(scan, &message, message);
    }
  }
  if (message.GetTextRef().size() != body.size()) message.AssignText(body);
}

// own is message when it is one of the library's text messages, else nullptr.
void ApplyScannedProperties(const TKsHeaderScan& scan, TKsJMSTextMessage* own, IMessage& message) {
  // A final class of the library's has no override of SetStringProperty to
  // honour: its map is written directly.
  if (own != nullptr && AppendProperties(scan, own->GetProperties())) return;
  SetProperties(scan, own, message);
}

void ApplyScannedProperties(const TKsHeaderScan& scan, IMessage& message) {
  ApplyScannedProperties(scan, AsOwnTextMessage(&message), message);
}

}  // namespace

TKsHeaderScan::TKsHeaderScan(const TKsHeaderView* headers, std::size_t count)
    : headers_(headers), count_(count), appendable_(count <= 64) {
  // The slots are cleared with sixteen-byte stores of a value the compiler
  // does not know to be zero: else it merges them into a string
  // instruction that costs more.
  const std::string_view** slots = slots_ + 1;
#if defined(__SSE2__)
  static_assert(kSlotCount * sizeof *slots % 16 == 0);
  __m128i zero = _mm_setzero_si128();
  __asm__("" : "+x"(zero));
  for (std::size_t at = 0; at < kSlotCount * sizeof *slots; at += 16) {
    std::memcpy(reinterpret_cast<char*>(slots) + at, &zero, 16);
  }
#else
  std::fill(slots, slots + kSlotCount, nullptr);
#endif
  // The entries are taken last to first, so the first entry per slot is
  // the one written last. The quick look goes as far as it can, with no
  // call (so no register to save), and the general one takes the rest; a
  // list over 64 entries (whose choice does not fit the mask) is left to the
  // general one whole.
  chosen_ = 0;
  propertyCount_ = 0;
  propertyBytes_ = 0;
  if (count - 1 >= 64) {
    if (count != 0) ScanRest(count);
    return;
  }
  std::size_t i = count - 1;
  do {
    const TKsHeaderView& h = headers[i];
    const std::ptrdiff_t at = QuickIndex(h.first);
    if (at < 0) {
      ScanRest(i + 1);
      return;
    }
    slots_[at] = &h.second;
    if (at > kFieldCount) {
      // The slot of "subscription" or after it: a property whose name has
      // no "=".
      chosen_ |= std::uint64_t{1} << i;
      ++propertyCount_;
      propertyBytes_ += h.first.size() + h.second.size();
    }
  } while (i-- != 0);
}

void TKsHeaderScan::ScanRest(std::size_t left) {
  for (std::size_t i = left; i-- != 0;) {
    const TKsHeaderView& h = headers_[i];
    const TNameSort sort = SortName(h.first, [this, &h](int slot) { slots_[slot + 1] = &h.second; });
    if (sort == kStandardName) continue;
    // A property; a name with "=" takes the map's own rule for it (a known
    // spelling has none). Only the first 64 entries have a bit in the mask.
    if (sort == kOtherName && HasEquals(h.first)) appendable_ = false;
    if (i < 64) chosen_ |= std::uint64_t{1} << i;
    ++propertyCount_;
    propertyBytes_ += h.first.size() + h.second.size();
  }
}

void ApplyHeaderProperties(const TKsHeaderView* headers, std::size_t count, IMessage& message) {
  ApplyScannedProperties(TKsHeaderScan(headers, count), message);
}

void ApplyMessageHeaders(const TKsHeaderView* headers, std::size_t count, IMessage& message) {
  const TKsHeaderScan scan(headers, count);
  SetFields(scan, message);
  ApplyScannedProperties(scan, message);
}

std::shared_ptr<TKsJMSTextMessage> NewReceivedMessage(TKsJMSConnection* connection, const TKsHeaderScan& scan,
                                                      std::string_view body, std::uint64_t link) {
  // Bytes that are not valid UTF-8 are kept as they are.
  const TReceivedFields fields(scan, body, link);
  auto message =
      TKsJMSTextMessage::Create(connection, connection != nullptr ? connection->GetSerial() : 0, fields);
  // One test for what few messages carry: the three rarer fields, a text
  // or properties too large for the inline room.
  if ((reinterpret_cast<std::uintptr_t>(scan.Find(TKsHeaderScan::kCorrelationId)) |
       reinterpret_cast<std::uintptr_t>(scan.Find(TKsHeaderScan::kReplyTo)) |
       reinterpret_cast<std::uintptr_t>(scan.Find(TKsHeaderScan::kType))) != 0 ||
      !fields.Whole()) [[unlikely]] {
    FinishReceived(scan, body, !fields.Whole(), *message);
  }
  return message;
}

std::shared_ptr<IMessage> NewReceivedBytesMessage(TKsJMSConnection* connection, const TKsHeaderScan& scan,
                                                  std::string_view body, std::uint64_t link) {
  auto message = TKsJMSBytesMessage::Create(connection);
  SetFields(scan, *message);
  ApplyScannedProperties(scan, *message);
  message->SetReceived(true, link);
  message->SetContentRef(std::string(body));
  return message;
}

bool IsBytesContentType(std::string_view type) {
  constexpr std::string_view kBytes = "application/octet-stream";
  const std::size_t end = type.find(';');
  return SameText(Trim(type.substr(0, end)), kBytes);
}

TKsFrameHeaderViews::TKsFrameHeaderViews(const IStompFrame& frame) {
  if (const TKsStompFrame* own = TKsStompFrame::Own(frame)) {
    views_.reserve(own->HeaderList().size());
    for (const auto& h : own->HeaderList()) views_.emplace_back(h.first, h.second);
    return;
  }
  items_ = frame.GetHeaders();
  views_.reserve(items_.size());
  for (const TStompHeaderItem& item : items_) views_.emplace_back(item.Name, item.Value);
}

}  // namespace ks
