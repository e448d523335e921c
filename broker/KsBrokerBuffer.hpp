// KsBrokerBuffer: the growable byte buffer that Cistern reads into and writes
// from, one for input and one for output per connection.
//
// Bytes are appended at the end and consumed from the front; consuming only
// moves an index, and the buffer compacts itself (moving the unread rest to
// the front) when it needs room, so a steady stream of frames costs no
// allocation once the buffer has grown to its working size.
//
// Ownership: the buffer owns its storage. Views handed out by Data() are valid
// until the next call that appends, reserves or compacts.
//
// Threads: Cistern's server loop is single-threaded; a buffer is used by one
// thread only.
#pragma once

#include <cstddef>
#include <cstring>
#include <memory>
#include <string_view>

namespace ks {

class TByteBuffer {
 public:
  // The unread bytes.
  const char* Data() const { return storage_.get() + begin_; }
  std::size_t Size() const { return end_ - begin_; }
  bool Empty() const { return begin_ == end_; }
  std::string_view View() const { return {Data(), Size()}; }

  // Marks count bytes at the front as read.
  void Consume(std::size_t count);
  // Drops every byte from offset (counted from the front) onwards.
  void Truncate(std::size_t offset);
  void Clear() { begin_ = end_ = 0; }

  void Append(std::string_view bytes);
  void Append(char byte);

  // Makes room for at least count more bytes and returns where they go; the
  // caller writes up to count bytes there and then calls Commit with the
  // number written.
  char* Reserve(std::size_t count);
  void Commit(std::size_t count) { end_ += count; }

  // Frees the storage when the buffer is empty and has grown beyond
  // keepBytes (after a burst, so idle connections stay small).
  void ShrinkIfIdle(std::size_t keepBytes);

 private:
  // Not value-initialised: pages are only touched when bytes land in them.
  std::unique_ptr<char[]> storage_;
  std::size_t capacity_ = 0;
  std::size_t begin_ = 0;
  std::size_t end_ = 0;
};

// Copies bytes to to, where the caller has reserved room for them, and
// returns the end of the copy: how the frame writers fill reserved space.
inline char* PutBytes(char* to, std::string_view bytes) {
  if (bytes.empty()) return to;  // an empty view may carry a null pointer
  std::memcpy(to, bytes.data(), bytes.size());
  return to + bytes.size();
}

}  // namespace ks
