// Host text: conversion between host UTF-8 text and the system's own one-byte
// t6scii character set, both ways, on byte buffers.
#pragma once
#include <cstdint>
#include "base/pbuffer.h"

// Allocation tag of the buffers made by the converters.
constexpr int32_t HOST_TEXT_BUFFER_TAG = 105;

// 70 UTF-8 sequences of up to 7 bytes (zero padded); entry k stands for code
// 128 + k (k 0..25), k - 10 (k 26..41), 212 + k (k 42..43) and k + 21 (k 44..69).
extern const uint8_t unicode_glyph[70][7];
// Second and third bytes (bits 15..8 and 7..0) of three-byte sequences that begin
// with 0xE3: entry k is code 154 + k (hiragana) or 204 + k (katakana).
extern const uint32_t unicode_hiragana[50];
extern const uint32_t unicode_katakana[50];
// UTF-8 sequences of the superscripts 0..9, a, b, c, d, e, f in the low bytes,
// most significant byte first.
extern const uint32_t unicode_superscript[16];

// t6scii form of the host text held in buffer (its length bytes): a new buffer
// that the caller destroys; null for a null buffer or when memory runs out. The input
// is not changed.
// A leading byte-order mark selects UTF-8, UTF-16 or UTF-32 input.
pbuffer* decode_host_text(const pbuffer* buffer);

// Piece by piece decoding, for long texts: the number of byte-order mark bytes before UTF-8
// host text, or -1 when a mark selects a wider form (decoded whole by decode_host_text).
int64_t host_text_utf8_start(const pbuffer* buffer);
// Decodes the UTF-8 host text s[0..n) onto out from its start up to the first character that
// begins at or past limit, and returns the bytes consumed. Decoding a text in such pieces, each
// beginning where the last one stopped, gives what decoding it whole does.
int64_t decode_utf8_piece(const uint8_t* s, int64_t n, int64_t limit, pbuffer* out);
// Appends the UTF-8 form of n t6scii bytes to out, zero bytes kept as they are; false when
// memory runs out.
bool encode_host_text_bytes(const uint8_t* s, int64_t n, pbuffer* out);

// UTF-8 form of the zero-terminated t6scii text: a new buffer that the caller
// destroys; an empty buffer for a null text; null when memory runs out.
pbuffer* encode_host_text(const char* text);
