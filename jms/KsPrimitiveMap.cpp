#include "jms/KsPrimitiveMap.hpp"

#include "support/KsText.hpp"

namespace ks {

namespace {

std::string_view EntryName(const std::string& entry) noexcept {
  const auto pos = entry.find('=');
  return pos == std::string::npos ? std::string_view(entry) : std::string_view(entry).substr(0, pos);
}

std::string_view EntryValue(const std::string& entry) noexcept {
  const auto pos = entry.find('=');
  return pos == std::string::npos ? std::string_view() : std::string_view(entry).substr(pos + 1);
}

}  // namespace

void TPrimitiveMap::Clear() { entries_.clear(); }

TStringArray TPrimitiveMap::GetNames() const {
  TStringArray names;
  names.reserve(entries_.size());
  for (const auto& entry : entries_) names.emplace_back(EntryName(entry));
  return names;
}

bool TPrimitiveMap::GetBoolean(const std::string& name) const { return Find(name) == "true"; }

void TPrimitiveMap::SetBoolean(const std::string& name, bool value) { SetString(name, value ? "true" : "false"); }

std::int32_t TPrimitiveMap::GetInteger(const std::string& name) const { return StrToInt32Def(Find(name), 0); }

void TPrimitiveMap::SetInteger(const std::string& name, std::int32_t value) { SetString(name, IntToStr(value)); }

std::string TPrimitiveMap::GetString(const std::string& name) const { return std::string(Find(name)); }

void TPrimitiveMap::SetString(const std::string& name, const std::string& value) {
  for (auto it = entries_.begin(); it != entries_.end(); ++it) {
    if (!SameText(EntryName(*it), name)) continue;
    if (value.empty()) {
      entries_.erase(it);
    } else {
      it->clear();
      it->reserve(name.size() + 1 + value.size());
      it->append(name).append(1, '=').append(value);
    }
    return;
  }
  if (value.empty()) return;
  std::string entry;
  entry.reserve(name.size() + 1 + value.size());
  entry.append(name).append(1, '=').append(value);
  entries_.push_back(std::move(entry));
}

std::string_view TPrimitiveMap::NameAt(std::size_t i) const noexcept { return EntryName(entries_[i]); }

std::string_view TPrimitiveMap::ValueAt(std::size_t i) const noexcept { return EntryValue(entries_[i]); }

std::string_view TPrimitiveMap::Find(std::string_view name) const noexcept {
  for (const auto& entry : entries_) {
    if (SameText(EntryName(entry), name)) return EntryValue(entry);
  }
  return {};
}

}  // namespace ks
