// Conversion between host UTF-8 text and t6scii.
#include "platform/host_text.h"

#include <cstdlib>
#include <cstring>

const uint8_t unicode_glyph[70][7] = {
    {0xE2, 0x96, 0x88},  // 0: code 128, U+2588
    {0xE2, 0x96, 0x92},  // 1: code 129, U+2592
    {0xF0, 0x9F, 0x90, 0xB1},  // 2: code 130, U+1F431
    {0xE2, 0xAC, 0x87, 0xEF, 0xB8, 0x8F},  // 3: code 131, U+2B07 U+FE0F
    {0xE2, 0x96, 0x91},  // 4: code 132, U+2591
    {0xE2, 0x9C, 0xBD},  // 5: code 133, U+273D
    {0xE2, 0x97, 0x8F},  // 6: code 134, U+25CF
    {0xE2, 0x99, 0xA5},  // 7: code 135, U+2665
    {0xE2, 0x98, 0x89},  // 8: code 136, U+2609
    {0xEC, 0x9B, 0x83},  // 9: code 137, U+C6C3
    {0xE2, 0x8C, 0x82},  // 10: code 138, U+2302
    {0xE2, 0xAC, 0x85, 0xEF, 0xB8, 0x8F},  // 11: code 139, U+2B05 U+FE0F
    {0xF0, 0x9F, 0x98, 0x90},  // 12: code 140, U+1F610
    {0xE2, 0x99, 0xAA},  // 13: code 141, U+266A
    {0xF0, 0x9F, 0x85, 0xBE, 0xEF, 0xB8, 0x8F},  // 14: code 142, U+1F17E U+FE0F
    {0xE2, 0x97, 0x86},  // 15: code 143, U+25C6
    {0xE2, 0x80, 0xA6},  // 16: code 144, U+2026
    {0xE2, 0x9E, 0xA1, 0xEF, 0xB8, 0x8F},  // 17: code 145, U+27A1 U+FE0F
    {0xE2, 0x98, 0x85},  // 18: code 146, U+2605
    {0xE2, 0xA7, 0x97},  // 19: code 147, U+29D7
    {0xE2, 0xAC, 0x86, 0xEF, 0xB8, 0x8F},  // 20: code 148, U+2B06 U+FE0F
    {0xCB, 0x87},  // 21: code 149, U+02C7
    {0xE2, 0x88, 0xA7},  // 22: code 150, U+2227
    {0xE2, 0x9D, 0x8E},  // 23: code 151, U+274E
    {0xE2, 0x96, 0xA4},  // 24: code 152, U+25A4
    {0xE2, 0x96, 0xA5},  // 25: code 153, U+25A5
    {0xE2, 0x96, 0xAE},  // 26: code 16, U+25AE
    {0xE2, 0x96, 0xA0},  // 27: code 17, U+25A0
    {0xE2, 0x96, 0xA1},  // 28: code 18, U+25A1
    {0xE2, 0x81, 0x99},  // 29: code 19, U+2059
    {0xE2, 0x81, 0x98},  // 30: code 20, U+2058
    {0xE2, 0x80, 0x96},  // 31: code 21, U+2016
    {0xE2, 0x97, 0x80},  // 32: code 22, U+25C0
    {0xE2, 0x96, 0xB6},  // 33: code 23, U+25B6
    {0xE3, 0x80, 0x8C},  // 34: code 24, U+300C
    {0xE3, 0x80, 0x8D},  // 35: code 25, U+300D
    {0xC2, 0xA5},  // 36: code 26, U+00A5
    {0xE2, 0x80, 0xA2},  // 37: code 27, U+2022
    {0xE3, 0x80, 0x81},  // 38: code 28, U+3001
    {0xE3, 0x80, 0x82},  // 39: code 29, U+3002
    {0xE3, 0x82, 0x9B},  // 40: code 30, U+309B
    {0xE3, 0x82, 0x9C},  // 41: code 31, U+309C
    {0xE2, 0x97, 0x9C},  // 42: code 254, U+25DC
    {0xE2, 0x97, 0x9D},  // 43: code 255, U+25DD
    {0xF0, 0x9D, 0x98, 0xA2},  // 44: code 65, U+1D622
    {0xF0, 0x9D, 0x98, 0xA3},  // 45: code 66, U+1D623
    {0xF0, 0x9D, 0x98, 0xA4},  // 46: code 67, U+1D624
    {0xF0, 0x9D, 0x98, 0xA5},  // 47: code 68, U+1D625
    {0xF0, 0x9D, 0x98, 0xA6},  // 48: code 69, U+1D626
    {0xF0, 0x9D, 0x98, 0xA7},  // 49: code 70, U+1D627
    {0xF0, 0x9D, 0x98, 0xA8},  // 50: code 71, U+1D628
    {0xF0, 0x9D, 0x98, 0xA9},  // 51: code 72, U+1D629
    {0xF0, 0x9D, 0x98, 0xAA},  // 52: code 73, U+1D62A
    {0xF0, 0x9D, 0x98, 0xAB},  // 53: code 74, U+1D62B
    {0xF0, 0x9D, 0x98, 0xAC},  // 54: code 75, U+1D62C
    {0xF0, 0x9D, 0x98, 0xAD},  // 55: code 76, U+1D62D
    {0xF0, 0x9D, 0x98, 0xAE},  // 56: code 77, U+1D62E
    {0xF0, 0x9D, 0x98, 0xAF},  // 57: code 78, U+1D62F
    {0xF0, 0x9D, 0x98, 0xB0},  // 58: code 79, U+1D630
    {0xF0, 0x9D, 0x98, 0xB1},  // 59: code 80, U+1D631
    {0xF0, 0x9D, 0x98, 0xB2},  // 60: code 81, U+1D632
    {0xF0, 0x9D, 0x98, 0xB3},  // 61: code 82, U+1D633
    {0xF0, 0x9D, 0x98, 0xB4},  // 62: code 83, U+1D634
    {0xF0, 0x9D, 0x98, 0xB5},  // 63: code 84, U+1D635
    {0xF0, 0x9D, 0x98, 0xB6},  // 64: code 85, U+1D636
    {0xF0, 0x9D, 0x98, 0xB7},  // 65: code 86, U+1D637
    {0xF0, 0x9D, 0x98, 0xB8},  // 66: code 87, U+1D638
    {0xF0, 0x9D, 0x98, 0xB9},  // 67: code 88, U+1D639
    {0xF0, 0x9D, 0x98, 0xBA},  // 68: code 89, U+1D63A
    {0xF0, 0x9D, 0x98, 0xBB},  // 69: code 90, U+1D63B
};

