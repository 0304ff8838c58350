// SipHash-2-4: a keyed 64-bit hash of a byte string.  Tables that hold text
// from outside (event ids from datagrams) hash with a key nobody outside the
// process knows, so nobody can choose ids that all land in one probe run.
//
// Pure functions; thread-safe.  process_hash_key() is made once per process
// (the first call, from any thread) from std::random_device.
#ifndef MOVRA_ENGINE_KEYED_HASH_H_
#define MOVRA_ENGINE_KEYED_HASH_H_

#include <cstdint>
#include <string_view>

namespace movra {

struct HashKey {
  std::uint64_t k0 = 0;
  std::uint64_t k1 = 0;
};

// SipHash-2-4 of text under key.
std::uint64_t siphash24(const HashKey& key, std::string_view text);

// This process's random key.
const HashKey& process_hash_key();

}  // namespace movra

#endif  // MOVRA_ENGINE_KEYED_HASH_H_
