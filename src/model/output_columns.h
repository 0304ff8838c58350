// A result as typed columns: the form a Batch takes on its way out when the
// caller asks for Arrow data.
//
// Each column gets one type over the whole Batch by the same rules as
// rows_to_columns: bool, int64, float64 where integers and doubles mix,
// text for any other mix or when its first Cell is Null, and null when it
// holds nothing but Nulls.  Text columns hold display() of each Cell.  The
// buffers are laid out as Arrow lays them out (values, 32- or 64-bit offsets
// plus bytes, a validity bitmap with bit i set when row i has a value), so
// they can be handed to an Arrow consumer as they are.
//
// Plain data; built once, then read only (and then safe to share between
// threads).
#ifndef MOVRA_MODEL_OUTPUT_COLUMNS_H_
#define MOVRA_MODEL_OUTPUT_COLUMNS_H_

#include <cstddef>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "model/cell.h"

namespace movra {

// The type of one output column.  The first four are rows_to_columns' types,
// in its order.
enum class OutputType : std::uint8_t { kBool = 0, kInt64 = 1, kFloat64 = 2, kString = 3, kNull = 4 };

// The type a single Cell asks for: Null counts as text, as for
// rows_to_columns.
OutputType classify_cell(const Cell& cell);

// The type of a column seen as `seen` so far, after one more Cell.
OutputType widen_type(OutputType seen, const Cell& cell);

// Raw storage for the output buffers: a buffer of kHugeBuffer bytes or more
// is aligned to that size and asked to be backed by huge pages, which makes
// its first filling several times cheaper (the page faults dominate it).
inline constexpr std::size_t kHugeBuffer = std::size_t{2} << 20;
void* allocate_output_buffer(std::size_t bytes);
// REQUIRES: p came from allocate_output_buffer(bytes).
void free_output_buffer(void* p, std::size_t bytes);

// The allocator of the output buffers.  An element that resize() adds is
// left uninitialised, so a writer that writes every element pays for one
// pass over the memory, not two; assign and push_back initialise as usual.
template <typename T>
struct OutputAllocator {
  using value_type = T;
  OutputAllocator() = default;
  template <typename U>
  OutputAllocator(const OutputAllocator<U>&) {}  // NOLINT: converting, as allocators are

  T* allocate(std::size_t n) { return static_cast<T*>(allocate_output_buffer(n * sizeof(T))); }
  void deallocate(T* p, std::size_t n) { free_output_buffer(p, n * sizeof(T)); }
  template <typename U, typename... Args>
  void construct(U* p, Args&&... args) {
    if constexpr (sizeof...(Args) == 0) {
      ::new (static_cast<void*>(p)) U;
    } else {
      ::new (static_cast<void*>(p)) U(std::forward<Args>(args)...);
    }
  }
  friend bool operator==(const OutputAllocator&, const OutputAllocator&) { return true; }
};

template <typename T>
using OutputBuffer = std::vector<T, OutputAllocator<T>>;

struct OutputColumn {
  std::string name;
  OutputType type = OutputType::kNull;
  std::int64_t null_count = 0;
  // Bit i set when row i has a value; empty when null_count is 0.
  OutputBuffer<std::uint8_t> validity;
  // kBool: one bit per row.
  OutputBuffer<std::uint8_t> bits;
  // kInt64 and kFloat64: one value per row (0 where null).
  OutputBuffer<std::int64_t> ints;
  OutputBuffer<double> doubles;
  // kString: rows + 1 offsets into bytes; 32-bit while the bytes fit,
  // else 64-bit (large_offsets).
  bool large_offsets = false;
  OutputBuffer<std::int32_t> offsets32;
  OutputBuffer<std::int64_t> offsets64;
  std::string bytes;
};

struct OutputColumns {
  std::int64_t rows = 0;
  std::vector<OutputColumn> columns;  // in ascending byte order of the names
};

// The columns of `rows`, typed as above.
OutputColumns columns_from_rows(const Batch& rows);

}  // namespace movra

#endif  // MOVRA_MODEL_OUTPUT_COLUMNS_H_
