#include "jms/KsFieldTexts.hpp"

#include <cstring>
#include <utility>

#include "support/KsBlockCache.hpp"

namespace ks {

TKsFieldTexts::TKsFieldTexts(const TKsFieldTexts& other) {
  std::size_t total = 0;
  for (std::size_t size : other.sizes_) total += size;
  if (total == 0) return;
  block_ = static_cast<char*>(CachedAllocate(total));
  capacity_ = total;
  std::memcpy(block_, other.block_, total);
  std::memcpy(sizes_, other.sizes_, sizeof sizes_);
}

TKsFieldTexts& TKsFieldTexts::operator=(const TKsFieldTexts& other) {
  if (this == &other) return *this;
  TKsFieldTexts copy(other);
  std::swap(block_, copy.block_);
  std::swap(capacity_, copy.capacity_);
  std::swap(sizes_, copy.sizes_);
  return *this;
}

void TKsFieldTexts::Release() noexcept {
  CachedDeallocate(block_, capacity_);
  block_ = nullptr;
  capacity_ = 0;
  std::memset(sizes_, 0, sizeof sizes_);
}

void TKsFieldTexts::Set(TField field, std::string_view text) {
  if (text.empty() && sizes_[field] == 0) return;
  std::size_t at = 0;
  for (int i = 0; i < field; ++i) at += sizes_[i];
  std::size_t after = 0;
  for (int i = field + 1; i < kFieldCount; ++i) after += sizes_[i];
  if (text.empty()) {
    // The texts behind it move down in the same block.
    std::memmove(block_ + at, block_ + at + sizes_[field], after);
    sizes_[field] = 0;
    if (at + after == 0) Release();
    return;
  }
  // A new block, filled before the old one goes: text may lie in it.
  const std::size_t total = at + text.size() + after;
  char* const block = static_cast<char*>(CachedAllocate(total));
  if (at != 0) std::memcpy(block, block_, at);
  std::memcpy(block + at, text.data(), text.size());
  if (after != 0) std::memcpy(block + at + text.size(), block_ + at + sizes_[field], after);
  if (block_ != nullptr) CachedDeallocate(block_, capacity_);
  block_ = block;
  capacity_ = total;
  sizes_[field] = text.size();
}

}  // namespace ks
