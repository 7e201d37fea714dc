// The script side of downloads: starting a job, polling its result, and the completion
// hook that runs on the job's worker thread.
#include <cstdio>
#include <cstring>

#include "base/machine.h"
#include "base/pbuffer.h"
#include "kernel/process.h"
#include "lua.h"
#include "net/gurl.h"
#include "storage/file_api.h"

namespace {

constexpr uint64_t PNG_MIN_BYTES = 512;
constexpr const char* NO_NETWORK = "no network access";

// A sandbox reaches no network, so for it downloads are as off as with the setting.
bool downloads_allowed() { return config.network_access && !(cproc && cproc->sandboxed); }

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

// A download's body counts against the memory limit of the process that started it.
int lua54_fetch_remote(lua_State* L) {
    if (!downloads_allowed()) {
        lua_pushnil(L);
        lua_pushstring(L, NO_NETWORK);
        return 2;
    }
    size_t length = 0;
    const char* url = lua_type(L, 1) == LUA_TSTRING ? lua_tolstring(L, 1, &length) : nullptr;
    gurl_account* account = gurl_account_for(cproc);
    lua_pushinteger(L, url && account ? gurl_get(url, length, nullptr, gurl_cb, account) : -1);
    return 1;
}

int lua54_fetch_remote_result(lua_State* L) {
    if (!downloads_allowed()) return push_failure(L, NO_NETWORK);
    int isnum = 0;
    const lua_Integer id = lua_tointegerx(L, 1, &isnum);
    gurl_job* job = isnum ? gurl_get_job(id) : nullptr;
    // A process sees only its own downloads.
    if (!job || !job->account || !cproc || job->account->owner != cproc->id) return push_failure(L, "job not found");
    const uint32_t state = job->state.load(std::memory_order_acquire);
    if (state == GURL_FAILED)
        return push_failure(L, job->over_room.load(std::memory_order_relaxed) ? "download too large for the memory limit"
                                                                              : "could not download");
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
