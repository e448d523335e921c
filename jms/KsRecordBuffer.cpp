#include "jms/KsRecordBuffer.hpp"

#include <algorithm>
#include <cstring>
#include <string>

namespace ks {

TKsRecordBuffer::TKsRecordBuffer(const TKsRecordBuffer& other) { Assign(other.View()); }

void TKsRecordBuffer::Grow(std::size_t capacity) {
  capacity = std::max(capacity, 2 * capacity_);
  std::unique_ptr<char[]> grown(new char[capacity]);
  if (size_ != 0) std::memcpy(grown.get(), Data(), size_);
  heap_ = std::move(grown);
  data_ = heap_.get();
  capacity_ = capacity;
}

void TKsRecordBuffer::Replace(std::size_t at, std::size_t count, std::string_view bytes) {
  const char* const data = Data();
  if (!bytes.empty() && bytes.data() >= data && bytes.data() < data + size_) {
    // Bytes of this buffer move while it changes: a copy goes in instead.
    const std::string copy(bytes);
    Replace(at, count, copy);
    return;
  }
  const std::size_t tail = size_ - at - count;
  const std::size_t size = size_ - count + bytes.size();
  Reserve(size);
  char* const out = Data();
  if (tail != 0) std::memmove(out + at + bytes.size(), out + at + count, tail);
  if (!bytes.empty()) std::memcpy(out + at, bytes.data(), bytes.size());
  size_ = size;
}

}  // namespace ks
