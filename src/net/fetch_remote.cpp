// The script side of downloads: starting a job, polling its result, and the completion
// hook that runs on the job's worker thread.
#include <cstdio>
#include <cstring>

#include "kernel/app.h"
#include "kernel/pbuffer.h"
#include "lua.h"
#include "net/gurl.h"
#include "storage/file_api.h"

namespace {

constexpr uint64_t PNG_MIN_BYTES = 512;

int push_failure(lua_State* L, const char* message) {
    lua_pushnil(L);
    lua_pushnil(L);
    lua_pushstring(L, message);
    return 3;
}

}  // namespace

// This build knows no cartridge or web host of its own, so no download is ever kept in the
// cartridge cache: a PNG download is only reported.
void gurl_cb(gurl_job* job) {
    if (!job || job->state.load(std::memory_order_acquire) != GURL_DONE) return;
    const gurl_buffer* body = job->body;
    if (!body || body->length < PNG_MIN_BYTES || memcmp(body->data + 1, "PNG", 3) != 0) return;
    printf("** gurl_cb: ignoring invalid png download %s\n", job->url ? reinterpret_cast<const char*>(job->url->data) : "");
}

int lua54_fetch_remote(lua_State* L) {
    if (!config.network_access) {
        lua_pushnil(L);
        lua_pushstring(L, "no network access");
        return 2;
    }
    size_t length = 0;
    const char* url = lua_type(L, 1) == LUA_TSTRING ? lua_tolstring(L, 1, &length) : nullptr;
    lua_pushinteger(L, gurl_get(url, length, nullptr, gurl_cb));
    return 1;
}

int lua54_fetch_remote_result(lua_State* L) {
    if (!config.network_access) return push_failure(L, "no network access");
    int isnum = 0;
    const lua_Integer id = lua_tointegerx(L, 1, &isnum);
    gurl_job* job = isnum ? gurl_get_job(id) : nullptr;
    if (!job) return push_failure(L, "job not found");
    const uint32_t state = job->state.load(std::memory_order_acquire);
    if (state == GURL_FAILED) return push_failure(L, "could not download");
    if (state != GURL_DONE) return 0;
    // The finished body is no longer written and is freed only by the main loop, so it is
    // read in place.
    pbuffer bytes;
    bytes.capacity = job->body->capacity;
    bytes.data = job->body->data;
    bytes.tag = -1;
    bytes.length = int32_t(job->body->length);
    bytes.cursor = 0;
    return unmox_from_fetched_buffer(L, &bytes, reinterpret_cast<const char*>(job->url->data), 0);
}
