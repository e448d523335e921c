#include "jms/KsPrimitiveMap.hpp"

#include "support/KsException.hpp"
#include "support/KsText.hpp"

namespace ks {

void TPrimitiveMap::Clear() {
  records_.Resize(front_);
  count_ = 0;
}

void TPrimitiveMap::SetFront(std::string_view text) {
  records_.Replace(0, front_, text);
  front_ = text.size();
}

TStringArray TPrimitiveMap::GetNames() const {
  TStringArray names;
  names.reserve(count_);
  ForEach([&names](std::string_view name, std::string_view) { names.emplace_back(name); });
  return names;
}

bool TPrimitiveMap::GetBoolean(const std::string& name) const { return Find(name) == "true"; }

void TPrimitiveMap::SetBoolean(const std::string& name, bool value) { SetString(name, value ? "true" : "false"); }

std::int32_t TPrimitiveMap::GetInteger(const std::string& name) const { return StrToInt32Def(Find(name), 0); }

void TPrimitiveMap::SetInteger(const std::string& name, std::int32_t value) { SetString(name, IntToStr(value)); }

std::string TPrimitiveMap::GetString(const std::string& name) const { return std::string(Find(name)); }

std::string TPrimitiveMap::Record(std::string_view name, std::string_view prefix, std::string_view value) {
  const std::uint32_t sizes[2] = {static_cast<std::uint32_t>(name.size()),
                                  static_cast<std::uint32_t>(prefix.size() + value.size())};
  std::string record(reinterpret_cast<const char*>(sizes), sizeof sizes);
  record.append(name).append(prefix).append(value);
  return record;
}

void TPrimitiveMap::SetString(const std::string& name, const std::string& value) {
  const std::size_t at = Locate(name);
  if (at != std::string::npos) {
    const std::size_t size = RecordAt(at).next - at;
    if (value.empty()) {
      records_.Replace(at, size, std::string_view());
      --count_;
    } else {
      records_.Replace(at, size, Record(name, std::string_view(), value));
    }
    return;
  }
  if (value.empty()) return;
  const std::size_t equals = name.find('=');
  const std::string_view whole = name;
  if (equals == std::string::npos) {
    records_.Append(Record(whole, std::string_view(), value));
  } else {
    // The entry "name=value" read from its first "=": the rest of the name,
    // that "=", then the value.
    records_.Append(Record(whole.substr(0, equals), whole.substr(equals + 1), "=" + value));
  }
  ++count_;
}

std::string_view TPrimitiveMap::NameAt(std::size_t i) const noexcept {
  std::size_t at = front_;
  for (; i > 0; --i) at = RecordAt(at).next;
  return RecordAt(at).name;
}

std::string_view TPrimitiveMap::ValueAt(std::size_t i) const noexcept {
  std::size_t at = front_;
  for (; i > 0; --i) at = RecordAt(at).next;
  return RecordAt(at).value;
}

std::size_t TPrimitiveMap::Locate(std::string_view name) const noexcept {
  for (std::size_t at = front_; at < records_.Size();) {
    const TRecord r = RecordAt(at);
    if (SameText(r.name, name)) return at;
    at = r.next;
  }
  return std::string::npos;
}

std::string_view TPrimitiveMap::Find(std::string_view name) const noexcept {
  const std::size_t at = Locate(name);
  return at == std::string::npos ? std::string_view() : RecordAt(at).value;
}

void TPrimitiveMap::Reserve(std::size_t entries, std::size_t textBytes) {
  records_.Reserve(records_.Size() + entries * kRecordHead + textBytes);
}

void TPrimitiveMap::FailBuild() {
  records_.Resize(0);
  front_ = 0;
  count_ = 0;
  KS_ASSERT(false, "Assertion failure");
}

void TPrimitiveMap::Append(std::string_view name, std::string_view value) {
  const std::size_t at = records_.Size();
  records_.Resize(at + kRecordHead + name.size() + value.size());
  PutRecord(records_.Data() + at, name, value);
  ++count_;
}

}  // namespace ks
