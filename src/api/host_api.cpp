// Script functions of the host: the clipboard and the host "open" command, registered in every
// new script state.
#include <cstring>

#include "base/pbuffer.h"
#include "kernel/api.h"
#include "lua.h"
#include "platform/host.h"

namespace {

int lua54_req_host_clipboard_text(lua_State*)
{
    return 0;
}

int lua54_get_host_clipboard_text(lua_State* L)
{
    pbuffer* out = os_get_clipboard_text();
    if (out && out->length > 0)
        push_bytes_then_destroy(L, out->data, (size_t)out->length, out);
    else {
        destroy_buffer(out);
        lua_pushliteral(L, "");
    }
    return 1;
}

int lua54_set_host_clipboard_text(lua_State* L)
{
    if (!lua_isstring(L, 1)) return 0;
    const char* text = lua_tostring(L, 1);
    os_set_clipboard_text(text);
    return 0;
}

int lua54_open_host_path(lua_State* L)
{
    if (!lua_isstring(L, 1)) return 0;
    const char* path = lua_tostring(L, 1);
    if (strncmp(path, "https:", 6) == 0) {
        open_host_file(path);
        return 0;
    }
    if (!velt_resolve_to_origin) return 0;
    uint32_t kind = 0;
    pbuffer* origin = velt_resolve_to_origin(path, &kind);
    if (kind == 1 && origin && origin->length > 0) open_host_file(to_cstr(origin));
    destroy_buffer(origin);
    return 0;
}

}  // namespace

void os_add_public_c_functions(lua_State* L)
{
    lua_register(L, "_req_host_clipboard_text", api_guarded<lua54_req_host_clipboard_text>);
    lua_register(L, "_get_host_clipboard_text", api_guarded<lua54_get_host_clipboard_text>);
    lua_register(L, "_set_host_clipboard_text", api_guarded<lua54_set_host_clipboard_text>);
    lua_register(L, "_open_host_path", api_guarded<lua54_open_host_path>);
}