const uint32_t unicode_hiragana[50] = {
    0x8182, 0x8184, 0x8186, 0x8188, 0x818A, 0x818B, 0x818D, 0x818F, 0x8191, 0x8193,
    0x8195, 0x8197, 0x8199, 0x819B, 0x819D, 0x819F, 0x81A1, 0x81A4, 0x81A6, 0x81A8,
    0x81AA, 0x81AB, 0x81AC, 0x81AD, 0x81AE, 0x81AF, 0x81B2, 0x81B5, 0x81B8, 0x81BB,
    0x81BE, 0x81BF, 0x8280, 0x8281, 0x8282, 0x8284, 0x8286, 0x8288, 0x8289, 0x828A,
    0x828B, 0x828C, 0x828D, 0x828F, 0x8292, 0x8293, 0x81A3, 0x8283, 0x8285, 0x8287,
};

const uint32_t unicode_katakana[50] = {
    0x82A2, 0x82A4, 0x82A6, 0x82A8, 0x82AA, 0x82AB, 0x82AD, 0x82AF, 0x82B1, 0x82B3,
    0x82B5, 0x82B7, 0x82B9, 0x82BB, 0x82BD, 0x82BF, 0x8381, 0x8384, 0x8386, 0x8388,
    0x838A, 0x838B, 0x838C, 0x838D, 0x838E, 0x838F, 0x8392, 0x8395, 0x8398, 0x839B,
    0x839E, 0x839F, 0x83A0, 0x83A1, 0x83A2, 0x83A4, 0x83A6, 0x83A8, 0x83A9, 0x83AA,
    0x83AB, 0x83AC, 0x83AD, 0x83AF, 0x83B2, 0x83B3, 0x8383, 0x83A3, 0x83A5, 0x83A7,
};

const uint32_t unicode_superscript[16] = {
    0xE281B0, 0xC2B9, 0xC2B2, 0xC2B3, 0xE281B4, 0xE281B5, 0xE281B6, 0xE281B7,
    0xE281B8, 0xE281B9, 0xE1B583, 0xE1B587, 0xE1B69C, 0xE1B588, 0xE1B589, 0xE1B6A0,
};

