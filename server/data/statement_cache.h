// A bounded map from statement texts to what a connection keeps for them;
// past its limit the least recently used entry goes.
#pragma once
#include <list>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>

template <class Value>
class LruCache {
 public:
  explicit LruCache(size_t limit) : limit_(limit) {}
  LruCache(const LruCache&) = delete;
  LruCache& operator=(const LruCache&) = delete;

  // The entry's value, made the most recently used; null when absent.
  Value* Find(std::string_view key) {
    auto found = index_.find(key);
    if (found == index_.end()) return nullptr;
    entries_.splice(entries_.begin(), entries_, found->second);
    return &found->second->second;
  }

  // Adds or replaces as the most recently used.
  void Put(std::string key, Value value) {
    if (limit_ == 0) return;
    if (Value* known = Find(key)) {
      *known = std::move(value);
      return;
    }
    while (entries_.size() >= limit_) {
      index_.erase(std::string_view(entries_.back().first));
      entries_.pop_back();
    }
    entries_.emplace_front(std::move(key), std::move(value));
    // The key lives in the list node, which never moves.
    index_.emplace(std::string_view(entries_.front().first), entries_.begin());
  }

  template <class F>
  void ForEach(F&& f) const {
    for (const auto& entry : entries_) f(entry.second);
  }

  void Clear() {
    index_.clear();
    entries_.clear();
  }
  size_t Size() const { return entries_.size(); }
  size_t Limit() const { return limit_; }

 private:
  using Entries = std::list<std::pair<std::string, Value>>;
  size_t limit_;
  Entries entries_;  // most recently used first
  std::unordered_map<std::string_view, typename Entries::iterator> index_;
};
