// Fuzz target: conversion of host text (UTF-8, or UTF-16 or UTF-32 after a byte-order mark)
// to the system's character set, on arbitrary bytes.
#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "base/pbuffer.h"
#include "platform/host_text.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    pbuffer* in = create_buffer_2(int64_t(size) + 1, 0);
    if (!in) abort();
    if (size > 0) bwrite(data, 1, int64_t(size), in);
    in->cursor = 0;
    pbuffer* out = decode_host_text(in);
    if (!out || out->length < 0 || uint64_t(out->length) >= out->capacity) abort();
    destroy_buffer(out);
    destroy_buffer(in);
    return 0;
}
