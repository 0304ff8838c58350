// Any bytes as a datagram: the parser never crashes, never reads outside the
// input, and returns exactly what the plain model of the format returns.
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "datagram_model.h"
#include "model/json_datagram.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  if (!movra_model::same(text)) std::abort();
  return 0;
}
