// KsStompFrame: TKsStompFrame, the library's one implementation of
// IStompFrame, with the parser for received frame texts and the
// content-length scan the transport uses to know how much body to read.
//
// Ownership: made with Create() or Parse() and shared as
// std::shared_ptr<IStompFrame>.
// Threads: a frame takes no lock; the static functions are reentrant.
// Errors: Parse raises EKsStompError ("header line error " + line) and
// EAssertionFailed ("Empty Command", "frame too short", and GetLine's
// "Assertion failure", "From out of bound.", "End of Line not found.").
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <new>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "stomp/KsStompInterfaces.hpp"
#include "stomp/KsStompVersion.hpp"
#include "support/KsText.hpp"

namespace ks {

// The result of scanning a header block for "content-length" (exact,
// case-sensitive name), keeping apart the cases that GetContentLength folds
// into 0.
struct TKsContentLengthScan {
  bool Present = false;     // a "content-length" line was found
  bool Valid = false;       // its value follows the integer rule (64-bit)
  std::int64_t Value = 0;   // the value when Valid (may be negative)
};

// A header as a pair of views (name, value); used on the send path to build
// a frame image without copying the caller's strings.
using TKsHeaderView = std::pair<std::string_view, std::string_view>;

// The header rule of every header list of this library (a frame's strings,
// a list of views): one entry per name, names compared with ASCII case
// folded; setting a name that is there replaces its value in its place
// (the first spelling of the name stays), an empty value removes the entry,
// a new name is appended. items is a vector of (name, value) pairs.
template <class Items>
void ReplaceHeaderEntry(Items& items, typename Items::value_type& item, std::string_view value);

template <class Items>
inline void SetHeaderEntry(Items& items, std::string_view name, std::string_view value) {
  for (auto& item : items) {
    if (item.first.size() == name.size() && SameText(item.first, name)) {
      ReplaceHeaderEntry(items, item, value);
      return;
    }
  }
  if (!value.empty()) items.emplace_back(name, value);
}

// The entry item of items has the name being set: a new value, or removal
// for an empty one.
template <class Items>
void ReplaceHeaderEntry(Items& items, typename Items::value_type& item, std::string_view value) {
  if (value.empty()) {
    items.erase(items.begin() + (&item - items.data()));
  } else {
    item.second = value;
  }
}

// An ordered header list of views with the same rules as a frame's list: one
// entry per name (ASCII case folding), an empty value removes the entry,
// replacing keeps the position. The viewed strings must outlive the list.
// Its room is kept from Clear to Clear.
class TKsHeaderViewList {
 public:
  class TFill;

  void Clear() {
    count_ = 0;
    lengths_ = 0;
  }
  // The entry named name (ASCII case folded), or nullptr.
  const TKsHeaderView* Find(std::string_view name) const;
  void Reserve(std::size_t count) {
    if (room_.size() < count) room_.resize(count);
  }
  void Set(std::string_view name, std::string_view value);
  // Set for a list filled only through Add since its Clear: an entry whose
  // name length no earlier entry has is appended without a search.
  void Add(std::string_view name, std::string_view value) {
    const std::uint64_t bit = LengthBit(name);
    if ((lengths_ & bit) != 0) {
      Set(name, value);
    } else if (!value.empty()) {
      lengths_ |= bit;
      Append(name, value);
    }
  }
  // The rule of STOMP 1.1 and later for received frames: a name that is
  // there already keeps its first value.
  void AddFirst(std::string_view name, std::string_view value) {
    const std::uint64_t bit = LengthBit(name);
    if ((lengths_ & bit) != 0 && Find(name) != nullptr) return;
    lengths_ |= bit;
    if (!value.empty()) Append(name, value);
  }
  const TKsHeaderView* Data() const { return room_.data(); }
  std::size_t Size() const { return count_; }

 private:
  static std::uint64_t LengthBit(std::string_view name) { return std::uint64_t{1} << (name.size() & 63); }
  void Append(std::string_view name, std::string_view value) {
    if (count_ == room_.size()) Grow();
    room_[count_++] = TKsHeaderView(name, value);
  }
  // More room: at least size entries in all, and more than now.
  void Grow(std::size_t size = 0);

