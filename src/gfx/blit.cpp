// Rectangle copies between typed arrays of one element type, clipped to both arrays (and to the
// clip when the destination is the draw target), and the blit script function and method.
#include <algorithm>
#include <cstring>

#include "gfx/sprites.h"
#include "kernel/api.h"
#include "kernel/process.h"
#include "kernel/slice.h"
#include "lua.h"
#include "userdata/userdata.h"

int64_t blit(const userdata_header* src, userdata_header* dst, int64_t sx, int64_t sy, int64_t dx, int64_t dy,
             int64_t w, int64_t h, int64_t clip_x0, int64_t clip_y0, int64_t clip_x1, int64_t clip_y1) {
    if (!src || !dst || (src->type & 31) != (dst->type & 31) || w < 1 || h < 1) return 0;
    if (clip_x0 < 0) kernel_assert_failed("CLIP_L >= 0", "gfx", __LINE__, "blit");
    if (clip_y0 < 0) kernel_assert_failed("CLIP_T >= 0", "gfx", __LINE__, "blit");
    if (clip_x1 > int64_t(dst->width)) kernel_assert_failed("CLIP_R <= dest->width", "gfx", __LINE__, "blit");
    if (clip_y1 > int64_t(dst->height)) kernel_assert_failed("CLIP_B <= dest->height", "gfx", __LINE__, "blit");
    // The destination within the clip, then the source within its array.
    if (dx < clip_x0) {
        sx += clip_x0 - dx;
        w -= clip_x0 - dx;
        dx = clip_x0;
    }
    if (dy < clip_y0) {
        sy += clip_y0 - dy;
        h -= clip_y0 - dy;
        dy = clip_y0;
    }
    w = std::min(w, clip_x1 - dx);
    h = std::min(h, clip_y1 - dy);
    if (sx < 0) {
        dx -= sx;
        w += sx;
        sx = 0;
    }
    if (sy < 0) {
        dy -= sy;
        h += sy;
        sy = 0;
    }
    w = std::min(w, int64_t(src->width) - sx);
    h = std::min(h, int64_t(src->height) - sy);
    if (w < 1 || h < 1) return 0;

    int64_t size = userdata_element_size(src->type & 31);
    int64_t src_pitch = int64_t(src->width) * size, dst_pitch = int64_t(dst->width) * size;
    const uint8_t* from = userdata_data(src) + sy * src_pitch + sx * size;
    uint8_t* to = userdata_data(dst) + dy * dst_pitch + dx * size;
    size_t row = size_t(w * size);
    bool same = src == dst;
    // Within one array a lower destination takes its rows from the bottom up, so no source row
    // is overwritten before it is read; memmove takes care of rows that overlap themselves.
    if (same && dy > sy) {
        for (int64_t j = h - 1; j >= 0; j--) memmove(to + j * dst_pitch, from + j * src_pitch, row);
    } else {
        for (int64_t j = 0; j < h; j++) memmove(to + j * dst_pitch, from + j * src_pitch, row);
    }
    if (same && dy == sy && std::max(dx, sx) < std::min(dx, sx) + w) return h * (4 * w + 256);
    return h * (w + 64);
}

namespace {

constexpr int64_t ARG_LIMIT = int64_t(1) << 40;

inline int64_t arg_int(lua_State* L, int i, int64_t dflt) {
    return std::clamp(q64_intp(L, i, dflt), -ARG_LIMIT, ARG_LIMIT);
}

}  // namespace

int lua54_blit(lua_State* L) {
    process_record* rec = cproc;
    userdata_header* target = rec ? rec->draw_target : nullptr;
    const userdata_header* src = lua_isnoneornil(L, 1) ? target : to_userdata(L, 1);
    userdata_header* dst = lua_isnoneornil(L, 2) ? target : to_userdata(L, 2);
    if (!src || !dst) return 0;
    int64_t sx = arg_int(L, 3, 0), sy = arg_int(L, 4, 0), dx = arg_int(L, 5, 0), dy = arg_int(L, 6, 0);
    int64_t w = arg_int(L, 7, src->width), h = arg_int(L, 8, src->height);
    // The draw target is clipped by the clip; any other array only by its own edges.
    int64_t x0 = 0, y0 = 0, x1 = dst->width, y1 = dst->height;
    if (rec && dst == target) {
        refresh_clip_cache(rec);
        x0 = rec->clip.x0;
        y0 = rec->clip.y0;
        x1 = rec->clip.x1;
        y1 = rec->clip.y1;
    }
    int64_t cost = blit(src, dst, sx, sy, dx, dy, w, h, x0, y0, x1, y1);
    if (cost > 0) spend_cpu(cost / 64);
    return 0;
}
