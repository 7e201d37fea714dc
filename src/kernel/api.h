// The script API registry: every global function that a new process's script state gets,
// and the small helpers that script functions share.
#pragma once
#include <cstdint>

struct lua_State;

void api_add_c_functions(lua_State* L);
int64_t q64_intp(lua_State* L, int index, int64_t dflt);