  std::vector<TKsHeaderView> room_;  // the entries [0, count_), then room for more
  std::size_t count_ = 0;
  std::uint64_t lengths_ = 0;  // the name lengths Add has seen, modulo 64 (a filler may note more)
};

// Fills a list just cleared through Add (or AddFirst, kFirstWins) for one
// parse of a header block, taking the usual entries only, with the list's
// end and length mask held here, where the compiler can keep them in
// registers, until the filler ends. The list is not to be used otherwise
// while a filler of it lives (one thread).
class TKsHeaderViewList::TFill {
 public:
  // refused: the name lengths (bits as the mask has them) that TryAdd
  // leaves to the caller.
  TFill(TKsHeaderViewList& list, std::uint64_t refused) : list_(list), refused_(refused) {
    // TryAdd adds at most one entry per bit of the mask: with room for 64
    // more, it never runs out.
    if (list.room_.size() < list.count_ + 64) list.Grow(list.count_ + 64);
    next_ = list.room_.data() + list.count_;
    seen_ = list.lengths_ | refused;
  }
  ~TFill() {
    list_.count_ = static_cast<std::size_t>(next_ - list_.room_.data());
    list_.lengths_ = seen_ & ~refused_;
  }
  TFill(const TFill&) = delete;
  TFill& operator=(const TFill&) = delete;

  // Add or AddFirst for a name whose length no entry has yet; false, with
  // nothing done, for any other (the caller then adds it through the list
  // once the filler has ended). The length is noted also for an empty
  // value, which adds nothing: a later name of that length then takes the
  // list's own search, which finds nothing and gives the same list.
  template <bool kFirstWins>
  bool TryAdd(std::string_view name, std::string_view value) {
    bool seen = false;
    seen_ = WithBitSet(seen_, name.size(), seen);
    if (seen) return false;
    if (!value.empty()) *next_++ = TKsHeaderView(name, value);
    return true;
  }

 private:
  TKsHeaderViewList& list_;
  const std::uint64_t refused_;
  TKsHeaderView* next_;  // where the next entry goes
  std::uint64_t seen_;   // the list's length mask, with refused
};

// A header list whose names are all different and the library's own (no
// received or application-given name): Set appends what is not empty, in
// order, without a search. Past kCapacity entries it notes an overflow and
// keeps no more; the list is then not to be used. Its room is left unset
// until an entry is added (it is made once per message sent).
class TKsDistinctHeaders {
 public:
  static constexpr std::size_t kCapacity = 12;
  TKsDistinctHeaders() noexcept {}  // NOLINT: the room stays unset
  void Set(std::string_view name, std::string_view value) {
    if (value.empty()) return;
    if (count_ == kCapacity) {
      overflow_ = true;
      return;
    }
    new (room_ + count_ * sizeof(TKsHeaderView)) TKsHeaderView(name, value);
    ++count_;
  }
  const TKsHeaderView* Data() const { return std::launder(reinterpret_cast<const TKsHeaderView*>(room_)); }
  std::size_t Size() const { return count_; }
  bool Overflow() const { return overflow_; }

 private:
  alignas(TKsHeaderView) unsigned char room_[kCapacity * sizeof(TKsHeaderView)];
  std::size_t count_ = 0;
  bool overflow_ = false;
};

class TKsStompFrame;

// What the frame cutter needs to know of a header block parsed in place
// (TKsParsedFrame::ParseHeadInPlace).
struct TKsHeadFacts {
  std::size_t End = 0;             // position of the LF that ends the block's last line
  bool ExactLength = false;        // some line starts with "content-length:"
  bool LengthInCommand = false;    // that line is the command line
  std::string_view LengthValue;    // the rest of the first such line
  std::size_t LengthNames = 0;     // header names with the length of "content-length"
  bool NulLfInHeader = false;      // a line of the block ends with NUL LF

