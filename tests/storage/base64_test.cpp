// base64 coding of the mox wrapper: vectors, pieces carried in the state, skipped bytes
// and the exact room the decoder needs.
#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "storage/base64.h"

namespace {

std::string encode(const std::string& in, size_t piece = 0) {
    std::vector<char> out(in.size() / 3 * 4 + 8);
    base64_encodestate s;
    base64_init_encodestate(&s);
    int64_t n = 0;
    if (piece == 0) piece = in.size() ? in.size() : 1;
    for (size_t at = 0; at < in.size(); at += piece) {
        size_t len = std::min(piece, in.size() - at);
        n += base64_encode_block(in.data() + at, int64_t(len), out.data() + n, &s);
    }
    n += base64_encode_blockend(out.data() + n, &s);
    return std::string(out.data(), size_t(n));
}

// Decodes into a block of exactly the reported size so that any byte written past the
// count lands outside it (the sanitizers catch that).
std::string decode(const std::string& in, size_t piece = 0) {
    base64_decodestate s;
    base64_init_decodestate(&s);
    std::string result;
    if (piece == 0) piece = in.size() ? in.size() : 1;
    for (size_t at = 0; at < in.size(); at += piece) {
        size_t len = std::min(piece, in.size() - at);
        size_t room = len * 3 / 4 + 1;
        char* out = new char[room];
        int64_t n = base64_decode_block(in.data() + at, int64_t(len), out, &s);
        EXPECT_LE(size_t(n), room);
        result.append(out, size_t(n));
        delete[] out;
    }
    return result;
}

TEST(Base64, KnownVectorsBothWays) {
    const char* vectors[][2] = {{"abc", "YWJj"}, {"\xFF", "-w=="}, {"\xFB\xFF", "_-8="}, {"", ""},
                                {"\xFB\xEF\xBE", "____"}, {"\xFF\xFF\xFF", "----"}, {"{1}", "ezF9"},
                                {"hello world", "aGVsbG8gd29ybGQ="}};
    for (const auto& v : vectors) {
        EXPECT_EQ(encode(v[0]), v[1]) << v[1];
        EXPECT_EQ(decode(v[1]), v[0]) << v[1];
    }
    // Line breaks, spaces and bytes outside the alphabet ('+' and '/' among them) are skipped,
    // and long text is written without line breaks.
    for (const char* text : {"YW\nJj", " Y W J j = = \r\n", "Y+W/Jj"}) EXPECT_EQ(decode(text), "abc") << text;
    for (char c : {'=', '+', '\0'}) EXPECT_EQ(base64_decode_value(c), -1) << int(c);
    EXPECT_EQ(base64_decode_value('_'), 62);
    EXPECT_EQ(base64_decode_value('-'), 63);
    std::string out = encode(std::string(300, 'x'));
    EXPECT_EQ(out.size(), 400u);
    EXPECT_EQ(out.find('\n'), std::string::npos);
}

TEST(Base64Decode, PartialGroupsWriteWholeBytesOnly) {
    base64_decodestate s;
    base64_init_decodestate(&s);
    char* one = new char[1];
    EXPECT_EQ(base64_decode_block("YW", 2, one, &s), 1);  // 12 bits: one whole byte
    EXPECT_EQ(one[0], 'a');
    delete[] one;
    EXPECT_EQ(s.step, 2);
    char* two = new char[2];
    EXPECT_EQ(base64_decode_block("Jj", 2, two, &s), 2);
    EXPECT_EQ(std::string(two, 2), "bc");
    delete[] two;
    EXPECT_EQ(s.step, 0);

    base64_init_decodestate(&s);
    char none[1];
    EXPECT_EQ(base64_decode_block("Y", 1, none, &s), 0);
    EXPECT_EQ(base64_decode_block("", 0, none, &s), 0);
}

TEST(Base64Decode, ExactRoomIsEnough) {
    // Each length from 1 to 12 alphabet characters, decoded into exactly the bytes it gives.
    std::string text = "YWJjZGVmZ2hp";
    for (size_t n = 1; n <= text.size(); n++) {
        base64_decodestate s;
        base64_init_decodestate(&s);
        size_t expect = n * 6 / 8;
        std::vector<char> out(expect);
        char* dst = expect ? out.data() : nullptr;
        char spare[1];
        EXPECT_EQ(size_t(base64_decode_block(text.data(), int64_t(n), dst ? dst : spare, &s)), expect) << n;
    }
}

TEST(Base64RoundTrip, RandomBytesInRandomPieces) {
    std::string fixed;
    for (int i = 0; i < 100; i++) fixed.push_back(char(i * 37));
    for (size_t piece : {1, 2, 4, 5, 7, 64}) EXPECT_EQ(encode(fixed, piece), encode(fixed)) << piece;
    std::mt19937 rng(7);
    for (int round = 0; round < 200; round++) {
        std::string in(rng() % 200, '\0');
        for (char& c : in) c = char(rng());
        std::string text = encode(in, 1 + rng() % 9);
        EXPECT_EQ(text.size(), (in.size() + 2) / 3 * 4);
        EXPECT_EQ(decode(text, 1 + rng() % 11), in);
    }
}

}  // namespace
