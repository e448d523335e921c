// KsFieldTexts: TKsFieldTexts, the text fields of a message that most
// messages leave empty (correlation id, type, transaction id), kept in one
// block: none while all three are empty, so that making and dropping such a
// message touches two words instead of three strings; one block of the
// thread's block cache (KsBlockCache.hpp) otherwise. Reading a field, or
// asking whether it is empty, costs what it costs in a string.
//
// Ownership: held by value inside each message; a copy copies the texts.
// Threads: no lock; it belongs to one thread at a time, and its block may be
// released on another thread than the one that took it.
#pragma once

#include <cstddef>
#include <string_view>

namespace ks {

class TKsFieldTexts {
 public:
  enum TField { kCorrelationId, kType, kTransactionId, kFieldCount };

  TKsFieldTexts() noexcept = default;
  TKsFieldTexts(const TKsFieldTexts& other);
  TKsFieldTexts& operator=(const TKsFieldTexts& other);
  ~TKsFieldTexts() {
    if (block_ != nullptr) Release();
  }

  std::string_view Get(TField field) const noexcept {
    std::size_t at = 0;
    for (int i = 0; i < field; ++i) at += sizes_[i];
    return std::string_view(block_ + at, sizes_[field]);
  }
  bool Empty(TField field) const noexcept { return sizes_[field] == 0; }
  // Replaces one field (text may be one of this object's own); the others
  // stay. Emptying a field never raises.
  void Set(TField field, std::string_view text);

 private:
  // Gives the block back and empties every field.
  void Release() noexcept;

  char* block_ = nullptr;  // the three texts, one after another; none when all are empty
  std::size_t capacity_ = 0;
  std::size_t sizes_[kFieldCount] = {};
};

}  // namespace ks
