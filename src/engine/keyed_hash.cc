#include "engine/keyed_hash.h"

#include <bit>
#include <cstring>
#include <random>

namespace movra {

namespace {

inline std::uint64_t rotl(std::uint64_t x, int b) { return (x << b) | (x >> (64 - b)); }

struct State {
  std::uint64_t v0, v1, v2, v3;

  void round() {
    v0 += v1; v1 = rotl(v1, 13); v1 ^= v0; v0 = rotl(v0, 32);
    v2 += v3; v3 = rotl(v3, 16); v3 ^= v2;
    v0 += v3; v3 = rotl(v3, 21); v3 ^= v0;
    v2 += v1; v1 = rotl(v1, 17); v1 ^= v2; v2 = rotl(v2, 32);
  }

  void absorb(std::uint64_t m) {
    v3 ^= m;
    round();
    round();
    v0 ^= m;
  }
};

// Little-endian load of up to 8 bytes.
inline std::uint64_t load_le(const unsigned char* p, std::size_t n) {
  std::uint64_t m = 0;
  for (std::size_t i = 0; i < n; ++i) m |= static_cast<std::uint64_t>(p[i]) << (8 * i);
  return m;
}

}  // namespace

std::uint64_t siphash24(const HashKey& key, std::string_view text) {
  State s{key.k0 ^ 0x736f6d6570736575ULL, key.k1 ^ 0x646f72616e646f6dULL,
          key.k0 ^ 0x6c7967656e657261ULL, key.k1 ^ 0x7465646279746573ULL};
  const auto* p = reinterpret_cast<const unsigned char*>(text.data());
  const std::size_t n = text.size();
  const std::size_t whole = n & ~static_cast<std::size_t>(7);
  for (std::size_t i = 0; i < whole; i += 8) {
    std::uint64_t m;
    std::memcpy(&m, p + i, 8);
    if constexpr (std::endian::native == std::endian::big) m = __builtin_bswap64(m);
    s.absorb(m);
  }
  s.absorb(load_le(p + whole, n - whole) | (static_cast<std::uint64_t>(n & 0xff) << 56));
  s.v2 ^= 0xff;
  s.round();
  s.round();
  s.round();
  s.round();
  return s.v0 ^ s.v1 ^ s.v2 ^ s.v3;
}

const HashKey& process_hash_key() {
  static const HashKey key = [] {
    std::random_device device;
    auto word = [&device] { return (static_cast<std::uint64_t>(device()) << 32) | device(); };
    return HashKey{word(), word()};
  }();
  return key;
}

}  // namespace movra
