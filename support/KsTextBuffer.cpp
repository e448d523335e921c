#include "support/KsTextBuffer.hpp"

#include <algorithm>

#include "support/KsBlockCache.hpp"

namespace ks {

void TKsTextBuffer::Grow(std::size_t size) {
  const std::size_t capacity = std::max(size, 2 * capacity_);
  char* grown = static_cast<char*>(CachedAllocate(capacity));
  if (data_ != inline_) Release();
  data_ = grown;
  capacity_ = capacity;
  size_ = 0;
}

void TKsTextBuffer::Release() noexcept {
  CachedDeallocate(data_, capacity_);
  data_ = inline_;
  capacity_ = kInline;
}

}  // namespace ks
