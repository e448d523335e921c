// KsTextBuffer: TKsTextBuffer, the bytes of a text message's body. Up to
// kInline bytes live inside the object itself, so a message with a text
// that small costs no allocation for it; a larger text takes a block from
// the thread's block cache (KsBlockCache.hpp), which the buffer keeps while
// it lives and reuses for any later text that fits.
//
// Ownership: held by value; a copy copies the bytes (a move is a copy too).
// Threads: no lock; a buffer belongs to one thread at a time.
#pragma once

#include <cstddef>
#include <cstring>
#include <string_view>

namespace ks {

class TKsTextBuffer {
 public:
  static constexpr std::size_t kInline = 256;

  TKsTextBuffer() noexcept {}  // NOLINT: the inline room stays unset
  // A buffer holding bytes when they fit in the inline room (no allocation,
  // so it never raises), else an empty one, for the caller to Assign them.
  explicit TKsTextBuffer(std::string_view bytes) noexcept : size_(bytes.size() <= kInline ? bytes.size() : 0) {
    if (size_ != 0) std::memcpy(inline_, bytes.data(), size_);
  }
  TKsTextBuffer(const TKsTextBuffer& other) : TKsTextBuffer() { Assign(other.View()); }
  TKsTextBuffer& operator=(const TKsTextBuffer& other) {
    if (this != &other) Assign(other.View());
    return *this;
  }
  ~TKsTextBuffer() {
    if (data_ != inline_) Release();
  }

  const char* Data() const noexcept { return data_; }
  std::size_t Size() const noexcept { return size_; }
  std::string_view View() const noexcept { return std::string_view(data_, size_); }

  // Replaces the bytes (which may lie in this buffer); the room is kept.
  void Assign(std::string_view bytes) {
    if (bytes.size() > capacity_) [[unlikely]] Grow(bytes.size());
    if (!bytes.empty()) std::memmove(data_, bytes.data(), bytes.size());
    size_ = bytes.size();
  }

 private:
  // Room for at least size bytes, its contents unset (size is above
  // capacity_, so no bytes of this buffer are being assigned).
  void Grow(std::size_t size);
  void Release() noexcept;

  char* data_ = inline_;  // inline_, or a cached block once grown
  std::size_t size_ = 0;
  std::size_t capacity_ = kInline;
  char inline_[kInline];  // unset past size_
};

}  // namespace ks
