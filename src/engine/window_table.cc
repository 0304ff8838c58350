#include "engine/window_table.h"

#include <algorithm>
#include <charconv>
#include <cstring>

#include "engine/keyed_hash.h"

namespace movra {

namespace {

constexpr std::size_t kMinCapacity = 16;

std::uint64_t mix(std::uint64_t x) {
  x ^= x >> 33;
  x *= 0xff51afd7ed558ccdull;
  x ^= x >> 33;
  x *= 0xc4ceb9fe1a85ec53ull;
  x ^= x >> 33;
  return x;
}

void append_key(std::string& out, std::int64_t start, std::string_view group) {
  char buf[24];
  const auto res = std::to_chars(buf, buf + sizeof buf, start);
  out.assign(buf, res.ptr);
  out.push_back('|');
  out.append(group);
}

}  // namespace

// GroupDictionary

std::size_t GroupDictionary::probe(std::string_view text, std::uint64_t hash) const {
  const std::size_t mask = slots_.size() - 1;
  for (std::size_t i = static_cast<std::size_t>(hash) & mask;; i = (i + 1) & mask) {
    const std::uint32_t s = slots_[i];
    if (s == 0 || texts_[s - 1] == text) return i;
  }
}

void GroupDictionary::rehash(std::size_t capacity) {
  slots_.assign(capacity, 0);
  const std::size_t mask = capacity - 1;
  for (std::size_t id = 0; id < texts_.size(); ++id) {
    std::size_t i = static_cast<std::size_t>(siphash24(process_hash_key(), texts_[id])) & mask;
    while (slots_[i] != 0) i = (i + 1) & mask;
    slots_[i] = static_cast<std::uint32_t>(id + 1);
  }
}

std::uint32_t GroupDictionary::intern(std::string_view text) {
  if (slots_.empty()) rehash(kMinCapacity);
  const std::uint64_t hash = siphash24(process_hash_key(), text);
  std::size_t i = probe(text, hash);
  if (slots_[i] != 0) return slots_[i] - 1;
  if (2 * (texts_.size() + 1) > slots_.size()) {
    rehash(2 * slots_.size());
    i = probe(text, hash);
  }
  texts_.emplace_back(text);
  slots_[i] = static_cast<std::uint32_t>(texts_.size());
  return static_cast<std::uint32_t>(texts_.size() - 1);
}

std::uint32_t GroupDictionary::find(std::string_view text) const {
  if (slots_.empty()) return kAbsent;
  const std::uint32_t s = slots_[probe(text, siphash24(process_hash_key(), text))];
  return s == 0 ? kAbsent : s - 1;
}

void GroupDictionary::clear() {
  texts_.clear();
  slots_.clear();
}

// WindowTable

void WindowTable::clear() {
  groups_.clear();
  windows_.clear();
  slots_.clear();
  min_end_ = INT64_MAX;
  by_text_.clear();
  changed();
}

std::uint64_t WindowTable::hash_of(std::int64_t start, std::uint32_t group) const {
  // Keyed by the process's secret, so that starts and groups from outside
  // cannot be chosen to share one probe run.
  const HashKey& key = process_hash_key();
  return mix(mix(static_cast<std::uint64_t>(start) ^ key.k0) ^ (group + key.k1));
}

std::size_t WindowTable::probe(std::int64_t start, std::uint32_t group) const {
  const std::size_t mask = slots_.size() - 1;
  for (std::size_t i = static_cast<std::size_t>(hash_of(start, group)) & mask;; i = (i + 1) & mask) {
    const std::uint32_t s = slots_[i];
    if (s == 0) return i;
    const Window& w = windows_[s - 1];
    if (w.key_start == start && w.key_group == group) return i;
  }
}

void WindowTable::rehash(std::size_t capacity) {
  slots_.assign(capacity, 0);
  const std::size_t mask = capacity - 1;
  for (std::size_t k = 0; k < windows_.size(); ++k) {
    const Window& w = windows_[k];
    std::size_t i = static_cast<std::size_t>(hash_of(w.key_start, w.key_group)) & mask;
    while (slots_[i] != 0) i = (i + 1) & mask;
    slots_[i] = static_cast<std::uint32_t>(k + 1);
  }
}

WindowTable::Window& WindowTable::find_or_add(std::int64_t start, std::uint32_t group) {
  changed();
  if (slots_.empty()) rehash(kMinCapacity);
  std::size_t i = probe(start, group);
  if (slots_[i] != 0) return windows_[slots_[i] - 1];
  if (2 * (windows_.size() + 1) > slots_.size()) {
    rehash(2 * slots_.size());
    i = probe(start, group);
  }
  Window w;
  w.key_start = start;
  w.key_group = group;
  w.start = start;
  w.end = start;
  w.group = group;
  windows_.push_back(w);
  slots_[i] = static_cast<std::uint32_t>(windows_.size());
  note_end(start);
  return windows_.back();
}

void WindowTable::remove_at(std::size_t index) {
  // Backward-shift deletion: the entries after the hole that may move into
  // it do, so that no probe run is ever broken and no tombstone is needed.
  const std::size_t mask = slots_.size() - 1;
  std::size_t hole = probe(windows_[index].key_start, windows_[index].key_group);
  for (std::size_t j = (hole + 1) & mask; slots_[j] != 0; j = (j + 1) & mask) {
    const Window& w = windows_[slots_[j] - 1];
    const std::size_t home = static_cast<std::size_t>(hash_of(w.key_start, w.key_group)) & mask;
    const bool stays = hole < j ? (home > hole && home <= j) : (home > hole || home <= j);
    if (!stays) {
      slots_[hole] = slots_[j];
      hole = j;
    }
  }
  slots_[hole] = 0;
  const std::size_t last = windows_.size() - 1;
  if (index != last) {
    windows_[index] = windows_[last];
    slots_[probe(windows_[index].key_start, windows_[index].key_group)] =
        static_cast<std::uint32_t>(index + 1);
  }
  windows_.pop_back();
}

WindowAggregate WindowTable::aggregate_of(const Window& w) const {
  return WindowAggregate{w.sum, w.count, w.start, w.end, groups_.text(w.group)};
}

void WindowTable::close(std::int64_t threshold, std::vector<WindowAggregate>& out) {
  // Nothing in windows_ can close below min_end_; the few windows kept by
  // key text are always looked at.
  struct Closing {
    std::string key;
    WindowAggregate agg;
  };
  std::vector<Closing> closing;
  if (threshold >= min_end_ && !windows_.empty()) {
    changed();
    std::size_t kept = 0;
    std::int64_t min_end = INT64_MAX;
    for (std::size_t k = 0; k < windows_.size(); ++k) {
      const Window& w = windows_[k];
      if (w.end > threshold) {
        min_end = std::min(min_end, w.end);
        windows_[kept++] = w;
        continue;
      }
      if (w.count == 0) continue;
      Closing c;
      append_key(c.key, w.key_start, groups_.text(w.key_group));
      c.agg = aggregate_of(w);
      closing.push_back(std::move(c));
    }
    min_end_ = min_end;
    if (kept != windows_.size()) {
      windows_.resize(kept);
      std::size_t capacity = slots_.size();
      while (capacity > kMinCapacity && 8 * kept < capacity) capacity /= 2;
      rehash(capacity);
      compact_groups();
    }
  }
  const std::size_t plain = closing.size();
  for (auto it = by_text_.begin(); it != by_text_.end();) {
    if (it->second.window_end <= threshold) {
      changed();
      if (it->second.count != 0) closing.push_back(Closing{it->first, std::move(it->second)});
      it = by_text_.erase(it);
    } else {
      ++it;
    }
  }
  const auto by_key = [](const Closing& a, const Closing& b) { return a.key < b.key; };
  std::sort(closing.begin(), closing.begin() + static_cast<std::ptrdiff_t>(plain), by_key);
  std::inplace_merge(closing.begin(), closing.begin() + static_cast<std::ptrdiff_t>(plain),
                     closing.end(), by_key);
  out.reserve(out.size() + closing.size());
  for (Closing& c : closing) out.push_back(std::move(c.agg));
}

void WindowTable::compact_groups() {
  if (groups_.size() <= 2 * windows_.size() + 1024) return;
  GroupDictionary fresh;
  for (Window& w : windows_) {
    w.key_group = fresh.intern(groups_.text(w.key_group));
    w.group = fresh.intern(groups_.text(w.group));
  }
  groups_ = std::move(fresh);
  rehash(slots_.size());
}

namespace {

WindowTable::View view_of(std::string_view key, const WindowAggregate& agg) {
  return WindowTable::View{key, agg.sum, agg.count, agg.window_start, agg.window_end, agg.group};
}

}  // namespace

void WindowTable::for_each(const std::function<void(const View&)>& f) const {
  std::string key;
  for (const Window& w : windows_) {
    append_key(key, w.key_start, groups_.text(w.key_group));
    f(View{key, w.sum, w.count, w.start, w.end, groups_.text(w.group)});
  }
  for (const auto& [text, agg] : by_text_) f(view_of(text, agg));
}

void WindowTable::for_each_in_key_order(const std::function<void(const View&)>& f) const {
  // Keys "decimal start|group" in byte order without building them: every
  // byte of a decimal ('-' and digits) is below '|', so a decimal padded
  // with 0xFF bytes to a fixed width orders as the key's part up to the '|'
  // does (a shorter decimal that is a prefix of a longer one sorts after
  // it), and keys with equal decimals order by their group texts.
  // The padded decimal is held as three big-endian words, so that two are
  // compared as integers.
  constexpr std::size_t kWidth = 20;  // "-9223372036854775808"
  struct Keyed {
    std::uint64_t high;
    std::uint64_t middle;
    std::uint32_t low;
    std::uint32_t index;
  };
  std::vector<Keyed> keys(windows_.size());
  for (std::size_t k = 0; k < windows_.size(); ++k) {
    unsigned char decimal[kWidth];
    std::memset(decimal, 0xFF, kWidth);
    char* first = reinterpret_cast<char*>(decimal);
    std::to_chars(first, first + kWidth, windows_[k].key_start);
    std::uint64_t high, middle;
    std::uint32_t low;
    std::memcpy(&high, decimal, 8);
    std::memcpy(&middle, decimal + 8, 8);
    std::memcpy(&low, decimal + 16, 4);
    keys[k] = Keyed{__builtin_bswap64(high), __builtin_bswap64(middle), __builtin_bswap32(low),
                    static_cast<std::uint32_t>(k)};
  }
  const auto before = [this](const Keyed& a, const Keyed& b) {
    if (a.high != b.high) return a.high < b.high;
    if (a.middle != b.middle) return a.middle < b.middle;
    if (a.low != b.low) return a.low < b.low;
    return groups_.text(windows_[a.index].key_group) < groups_.text(windows_[b.index].key_group);
  };
  // Windows often came in key order already (rising starts of one width).
  if (!std::is_sorted(keys.begin(), keys.end(), before)) std::sort(keys.begin(), keys.end(), before);
  std::string text;
  auto other = by_text_.begin();
  for (const Keyed& k : keys) {
    const Window& w = windows_[k.index];
    append_key(text, w.key_start, groups_.text(w.key_group));
    for (; other != by_text_.end() && std::string_view(other->first) < text; ++other) {
      f(view_of(other->first, other->second));
    }
    f(View{text, w.sum, w.count, w.start, w.end, groups_.text(w.group)});
  }
  for (; other != by_text_.end(); ++other) f(view_of(other->first, other->second));
}

bool WindowTable::split_key(std::string_view key, std::int64_t& start,
                            std::string_view& group) const {
  const std::size_t bar = key.find('|');
  if (bar == std::string_view::npos) return false;
  const std::string_view digits = key.substr(0, bar);
  const auto res = std::from_chars(digits.data(), digits.data() + digits.size(), start);
  if (res.ec != std::errc() || res.ptr != digits.data() + digits.size()) return false;
  // Only the form the engine writes ("-5", never "-05" or "+5") names a
  // window an event can find.
  char buf[24];
  const auto back = std::to_chars(buf, buf + sizeof buf, start);
  if (std::string_view(buf, static_cast<std::size_t>(back.ptr - buf)) != digits) return false;
  group = key.substr(bar + 1);
  return true;
}

void WindowTable::assign(std::string_view key, const WindowAggregate& agg) {
  changed();
  std::int64_t start;
  std::string_view group;
  if (!split_key(key, start, group)) {
    by_text_.insert_or_assign(std::string(key), agg);
    return;
  }
  const std::uint32_t key_group = groups_.intern(group);
  const std::uint32_t stored_group = groups_.intern(agg.group);
  Window& w = find_or_add(start, key_group);
  w.sum = agg.sum;
  w.count = agg.count;
  w.start = agg.window_start;
  w.end = agg.window_end;
  w.group = stored_group;
  note_end(w.end);
}

bool WindowTable::get(std::string_view key, WindowAggregate& out) const {
  std::int64_t start;
  std::string_view group;
  if (!split_key(key, start, group)) {
    const auto it = by_text_.find(key);
    if (it == by_text_.end()) return false;
    out = it->second;
    return true;
  }
  const std::uint32_t id = groups_.find(group);
  if (id == GroupDictionary::kAbsent || slots_.empty()) return false;
  const std::uint32_t s = slots_[probe(start, id)];
  if (s == 0) return false;
  out = aggregate_of(windows_[s - 1]);
  return true;
}

std::size_t WindowTable::erase(std::string_view key) {
  std::int64_t start;
  std::string_view group;
  if (!split_key(key, start, group)) {
    const auto it = by_text_.find(key);
    if (it == by_text_.end()) return 0;
    by_text_.erase(it);
    changed();
    return 1;
  }
  const std::uint32_t id = groups_.find(group);
  if (id == GroupDictionary::kAbsent || slots_.empty()) return 0;
  const std::uint32_t s = slots_[probe(start, id)];
  if (s == 0) return 0;
  remove_at(s - 1);
  changed();
  return 1;
}

WindowAggregate WindowTable::Ref::value() const {
  WindowAggregate out;
  table_->get(key_, out);
  return out;
}

WindowTable::Ref WindowTable::operator[](std::string_view key) {
  WindowAggregate existing;
  if (!get(key, existing)) assign(key, existing);
  return Ref(this, std::string(key));
}

std::vector<WindowTable::Entry>::const_iterator WindowTable::begin() const {
  if (!ordered_valid_) {
    ordered_.clear();
    ordered_.reserve(size());
    for_each_in_key_order([this](const View& w) {
      ordered_.emplace_back(std::string(w.key), WindowAggregate{w.sum, w.count, w.window_start,
                                                                w.window_end, std::string(w.group)});
    });
    ordered_valid_ = true;
  }
  return ordered_.begin();
}

std::vector<WindowTable::Entry>::const_iterator WindowTable::end() const {
  begin();
  return ordered_.end();
}

bool operator==(const WindowTable& a, const WindowTable& b) {
  if (a.size() != b.size() || a.by_text_ != b.by_text_) return false;
  for (const WindowTable::Window& w : a.windows_) {
    const std::uint32_t id = b.groups_.find(a.groups_.text(w.key_group));
    if (id == GroupDictionary::kAbsent || b.slots_.empty()) return false;
    const std::uint32_t s = b.slots_[b.probe(w.key_start, id)];
    if (s == 0 || !(a.aggregate_of(w) == b.aggregate_of(b.windows_[s - 1]))) return false;
  }
  return true;
}

}  // namespace movra
