#include "support/uuid.h"

#include <openssl/rand.h>

#include <cstdint>
#include <cstring>
#include <random>

namespace {

// xorshift128+ (shifts 23, 17, 26).
uint64_t Next(uint64_t state[2]) {
  uint64_t s1 = state[0];
  const uint64_t s0 = state[1];
  state[0] = s0;
  s1 ^= s1 << 23;
  state[1] = s1 ^ s0 ^ (s1 >> 17) ^ (s0 >> 26);
  return state[1] + s0;
}

// A fresh state for every identifier, from the cryptographic generator; the
// system's random device only when OpenSSL cannot give bytes.
void Seed(uint64_t state[2]) {
  unsigned char bytes[16];
  if (RAND_bytes(bytes, sizeof(bytes)) != 1) {
    std::random_device device;
    for (unsigned char& b : bytes)
      b = static_cast<unsigned char>(device());
  }
  std::memcpy(state, bytes, sizeof(bytes));
  // An all-zero state would only ever give zeros.
  if (state[0] == 0 && state[1] == 0)
    state[1] = 0x9e3779b97f4a7c15ull;
}

}  // namespace

std::string MakeUuid() {
  uint64_t state[2];
  Seed(state);
  const uint64_t drawn[2] = {Next(state), Next(state)};
  unsigned char bytes[16];
  std::memcpy(bytes, drawn, sizeof(bytes));

  static constexpr char kDigits[] = "0123456789abcdef";
  static constexpr char kVariant[] = "89ab";
  static constexpr char kTemplate[] = "xxxxxxxx-xxxx-4xxx-yxxx-xxxxxxxxxxxx";
  std::string uuid;
  uuid.reserve(sizeof(kTemplate) - 1);
  int nibble_index = 0;
  // Low nibble of each byte first.
  auto next_nibble = [&]() {
    const unsigned char byte = bytes[nibble_index / 2];
    const int nibble = (nibble_index % 2 == 0) ? (byte & 0x0f) : (byte >> 4);
    ++nibble_index;
    return nibble;
  };
  for (const char* c = kTemplate; *c != '\0'; ++c) {
    if (*c == 'x') {
      uuid += kDigits[next_nibble()];
    } else if (*c == 'y') {
      uuid += kVariant[next_nibble() & 0x3];
    } else {
      uuid += *c;
    }
  }
  return uuid;
}
