// Checksums and binary deltas: the CRC-32 of a byte range, and compressed deltas that turn
// one byte string (the source) into another (the target), as stored by the file history.
#pragma once
#include <cstdint>
#include "base/pbuffer.h"

// Allocation tag of the buffers made here.
constexpr int32_t DELTA_BUFFER_TAG = 100;

// Largest source, target or raw delta length a delta may describe; larger ones are refused.
constexpr int64_t DELTA_MAX_LENGTH = 0x2000000;

// Reflected CRC-32 (polynomial 0xEDB88320, initial value and final inversion 0xFFFFFFFF);
// 0 when length is below 1.
uint32_t crc32b(const void* bytes, int64_t length);

// A new buffer (cursor 0) holding the delta container that turns source into target:
// "dst" and a zero byte, the u32 raw delta length, then the raw delta as one LZ4 block.
// Null when a length is negative or above DELTA_MAX_LENGTH, or the raw delta would be.
pbuffer* generate_diff(const void* source, int64_t source_length,
                       const void* target, int64_t target_length);

// A new buffer (cursor 0) holding the target described by a delta container or a bare raw
// delta. Null, with one log line, when the delta is damaged, does not fit the source, or
// does not rebuild a target of the stored length and CRC; null for a negative length.
pbuffer* apply_diff(const void* source, int64_t source_length,
                    const void* delta, int64_t delta_length);