namespace {

constexpr int GLYPH_COUNT = 70;
constexpr int KANA_COUNT = 50;

// Largest text the converters build; keeps every buffer length a valid i32.
constexpr int64_t HOST_TEXT_MAX_LENGTH = PBUFFER_MAX_LENGTH / 2;

int glyph_length(int k)
{
    int n = 0;
    while (n < 7 && unicode_glyph[k][n] != 0) n++;
    return n;
}

int glyph_code(int k)
{
    if (k <= 25) return 128 + k;
    if (k <= 41) return k - 10;
    if (k <= 43) return 212 + k;
    return k + 21;
}

// Writes the UTF-8 bytes of code point cp to out; returns their count.
int put_utf8(uint32_t cp, uint8_t* out)
{
    if (cp < 0x80) {
        out[0] = (uint8_t)cp;
        return 1;
    }
    if (cp < 0x800) {
        out[0] = (uint8_t)(0xC0 | (cp >> 6));
        out[1] = (uint8_t)(0x80 | (cp & 0x3F));
        return 2;
    }
    if (cp < 0x10000) {
        out[0] = (uint8_t)(0xE0 | (cp >> 12));
        out[1] = (uint8_t)(0x80 | ((cp >> 6) & 0x3F));
        out[2] = (uint8_t)(0x80 | (cp & 0x3F));
        return 3;
    }
    out[0] = (uint8_t)(0xF0 | (cp >> 18));
    out[1] = (uint8_t)(0x80 | ((cp >> 12) & 0x3F));
    out[2] = (uint8_t)(0x80 | ((cp >> 6) & 0x3F));
    out[3] = (uint8_t)(0x80 | (cp & 0x3F));
    return 4;
}

constexpr uint32_t REPLACEMENT_CHARACTER = 0xFFFD;

// UTF-16 code units (surrogate pairs joined; a lone surrogate becomes U+FFFD) to
// UTF-8. out has room for 3 bytes per unit; a trailing odd byte is ignored.
int64_t utf16_to_utf8(const uint8_t* s, int64_t n, bool big_endian, uint8_t* out, int64_t out_max)
{
    int64_t units = n / 2;
    int64_t o = 0;
    for (int64_t u = 0; u < units; u++) {
        const uint8_t* p = s + u * 2;
        uint32_t w = big_endian ? (uint32_t)((p[0] << 8) | p[1]) : (uint32_t)((p[1] << 8) | p[0]);
        uint32_t cp = w;
        if (w >= 0xD800 && w <= 0xDBFF) {
            cp = REPLACEMENT_CHARACTER;
            if (u + 1 < units) {
                const uint8_t* q = p + 2;
                uint32_t w2 = big_endian ? (uint32_t)((q[0] << 8) | q[1]) : (uint32_t)((q[1] << 8) | q[0]);
                if (w2 >= 0xDC00 && w2 <= 0xDFFF) {
                    cp = 0x10000 + ((w - 0xD800) << 10) + (w2 - 0xDC00);
                    u++;
                }
            }
        } else if (w >= 0xDC00 && w <= 0xDFFF) {
            cp = REPLACEMENT_CHARACTER;
        }
        if (o + 4 > out_max) break;
        o += put_utf8(cp, out + o);
    }
    return o;
}

// UTF-32 code units to UTF-8 (values that are no code point become U+FFFD).
int64_t utf32_to_utf8(const uint8_t* s, int64_t n, bool big_endian, uint8_t* out, int64_t out_max)
{
    int64_t units = n / 4;
    int64_t o = 0;
    for (int64_t u = 0; u < units; u++) {
        const uint8_t* p = s + u * 4;
        uint32_t cp = big_endian
            ? ((uint32_t)p[0] << 24) | ((uint32_t)p[1] << 16) | ((uint32_t)p[2] << 8) | p[3]
            : ((uint32_t)p[3] << 24) | ((uint32_t)p[2] << 16) | ((uint32_t)p[1] << 8) | p[0];
        if (cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) cp = REPLACEMENT_CHARACTER;
        if (o + 4 > out_max) break;
        o += put_utf8(cp, out + o);
    }
    return o;
}

// The t6scii code of the table sequence at s (n bytes available), with the number of
// bytes it takes; -1 when no table sequence starts there.
int match_sequence(const uint8_t* s, int64_t n, int* consumed)
{
    for (int k = 0; k < GLYPH_COUNT; k++) {
        int len = glyph_length(k);
        if (len <= n && memcmp(s, unicode_glyph[k], (size_t)len) == 0) {
            *consumed = len;
            return glyph_code(k);
        }
    }
    if (n >= 3 && s[0] == 0xE3) {
        uint32_t tail = ((uint32_t)s[1] << 8) | s[2];
        for (int k = 0; k < KANA_COUNT; k++) {
            if (unicode_hiragana[k] == tail) {
                *consumed = 3;
                return 154 + k;
            }
        }
        for (int k = 0; k < KANA_COUNT; k++) {
            if (unicode_katakana[k] == tail) {
                *consumed = 3;
                return 204 + k;
            }
        }
    }
    if (n >= 3 && s[0] == 0xE2 && s[1] == 0x97 && s[2] == 0x8B) {
        *consumed = 3;
        return 127;
    }
    if (n >= 2 && s[0] == 0xC2) {
        for (int code = 1; code <= 3; code++) {
            if (s[1] == (unicode_superscript[code] & 0xFF)) {
                *consumed = 2;
                return code;
            }
        }
    }
    if (n >= 3) {
        static const int three_byte_codes[] = {4, 5, 6, 7, 8, 11, 12, 14, 15};
        uint32_t seq = ((uint32_t)s[0] << 16) | ((uint32_t)s[1] << 8) | s[2];
        for (int code : three_byte_codes) {
            if (unicode_superscript[code] == seq) {
                *consumed = 3;
                return code;
            }
        }
    }
    return -1;
}

}  // namespace

