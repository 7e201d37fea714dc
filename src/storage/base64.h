// base64: the coding of the b64 wrapper around mox documents, alphabet A-Z a-z 0-9 '_' '-',
// '=' padding and no line breaks; both directions work in pieces with a carried state.
#pragma once
#include <cstdint>

// Encoder state. step: bytes of the current three-byte group already taken (0, 1 or 2);
// result: the pending 6-bit value; stepcount: groups written on the current line (0..17,
// kept for the record, it inserts nothing).
struct base64_encodestate {
    int step;
    char result;
    int stepcount;
};

// Decoder state. step: place of the next character in its four-character group (0..3);
// plainchar: the bits of the partial byte carried to the next character.
struct base64_decodestate {
    int step;
    char plainchar;
};

void base64_init_encodestate(base64_encodestate* state);
// The alphabet character of a 6-bit value; '=' for values above 63 (and below 0).
char base64_encode_value(int value);
// Encodes length bytes (at most 4 characters per 3 bytes plus 4 go to out);
// returns the characters written.
int64_t base64_encode_block(const char* in, int64_t length, char* out, base64_encodestate* state);
// Writes the pending character and padding: 3 when one byte was pending ("x=="),
// 2 when two were ("x="), 0 when nothing was.
int base64_encode_blockend(char* out, base64_encodestate* state);

void base64_init_decodestate(base64_decodestate* state);
// The value of an alphabet character, -1 for any other byte.
int base64_decode_value(int value);
// Decodes length characters, skipping every byte outside the alphabet ('=', spaces and line
// breaks included). Writes only whole bytes, at most 3 per 4 alphabet characters plus one
// for a group carried in: (length * 3) / 4 + 1 bytes of room always suffice.
// Returns the bytes written.
int64_t base64_decode_block(const char* in, int64_t length, char* out, base64_decodestate* state);
