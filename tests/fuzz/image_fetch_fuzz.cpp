// Fuzz target: images decoded through fetch. The first byte picks the file name (x.png, x.t6.png
// or x.qoi) and the flags (bit 2: i32 pixels); the rest is the file, written to a ram file and
// fetched in a script process. The result is the file's bytes as a string (or, for text that
// begins like a mox document, what the mox reader gives), or an array whose size is the
// header's and whose i32 pixels are what the codec gives.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "cart_fuzz_support.h"
#include "lua.h"
#include "script_fuzz_support.h"
#include "storage/file_api.h"
#include "storage/image.h"
#include "userdata/userdata.h"

namespace {

// Larger pictures take long to convert and prove nothing more here.
constexpr int64_t FUZZ_MAX_PIXELS = 1 << 18;

struct input {
    const char* path;
    image_format format;
    int flags;
    const uint8_t* bytes;
    size_t size;
};

int fetch_and_check(lua_State* L) {
    const input* in = static_cast<const input*>(lua_touserdata(L, 1));
    lua_settop(L, 0);
    lua_pushcfunction(L, lua54_fetch_local);
    lua_pushstring(L, in->path);
    lua_pushinteger(L, in->flags);
    lua_call(L, 2, LUA_MULTRET);
    // Text that is no image but a mox document is read as one.
    const bool mox = in->size >= 2 && in->bytes[0] == '-' && in->bytes[1] == '-';
    if (mox) return 0;
    if (lua_gettop(L) != 1) abort();
    if (lua_type(L, 1) == LUA_TSTRING) {
        size_t n = 0;
        const char* s = lua_tolstring(L, 1, &n);
        if (n != in->size || (n && memcmp(s, in->bytes, n) != 0)) abort();
        return 0;
    }
    const userdata_header* a = to_userdata(L, 1);
    image_header header;
    if (!a || a->dimensions != 2 || !inspect_image(in->bytes, int64_t(in->size), in->format, &header)) abort();
    if (a->width != header.width || a->height != header.height) abort();
    const bool wide = in->flags & 1;
    if ((a->type & 31) != (wide ? UTYPE_I32 : UTYPE_U8)) abort();
    if (wide) {
        uint8_t* rgba = decode_image_rgba(in->bytes, int64_t(in->size), in->format, FUZZ_MAX_PIXELS, nullptr);
        if (!rgba) abort();
        const uint32_t* px = reinterpret_cast<const uint32_t*>(userdata_data(a));
        for (int64_t i = 0; i < userdata_count(a); i++) {
            const uint8_t* p = rgba + i * 4;
            if (px[i] != (uint32_t(p[3]) << 24 | uint32_t(p[0]) << 16 | uint32_t(p[1]) << 8 | p[2])) abort();
        }
        free(rgba);
    } else {
        for (int64_t i = 0; i < userdata_count(a); i++) {
            if (userdata_data(a)[i] > 63) abort();
        }
    }
    return 0;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static process_record* const proc = script_fuzz::make_process("image_fetch_fuzz");
    if (size == 0) return 0;
    static const char* const paths[3] = {"/ram/x.png", "/ram/x.t6.png", "/ram/x.qoi"};
    const int pick = data[0] % 3;
    input in{paths[pick], pick == 2 ? IMAGE_QOI : IMAGE_PNG, (data[0] >> 2) & 1, data + 1, size - 1};
    image_header header;
    if (inspect_image(in.bytes, int64_t(in.size), in.format, &header) && image_pixels(header) > FUZZ_MAX_PIXELS)
        return 0;
    cart_fuzz::fresh_file_table();
    set_current_process(proc);
    ram_file* f = pfopen(in.path, "w");
    if (!f) abort();
    if (in.size) pfwrite(in.bytes, 1, int64_t(in.size), f);
    pfclose(f);
    script_fuzz::run_protected(proc, fetch_and_check, &in);
    pfile_reset();
    return 0;
}
