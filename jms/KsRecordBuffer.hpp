// KsRecordBuffer: TKsRecordBuffer, the byte buffer of a property map. Up to
// kInline bytes live inside the object itself, so a map that small (a
// received message's id and its few properties) costs no allocation; a
// larger one moves to a buffer of its own, which it keeps while it lives.
//
// Only what the map needs is offered: contents are raw bytes, a grown part
// is left unset for the caller to write.
//
// Ownership: held by value; a copy copies the bytes (a move is a copy too).
// Threads: no lock; a buffer belongs to one thread at a time.
#pragma once

#include <cstddef>
#include <cstring>
#include <memory>
#include <string_view>

namespace ks {

class TKsRecordBuffer {
 public:
  static constexpr std::size_t kInline = 96;

  TKsRecordBuffer() noexcept {}
  // A buffer of size bytes, all unset, in the inline room: size is at most
  // kInline.
  explicit TKsRecordBuffer(std::size_t size) noexcept : size_(size) {}
  TKsRecordBuffer(const TKsRecordBuffer& other);
  TKsRecordBuffer& operator=(const TKsRecordBuffer& other) {
    if (this != &other) Assign(other.View());
    return *this;
  }
  ~TKsRecordBuffer() = default;

  const char* Data() const noexcept { return data_; }
  char* Data() noexcept { return data_; }
  std::size_t Size() const noexcept { return size_; }
  bool Empty() const noexcept { return size_ == 0; }
  std::string_view View() const noexcept { return std::string_view(Data(), size_); }

  // Room for capacity bytes without a later reallocation.
  void Reserve(std::size_t capacity) {
    if (capacity > capacity_) Grow(capacity);
  }
  // A new size; bytes past the old size are unset.
  void Resize(std::size_t size) {
    Reserve(size);
    size_ = size;
  }
  void Append(std::string_view bytes) { Replace(size_, 0, bytes); }
  // The contents become bytes (which must not lie in this buffer).
  void Assign(std::string_view bytes) {
    Reserve(bytes.size());
    if (!bytes.empty()) std::memcpy(data_, bytes.data(), bytes.size());
    size_ = bytes.size();
  }
  // The count bytes at at become bytes (which may lie in this buffer).
  void Replace(std::size_t at, std::size_t count, std::string_view bytes);

 private:
  // Moves the contents to a heap buffer of at least capacity bytes.
  void Grow(std::size_t capacity);

  char* data_ = inline_;          // inline_, or heap_ once grown
  std::unique_ptr<char[]> heap_;  // null while the bytes fit in inline_
  std::size_t size_ = 0;
  std::size_t capacity_ = kInline;
  char inline_[kInline];  // unset past size_
};

}  // namespace ks
