// MurmurHash3 (the published x86_32 and x64_128 variants): file-table name hashes and
// file-history blob names.
#pragma once
#include <cstddef>
#include <cstdint>

// 32-bit hash of len bytes at key.
uint32_t murmurhash3_x86_32(const void* key, size_t len, uint32_t seed);

// 128-bit hash of len bytes at key, written to out as 16 bytes (the two 64-bit halves,
// each least significant byte first).
void murmurhash3_x64_128(const void* key, size_t len, uint32_t seed, uint8_t out[16]);
