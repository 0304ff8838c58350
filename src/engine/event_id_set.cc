#include "engine/event_id_set.h"

#include <algorithm>
#include <bit>
#include <stdexcept>

#include "engine/keyed_hash.h"

namespace movra {

namespace {

std::uint32_t tag_of(std::uint64_t hash) { return static_cast<std::uint32_t>(hash >> 32); }

constexpr std::size_t kMinCapacity = 16;

}  // namespace

std::uint64_t EventIdSet::hash(std::string_view id) { return siphash24(process_hash_key(), id); }

std::size_t EventIdSet::probe(std::string_view id, std::uint64_t hash) const {
  const std::size_t mask = slots_.size() - 1;
  const std::uint32_t tag = tag_of(hash);
  for (std::size_t i = static_cast<std::size_t>(hash >> shift_);; i = (i + 1) & mask) {
    const Slot& slot = slots_[i];
    if (slot.index == 0) return i;
    if (slot.tag == tag && ids_[slot.index - 1] == id) return i;
  }
}

bool EventIdSet::contains(std::string_view id) const {
  if (slots_.empty()) return false;
  return slots_[probe(id, hash(id))].index != 0;
}

void EventIdSet::prefetch_hashed(std::uint64_t hash) const {
  if (slots_.empty()) return;
  __builtin_prefetch(&slots_[static_cast<std::size_t>(hash >> shift_)]);
}

bool EventIdSet::insert(std::string_view id) { return insert_hashed(id, hash(id)); }

bool EventIdSet::insert_hashed(std::string_view id, std::uint64_t hash) {
  if (slots_.empty()) rehash(kMinCapacity);
  std::size_t i = probe(id, hash);
  if (slots_[i].index != 0) return false;
  if (ids_.size() >= kMaxSize) throw std::length_error("EventIdSet");
  if (2 * (ids_.size() + 1) > slots_.size()) {
    rehash(2 * slots_.size());
    i = probe(id, hash);
  }
  // While every id is ordered, one above the largest stays in order.
  const bool extends_order =
      order_.size() == ids_.size() && (ids_.empty() || std::string_view(ids_[order_.back()]) < id);
  // The two steps that allocate come first, the second undoing the first if
  // it fails, so that a set that runs out of memory here stays as it was.
  ids_.emplace_back(id);
  if (extends_order) {
    try {
      order_.push_back(static_cast<std::uint32_t>(ids_.size() - 1));
    } catch (...) {
      ids_.pop_back();
      throw;
    }
  }
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
  shift_ = 64;
  order_.clear();
  total_bytes_ = 0;
  line_feeds_ = 0;
}

void EventIdSet::rehash(std::size_t capacity) {
  std::vector<Slot> old(capacity, Slot{});
  old.swap(slots_);
  const int bits = std::countr_zero(capacity);
  shift_ = 64 - bits;
  const std::size_t mask = capacity - 1;
  if (bits <= 32) {
    // The home slot is in the tag's high bits: the old slots move as they
    // are, in their old order, which is nearly the new one.
    for (const Slot& slot : old) {
      if (slot.index == 0) continue;
      std::size_t i = static_cast<std::size_t>(slot.tag) >> (32 - bits);
      while (slots_[i].index != 0) i = (i + 1) & mask;
      slots_[i] = slot;
    }
    return;
  }
  // A table past 2^32 slots needs hash bits the tag lacks.
  for (std::size_t k = 0; k < ids_.size(); ++k) {
    const std::uint64_t h = hash(ids_[k]);
    std::size_t i = static_cast<std::size_t>(h >> shift_);
    while (slots_[i].index != 0) i = (i + 1) & mask;
    slots_[i] = Slot{tag_of(h), static_cast<std::uint32_t>(k + 1)};
  }
}

const std::vector<std::uint32_t>& EventIdSet::ordered() const {
  const std::size_t sorted = order_.size();
  if (sorted == ids_.size()) return order_;

  // The unsorted ids are sorted by the eight bytes that follow the prefix
  // they all share, held beside their index as one big-endian integer (zero
  // past an id's end); only ids whose eight bytes tie are compared as
  // strings.  An integer order of those keys never contradicts the byte
  // order: where two keys first differ, either both ids have a byte there
  // or the one that ended is a prefix of the other.
  std::size_t shared = ids_[sorted].size();
  for (std::size_t i = sorted + 1; i < ids_.size() && shared != 0; ++i) {
    const std::string& id = ids_[i];
    const std::string& first = ids_[sorted];
    std::size_t k = 0;
    const std::size_t limit = std::min(shared, id.size());
    while (k < limit && id[k] == first[k]) ++k;
    shared = k;
  }
  struct Keyed {
    std::uint64_t key;
    std::uint32_t index;
  };
  std::vector<Keyed> keyed;
  keyed.reserve(ids_.size() - sorted);
  for (std::size_t i = sorted; i < ids_.size(); ++i) {
    const std::string& id = ids_[i];
    std::uint64_t key = 0;
    for (std::size_t k = 0; k < 8; ++k) {
      const std::size_t at = shared + k;
      key = (key << 8) | (at < id.size() ? static_cast<unsigned char>(id[at]) : 0u);
    }
    keyed.push_back(Keyed{key, static_cast<std::uint32_t>(i)});
  }
  std::sort(keyed.begin(), keyed.end(), [this, shared](const Keyed& a, const Keyed& b) {
    if (a.key != b.key) return a.key < b.key;
    return std::string_view(ids_[a.index]).substr(shared) < std::string_view(ids_[b.index]).substr(shared);
  });

  order_.reserve(ids_.size());
  for (const Keyed& k : keyed) order_.push_back(k.index);
  const auto by_bytes = [this](std::uint32_t a, std::uint32_t b) {
    return std::string_view(ids_[a]) < std::string_view(ids_[b]);
  };
  std::inplace_merge(order_.begin(), order_.begin() + static_cast<std::ptrdiff_t>(sorted), order_.end(),
                     by_bytes);
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
