#include "engine/event_id_set.h"

#include <algorithm>
#include <functional>
#include <stdexcept>

namespace movra {

namespace {

std::uint64_t hash_of(std::string_view id) { return std::hash<std::string_view>{}(id); }

std::uint32_t tag_of(std::uint64_t hash) { return static_cast<std::uint32_t>(hash >> 32); }

constexpr std::size_t kMinCapacity = 16;

}  // namespace

std::size_t EventIdSet::probe(std::string_view id, std::uint64_t hash) const {
  const std::size_t mask = slots_.size() - 1;
  const std::uint32_t tag = tag_of(hash);
  for (std::size_t i = static_cast<std::size_t>(hash) & mask;; i = (i + 1) & mask) {
    const Slot& slot = slots_[i];
    if (slot.index == 0) return i;
    if (slot.tag == tag && ids_[slot.index - 1] == id) return i;
  }
}

bool EventIdSet::contains(std::string_view id) const {
  if (slots_.empty()) return false;
  return slots_[probe(id, hash_of(id))].index != 0;
}

void EventIdSet::prefetch(std::string_view id) const {
  if (slots_.empty()) return;
  __builtin_prefetch(&slots_[static_cast<std::size_t>(hash_of(id)) & (slots_.size() - 1)]);
}

bool EventIdSet::insert(std::string_view id) {
  if (slots_.empty()) rehash(kMinCapacity);
  const std::uint64_t hash = hash_of(id);
  std::size_t i = probe(id, hash);
  if (slots_[i].index != 0) return false;
  if (ids_.size() >= kMaxSize) throw std::length_error("EventIdSet");
  if (2 * (ids_.size() + 1) > slots_.size()) {
    rehash(2 * slots_.size());
    i = probe(id, hash);
  }
  // While every id is ordered, one above the largest stays in order.
  if (order_.size() == ids_.size() && (ids_.empty() || std::string_view(ids_[order_.back()]) < id)) {
    order_.push_back(static_cast<std::uint32_t>(ids_.size()));
  }
  ids_.emplace_back(id);
  total_bytes_ += id.size();
  if (id.find('\n') != std::string_view::npos) ++line_feeds_;
  slots_[i] = Slot{tag_of(hash), static_cast<std::uint32_t>(ids_.size())};
  return true;
}

void EventIdSet::reserve(std::size_t n) {
  n = std::min(n, kMaxSize);
  ids_.reserve(n);
  std::size_t capacity = kMinCapacity;
  while (capacity < 2 * n) capacity *= 2;
  if (capacity > slots_.size()) rehash(capacity);
}

void EventIdSet::clear() {
  ids_.clear();
  slots_.clear();
  order_.clear();
  total_bytes_ = 0;
  line_feeds_ = 0;
}

void EventIdSet::rehash(std::size_t capacity) {
  // Only tags are stored, so every id is hashed again; walking the ids in
  // their own order reads them front to back instead of in slot order.
  slots_.assign(capacity, Slot{});
  const std::size_t mask = capacity - 1;
  for (std::size_t k = 0; k < ids_.size(); ++k) {
    const std::uint64_t hash = hash_of(ids_[k]);
    std::size_t i = static_cast<std::size_t>(hash) & mask;
    while (slots_[i].index != 0) i = (i + 1) & mask;
    slots_[i] = Slot{tag_of(hash), static_cast<std::uint32_t>(k + 1)};
  }
}

const std::vector<std::uint32_t>& EventIdSet::ordered() const {
  const std::size_t sorted = order_.size();
  if (sorted == ids_.size()) return order_;
  order_.reserve(ids_.size());
  for (std::size_t i = sorted; i < ids_.size(); ++i) order_.push_back(static_cast<std::uint32_t>(i));
  const auto by_bytes = [this](std::uint32_t a, std::uint32_t b) {
    return std::string_view(ids_[a]) < std::string_view(ids_[b]);
  };
  const auto middle = order_.begin() + static_cast<std::ptrdiff_t>(sorted);
  std::sort(middle, order_.end(), by_bytes);
  std::inplace_merge(order_.begin(), middle, order_.end(), by_bytes);
  return order_;
}

bool operator==(const EventIdSet& a, const EventIdSet& b) {
  if (a.size() != b.size()) return false;
  for (const std::string& id : a.ids_) {
    if (!b.contains(id)) return false;
  }
  return true;
}

}  // namespace movra