int64_t decode_utf8_piece(const uint8_t* s, int64_t n, int64_t limit, pbuffer* out)
{
    int64_t i = 0;
    while (i < n && i < limit) {
        uint8_t c = s[i];
        if (c == 13) {
            i++;
            continue;
        }
        if (c < 0x80) {
            int64_t j = i;
            while (j < n && j < limit && s[j] < 0x80 && s[j] != 13) j++;
            bwrite(s + i, 1, j - i, out);
            i = j;
            continue;
        }
        int consumed = 0;
        int code = match_sequence(s + i, n - i, &consumed);
        if (code >= 0) {
            bwrite_uint8((uint8_t)code, out);
            i += consumed;
        } else {
            bwrite_uint8(c, out);
            i++;
        }
    }
    return i;
}

namespace {

void decode_utf8(const uint8_t* s, int64_t n, pbuffer* out) { decode_utf8_piece(s, n, n, out); }

}  // namespace

namespace {

// Kinds of text told by a byte-order mark.
enum text_form { FORM_UTF8, FORM_UTF16_BE, FORM_UTF16_LE, FORM_UTF32_BE, FORM_UTF32_LE };

// The form of the text and the number of mark bytes that precede it.
text_form read_byte_order_mark(const uint8_t* s, int64_t n, int64_t* skip)
{
    *skip = 0;
    if (n >= 3 && s[0] == 0xEF && s[1] == 0xBB && s[2] == 0xBF) {
        *skip = 3;
        return FORM_UTF8;
    }
    if (n >= 4 && s[0] == 0x00 && s[1] == 0x00 && s[2] == 0xFE && s[3] == 0xFF) {
        *skip = 4;
        return FORM_UTF32_BE;
    }
    if (n >= 2 && s[0] == 0xFE && s[1] == 0xFF) {
        // FE FF 00 00 is no mark; with fewer than four bytes the mark stands alone
        // or before a cut-off unit.
        if (n < 4 || s[2] != 0 || s[3] != 0) {
            *skip = 2;
            return FORM_UTF16_BE;
        }
        return FORM_UTF8;
    }
    if (n >= 2 && s[0] == 0xFF && s[1] == 0xFE) {
        if (n >= 4 && s[2] == 0 && s[3] == 0) {
            *skip = 4;
            return FORM_UTF32_LE;
        }
        *skip = 2;
        return FORM_UTF16_LE;
    }
    return FORM_UTF8;
}

}  // namespace

