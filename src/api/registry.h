// The script API registry: every global function of a new process's script state, and the
// registration of the families that keep their own lists.
#pragma once

struct lua_State;

// Sets every global function of the script API in a new script state.
void api_add_c_functions(lua_State* L);
// Visits every registered name with its function, in registration order.
void api_for_each_function(void (*visit)(const char* name, int (*fn)(lua_State*), void* ctx), void* ctx);
// Registers _req_host_clipboard_text, _get_host_clipboard_text,
// _set_host_clipboard_text and _open_host_path in a new script state.
void os_add_public_c_functions(lua_State* L);
// Builds the USERDATA method table of a new script state and sets it as that global.
void add_userdata_metatable_functions(lua_State* L);
