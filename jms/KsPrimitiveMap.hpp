// KsPrimitiveMap: TPrimitiveMap, the text-based property map of a message.
// Entries are kept in order of first insertion; names compare without regard
// to ASCII letter case; a replaced value keeps its entry's place and takes
// the name as spelled in the latest call. Integers follow ks::TryStrToInt32;
// booleans read true only for the exact text "true".
//
// Ownership: held by value inside each message.
// Threads: no lock; a map belongs to one thread at a time.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

#include "jms/KsJMSInterfaces.hpp"

namespace ks {

class TPrimitiveMap : public IPrimitiveMap {
 public:
  TPrimitiveMap() = default;

  void Clear() override;
  TStringArray GetNames() const override;
  bool GetBoolean(const std::string& name) const override;
  void SetBoolean(const std::string& name, bool value) override;
  std::int32_t GetInteger(const std::string& name) const override;
  void SetInteger(const std::string& name, std::int32_t value) override;
  std::string GetString(const std::string& name) const override;
  void SetString(const std::string& name, const std::string& value) override;

  // Allocation-free access for the frame conversion and message copies.
  std::size_t Count() const noexcept { return entries_.size(); }
  bool Empty() const noexcept { return entries_.empty(); }
  // Name and value of entry i (text before / after its first "=").
  std::string_view NameAt(std::size_t i) const noexcept;
  std::string_view ValueAt(std::size_t i) const noexcept;
  // Value of the first matching entry without copying; empty when missing.
  std::string_view Find(std::string_view name) const noexcept;

 private:
  std::vector<std::string> entries_;  // "name=value"
};

}  // namespace ks
