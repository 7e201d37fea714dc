// Fuzz target: the pxa code block decoder on arbitrary bytes. It must stay within its output
// of limit + 1 bytes and leave that output zero-terminated.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "base/pbuffer.h"
#include "storage/cart.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    pbuffer* in = create_buffer_2(int64_t(size) + 1, 0);
    if (!in) abort();
    if (size > 0) bwrite(data, 1, int64_t(size), in);
    in->cursor = 0;
    // A small limit as well as the real one, so that running into the limit is reached often.
    for (int64_t limit : {int64_t(64), int64_t(PXA_LIMIT)}) {
        std::vector<uint8_t> out(size_t(limit) + 1, 0xEE);
        if (pxa_decompress(in, out.data(), limit) != 0) abort();
        bool terminated = false;
        for (uint8_t c : out) terminated = terminated || c == 0;
        if (!terminated) abort();
    }
    destroy_buffer(in);
    return 0;
}
