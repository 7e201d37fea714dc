// Loading of the media library by its soname and lookup of the functions the host layer
// calls; nothing links it, so a run that never needs it never maps it.
#define SDL_LIBRARY_NO_REDIRECT
#include "platform/sdl_library.h"

#include <cstdio>
#include <cstdlib>
#include <dlfcn.h>

#include "platform/host.h"

sdl_library sdl_lib;

namespace {

int32_t load_state = 0;  // 0 not tried, 1 loaded, -1 could not be loaded
char load_error[512];
const char* soname = SDL_LIBRARY_SONAME;

}  // namespace

bool sdl_library_load() {
    if (load_state != 0) return load_state > 0;
    load_state = -1;
    void* handle = dlopen(soname, RTLD_NOW | RTLD_LOCAL);
    if (!handle) {
        const char* why = dlerror();
        snprintf(load_error, sizeof(load_error), "could not load %s: %s", soname, why ? why : "?");
    } else {
        const char* missing = nullptr;
#define SDL_LIBRARY_LOOKUP(name)                                                   \
    sdl_lib.name##_entry = reinterpret_cast<decltype(&::name)>(dlsym(handle, #name)); \
    if (!sdl_lib.name##_entry && !missing) missing = #name;
        SDL_LIBRARY_FUNCTIONS(SDL_LIBRARY_LOOKUP)
#undef SDL_LIBRARY_LOOKUP
        if (missing) {
            snprintf(load_error, sizeof(load_error), "%s has no %s", soname, missing);
            dlclose(handle);
            sdl_lib = sdl_library{};
        } else {
            load_state = 1;
            sdl_lib.loaded = 1;
            return true;
        }
    }
    snprintf(velt_debug_string, sizeof(velt_debug_string), "** %s\n", load_error);
    velt_debug(velt_debug_string);
    return false;
}

const char* sdl_library_error() { return load_error; }

void sdl_library_use_soname(const char* name) {
    if (load_state == 0 && name) soname = name;
}

sdl_library* sdl_library_needed() {
    if (!sdl_library_load()) {
        fprintf(stderr, "orvalune: %s\n", load_error);
        exit(1);
    }
    return &sdl_lib;
}