  static constexpr std::string_view kLengthName = "content-length";
  // For the command line: the cutter's length rule takes the first line that
  // starts with "content-length:", the command line too.
  void NoteCommand(std::string_view line) {
    if (line.size() > kLengthName.size() && line[kLengthName.size()] == ':' &&
        line.compare(0, kLengthName.size(), kLengthName) == 0) {
      ExactLength = true;
      LengthInCommand = true;
      LengthValue = line.substr(kLengthName.size() + 1);
    }
  }
  // A header name of the length of "content-length": counted, and the
  // cutter's rule applied.
  void NoteLengthName(std::string_view name, std::string_view value);
};

// A received frame text cut into views without copying: the command, the
// header list by the frame's rules (one entry per name with ASCII case
// folded, a later value replaces an earlier one in its place, an empty value
// removes it) and the body. Under a version from 1.1 on, a repeated name
// keeps its first value instead, and under 1.2 a CR before the LF of a line
// is part of the line end; escapes are left in the views (Escaped() tells
// whether the header block holds any) until Unescape resolves them. The views point into the parsed text, or into a
// completed copy this object keeps for a text without its NUL LF; the text
// must outlive their use. Parse has the checks and errors of
// TKsStompFrame::Parse. Reusable: a later Parse keeps the list's capacity.
// Each header line is read once: its name up to the first ':', its value up
// to the LF.
class TKsParsedFrame {
 public:
  void Parse(std::string_view frameText, TKsStompVersion version = TKsStompVersion::V1_0);
  std::string_view Command() const { return command_; }
  const TKsHeaderView* Headers() const { return headers_.Data(); }
  std::size_t HeaderCount() const { return headers_.Size(); }
  std::string_view Body() const { return body_; }
  // The value of a header (names compared with ASCII case folded), or
  // nullptr when there is none.
  const std::string_view* Find(std::string_view name) const;
  // Replaces the command, headers and body of frame with copies of these,
  // keeping the capacity of the frame's strings.
  void CopyTo(TKsStompFrame& frame) const;
  // True when the header block parsed under 1.1 or later holds a backslash:
  // its names or values carry escapes.
  bool Escaped() const { return escaped_; }
  // Makes this frame the escaped frame source with its names and values
  // unescaped for version: the command and body stay views into source's
  // text, the headers are copies kept here. Raises EKsStompError
  // "Undefined escape sequence in header ..." for an escape the version
  // does not define.
  void Unescape(const TKsParsedFrame& source, TKsStompVersion version);

  // For the frame cutter, which finds the end of a header block by parsing
  // it: parses the command and the header lines of the block that starts at
  // text's first byte (not a blank), as Parse parses them, up to the empty
  // line. False when the block is not whole in text or a header line has no
  // ':' (the cutter then cuts without this parse, and Parse raises the
  // error). The body is left empty: SetBody gives it. facts comes as
  // TKsHeadFacts() makes it, and the parse fills it in.
  [[gnu::always_inline]] inline bool ParseHeadInPlace(std::string_view text, TKsHeadFacts& facts,
                        TKsStompVersion version = TKsStompVersion::V1_0);
  void SetBody(std::string_view body) { body_ = body; }

 private:
  // False when the text ends inside the header block.
  bool ParseHeaders(std::string_view text, std::size_t& position);
  void ParseBody(std::string_view text, std::size_t position);
  // A header block cut short: raises its error, or parses the text again
  // with NUL LF appended when it holds none.
  void RunOut(std::string_view text, std::size_t position);

  // The parse loops, for 1.0 (kModern false) and for 1.1 and later.
  template <bool kModern>
  bool ParseHeadersAs(std::string_view text, std::size_t& position);
  // Always inline: the frame cutter's loops run it for every frame.
  template <bool kModern>
  [[gnu::always_inline]] inline bool ParseHeadInPlaceAs(std::string_view text, TKsHeadFacts& facts);
  // ParseHeadInPlaceAs<true>, out of line: the frame cutter inlines the
  // parse of 1.0 only.
  bool ParseHeadInPlaceModern(std::string_view text, TKsHeadFacts& facts);
  // ParseHeadInPlaceAs from the header line at p on, every line the
  // general way.
  template <bool kModern>
  bool ParseHeadLines(const char* begin, const char* end, const char* p, TKsHeadFacts& facts);
  // The end of a header block parsed in place: blank is its empty line,
  // first the start of its first header line. True.
  template <bool kModern>
  bool EndHead(const char* begin, const char* first, const char* blank, TKsHeadFacts& facts);
  // Adds one header line by the rules of the version being parsed.
  template <bool kModern>
  void AddHeader(std::string_view name, std::string_view value) {
    if constexpr (kModern) {
      headers_.AddFirst(name, value);
    } else {
      headers_.Add(name, value);
    }
  }
  // The rules of version for the next parse.
  void UseVersion(TKsStompVersion version) {
    version_ = version;
    firstWins_ = version != TKsStompVersion::V1_0;
    crLf_ = version == TKsStompVersion::V1_2;
    escaped_ = false;
  }
  // Under 1.1 and later: notes whether the header block [from, to) holds a
  // backslash.
  void NoteEscapes(const char* from, const char* to);

