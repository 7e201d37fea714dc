// Helpers shared by the tests: running script code in a process's state and reading back
// its results as one line of text.
#pragma once
#include <string>

#include "lauxlib.h"
#include "lua.h"

// Evaluates an expression list in L and returns its results joined by spaces (floats with
// %.17g, everything else through tostring), or "error: " and the message.
inline std::string run_script(lua_State* L, const std::string& code) {
    int top = lua_gettop(L);
    std::string wrapped =
        "local r = table.pack(" + code +
        ") local o = {} for i = 1, r.n do o[i] = math.type(r[i]) == 'float' and string.format('%.17g', r[i]) "
        "or tostring(r[i]) end return table.concat(o, ' ')";
    std::string out;
    if (luaL_loadstring(L, wrapped.c_str()) != LUA_OK || lua_pcall(L, 0, 1, 0) != LUA_OK) {
        out = std::string("error: ") + lua_tostring(L, -1);
    } else {
        out = lua_tostring(L, -1);
    }
    lua_settop(L, top);
    return out;
}

// --- Storage tests: a fresh application-data folder with its drive, and host/virtual file
// helpers shared by the file-system, cartridge and file-function tests.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <optional>
#include <vector>

#include "app/app.h"
#include "base/machine.h"
#include "kernel/process.h"
#include "storage/pdisk.h"

namespace drive_test {

inline std::string str(const pbuffer* b) {
    return b ? std::string(reinterpret_cast<const char*>(b->data), size_t(b->length)) : "<null>";
}

inline void host_put(const std::string& p, const std::string& bytes) {
    FILE* f = fopen(p.c_str(), "wb");
    ASSERT_NE(f, nullptr) << p;
    fwrite(bytes.data(), 1, bytes.size(), f);
    fclose(f);
}

inline std::optional<std::string> host_get(const std::string& p) {
    FILE* f = fopen(p.c_str(), "rb");
    if (!f) return std::nullopt;
    std::string s;
    char chunk[4096];
    for (size_t n; (n = fread(chunk, 1, sizeof chunk, f)) > 0;) s.append(chunk, n);
    fclose(f);
    return s;
}

// The names in a host folder, sorted, without "." and "..".
inline std::vector<std::string> host_names(const std::string& dir) {
    std::vector<std::string> out;
    if (DIR* d = opendir(dir.c_str())) {
        while (dirent* e = readdir(d))
            if (strcmp(e->d_name, ".") && strcmp(e->d_name, "..")) out.push_back(e->d_name);
        closedir(d);
    }
    std::sort(out.begin(), out.end());
    return out;
}

// Writes a whole virtual file through a handle; true when the close reports success.
inline bool put(const std::string& path, const std::string& text, const char* mode = "w") {
    ram_file* f = pfopen(path.c_str(), mode);
    if (!f) return false;
    if (!text.empty()) pfwrite(text.data(), 1, int64_t(text.size()), f);
    return pfclose(f) == 0;
}

inline std::optional<std::string> get(const std::string& path, const char* mode = "r") {
    ram_file* f = pfopen(path.c_str(), mode);
    if (!f) return std::nullopt;
    std::string s = str(f->contents);
    pfclose(f);
    return s;
}

inline pmount* mount_at(const char* mount_point) {
    for (int32_t i = 0; i < pmounts; i++)
        if (strcmp(reinterpret_cast<const char*>(pmount_table[i].mount_point->data), mount_point) == 0)
            return &pmount_table[i];
    return nullptr;
}

// Each test gets a new application-data folder under HOME whose default configuration mounts
// its "drive" folder at "/", with ram folders at /ram and /system; the folder goes afterwards.
struct temp_drive : testing::Test {
    std::string home, drive;
    char saved_home[sizeof(config.home_folder)];
    process_record* saved_cproc = nullptr;

    void SetUp() override {
        memcpy(saved_home, config.home_folder, sizeof saved_home);
        saved_cproc = cproc;
        std::string tmpl = std::string(getenv("HOME")) + "/drive_XXXXXX";
        std::vector<char> t(tmpl.begin(), tmpl.end());
        t.push_back(0);
        ASSERT_NE(mkdtemp(t.data()), nullptr);
        home = t.data();
        drive = home + "/drive";
        snprintf(config.home_folder, sizeof(config.home_folder), "%s", home.c_str());
        app.exclusive_process = 0;
        cproc = nullptr;
        pfile_init();
        pfile_reset();
        mount_ram_folder("/ram");
        process_config();
        mount_ram_folder("/system");
    }