pbuffer* decode_host_text(const pbuffer* buffer)
{
    if (!buffer) return nullptr;
    int64_t n = buffer->data && buffer->length > 0 ? buffer->length : 0;
    const uint8_t* s = buffer->data;

    int64_t skip = 0;
    text_form form = n > 0 ? read_byte_order_mark(s, n, &skip) : FORM_UTF8;
    s += skip;
    n -= skip;
    if (n <= 0) return create_buffer_2(0, HOST_TEXT_BUFFER_TAG);

    if (form == FORM_UTF8) {
        // Decoding never makes the text longer.
        pbuffer* out = create_buffer_2(n, HOST_TEXT_BUFFER_TAG);
        if (out) decode_utf8(s, n, out);
        return out;
    }

    // Wider code units: turn them into UTF-8 first, then decode that.
    int64_t room = (form == FORM_UTF16_BE || form == FORM_UTF16_LE) ? (n / 2) * 3 + 4 : n + 4;
    if (room > HOST_TEXT_MAX_LENGTH) room = HOST_TEXT_MAX_LENGTH;
    uint8_t* utf8 = (uint8_t*)malloc((size_t)room);
    if (!utf8) return nullptr;
    int64_t len = 0;
    switch (form) {
    case FORM_UTF16_BE: len = utf16_to_utf8(s, n, true, utf8, room); break;
    case FORM_UTF16_LE: len = utf16_to_utf8(s, n, false, utf8, room); break;
    case FORM_UTF32_BE: len = utf32_to_utf8(s, n, true, utf8, room); break;
    case FORM_UTF32_LE: len = utf32_to_utf8(s, n, false, utf8, room); break;
    case FORM_UTF8: break;
    }
    pbuffer* out = create_buffer_2(len, HOST_TEXT_BUFFER_TAG);
    if (out) decode_utf8(utf8, len, out);
    free(utf8);
    return out;
}

namespace {

// The UTF-8 sequence of one t6scii code (1..255) in seq; its length.
int encode_code(uint8_t c, uint8_t* seq)
{
    int len = 0;
    if ((c >= 1 && c <= 8) || c == 11 || c == 12 || c == 14 || c == 15) {
        uint32_t v = unicode_superscript[c];
        if (v > 0xFFFF) seq[len++] = (uint8_t)(v >> 16);
        seq[len++] = (uint8_t)(v >> 8);
        seq[len++] = (uint8_t)v;
    } else if (c >= 16 && c <= 31) {
        int k = c + 10;
        len = glyph_length(k);
        memcpy(seq, unicode_glyph[k], (size_t)len);
    } else if (c == 127) {
        seq[0] = 0xE2;
        seq[1] = 0x97;
        seq[2] = 0x8B;
        len = 3;
    } else if (c >= 128 && c <= 153) {
        int k = c - 128;
        len = glyph_length(k);
        memcpy(seq, unicode_glyph[k], (size_t)len);
    } else if (c >= 154 && c <= 253) {
        uint32_t tail = c <= 203 ? unicode_hiragana[c - 154] : unicode_katakana[c - 204];
        seq[0] = 0xE3;
        seq[1] = (uint8_t)(tail >> 8);
        seq[2] = (uint8_t)tail;
        len = 3;
    } else if (c >= 254) {
        int k = c - 212;
        len = glyph_length(k);
        memcpy(seq, unicode_glyph[k], (size_t)len);
    } else {
        // 9, 10, 13 and 32..126 are the same in both.
        seq[0] = c;
        len = 1;
    }
    return len;
}

}  // namespace

pbuffer* encode_host_text(const char* text)
{
    size_t length = text ? strlen(text) : 0;
    int64_t capacity = (int64_t)(length + length / 2);
    if (capacity > HOST_TEXT_MAX_LENGTH) capacity = HOST_TEXT_MAX_LENGTH;
    pbuffer* out = create_buffer_2(capacity, HOST_TEXT_BUFFER_TAG);
    if (!text || !out) return out;

    for (const uint8_t* p = (const uint8_t*)text; *p; p++) {
        if (out->length > HOST_TEXT_MAX_LENGTH - 8) break;
        uint8_t seq[7];
        int len = encode_code(*p, seq);
        bwrite(seq, 1, len, out);
    }
    return out;
}

bool encode_host_text_bytes(const uint8_t* s, int64_t n, pbuffer* out)
{
    int64_t i = 0;
    while (i < n) {
        // Plain bytes (and zero bytes, kept as they are) go in runs.
        int64_t j = i;
        while (j < n && (s[j] == 0 || s[j] == 9 || s[j] == 10 || s[j] == 13 || (s[j] >= 32 && s[j] <= 126))) j++;
        if (j > i) {
            if (bwrite(s + i, 1, j - i, out) != int32_t(j - i)) return false;
            i = j;
            continue;
        }
        uint8_t seq[7];
        int len = encode_code(s[i++], seq);
        if (bwrite(seq, 1, len, out) != len) return false;
    }
    return true;
}

int64_t host_text_utf8_start(const pbuffer* buffer)
{
    int64_t n = buffer && buffer->data && buffer->length > 0 ? buffer->length : 0;
    int64_t skip = 0;
    text_form form = n > 0 ? read_byte_order_mark(buffer->data, n, &skip) : FORM_UTF8;
    return form == FORM_UTF8 ? skip : -1;
}
