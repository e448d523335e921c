#include "broker/KsBrokerBuffer.hpp"

#include <cstring>

namespace ks {

void TByteBuffer::Consume(std::size_t count) {
  begin_ += count;
  if (begin_ >= end_) begin_ = end_ = 0;
}

void TByteBuffer::Truncate(std::size_t offset) {
  if (offset < Size()) end_ = begin_ + offset;
  if (begin_ >= end_) begin_ = end_ = 0;
}

char* TByteBuffer::Reserve(std::size_t count) {
  if (storage_.size() - end_ >= count) return storage_.data() + end_;
  const std::size_t used = end_ - begin_;
  if (storage_.size() - used >= count) {
    // Enough room once the unread rest moves to the front.
    std::memmove(storage_.data(), storage_.data() + begin_, used);
  } else {
    std::size_t capacity = storage_.size() < 4096 ? 4096 : storage_.size();
    while (capacity - used < count) capacity *= 2;
    std::vector<char> grown(capacity);
    if (used > 0) std::memcpy(grown.data(), storage_.data() + begin_, used);
    storage_.swap(grown);
  }
  begin_ = 0;
  end_ = used;
  return storage_.data() + end_;
}

void TByteBuffer::Append(std::string_view bytes) {
  if (bytes.empty()) return;
  char* to = Reserve(bytes.size());
  std::memcpy(to, bytes.data(), bytes.size());
  end_ += bytes.size();
}

void TByteBuffer::Append(char byte) {
  char* to = Reserve(1);
  *to = byte;
  ++end_;
}

}  // namespace ks
