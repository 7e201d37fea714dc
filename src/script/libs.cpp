// The standard libraries that every process's script state gets.
#include "script/libs.h"

#include "lauxlib.h"
#include "lua.h"
#include "lualib.h"

// The dialect's luaL_openlibs opens exactly the process set: base, coroutine, table,
// string, math, utf8 and debug, in that order, each as a global of its name.
void open_process_libraries(lua_State* L) { luaL_openlibs(L); }
