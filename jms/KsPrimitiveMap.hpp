// KsPrimitiveMap: TPrimitiveMap, the text-based property map of a message.
// Entries are kept in order of first insertion; names compare without regard
// to ASCII letter case; a replaced value keeps its entry's place and takes
// the name as spelled in the latest call. Integers follow ks::TryStrToInt32;
// booleans read true only for the exact text "true". An entry is its name,
// "=" and its value, read from its first "=": a name written with a "=" is
// stored as the text before it, the rest of the name and that "=" going in
// front of the value (SetString("k=x", "v") stores "k" with "x=v"), so it is
// never found under the name as written.
//
// All names and values live in one buffer, one record after another, so a
// map costs at most one allocation however many entries it holds (none while
// they fit in the buffer's inline room), and a copy of a map is one copy of
// bytes. In front of the records the buffer may hold one
// text of the map's owner (Front: a message keeps its id there, so that a
// received message needs no allocation of its own for it); it is no entry,
// Clear keeps it, and a copy of the map copies it.
//
// Ownership: held by value inside each message.
// Threads: no lock; a map belongs to one thread at a time.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>
#include <utility>

#include "jms/KsJMSInterfaces.hpp"
#include "jms/KsRecordBuffer.hpp"
#include "support/KsText.hpp"

namespace ks {

class TPrimitiveMap : public IPrimitiveMap {
 public:
  TPrimitiveMap() = default;
  // True when a map of front and entries whose names and values add up to
  // textBytes fits in the buffer's inline room: then the constructors below
  // make it without an allocation, and never raise.
  static constexpr bool FitsInline(std::size_t front, std::size_t entries, std::size_t textBytes) noexcept {
    return front + entries * kRecordHead + textBytes <= TKsRecordBuffer::kInline;
  }
  // A map of front and, when entry is true, the one entry name=value (else
  // name and value are not read): what Build would make of them, in one
  // step. It must FitsInline.
  TPrimitiveMap(std::string_view front, bool entry, std::string_view name, std::string_view value) noexcept
      : records_(front.size() + (entry ? kRecordHead + name.size() + value.size() : 0)),
        front_(front.size()),
        count_(entry ? 1 : 0) {
    char* const begin = records_.Data();
    CopyBytes(begin, front.data(), front.size());
    if (entry) PutRecord(begin + front.size(), name, value);
  }
  // What Build would make of the same, in one step. It must FitsInline,
  // and fill must put no more than entries and textBytes say.
  template <class Fill>
  TPrimitiveMap(std::string_view front, std::size_t entries, std::size_t textBytes, Fill&& fill) noexcept
      : records_(front.size() + entries * kRecordHead + textBytes) {
    PutAll(front, std::forward<Fill>(fill));
  }

  void Clear() override;
  TStringArray GetNames() const override;
  bool GetBoolean(const std::string& name) const override;
  void SetBoolean(const std::string& name, bool value) override;
  std::int32_t GetInteger(const std::string& name) const override;
  void SetInteger(const std::string& name, std::int32_t value) override;
  std::string GetString(const std::string& name) const override;
  void SetString(const std::string& name, const std::string& value) override;

  // The owner's text in front of the records, and its replacement.
  std::string_view Front() const noexcept { return std::string_view(records_.Data(), front_); }
  void SetFront(std::string_view text);

  // Allocation-free access for the frame conversion and message copies.
  std::size_t Count() const noexcept { return count_; }
  bool Empty() const noexcept { return count_ == 0; }
  // Name and value of entry i (walks the entries in front of it).
  std::string_view NameAt(std::size_t i) const noexcept;
  std::string_view ValueAt(std::size_t i) const noexcept;
  // Value of the matching entry without copying; empty when missing.
  std::string_view Find(std::string_view name) const noexcept;
  // Calls visit(name, value) for every entry in order.
  template <class Visit>
  void ForEach(Visit&& visit) const {
    for (std::size_t at = front_; at < records_.Size();) {
      const TRecord r = RecordAt(at);
      visit(r.name, r.value);
      at = r.next;
    }
  }
  // Room for entries whose names and values add up to textBytes.
  void Reserve(std::size_t entries, std::size_t textBytes);
  // Adds an entry at the end without looking for one of the same name: for
  // filling an empty map from a list that holds each name (folded) at most
  // once. The value must not be empty and the name must hold no "=".
  void Append(std::string_view name, std::string_view value);
  // Replaces the front text and every entry in one step, with one buffer
  // sized once: front, then the entries fill(put) hands to put(name, value)
  // in order. None of these texts may lie in this map's own buffer, which
  // is overwritten. The rules of Append hold for the entries; entries and
  // textBytes are their number and the sum of their name and value sizes
  // (a put that would go over raises EAssertionFailed at once, out of
  // fill, and leaves the map empty).
  template <class Fill>
  void Build(std::string_view front, std::size_t entries, std::size_t textBytes, Fill&& fill);

 private:
  struct TRecord {
    std::string_view name;
    std::string_view value;
    std::size_t next;  // offset of the following record
  };
  // A record: 4-byte name size, 4-byte value size, name, value.
  static constexpr std::size_t kRecordHead = 8;
  TRecord RecordAt(std::size_t at) const noexcept {
    std::uint32_t sizes[2];
    std::memcpy(sizes, records_.Data() + at, sizeof sizes);
    const char* text = records_.Data() + at + kRecordHead;
    return TRecord{std::string_view(text, sizes[0]), std::string_view(text + sizes[0], sizes[1]),
                   at + kRecordHead + sizes[0] + sizes[1]};
  }
  // Writes one record at out, which has room for it; answers its end.
  static char* PutRecord(char* out, std::string_view name, std::string_view value) noexcept {
    const std::uint32_t sizes[2] = {static_cast<std::uint32_t>(name.size()), static_cast<std::uint32_t>(value.size())};
    std::memcpy(out, sizes, sizeof sizes);
    out += kRecordHead;
    CopyBytes(out, name.data(), name.size());
    out += name.size();
    CopyBytes(out, value.data(), value.size());
    return out + value.size();
  }
  // Build's steps once the buffer has its size: front and the entries.
  template <class Fill>
  void PutAll(std::string_view front, Fill&& fill);
  // Build's step after a fill that went over its room: the map is emptied
  // and EAssertionFailed raised.
  [[noreturn]] void FailBuild();
  // Offset of the entry named name, or npos.
  std::size_t Locate(std::string_view name) const noexcept;
  // The record bytes of an entry.
  static std::string Record(std::string_view name, std::string_view prefix, std::string_view value);

  TKsRecordBuffer records_;  // the front text, then the records
  std::size_t front_ = 0;
  std::size_t count_ = 0;
};

template <class Fill>
void TPrimitiveMap::Build(std::string_view front, std::size_t entries, std::size_t textBytes, Fill&& fill) {
  records_.Resize(front.size() + entries * kRecordHead + textBytes);
  PutAll(front, std::forward<Fill>(fill));
}

template <class Fill>
void TPrimitiveMap::PutAll(std::string_view front, Fill&& fill) {
  char* const begin = records_.Data();
  char* const end = begin + records_.Size();
  CopyBytes(begin, front.data(), front.size());
  char* out = begin + front.size();
  std::size_t count = 0;
  fill([&](std::string_view name, std::string_view value) {
    if (static_cast<std::size_t>(end - out) < kRecordHead + name.size() + value.size()) [[unlikely]] FailBuild();
    out = PutRecord(out, name, value);
    ++count;
  });
  records_.Resize(static_cast<std::size_t>(out - begin));
  front_ = front.size();
  count_ = count;
}

}  // namespace ks
