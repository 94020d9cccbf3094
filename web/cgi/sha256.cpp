// SHA-256 (FIPS 180-4) and HMAC (RFC 2104): the C library has no hash.
#include <cstring>

#include "web/cgi/cgi.h"

namespace {

constexpr std::array<std::uint32_t, 64> round_constants = {
    0x428a2f98, 0x71374491, 0xb5c0fbcf, 0xe9b5dba5, 0x3956c25b, 0x59f111f1, 0x923f82a4, 0xab1c5ed5,
    0xd807aa98, 0x12835b01, 0x243185be, 0x550c7dc3, 0x72be5d74, 0x80deb1fe, 0x9bdc06a7, 0xc19bf174,
    0xe49b69c1, 0xefbe4786, 0x0fc19dc6, 0x240ca1cc, 0x2de92c6f, 0x4a7484aa, 0x5cb0a9dc, 0x76f988da,
    0x983e5152, 0xa831c66d, 0xb00327c8, 0xbf597fc7, 0xc6e00bf3, 0xd5a79147, 0x06ca6351, 0x14292967,
    0x27b70a85, 0x2e1b2138, 0x4d2c6dfc, 0x53380d13, 0x650a7354, 0x766a0abb, 0x81c2c92e, 0x92722c85,
    0xa2bfe8a1, 0xa81a664b, 0xc24b8b70, 0xc76c51a3, 0xd192e819, 0xd6990624, 0xf40e3585, 0x106aa070,
    0x19a4c116, 0x1e376c08, 0x2748774c, 0x34b0bcb5, 0x391c0cb3, 0x4ed8aa4a, 0x5b9cca4f, 0x682e6ff3,
    0x748f82ee, 0x78a5636f, 0x84c87814, 0x8cc70208, 0x90befffa, 0xa4506ceb, 0xbef9a3f7, 0xc67178f2};

constexpr std::uint32_t rotate(std::uint32_t x, int n) { return (x >> n) | (x << (32 - n)); }

void compress(Sha256& hash) {
  std::array<std::uint32_t, 64> w{};
  for (std::size_t i = 0; i < 16; ++i) {
    w[i] = static_cast<std::uint32_t>(hash.block[4 * i]) << 24 |
           static_cast<std::uint32_t>(hash.block[4 * i + 1]) << 16 |
           static_cast<std::uint32_t>(hash.block[4 * i + 2]) << 8 | hash.block[4 * i + 3];
  }
  for (std::size_t i = 16; i < 64; ++i) {
    const std::uint32_t s0 = rotate(w[i - 15], 7) ^ rotate(w[i - 15], 18) ^ (w[i - 15] >> 3);
    const std::uint32_t s1 = rotate(w[i - 2], 17) ^ rotate(w[i - 2], 19) ^ (w[i - 2] >> 10);
    w[i] = w[i - 16] + s0 + w[i - 7] + s1;
  }
  std::array<std::uint32_t, 8> v = hash.state;
  for (std::size_t i = 0; i < 64; ++i) {
    const std::uint32_t s1 = rotate(v[4], 6) ^ rotate(v[4], 11) ^ rotate(v[4], 25);
    const std::uint32_t choice = (v[4] & v[5]) ^ (~v[4] & v[6]);
    const std::uint32_t t1 = v[7] + s1 + choice + round_constants[i] + w[i];
    const std::uint32_t s0 = rotate(v[0], 2) ^ rotate(v[0], 13) ^ rotate(v[0], 22);
    const std::uint32_t majority = (v[0] & v[1]) ^ (v[0] & v[2]) ^ (v[1] & v[2]);
    v = {t1 + s0 + majority, v[0], v[1], v[2], v[3] + t1, v[4], v[5], v[6]};
  }
  for (std::size_t i = 0; i < 8; ++i) hash.state[i] += v[i];
}

}  // namespace

void sha256_start(Sha256& hash) {
  hash.state = {0x6a09e667, 0xbb67ae85, 0x3c6ef372, 0xa54ff53a,
                0x510e527f, 0x9b05688c, 0x1f83d9ab, 0x5be0cd19};
  hash.block = {};
  hash.length = 0;
}

void sha256_add(Sha256& hash, const void* data, std::size_t size) {
  const auto* bytes = static_cast<const std::uint8_t*>(data);
  for (std::size_t i = 0; i < size; ++i) {
    hash.block[hash.length % 64] = bytes[i];
    ++hash.length;
    if (hash.length % 64 == 0) compress(hash);
  }
}

Digest sha256_finish(Sha256& hash) {
  const std::uint64_t bits = hash.length * 8;
  constexpr std::uint8_t one_bit = 0x80;
  sha256_add(hash, &one_bit, 1);
  constexpr std::uint8_t zero = 0;
  while (hash.length % 64 != 56) sha256_add(hash, &zero, 1);
  for (int shift = 56; shift >= 0; shift -= 8) {
    const auto byte = static_cast<std::uint8_t>(bits >> shift);
    sha256_add(hash, &byte, 1);
  }
  Digest digest{};
  for (std::size_t i = 0; i < 8; ++i) {
    for (std::size_t b = 0; b < 4; ++b) {
      digest[4 * i + b] = static_cast<std::uint8_t>(hash.state[i] >> (24 - 8 * b));
    }
  }
  return digest;
}

Digest hmac_sha256(const void* key, std::size_t key_size, const void* data, std::size_t size) {
  std::array<std::uint8_t, 64> padded{};
  if (key_size > padded.size()) {
    Sha256 hash{};
    sha256_start(hash);
    sha256_add(hash, key, key_size);
    const Digest short_key = sha256_finish(hash);
    std::memcpy(padded.data(), short_key.data(), short_key.size());
  } else if (key_size > 0) {
    std::memcpy(padded.data(), key, key_size);
  }
  std::array<std::uint8_t, 64> pad{};
  for (std::size_t i = 0; i < pad.size(); ++i) pad[i] = padded[i] ^ 0x36;
  Sha256 inner{};
  sha256_start(inner);
  sha256_add(inner, pad.data(), pad.size());
  sha256_add(inner, data, size);
  const Digest inner_digest = sha256_finish(inner);
  for (std::size_t i = 0; i < pad.size(); ++i) pad[i] = padded[i] ^ 0x5c;
  Sha256 outer{};
  sha256_start(outer);
  sha256_add(outer, pad.data(), pad.size());
  sha256_add(outer, inner_digest.data(), inner_digest.size());
  // The key is not left on the stack.
  explicit_bzero(padded.data(), padded.size());
  explicit_bzero(pad.data(), pad.size());
  return sha256_finish(outer);
}
