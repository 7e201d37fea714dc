// base64 coding of the mox wrapper.
#include "storage/base64.h"

#include <array>
#include <cstddef>

namespace {

constexpr char ALPHABET[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789_-";

constexpr std::array<int8_t, 256> build_decode_table() {
    std::array<int8_t, 256> t{};
    for (auto& v : t) v = -1;
    for (int i = 0; i < 64; i++) t[uint8_t(ALPHABET[i])] = int8_t(i);
    return t;
}

// Filled once at compile time, so it needs no first-use set-up and is safe from any thread.
constexpr std::array<int8_t, 256> DECODE_TABLE = build_decode_table();

constexpr int GROUPS_PER_LINE = 18;

}  // namespace

void base64_init_encodestate(base64_encodestate* state) {
    state->step = 0;
    state->result = 0;
    state->stepcount = 0;
}

char base64_encode_value(int value) {
    if (value < 0 || value > 63) return '=';
    return ALPHABET[value];
}

int64_t base64_encode_block(const char* in, int64_t length, char* out, base64_encodestate* state) {
    const uint8_t* p = reinterpret_cast<const uint8_t*>(in);
    const uint8_t* end = p + (length > 0 ? length : 0);
    char* o = out;
    int result = uint8_t(state->result);
    int step = state->step;
    while (p < end) {
        uint8_t c = *p++;
        switch (step) {
        case 0:
            *o++ = ALPHABET[c >> 2];
            result = (c & 0x03) << 4;
            step = 1;
            break;
        case 1:
            *o++ = ALPHABET[result | (c >> 4)];
            result = (c & 0x0F) << 2;
            step = 2;
            break;
        default:
            *o++ = ALPHABET[result | (c >> 6)];
            *o++ = ALPHABET[c & 0x3F];
            result = 0;
            step = 0;
            if (++state->stepcount == GROUPS_PER_LINE) state->stepcount = 0;
            break;
        }
    }
    state->result = char(result);
    state->step = step;
    return o - out;
}

int base64_encode_blockend(char* out, base64_encodestate* state) {
    int n = 0;
    if (state->step == 1) {
        out[0] = base64_encode_value(uint8_t(state->result));
        out[1] = '=';
        out[2] = '=';
        n = 3;
    } else if (state->step == 2) {
        out[0] = base64_encode_value(uint8_t(state->result));
        out[1] = '=';
        n = 2;
    }
    state->step = 0;
    state->result = 0;
    return n;
}

void base64_init_decodestate(base64_decodestate* state) {
    state->step = 0;
    state->plainchar = 0;
}

int base64_decode_value(int value) {
    if (value < 0 || value > 255) return -1;
    return DECODE_TABLE[std::size_t(value)];
}

int64_t base64_decode_block(const char* in, int64_t length, char* out, base64_decodestate* state) {
    const uint8_t* p = reinterpret_cast<const uint8_t*>(in);
    const uint8_t* end = p + (length > 0 ? length : 0);
    uint8_t* o = reinterpret_cast<uint8_t*>(out);
    int step = state->step & 3;
    uint8_t carry = uint8_t(state->plainchar);
    while (p < end) {
        int v = DECODE_TABLE[*p++];
        if (v < 0) continue;
        // The carried bits stay in the state; only completed bytes reach out.
        switch (step) {
        case 0:
            carry = uint8_t(v << 2);
            step = 1;
            break;
        case 1:
            *o++ = uint8_t(carry | (v >> 4));
            carry = uint8_t((v & 0x0F) << 4);
            step = 2;
            break;
        case 2:
            *o++ = uint8_t(carry | (v >> 2));
            carry = uint8_t((v & 0x03) << 6);
            step = 3;
            break;
        default:
            *o++ = uint8_t(carry | v);
            carry = 0;
            step = 0;
            break;
        }
    }
    state->step = step;
    state->plainchar = char(carry);
    return o - reinterpret_cast<uint8_t*>(out);
}
