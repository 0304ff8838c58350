// Any bytes as a datagram: the parser never crashes, never reads outside the
// input, and a Row it returns always has a "timestamp".
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "model/json_datagram.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  if (auto row = movra::parse_flat_json_object(text)) {
    if (!row->contains("timestamp")) std::abort();
  }
  return 0;
}
