#include "model/utf8.h"

#include <cstdint>
#include <cstring>

namespace movra {

namespace {

bool is_continuation(unsigned char c) { return (c & 0xC0) == 0x80; }

}  // namespace

bool is_valid_utf8(std::string_view bytes) {
  const auto* p = reinterpret_cast<const unsigned char*>(bytes.data());
  const auto* end = p + bytes.size();
  while (p < end) {
    // ASCII runs are checked eight bytes at a time.
    if (end - p >= 8) {
      std::uint64_t word;
      std::memcpy(&word, p, 8);
      if ((word & 0x8080808080808080ull) == 0) {
        p += 8;
        continue;
      }
    }
    const unsigned char c = *p;
    if (c < 0x80) {
      ++p;
    } else if (c >= 0xC2 && c <= 0xDF) {
      if (end - p < 2 || !is_continuation(p[1])) return false;
      p += 2;
    } else if (c >= 0xE0 && c <= 0xEF) {
      if (end - p < 3 || !is_continuation(p[1]) || !is_continuation(p[2])) return false;
      if (c == 0xE0 && p[1] < 0xA0) return false;   // overlong
      if (c == 0xED && p[1] >= 0xA0) return false;  // surrogate
      p += 3;
    } else if (c >= 0xF0 && c <= 0xF4) {
      if (end - p < 4 || !is_continuation(p[1]) || !is_continuation(p[2]) ||
          !is_continuation(p[3])) {
        return false;
      }
      if (c == 0xF0 && p[1] < 0x90) return false;   // overlong
      if (c == 0xF4 && p[1] >= 0x90) return false;  // above U+10FFFF
      p += 4;
    } else {
      return false;
    }
  }
  return true;
}

bool is_ascii(std::string_view bytes) {
  const char* p = bytes.data();
  std::size_t n = bytes.size();
  std::uint64_t any = 0;
  for (; n >= 8; p += 8, n -= 8) {
    std::uint64_t word;
    std::memcpy(&word, p, 8);
    any |= word;
  }
  for (; n > 0; ++p, --n) any |= static_cast<unsigned char>(*p);
  return (any & 0x8080808080808080ull) == 0;
}

}  // namespace movra
