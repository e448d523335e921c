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
  if (capacity_ - end_ >= count) return storage_.get() + end_;
  const std::size_t used = end_ - begin_;
  if (capacity_ - used >= count) {
    // Enough room once the unread rest moves to the front.
    if (used > 0) std::memmove(storage_.get(), storage_.get() + begin_, used);
  } else {
    std::size_t capacity = capacity_ < 4096 ? 4096 : capacity_;
    while (capacity - used < count) capacity *= 2;
    std::unique_ptr<char[]> grown(new char[capacity]);
    if (used > 0) std::memcpy(grown.get(), storage_.get() + begin_, used);
    storage_ = std::move(grown);
    capacity_ = capacity;
  }
  begin_ = 0;
  end_ = used;
  return storage_.get() + end_;
}

void TByteBuffer::ShrinkIfIdle(std::size_t keepBytes) {
  if (begin_ != end_ || capacity_ <= keepBytes) return;
  storage_.reset();
  capacity_ = 0;
  begin_ = end_ = 0;
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
