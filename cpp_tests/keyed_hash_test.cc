#include <cstdint>
#include <string>

#include "engine/keyed_hash.h"
#include "test.h"

using namespace movra;

// The reference vectors of SipHash-2-4: key 00 01 .. 0f, message 00 01 .. n-1.
TEST(siphash24_matches_the_reference_vectors) {
  const HashKey key{0x0706050403020100ULL, 0x0f0e0d0c0b0a0908ULL};
  const struct {
    std::size_t n;
    std::uint64_t hash;
  } vectors[] = {{0, 0x726fdb47dd0e0e31ULL}, {1, 0x74f839c593dc67fdULL}, {2, 0x0d6c8009d9a94f5aULL},
                 {3, 0x85676696d7fb7e2dULL}, {15, 0xa129ca6149be45e5ULL}};
  for (const auto& v : vectors) {
    std::string text;
    for (std::size_t i = 0; i < v.n; ++i) text.push_back(static_cast<char>(i));
    CHECK_EQ(siphash24(key, text), v.hash);
  }
}

TEST(process_hash_key_is_made_once) {
  const HashKey& a = process_hash_key();
  CHECK(&a == &process_hash_key());
  CHECK(a.k0 != 0 || a.k1 != 0);
}