    void TearDown() override {
        pfile_reset();
        ram_file_limit = RAM_FILE_LIMIT_DEFAULT;
        cproc = saved_cproc;
        app.exclusive_process = 0;
        memcpy(config.home_folder, saved_home, sizeof saved_home);
        if (!home.empty() && system(("rm -rf '" + home + "'").c_str()) != 0) ADD_FAILURE() << "left " << home;
    }
};

// A test process, "/apps/test.lua", made current on a fresh drive with the default settings.
struct process_on_drive : temp_drive {
    process_record* p = nullptr;
    app_config saved_config;

    void SetUp() override {
        saved_config = config;
        processes_init();
        set_default_config();
        memset(&app, 0, sizeof(app));
        temp_drive::SetUp();
        p = create_process_from_code("", "test", "/apps/test.lua", "");
        ASSERT_NE(p, nullptr);
        set_current_process(p);
    }

    void TearDown() override {
        processes_init();
        temp_drive::TearDown();
        memset(&app, 0, sizeof(app));
        config = saved_config;
    }
};

}  // namespace drive_test

// --- Script cases: each {code, expected} pair checked through a runner, the code named on
// failure; and statements run for their error alone.
#include <gtest/gtest.h>

#include <utility>
#include <vector>

using script_cases = std::vector<std::pair<std::string, std::string>>;

template <typename Run>
inline void expect_each(Run&& run, const script_cases& cases) {
    for (const auto& [code, want] : cases) EXPECT_EQ(run(code), want) << code;
}

// Runs statements in L: "" when they finish, else the error message.
extern "C" int32_t cpu_cycles;
inline std::string exec_script(lua_State* L, const std::string& code) {
    std::string err;
    cpu_cycles = 0;  // each chunk starts a fresh count, as a slice would
    if (luaL_loadstring(L, code.c_str()) != LUA_OK || lua_pcall(L, 0, 0, 0) != LUA_OK) {
        err = lua_tostring(L, -1);
        lua_pop(L, 1);
    }
    return err;
}

// --- Stress mode: a chunk compiled as "=x" in text mode and run on a new thread of L as the
// kernel runs a process, resumed with no arguments in slices of `budget` cycles until it ends,
// with a full collection now and then between slices. Its results, or its error message (or
// the compile error), are left on L's stack; returns the final status.
#include "kernel/slice.h"

inline int run_in_slices(lua_State* L, const std::string& code, int32_t budget) {
    const int32_t saved[3] = {cpu_cycles, cpu_cycles_max, cpu_superyielding};
    int top = lua_gettop(L);
    lua_State* th = lua_newthread(L);
    int status = luaL_loadbufferx(th, code.data(), code.size(), "=x", "t");
    for (long slices = 0; status == LUA_OK; slices++) {
        if (slices == 20000000) {
            lua_settop(L, top);
            lua_pushstring(L, "too many slices");
            return LUA_ERRRUN;
        }
        cpu_cycles = 0;
        cpu_cycles_max = budget;
        cpu_superyielding = 0;
        int results = 0;
        status = lua_resume(th, L, 0, &results);
        if (status != LUA_YIELD) break;
        lua_pop(th, results);
        if (slices % 251 == 250) lua_gc(L, LUA_GCCOLLECT);
        status = LUA_OK;
    }
    cpu_cycles = saved[0];
    cpu_cycles_max = saved[1];
    cpu_superyielding = saved[2];
    int n = status == LUA_OK ? lua_gettop(th) : 1;
    if (!lua_checkstack(L, n)) {
        lua_settop(L, top);
        lua_pushstring(L, "too many results");
        return LUA_ERRRUN;
    }
    lua_xmove(th, L, n);
    lua_remove(L, top + 1);
    return status;
}

// --- Audio: channels that sound as far as the kernel can tell (bit c: channel c's note is on
// with an instrument; the others have none), without rendering anything.
#include "audio/mudo.h"

inline void set_playing_channels(uint32_t bits) {
    for (int c = 0; c < MUDO_CHANNELS; c++) {
        mixer.channels[c].track_active = 0;
        mixer.channels[c].note_on = bits >> c & 1;
        mixer.channels[c].instrument = bits >> c & 1 ? 0 : MUDO_NO_INSTRUMENT;
    }
}
