// The standard libraries that every process's script state gets.
// The dialect leaves out io, os and package and the functions that reach the host.
#pragma once

struct lua_State;

// Opens base, coroutine, table, string, math, utf8 and debug, in that order. The base
// library has `tonum` and no dofile, loadfile, load or xpcall (the kernel registers its
// own `load` on top of luaB_load from lualib.h); the table library has no sort and
// charges the running slice; the string library has no dump.
void open_process_libraries(lua_State* L);
