#include "stomp/KsStompFrame.hpp"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <typeinfo>

#include "stomp/KsHeaderEscape.hpp"
#include "support/KsScratch.hpp"
#include "support/KsText.hpp"

namespace ks {

namespace {

constexpr std::string_view kNulLf("\0\n", 2);

// True when text holds LF, CR or NUL, or ':' when colon is set. Header
// names and values are checked on every send.
bool HasFrameBreak(std::string_view text, bool colon) {
  return colon ? HasAnyByte<'\n', '\r', '\0', ':'>(text) : HasAnyByte<'\n', '\r', '\0'>(text);
}

// True when a header name would break the frame: LF, CR, NUL or ':'.
bool BadName(std::string_view name) { return HasFrameBreak(name, true); }

// True when a header value or the command would break the frame: LF, CR, NUL.
bool BadValue(std::string_view value) { return HasFrameBreak(value, false); }

// The text with control characters shown as '?', for error messages.
std::string Printable(std::string_view text) {
  std::string out(text);
  for (char& c : out) {
    if (static_cast<unsigned char>(c) < 0x20) c = '?';
  }
  return out;
}

// A view over a plain array of header views, usable in range-for.
struct TViewRange {
  const TKsHeaderView* first;
  const TKsHeaderView* last;
  const TKsHeaderView* begin() const { return first; }
  const TKsHeaderView* end() const { return last; }
};

// Calls visit(name, value) for every header of one or two lists, in order.
template <typename First, typename Second, typename Visit>
inline void ForEachHeader(const First& first, const Second& second, Visit&& visit) {
  for (const auto& h : first) visit(std::string_view(h.first), std::string_view(h.second));
  for (const auto& h : second) visit(std::string_view(h.first), std::string_view(h.second));
}

// Writes text at p and answers the end.
inline char* Put(char* p, std::string_view text) {
  if (!text.empty()) std::memcpy(p, text.data(), text.size());
  return p + text.size();
}

// Makes room for size more bytes at the end of out, and room beyond them
// for after more without a later reallocation; answers where they start.
inline char* Extend(std::string& out, std::size_t size, std::size_t after) {
  const std::size_t start = out.size();
  if (out.capacity() < start + size + after) out.reserve(start + size + after);
  out.resize(start + size);
  return out.data() + start;
}

// The command line and header block of a frame, up to and including the
// empty line that ends it, appended to out (with room for after more bytes
// reserved): the headers of first, then those of second. Raises
// EKsStompError for a part that would break the frame on the wire, before
// anything is appended.
template <typename First, typename Second>
void AppendHead(std::string& out, std::string_view command, const First& first, const Second& second,
                std::size_t after) {
  if (BadValue(command)) throw EKsStompError("Invalid character in frame command " + Printable(command));
  std::size_t size = command.size() + 1 + 1;
  ForEachHeader(first, second, [&size](std::string_view name, std::string_view value) {
    if (BadName(name)) throw EKsStompError("Invalid character in header name " + Printable(name));
    if (BadValue(value)) throw EKsStompError("Invalid character in value of header " + Printable(name));
    size += name.size() + 1 + value.size() + 1;
  });
  char* p = Put(Extend(out, size, after), command);
  *p++ = '\n';
  ForEachHeader(first, second, [&p](std::string_view name, std::string_view value) {
    p = Put(p, name);
    *p++ = ':';
    p = Put(p, value);
    *p++ = '\n';
  });
  *p = '\n';
}

// The next line from position up to, not including, the next LF; position
// moves past the LF. False, with nothing moved, when there is no such line.
bool TryNextLine(std::string_view text, std::size_t& position, std::string_view& line) {
  if (position >= text.size()) return false;
  const char* end = text.data() + text.size();
  const char* lf = FindByte(text.data() + position, end, '\n');
  if (lf == end) return false;
  const std::size_t at = static_cast<std::size_t>(lf - text.data());
  line = text.substr(position, at - position);
  position = at + 1;
  return true;
}

// The position of the first NUL LF in text at or after from, or npos.
std::size_t FindNulLf(std::string_view text, std::size_t from = 0) {
  const char* const begin = text.data();
  const char* const end = begin + text.size();
  for (const char* p = begin + std::min(from, text.size()); p < end; ++p) {
    p = static_cast<const char*>(std::memchr(p, '\0', static_cast<std::size_t>(end - p)));
    if (p == nullptr) break;
    if (p + 1 < end && p[1] == '\n') return static_cast<std::size_t>(p - begin);
  }
  return std::string_view::npos;
}

// GetLine over a 0-based position; the same checks and messages as GetLine.
std::string_view NextLine(std::string_view text, std::size_t& position) {
  KS_ASSERT(!text.empty(), "Assertion failure");
  KS_ASSERT(position < text.size(), "From out of bound.");
  std::string_view line;
  const bool found = TryNextLine(text, position, line);
  KS_ASSERT(found, "End of Line not found.");
  return line;
}

// The value of the first exact "content-length" line of a header block, or
// false when the block ends (empty line) without one.
bool FindContentLengthValue(std::string_view text, std::string_view& value) {
  std::size_t position = 0;
  for (;;) {
    std::string_view line = NextLine(text, position);
    if (line.empty()) return false;
    // The name is the text before the line's first ':'; "content-length"
    // holds no ':', so the line must start with "content-length:".
    constexpr std::string_view kPrefix = "content-length:";
    if (line.size() >= kPrefix.size() && line.compare(0, kPrefix.size(), kPrefix) == 0) {
      value = line.substr(kPrefix.size());
      return true;
    }
  }
}

// The size of one header name or value once escaped, raising for a part the
// version cannot carry; escaped is set when the part needs escaping.
inline std::size_t EscapedPartSize(std::string_view part, std::string_view name, bool isName,
                                   TKsStompVersion version, bool& escaped) {
  if (FindEscapeByte(part) == std::string_view::npos) return part.size();
  const std::size_t size = EscapedSize(part, version);
  if (size == std::string_view::npos) {
    throw EKsStompError((isName ? "Invalid character in header name " : "Invalid character in value of header ") +
                        Printable(name));
  }
  escaped = true;
  return size;
}

// AppendHead under 1.1 or later: names and values escaped (KsHeaderEscape),
// the command as under 1.0. Raises EKsStompError for a part the version
// cannot carry, before anything is appended. One look at each part when
// none needs escaping (the usual case).
template <typename First, typename Second>
void AppendEscapedHead(std::string& out, std::string_view command, const First& first, const Second& second,
                       TKsStompVersion version, std::size_t after) {
  if (BadValue(command)) throw EKsStompError("Invalid character in frame command " + Printable(command));
  std::size_t size = command.size() + 1 + 1;
  bool escaped = false;
  ForEachHeader(first, second, [&](std::string_view name, std::string_view value) {
    if (name.empty()) throw EKsStompError("Invalid character in header name ");
    size += EscapedPartSize(name, name, true, version, escaped) + 1 +
            EscapedPartSize(value, name, false, version, escaped) + 1;
  });
  char* p = Put(Extend(out, size, after), command);
  *p++ = '\n';
  auto put = [&p, escaped](std::string_view part) { p = escaped ? AppendEscaped(p, part) : Put(p, part); };
  ForEachHeader(first, second, [&](std::string_view name, std::string_view value) {
    put(name);
    *p++ = ':';
    put(value);
    *p++ = '\n';
  });
  *p = '\n';
}

// The head of a frame by the rules of version.
template <typename First, typename Second>
void AppendVersionHead(std::string& out, std::string_view command, const First& first, const Second& second,
                       TKsStompVersion version, std::size_t after) {
  if (version == TKsStompVersion::V1_0) {
    AppendHead(out, command, first, second, after);
  } else {
    AppendEscapedHead(out, command, first, second, version, after);
  }
}

// The whole image of a frame: its head, its body, NUL LF.
template <typename Headers>
void AppendVersionImage(std::string& out, std::string_view command, const Headers& headers, std::string_view body,
                        TKsStompVersion version) {
  AppendVersionHead(out, command, headers, TViewRange{nullptr, nullptr}, version, body.size() + kNulLf.size());
  out.append(body).append(kNulLf);
}

}  // namespace

const TKsHeaderView* TKsHeaderViewList::Find(std::string_view name) const {
  for (const TKsHeaderView* item = Data(); item != Data() + count_; ++item) {
    if (SameText(item->first, name)) return item;
  }
  return nullptr;
}

void TKsHeaderViewList::Set(std::string_view name, std::string_view value) {
  TKsHeaderView* const first = room_.data();
  TKsHeaderView* const last = first + count_;
  for (TKsHeaderView* item = first; item != last; ++item) {
    if (item->first.size() == name.size() && SameText(item->first, name)) {
      if (!value.empty()) {
        item->second = value;
      } else {
        std::copy(item + 1, last, item);
        --count_;
      }
      return;
    }
  }
  if (!value.empty()) Append(name, value);
}

void TKsHeaderViewList::Grow(std::size_t size) {
  room_.resize(std::max({size, std::size_t{16}, room_.size() * 2}));
}

std::shared_ptr<TKsStompFrame> TKsStompFrame::Create() { return std::make_shared<TKsStompFrame>(); }

std::shared_ptr<IStompFrame> TKsStompFrame::Parse(std::string_view frameText) {
  auto frame = std::make_shared<TKsStompFrame>();
  frame->headers_.reserve(8);
  ParseInto(frameText, *frame);
  return frame;
}

void TKsStompFrame::ParseInto(std::string_view frameText, TKsStompFrame& frame) {
  // The one parser is the view parser; this copies its result. Its view
  // list keeps its capacity from call to call (a concurrent or nested call
  // gets a list of its own).
  static TKsScratch<TKsParsedFrame> kept;
  auto parsed = kept.Lease();
  parsed->Parse(frameText);
  parsed->CopyTo(frame);
}

void TKsParsedFrame::Parse(std::string_view frameText, TKsStompVersion version) {
  UseVersion(version);
  command_ = std::string_view();
  body_ = std::string_view();
  headers_.Clear();
  lengthNamed_ = false;
  std::size_t position = 0;
  if (!TryNextLine(frameText, position, command_)) {
    RunOut(frameText, position);
    return;
  }
  if (crLf_ && !command_.empty() && command_.back() == '\r') command_.remove_suffix(1);
  KS_ASSERT(!command_.empty(), "Empty Command");
  nulLfInHeader_ = command_.back() == '\0';
  if (!ParseHeaders(frameText, position)) {
    RunOut(frameText, position);
    return;
  }
  ParseBody(frameText, position);
}

void TKsParsedFrame::RunOut(std::string_view text, std::size_t position) {
  if (FindNulLf(text) != std::string_view::npos) {
    NextLine(text, position);  // raises the error of a header block cut short
    KS_ASSERT(false, "End of Line not found.");
  }
  // A text without any NUL LF is read as if it ended with one. The copy is
  // made in place before parsing, so the views stay valid.
  std::string completed;
  completed.reserve(text.size() + 2);
  completed.append(text).append(kNulLf);
  completed_ = std::move(completed);
  Parse(completed_, version_);
}

bool TKsParsedFrame::ParseHeaders(std::string_view text, std::size_t& position) {
  return firstWins_ ? ParseHeadersAs<true>(text, position) : ParseHeadersAs<false>(text, position);
}

template <bool kModern>
bool TKsParsedFrame::ParseHeadersAs(std::string_view text, std::size_t& position) {
  const char* const begin = text.data();
  const char* const end = begin + text.size();
  const char* p = begin + position;
  // One look at every byte: the name runs to the first ':' or LF, the value
  // from there to the LF. A line cut short leaves position at its start.
  const char* const first = p;
  const TKsByteFinder find(begin, end);
  for (; p < end;) {
    const char* stop = find.Either(p, ':', '\n');
    if (stop == end) break;
    if (*stop == '\n') {
      if (stop != p && !(kModern && crLf_ && stop == p + 1 && *p == '\r')) {
        throw EKsStompError("header line error " + std::string(p, stop));
      }
      position = static_cast<std::size_t>(stop + 1 - begin);
      if constexpr (kModern) NoteEscapes(first, p);
      return true;
    }
    const char* lf = find.Byte(stop + 1, '\n');
    if (lf == end) break;
    if (lf[-1] == '\0') nulLfInHeader_ = true;
    const char* valueEnd = kModern && crLf_ && lf[-1] == '\r' && lf - 1 > stop ? lf - 1 : lf;
    const std::string_view name(p, static_cast<std::size_t>(stop - p));
    if (name.size() == 14) lengthNamed_ = true;
    AddHeader<kModern>(name, std::string_view(stop + 1, static_cast<std::size_t>(valueEnd - stop - 1)));
    p = lf + 1;
  }
  position = static_cast<std::size_t>(p - begin);
  return false;
}

void TKsParsedFrame::NoteEscapes(const char* from, const char* to) {
  escaped_ = from < to && std::memchr(from, '\\', static_cast<std::size_t>(to - from)) != nullptr;
}

void TKsParsedFrame::Unescape(const TKsParsedFrame& source, TKsStompVersion version) {
  command_ = source.command_;
  body_ = source.body_;
  nulLfInHeader_ = source.nulLfInHeader_;
  lengthNamed_ = source.lengthNamed_;
  UseVersion(version);
  headers_.Clear();
  // Every unescaped text is at most as long as its escaped form: with room
  // for all of them reserved first, the views into unescaped_ stay valid.
  std::size_t room = 0;
  for (std::size_t i = 0; i < source.HeaderCount(); ++i) {
    room += source.Headers()[i].first.size() + source.Headers()[i].second.size();
  }
  unescaped_.clear();
  unescaped_.reserve(room);
  for (std::size_t i = 0; i < source.HeaderCount(); ++i) {
    const TKsHeaderView& h = source.Headers()[i];
    const std::size_t nameAt = unescaped_.size();
    if (!ks::Unescape(h.first, version, unescaped_)) {
      throw EKsStompError("Undefined escape sequence in header name " + std::string(h.first));
    }
    const std::size_t valueAt = unescaped_.size();
    if (!ks::Unescape(h.second, version, unescaped_)) {
      throw EKsStompError("Undefined escape sequence in value of header " + std::string(h.first));
    }
    const std::string_view all(unescaped_);
    headers_.AddFirst(all.substr(nameAt, valueAt - nameAt), all.substr(valueAt));
  }
}

void TKsParsedFrame::ParseBody(std::string_view text, std::size_t position) {
  const std::string_view bodyArea = text.substr(position);
  if (const std::string_view* contentLength = lengthNamed_ ? Find("content-length") : nullptr) {
    // A negative length is as unusable as one that is not a number: both
    // count as 0.
    const std::size_t length = static_cast<std::size_t>(std::max<std::int32_t>(StrToInt32Def(*contentLength, 0), 0));
    // The body and its NUL LF must be there; a missing NUL LF at the very
    // end of a text that holds none counts as present.
    const bool terminated = bodyArea.size() >= length + 2 && bodyArea[length] == '\0' && bodyArea[length + 1] == '\n';
    if (!terminated) {
      const std::size_t implicitEnd = FindNulLf(text) == std::string_view::npos ? 2 : 0;
      KS_ASSERT(bodyArea.size() + implicitEnd >= length + 2, "frame too short");
    }
    body_ = bodyArea.substr(0, length);
    return;
  }
  std::size_t end = FindNulLf(bodyArea);
  // Without a NUL LF anywhere in the text the body is the rest of it. In
  // the header block a NUL LF can only end one of its lines: the parse has
  // looked at each.
  if (end == std::string_view::npos && !nulLfInHeader_) end = bodyArea.size();
  if (end != std::string_view::npos) body_ = bodyArea.substr(0, end);
}

template <bool kModern>
bool TKsParsedFrame::ParseHeadLines(const char* begin, const char* end, const char* p, TKsHeadFacts& facts) {
  const char* const first = begin + command_.size() + 1;
  const TKsByteFinder find(begin, end);
  for (; p < end;) {
    if (*p == '\n') return EndHead<kModern>(begin, first, p, facts);
    const char* stop = find.Either(p, ':', '\n');
    if (stop == end || *stop == '\n') return false;
    const char* lf = find.Byte(stop + 1, '\n');
    if (lf == end) return false;
    if (lf[-1] == '\0') nulLfInHeader_ = true;
    if (kModern && crLf_ && lf[-1] == '\r') return false;
    const std::string_view name(p, static_cast<std::size_t>(stop - p));
    const std::string_view value(stop + 1, static_cast<std::size_t>(lf - stop - 1));
    if (name.size() == TKsHeadFacts::kLengthName.size()) facts.NoteLengthName(name, value);
    AddHeader<kModern>(name, value);
    p = lf + 1;
  }
  return false;
}

template bool TKsParsedFrame::ParseHeadLines<false>(const char*, const char*, const char*, TKsHeadFacts&);
template bool TKsParsedFrame::ParseHeadLines<true>(const char*, const char*, const char*, TKsHeadFacts&);

bool TKsParsedFrame::ParseHeadInPlaceModern(std::string_view text, TKsHeadFacts& facts) {
  escaped_ = false;
  return ParseHeadInPlaceAs<true>(text, facts);
}

void TKsHeadFacts::NoteLengthName(std::string_view name, std::string_view value) {
  ++LengthNames;
  if (!ExactLength && name == kLengthName) {
    ExactLength = true;
    LengthValue = value;
  }
}

const std::string_view* TKsParsedFrame::Find(std::string_view name) const {
  const TKsHeaderView* found = headers_.Find(name);
  return found != nullptr ? &found->second : nullptr;
}

void TKsParsedFrame::CopyTo(TKsStompFrame& frame) const {
  frame.command_.assign(command_);
  auto& headers = frame.headers_;
  const std::size_t count = headers_.Size();
  // Stored into the entries already there, so that a reused frame keeps
  // the capacity of its strings.
  if (headers.size() > count) headers.resize(count);
  for (std::size_t i = 0; i < count; ++i) {
    const TKsHeaderView& h = headers_.Data()[i];
    if (i < headers.size()) {
      headers[i].first.assign(h.first);
      headers[i].second.assign(h.second);
    } else {
      headers.emplace_back(std::string(h.first), std::string(h.second));
    }
  }
  frame.body_.assign(body_);
}

const TKsStompFrame* TKsStompFrame::Own(const IStompFrame& frame) noexcept {
  // IStompFrame is an ordinary base, so the exact type allows a static_cast.
  if (typeid(frame) == typeid(TKsStompFrame)) return static_cast<const TKsStompFrame*>(&frame);
  return dynamic_cast<const TKsStompFrame*>(&frame);
}

TKsStompFrame* TKsStompFrame::Own(IStompFrame& frame) noexcept {
  if (typeid(frame) == typeid(TKsStompFrame)) return static_cast<TKsStompFrame*>(&frame);
  return dynamic_cast<TKsStompFrame*>(&frame);
}

std::int32_t TKsStompFrame::GetContentLength(std::string_view frameText) {
  std::string_view value;
  if (!FindContentLengthValue(frameText, value)) return 0;
  return StrToInt32Def(value, 0);
}

TKsContentLengthScan TKsStompFrame::ScanContentLength(std::string_view frameText, bool crLf) {
  TKsContentLengthScan scan;
  std::string_view value;
  if (!FindContentLengthValue(frameText, value)) return scan;
  if (crLf && !value.empty() && value.back() == '\r') value.remove_suffix(1);
  return ScanLengthValue(value);
}

TKsContentLengthScan TKsStompFrame::ScanLengthValue(std::string_view value) {
  TKsContentLengthScan scan;
  scan.Present = true;
  scan.Valid = TryStrToInt64(value, scan.Value);
  if (!scan.Valid) scan.Value = 0;
  return scan;
}

std::string TKsStompFrame::GetLine(std::string_view text, std::int32_t& position) {
  KS_ASSERT(!text.empty(), "Assertion failure");
  KS_ASSERT(position >= 1 && static_cast<std::size_t>(position) <= text.size(), "From out of bound.");
  std::size_t zeroBased = static_cast<std::size_t>(position) - 1;
  std::string_view line = NextLine(text, zeroBased);
  position = static_cast<std::int32_t>(zeroBased + 1);
  return std::string(line);
}

const std::string& TKsStompFrame::GetBody() const { return body_; }

const std::string& TKsStompFrame::GetCommand() const { return command_; }

void TKsStompFrame::SetBody(std::string body) { body_ = std::move(body); }

void TKsStompFrame::SetCommand(std::string command) { command_ = std::move(command); }

void TKsStompFrame::SetHeader(std::string_view name, std::string_view value) {
  SetHeaderEntry(headers_, name, value);
}

std::string TKsStompFrame::GetHeader(std::string_view name) const {
  const std::string* value = FindHeader(name);
  return value ? *value : std::string();
}

const std::string* TKsStompFrame::FindHeader(std::string_view name) const {
  for (const auto& h : headers_) {
    if (SameText(h.first, name)) return &h.second;
  }
  return nullptr;
}

void TKsStompFrame::RemoveHeader(std::string_view name) {
  for (auto it = headers_.begin(); it != headers_.end(); ++it) {
    if (SameText(it->first, name)) {
      headers_.erase(it);
      return;
    }
  }
}

std::string TKsStompFrame::ToBytes() const {
  std::string out;
  AppendBytes(out);
  return out;
}

void TKsStompFrame::AppendBytes(std::string& out, TKsStompVersion version) const {
  AppendVersionImage(out, command_, headers_, body_, version);
}

void TKsStompFrame::AppendFrameBytes(std::string& out, std::string_view command, const TKsHeaderView* headers,
                                     std::size_t headerCount, std::string_view body, TKsStompVersion version) {
  AppendVersionImage(out, command, TViewRange{headers, headers + headerCount}, body, version);
}

void TKsStompFrame::AppendFrameHead(std::string& out, std::string_view command, const TKsHeaderView* first,
                                    std::size_t firstCount, const TKsHeaderView* second, std::size_t secondCount,
                                    TKsStompVersion version, std::size_t after) {
  AppendVersionHead(out, command, TViewRange{first, first + firstCount}, TViewRange{second, second + secondCount},
                    version, after);
}

std::int32_t TKsStompFrame::GetHeaderCount() const { return static_cast<std::int32_t>(headers_.size()); }

TStompHeaders TKsStompFrame::GetHeaders() const {
  TStompHeaders result;
  result.reserve(headers_.size());
  for (const auto& h : headers_) result.push_back(TStompHeaderItem{h.first, h.second});
  return result;
}

TStompHeaderItem TKsStompFrame::GetHeaderItem(std::int32_t index) const {
  if (index < 0 || static_cast<std::size_t>(index) >= headers_.size()) {
    throw EKsStompError("Index out of bounds");
  }
  const auto& h = headers_[static_cast<std::size_t>(index)];
  return TStompHeaderItem{h.first, h.second};
}

void TKsStompFrame::Clear() {
  command_.clear();
  headers_.clear();
  body_.clear();
}

void TKsStompFrame::AssignBody(std::string_view bytes) { body_.assign(bytes); }

}  // namespace ks