  std::string_view command_;
  std::string_view body_;
  TKsHeaderViewList headers_;
  bool nulLfInHeader_ = false;  // a line of the header block ends with NUL LF
  bool lengthNamed_ = false;    // a header name has the length of "content-length"
  TKsStompVersion version_ = TKsStompVersion::V1_0;  // of the last parse
  bool firstWins_ = false;      // 1.1 and later: a repeated name keeps its first value
  bool crLf_ = false;           // 1.2: CR LF ends a line as LF does
  bool escaped_ = false;        // see Escaped()
  std::string completed_;
  std::string unescaped_;  // the names and values Unescape made
};

// The head parse is here, for the frame cutter to have the parse of 1.0
// inline (the parse of later versions runs better out of line).
inline bool TKsParsedFrame::ParseHeadInPlace(std::string_view text, TKsHeadFacts& facts, TKsStompVersion version) {
  // The flags follow version_ (and escaped_ is false under 1.0): set only
  // when the version changes.
  if (version != version_) UseVersion(version);
  return version != TKsStompVersion::V1_0 ? ParseHeadInPlaceModern(text, facts)
                                          : ParseHeadInPlaceAs<false>(text, facts);
}

template <bool kModern>
inline bool TKsParsedFrame::ParseHeadInPlaceAs(std::string_view text, TKsHeadFacts& facts) {
  body_ = std::string_view();
  headers_.Clear();
  const char* const begin = text.data();
  const char* const end = begin + text.size();
  const TKsByteFinder find(begin, end);
  const char* p = find.Byte(begin, '\n');
  if (p == end || p == begin) return false;
  command_ = std::string_view(begin, static_cast<std::size_t>(p - begin));
  nulLfInHeader_ = p[-1] == '\0';
  // Lines that end in CR LF go the general way.
  if (kModern && crLf_ && p[-1] == '\r') return false;
  facts.NoteCommand(command_);
  const char* const first = p + 1;
  // The usual lines here, with no call: a name whose length no earlier
  // name has and is not that of "content-length", a line that does not end
  // in NUL LF (or CR LF under 1.2). From the first other line on, the
  // general loop goes on.
  {
    TKsHeaderViewList::TFill fill(headers_, std::uint64_t{1} << TKsHeadFacts::kLengthName.size());
    // As far as the marks reach, each line's LF is the next mark, and its
    // name, of up to 15 bytes, ends within the 16 bytes they leave readable
    // after it. A longer name, or a line without ':', goes the general way;
    // the empty line is found here too.
    TKsByteMarks<'\n'> lines(first, end);
    bool usual = true;  // every line so far was taken here
    for (++p; __builtin_expect(lines.More(), 1);) {
      const char* const lf = lines.Next();
      const std::uint32_t colons = ByteMask16(p, ':');
      const char* const stop = colons != 0 ? p + LowestBit64(colons) : lf;
      if (__builtin_expect(stop >= lf, 0)) {
        if (lf == p) return EndHead<kModern>(begin, first, p, facts);
        usual = false;
        break;
      }
      if (lf[-1] == '\0' || (kModern && crLf_ && lf[-1] == '\r') ||
          !fill.template TryAdd<kModern>(std::string_view(p, static_cast<std::size_t>(stop - p)),
                                         std::string_view(stop + 1, static_cast<std::size_t>(lf - stop - 1)))) {
        usual = false;
        break;
      }
      lines.Pop();
      p = lf + 1;
    }
    // Beyond the marks, each line is searched.
    while (usual && p < end) {
      if (*p == '\n') return EndHead<kModern>(begin, first, p, facts);
      const char* stop = find.Either(p, ':', '\n');
      if (stop == end || *stop == '\n') return false;
      const char* lf = find.Byte(stop + 1, '\n');
      if (lf == end) return false;
      if (lf[-1] == '\0' || (kModern && crLf_ && lf[-1] == '\r')) break;
      if (!fill.template TryAdd<kModern>(std::string_view(p, static_cast<std::size_t>(stop - p)),
                                         std::string_view(stop + 1, static_cast<std::size_t>(lf - stop - 1)))) {
        break;
      }
      p = lf + 1;
    }
  }
  return p < end && ParseHeadLines<kModern>(begin, end, p, facts);
}

template <bool kModern>
inline bool TKsParsedFrame::EndHead(const char* begin, const char* first, const char* blank, TKsHeadFacts& facts) {
  facts.End = static_cast<std::size_t>(blank - 1 - begin);
  facts.NulLfInHeader = nulLfInHeader_;
  lengthNamed_ = facts.LengthNames != 0;
  if constexpr (kModern) NoteEscapes(first, blank);
  return true;
}

class TKsStompFrame : public IStompFrame {
 public:
  TKsStompFrame() = default;

