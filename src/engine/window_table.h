// The open windows of a ProcessorState.
//
// A window is named by its key, the text "decimal start|group".  The engine
// never builds that text for a window it only adds to: groups are interned
// in a GroupDictionary (text to a small integer id) and the windows live in
// a deque found through an open-addressing hash table keyed by (window
// start, group id).  Only the windows that close, and a checkpoint
// being saved, are given their key text and put in byte-wise key order.
//
// A key that is not "start|group" with start in its plain decimal form
// ("05|x", "+5|x", "k") can only come from a checkpoint file; no event ever
// finds such a window.  Those few are kept apart, by their text, in an
// ordered map, and take their place in key order beside the others.
//
// The stored fields of a window (start, end, group text) are usually those
// of its key, but a checkpoint may say otherwise and they are kept as read
// until an event next lands in the window.
//
// Plain data, no locks: guarded by the stream's state_mutex like the rest
// of the ProcessorState.  The const walks in key order (begin/end) fill a
// cache, so two threads may not walk one table at once even through const
// references.
#ifndef MOVRA_ENGINE_WINDOW_TABLE_H_
#define MOVRA_ENGINE_WINDOW_TABLE_H_

#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace movra {

// A window as the checkpoint and the output see it.
struct WindowAggregate {
  double sum = 0.0;
  std::uint64_t count = 0;
  std::int64_t window_start = 0;
  std::int64_t window_end = 0;
  std::string group;

  friend bool operator==(const WindowAggregate&, const WindowAggregate&) = default;
};

// Group texts to dense ids, 0, 1, 2, ... in order of first sight.  Hashed
// with the process's secret key, since groups come from outside.
class GroupDictionary {
 public:
  static constexpr std::uint32_t kAbsent = 0xFFFFFFFFu;

  // The id of text, added when new.
  std::uint32_t intern(std::string_view text);
  // The id of text, or kAbsent.
  std::uint32_t find(std::string_view text) const;
  // REQUIRES: id < size().
  const std::string& text(std::uint32_t id) const { return texts_[id]; }

  std::size_t size() const { return texts_.size(); }
  void clear();

 private:
  std::size_t probe(std::string_view text, std::uint64_t hash) const;
  void rehash(std::size_t capacity);

  std::vector<std::string> texts_;
  std::vector<std::uint32_t> slots_;  // id plus one; 0 is empty; a power of two
};

class WindowTable {
 public:
  // One window found by (start, group id).  The key is (key_start,
  // key_group); the rest are the window's stored fields.
  struct Window {
    std::int64_t key_start = 0;
    double sum = 0.0;
    std::uint64_t count = 0;
    std::int64_t start = 0;
    std::int64_t end = 0;
    std::uint32_t key_group = 0;
    std::uint32_t group = 0;  // id of the stored group text
  };

  WindowTable() = default;

  std::size_t size() const { return windows_.size() + by_text_.size(); }
  bool empty() const { return size() == 0; }
  void clear();

  // The engine's path.  The id of a group text in this table's dictionary.
  std::uint32_t group_id(std::string_view group) { return groups_.intern(group); }
  const std::string& group_text(std::uint32_t id) const { return groups_.text(id); }
  // How many group texts the dictionary holds (open windows' and recent ones').
  std::size_t group_count() const { return groups_.size(); }

  // Adds value to the window keyed (start, group), made empty when new,
  // and sets its stored fields to those of its key and to end.
  void add(std::int64_t start, std::uint32_t group, std::int64_t end, double value) {
    add_to(window_for(start, group), end, value);
  }
  // add() in two steps, for a caller that adds many values to few windows:
  // the window keyed (start, group), made empty when new, then add_to does
  // the rest.  A Window& stays valid until windows are removed (close,
  // clear, erase, assign, operator[]): new windows are appended to a deque.
  Window& window_for(std::int64_t start, std::uint32_t group) { return find_or_add(start, group); }
  void add_to(Window& w, std::int64_t end, double value) {
    changed();
    w.start = w.key_start;
    w.end = end;
    w.group = w.key_group;
    w.sum += value;
    w.count += 1;
    note_end(end);
  }

