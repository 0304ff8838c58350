// The set of event ids a stream has seen, for de-duplication.
//
// A flat open-addressing hash set: the ids live in one vector in the order
// they were added, and a power-of-two table of (hash tag, index) slots finds
// them, so a lookup costs one hash and, almost always, one string compare.
// An id's home slot is given by the high bits of its hash, which its tag
// holds, so growing the table moves slots without hashing any id again.
// Nothing is ever removed but by clear().
//
// The ascending byte order that a checkpoint needs is kept lazily: ids added
// in ascending order (a checkpoint being loaded, ids that count up) extend the
// ordered prefix as they come; the rest are sorted and merged in only when
// ordered() is called, so each id is sorted at most once.
//
// Plain data, no locks: like the ProcessorState that holds it, it is guarded
// by the stream's state_mutex.  ordered() is const but fills the order cache,
// so two threads may not call it on one set at once even though neither
// changes the ids: hold the lock, as for any other call.
#ifndef MOVRA_ENGINE_EVENT_ID_SET_H_
#define MOVRA_ENGINE_EVENT_ID_SET_H_

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace movra {

class EventIdSet {
 public:
  EventIdSet() = default;

  bool contains(std::string_view id) const;

  // Adds id; false (and no change) when it is already present.
  // Throws std::length_error beyond kMaxSize ids; after any exception
  // (std::bad_alloc too) the set is as it was.
  bool insert(std::string_view id);

  // Starts loading the table slot where id would be, so that a later
  // contains or insert of it finds the slot in cache.  Changes nothing.
  void prefetch(std::string_view id) const { prefetch_hashed(hash(id)); }

  // The keyed hash of an id, for a caller that hashes a run of ids ahead of
  // the calls below.  Keyed, so that ids sent from outside cannot be chosen
  // to share a probe run.
  static std::uint64_t hash(std::string_view id);
  void prefetch_hashed(std::uint64_t hash) const;
  // insert(id) with hash(id) known.  REQUIRES: hash == EventIdSet::hash(id).
  bool insert_hashed(std::string_view id, std::uint64_t hash);

  // Room for n ids without rehashing.
  void reserve(std::size_t n);
  void clear();

  std::size_t size() const { return ids_.size(); }
  bool empty() const { return ids_.empty(); }
  // The total length of all ids, in bytes.
  std::size_t total_bytes() const { return total_bytes_; }
  // Whether some id holds a line feed (a checkpoint cannot hold those).
  bool any_line_feed() const { return line_feeds_ != 0; }

  // The ids in the order they were added.
  const std::vector<std::string>& ids() const { return ids_; }

  // Indices into ids(), ordering the ids by ascending bytes.  Valid until the
  // next call that changes the set.
  const std::vector<std::uint32_t>& ordered() const;

  // The same ids, whatever the order they were added in.
  friend bool operator==(const EventIdSet& a, const EventIdSet& b);

  static constexpr std::size_t kMaxSize = 0xFFFFFFFEu;

 private:
  struct Slot {
    std::uint32_t tag = 0;    // high half of the hash
    std::uint32_t index = 0;  // position in ids_ plus one; 0 marks an empty slot
  };

  // The slot holding id, or the empty slot where it belongs.
  std::size_t probe(std::string_view id, std::uint64_t hash) const;
  void rehash(std::size_t capacity);

  std::vector<std::string> ids_;
  std::vector<Slot> slots_;  // empty, or a power of two at most half full
  int shift_ = 64;           // 64 - log2(slots_.size()): a hash's home is hash >> shift_
  std::size_t total_bytes_ = 0;
  std::size_t line_feeds_ = 0;  // ids holding a line feed
  // order_ sorts ids_[0, order_.size()); the ids after it are not yet sorted.
  mutable std::vector<std::uint32_t> order_;
};

}  // namespace movra

#endif  // MOVRA_ENGINE_EVENT_ID_SET_H_