  static std::shared_ptr<TKsStompFrame> Create();

  // Builds a frame from one complete frame text (header block, blank line,
  // body, normally NUL LF).
  static std::shared_ptr<IStompFrame> Parse(std::string_view frameText);
  // The same into an existing frame, replacing its command, headers and
  // body and keeping the capacity of its strings (for frames reused on the
  // receive path). After an error the frame is valid but unspecified.
  static void ParseInto(std::string_view frameText, TKsStompFrame& frame);

  // The frame itself when it is a TKsStompFrame (one type comparison in the
  // common case), else nullptr.
  static const TKsStompFrame* Own(const IStompFrame& frame) noexcept;
  static TKsStompFrame* Own(IStompFrame& frame) noexcept;

  // The value of the first "content-length" line of a header block; 0 when
  // there is none, when it is 0, or when it is not a 32-bit integer.
  static std::int32_t GetContentLength(std::string_view frameText);

  // The same scan, reporting presence, validity and the 64-bit value. With
  // crLf (1.2), a CR at the end of the value is its line end.
  static TKsContentLengthScan ScanContentLength(std::string_view frameText, bool crLf = false);
  // The same for a value already found (Present is true).
  static TKsContentLengthScan ScanLengthValue(std::string_view value);

  // The next line of text from position (1-based) up to, not including, the
  // next LF; position moves past the LF.
  static std::string GetLine(std::string_view text, std::int32_t& position);

  const std::string& GetBody() const override;
  const std::string& GetCommand() const override;
  void SetBody(std::string body) override;
  void SetCommand(std::string command) override;
  void SetHeader(std::string_view name, std::string_view value) override;
  std::string GetHeader(std::string_view name) const override;
  void RemoveHeader(std::string_view name) override;
  std::string ToBytes() const override;
  std::int32_t GetHeaderCount() const override;
  TStompHeaders GetHeaders() const override;
  TStompHeaderItem GetHeaderItem(std::int32_t index) const override;

  // Appends the wire encoding to out (ToBytes without a new string). The
  // same checks as ToBytes run before anything is appended. Under a version
  // from 1.1 on, header names and values are escaped instead of refused
  // where the version can carry them (KsHeaderEscape.hpp).
  void AppendBytes(std::string& out, TKsStompVersion version = TKsStompVersion::V1_0) const;

  // Appends the wire encoding of a frame given by its parts to out, with the
  // checks of ToBytes (EKsStompError before anything is appended) and the
  // escaping of version as AppendBytes.
  static void AppendFrameBytes(std::string& out, std::string_view command, const TKsHeaderView* headers,
                               std::size_t headerCount, std::string_view body,
                               TKsStompVersion version = TKsStompVersion::V1_0);
  // The same without the body: the command line and the header block up to
  // and including the empty line that ends it (the caller sends the body
  // and NUL LF after it), with room for after more bytes reserved in out.
  // The headers are first's entries, then second's.
  static void AppendFrameHead(std::string& out, std::string_view command, const TKsHeaderView* first,
                              std::size_t firstCount, const TKsHeaderView* second, std::size_t secondCount,
                              TKsStompVersion version, std::size_t after = 0);

  // The stored value of a header, or nullptr when there is none (no copy).
  const std::string* FindHeader(std::string_view name) const;
  // The header entries in list order (name, value).
  const std::vector<std::pair<std::string, std::string>>& HeaderList() const { return headers_; }
  // Empties command, headers and body, keeping allocated capacity where the
  // containers allow it (for frames reused on the send path).
  void Clear();
  // Replaces the body with a copy of bytes, reusing the body's capacity.
  void AssignBody(std::string_view bytes);

 private:
  friend class TKsParsedFrame;

  std::string command_;
  std::vector<std::pair<std::string, std::string>> headers_;
  std::string body_;
};

}  // namespace ks
