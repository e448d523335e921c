// KsSnapshotList: a list of shared objects that threads read often and
// change seldom (a connection's sessions, a session's consumers and
// producers). A reader takes a snapshot, the list as it was at that moment,
// and walks it without a lock while the objects stay alive through it; a
// change builds a new list from a copy under the lock and puts it in place,
// so a snapshot is never changed after it was taken.
//
// Remove and TakeAll hand back the list they replaced: the caller lets it
// go after the call, so that an object whose last reference was in the list
// is destroyed outside the lock (its destructor may take the list's owner's
// other locks).
//
// Threads: every member may be called from any thread. Header only: the
// unit is one class template.
#pragma once

#include <algorithm>
#include <memory>
#include <mutex>
#include <utility>
#include <vector>

namespace ks {

template <class T>
class TKsSnapshotList {
 public:
  using TList = std::vector<std::shared_ptr<T>>;
  using TSnapshot = std::shared_ptr<const TList>;

  TKsSnapshotList() : list_(std::make_shared<const TList>()) {}
  TKsSnapshotList(const TKsSnapshotList&) = delete;
  TKsSnapshotList& operator=(const TKsSnapshotList&) = delete;

  TSnapshot Snapshot() const {
    std::lock_guard<std::mutex> guard(lock_);
    return list_;
  }

  void Add(std::shared_ptr<T> item) {
    std::lock_guard<std::mutex> guard(lock_);
    auto list = std::make_shared<TList>(*list_);
    list->push_back(std::move(item));
    list_ = std::move(list);
  }

  // Calls visit(entry) for the entries in order, under the lock, until one
  // answers true; answers whether one did. For short searches on hot paths
  // (no snapshot is taken): visit must not change this list.
  template <class Visit>
  bool Any(Visit&& visit) const {
    std::lock_guard<std::mutex> guard(lock_);
    for (const auto& entry : *list_) {
      if (visit(entry)) return true;
    }
    return false;
  }

  // The first entry for which match(entry) answers true, or none; under the
  // lock, like Any.
  template <class Match>
  std::shared_ptr<T> FindIf(Match&& match) const {
    std::lock_guard<std::mutex> guard(lock_);
    for (const auto& entry : *list_) {
      if (match(entry)) return entry;
    }
    return nullptr;
  }

  // Removes every entry that is item; returns the list before.
  [[nodiscard]] TSnapshot Remove(const T* item) {
    std::lock_guard<std::mutex> guard(lock_);
    auto list = std::make_shared<TList>(*list_);
    list->erase(std::remove_if(list->begin(), list->end(), [item](const auto& entry) { return entry.get() == item; }),
                list->end());
    return std::exchange(list_, std::move(list));
  }

  // Empties the list; returns the list before.
  [[nodiscard]] TSnapshot TakeAll() {
    std::lock_guard<std::mutex> guard(lock_);
    return std::exchange(list_, std::make_shared<const TList>());
  }

 private:
  mutable std::mutex lock_;
  TSnapshot list_;  // never null
};

}  // namespace ks