  // Removes every window whose stored end is at or below threshold and
  // appends those with a count to out, in byte-wise order of their keys.
  void close(std::int64_t threshold, std::vector<WindowAggregate>& out);

  // A window as a walk shows it; the views are valid during the call only.
  struct View {
    std::string_view key;
    double sum;
    std::uint64_t count;
    std::int64_t window_start;
    std::int64_t window_end;
    std::string_view group;
  };
  // Calls f for every window, in no particular order.
  void for_each(const std::function<void(const View&)>& f) const;
  // Calls f for every window in byte-wise key order.
  void for_each_in_key_order(const std::function<void(const View&)>& f) const;

  // Map-like access by key text, for checkpoints and tests.
  // Stores agg under key, replacing any window there.
  void assign(std::string_view key, const WindowAggregate& agg);
  // The window under key, or false.
  bool get(std::string_view key, WindowAggregate& out) const;
  // Removes the window under key; how many were removed (0 or 1).
  std::size_t erase(std::string_view key);

  // table[key] = agg and table[key] == agg, as on a map; a missing key
  // reads as, and is first made, an empty window.
  class Ref {
   public:
    Ref& operator=(const WindowAggregate& agg) {
      table_->assign(key_, agg);
      return *this;
    }
    WindowAggregate value() const;
    friend bool operator==(const Ref& r, const WindowAggregate& agg) { return r.value() == agg; }

   private:
    friend class WindowTable;
    Ref(WindowTable* table, std::string key) : table_(table), key_(std::move(key)) {}
    WindowTable* table_;
    std::string key_;
  };
  Ref operator[](std::string_view key);

  // Every window as (key, aggregate), in key order.  Valid until the table
  // next changes.
  using Entry = std::pair<std::string, WindowAggregate>;
  std::vector<Entry>::const_iterator begin() const;
  std::vector<Entry>::const_iterator end() const;

  // The same keys holding equal aggregates, whatever the ids and the order
  // the windows came in.
  friend bool operator==(const WindowTable& a, const WindowTable& b);

 private:
  // (start, group) of a key in the plain form, or false.
  // The window keyed (start, group), made empty when new (sum 0, count 0,
  // stored fields those of the key and end = start).
  Window& find_or_add(std::int64_t start, std::uint32_t group);
  // Keeps min_end_ at or below a window's stored end that is now end.
  void note_end(std::int64_t end) {
    if (end < min_end_) min_end_ = end;
  }
  bool split_key(std::string_view key, std::int64_t& start, std::string_view& group) const;
  WindowAggregate aggregate_of(const Window& w) const;
  std::uint64_t hash_of(std::int64_t start, std::uint32_t group) const;
  // The slot holding (start, group), or the empty slot where it belongs.
  std::size_t probe(std::int64_t start, std::uint32_t group) const;
  // REQUIRES: the window is present.  Removes it, moving the last window
  // into its place.
  void remove_at(std::size_t index);
  void rehash(std::size_t capacity);
  // Re-interns the groups of the windows alone when the dictionary has
  // grown well past them, so that groups seen once do not pile up.
  void compact_groups();
  void changed() { ordered_valid_ = false; }

  GroupDictionary groups_;
  // A deque, not a vector: growing it never holds two copies of every window,
  // and its blocks leave little unused room.
  std::deque<Window> windows_;
  std::vector<std::uint32_t> slots_;  // index into windows_ plus one; 0 is empty
  // At or below the stored end of every window in windows_.
  std::int64_t min_end_ = INT64_MAX;
  // Windows whose key is not "start|group" in the plain form.
  std::map<std::string, WindowAggregate, std::less<>> by_text_;

  mutable bool ordered_valid_ = false;
  mutable std::vector<Entry> ordered_;
};

}  // namespace movra

#endif  // MOVRA_ENGINE_WINDOW_TABLE_H_
