// The standard libraries that every process's script state gets.
// The dialect leaves out io, os and package and the functions that reach the host.
#pragma once

struct lua_State;

void open_process_libraries(lua_State* L);
