// KsScratch: one reusable working object per owner (a client, a connection)
// for work that would otherwise allocate on every call: header lists, frame
// images, parsed frames. A call leases the kept object for its duration; a
// call that finds it leased (another thread, or a nested call) works on a
// fresh object of its own instead, so a lease is never shared and never
// waits.
//
// The kept object keeps what the last lease left in it (its capacity, and
// its contents: the caller clears it when it needs it empty), except that
// TKsScratchTrim<T>::Apply runs when a lease ends; for std::string it drops
// a buffer over 1 MiB, so one large frame does not stay in memory.
//
// Ownership: the scratch owns the kept object; a lease refers to it and must
// end before the scratch is destroyed.
// Threads: Lease may be called from any thread at any time; a lease is used
// by the thread that took it.
#pragma once

#include <atomic>
#include <cstddef>
#include <new>
#include <string>

namespace ks {

// What a scratch does to its kept object when a lease ends. The default
// keeps it as it is.
template <class T>
struct TKsScratchTrim {
  static void Apply(T& /*value*/) {}
};

template <>
struct TKsScratchTrim<std::string> {
  static constexpr std::size_t kKeepLimit = std::size_t{1} << 20;
  // Inline: it runs at the end of every lease, and nearly always finds
  // nothing to drop.
  static void Apply(std::string& value) {
    if (value.capacity() > kKeepLimit) Drop(value);
  }
  // Gives the buffer of value back.
  static void Drop(std::string& value);
};

template <class T>
class TKsScratch {
 public:
  // The use of one object for the lifetime of the lease.
  class TLease {
   public:
    explicit TLease(TKsScratch& scratch) {
      if (!scratch.leased_.exchange(true, std::memory_order_acquire)) {
        scratch_ = &scratch;
        value_ = &scratch.kept_;
      } else {
        scratch_ = nullptr;
        value_ = new (&local_) T();
      }
    }
    ~TLease() {
      if (scratch_ == nullptr) {
        local_.~T();
        return;
      }
      TKsScratchTrim<T>::Apply(scratch_->kept_);
      scratch_->leased_.store(false, std::memory_order_release);
    }
    TLease(const TLease&) = delete;
    TLease& operator=(const TLease&) = delete;

    T& operator*() const { return *value_; }
    T* operator->() const { return value_; }
    // True when this lease holds the kept object (not a fresh one).
    bool Kept() const { return scratch_ != nullptr; }

   private:
    TKsScratch* scratch_;  // the scratch whose object is leased; nullptr: local_ is used
    T* value_;
    // The fresh object of a lease that found the kept one leased: made only
    // then, so that the usual lease sets nothing up for it.
    union {
      T local_;
    };
  };

  TKsScratch() = default;
  TKsScratch(const TKsScratch&) = delete;
  TKsScratch& operator=(const TKsScratch&) = delete;

  TLease Lease() { return TLease(*this); }

 private:
  std::atomic<bool> leased_{false};
  T kept_{};
};

}  // namespace ks
