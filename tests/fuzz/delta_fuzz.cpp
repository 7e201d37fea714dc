// Fuzz target: applying a delta to a source, both taken from the input. The first two bytes
// (little-endian, modulo what is left) give the length of the source that follows; the rest is
// the delta, as a container or a bare raw delta. Whatever target it rebuilds, a delta made
// from the same source to that target rebuilds it again.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "base/pbuffer.h"
#include "storage/delta.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 2) return 0;
    size_t rest = size - 2;
    size_t source_length = (size_t(data[0]) | size_t(data[1]) << 8) % (rest + 1);
    // Separate allocations of exactly their sizes, so reading past either is caught.
    std::vector<uint8_t> source(data + 2, data + 2 + source_length);
    std::vector<uint8_t> delta(data + 2 + source_length, data + size);
    static const uint8_t nothing = 0;
    const uint8_t* s = source.empty() ? &nothing : source.data();
    const uint8_t* d = delta.empty() ? &nothing : delta.data();
    pbuffer* target = apply_diff(s, int64_t(source.size()), d, int64_t(delta.size()));
    if (!target) return 0;
    if (target->length < 0 || target->length > DELTA_MAX_LENGTH || target->cursor != 0) abort();

    pbuffer* again_delta = generate_diff(s, int64_t(source.size()), target->data, target->length);
    if (again_delta) {
        pbuffer* again = apply_diff(s, int64_t(source.size()), again_delta->data, again_delta->length);
        if (!again || again->length != target->length ||
            (target->length > 0 && memcmp(again->data, target->data, size_t(target->length)) != 0)) {
            abort();
        }
        destroy_buffer(again);
        destroy_buffer(again_delta);
    }
    destroy_buffer(target);
    return 0;
}
