#include <atomic>
#include <cstdint>
#include <cstdlib>
#include <new>
#include <set>
#include <string>
#include <vector>

#include "engine/event_id_set.h"
#include "test.h"

using namespace movra;

namespace {

// When not negative, the number of allocations of the test binary that
// succeed before the next one throws std::bad_alloc.
long allocations_before_failure = -1;

}  // namespace

// Every form but the aligned ones is replaced (and counted, see test.h), so that each pair of new and
// delete meets in malloc and free (a sanitizer checks they match).
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
namespace {
std::atomic<std::uint64_t> allocation_count{0};
}  // namespace

std::uint64_t movra_test::allocations() { return allocation_count.load(std::memory_order_relaxed); }

void* operator new(std::size_t n) {
  allocation_count.fetch_add(1, std::memory_order_relaxed);
  if (allocations_before_failure >= 0 && allocations_before_failure-- == 0) throw std::bad_alloc();
  if (void* p = std::malloc(n != 0 ? n : 1)) return p;
  throw std::bad_alloc();
}
void* operator new[](std::size_t n) { return ::operator new(n); }
void* operator new(std::size_t n, const std::nothrow_t&) noexcept {
  try {
    return ::operator new(n);
  } catch (const std::bad_alloc&) {
    return nullptr;
  }
}
void* operator new[](std::size_t n, const std::nothrow_t& tag) noexcept { return ::operator new(n, tag); }
void operator delete(void* p) noexcept { std::free(p); }
void operator delete[](void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
void operator delete[](void* p, std::size_t) noexcept { std::free(p); }
void operator delete(void* p, const std::nothrow_t&) noexcept { std::free(p); }
void operator delete[](void* p, const std::nothrow_t&) noexcept { std::free(p); }
#pragma GCC diagnostic pop

namespace {

// The ids of set in the order ordered() gives.
std::vector<std::string> in_order(const EventIdSet& set) {
  std::vector<std::string> out;
  for (std::uint32_t i : set.ordered()) out.push_back(set.ids()[i]);
  return out;
}

std::vector<std::string> sorted(const std::set<std::string>& ref) { return {ref.begin(), ref.end()}; }

}  // namespace

// Lookups and the order agree with an ordered set through rehashes, however
// the ids arrive: ascending (the sorted prefix grows), descending, shuffled,
// ascending then shuffled, with the order asked for between insertions too;
// and for ids whose first eight bytes mostly tie.
TEST(event_id_set_matches_ordered_set) {
  for (int pattern = 0; pattern < 5; ++pattern) {
    EventIdSet set;
    std::set<std::string> ref;
    std::uint64_t rng = 88172645463325252ull;
    for (int i = 0; i < 5000; ++i) {
      rng ^= rng << 13, rng ^= rng >> 7, rng ^= rng << 17;
      int n = i;
      if (pattern == 1) n = 5000 - i;
      if (pattern == 2 || (pattern == 3 && i >= 2500)) n = static_cast<int>(rng % 7000);
      std::string id = "id-" + std::to_string(n);
      if (n % 11 == 0) id.push_back('\0');  // bytes, not C strings
      if (pattern == 4) id = std::to_string(n % 3) + "-shared-middle-" + std::to_string(rng % 9000);
      CHECK_EQ(set.insert(id), ref.insert(id).second);
      if (i % 1000 == 999) CHECK(in_order(set) == sorted(ref));
    }
    CHECK_EQ(set.size(), ref.size());
    CHECK(in_order(set) == sorted(ref));
    for (int n = 0; n < 7100; n += 7) {
      const std::string id = "id-" + std::to_string(n);
      CHECK_EQ(set.contains(id), ref.count(id) == 1);
    }
  }
}

TEST(event_id_set_empty_id_equality_and_copies) {
  EventIdSet a;
  CHECK(!a.contains(""));
  CHECK(a.insert(""));
  CHECK(!a.insert(""));
  CHECK(a.insert("b"));
  CHECK(a.insert("a"));
  CHECK_EQ(a.total_bytes(), 2u);
  EventIdSet b;
  for (const char* id : {"a", "", "b"}) b.insert(id);
  CHECK(a == b);  // the same ids, added in another order
  EventIdSet c = a;
  CHECK(c == a);
  c.insert("c");
  CHECK(!(c == a));
  CHECK(in_order(c) == (std::vector<std::string>{"", "a", "b", "c"}));
  c.clear();
  CHECK(c.empty() && !c.contains("a") && c.total_bytes() == 0);
  CHECK(c.insert("a"));
}

// An insert that runs out of memory at any of its allocations (the table, the
// id's vector, the id's own bytes, the order) leaves the set as it was: same
// ids, byte total and order, and the id can be added once memory is back.
// The ids fill every vector to capacity so that each of them must grow.
TEST(event_id_set_insert_out_of_memory_changes_nothing) {
  for (long fail_at = 0; fail_at < 6; ++fail_at) {
    EventIdSet set;
    std::set<std::string> ref;
    for (int i = 0; i < 16; ++i) {
      const std::string id = "an-event-id-longer-than-sso-" + std::to_string(100 + i);
      set.insert(id);
      ref.insert(id);
    }
    const std::string id = "an-event-id-longer-than-sso-999";
    bool thrown = false;
    allocations_before_failure = fail_at;
    try {
      set.insert(id);
    } catch (const std::bad_alloc&) {
      thrown = true;
    }
    allocations_before_failure = -1;
    if (!thrown) ref.insert(id);
    CHECK_EQ(set.size(), ref.size());
    CHECK_EQ(set.total_bytes(), ref.size() * id.size());
    CHECK_EQ(set.contains(id), !thrown);
    CHECK(in_order(set) == sorted(ref));
    CHECK_EQ(set.insert(id), thrown);
    ref.insert(id);
    CHECK(in_order(set) == sorted(ref));
  }
}
