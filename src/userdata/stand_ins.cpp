// Placeholder for the typed-array method table until it lands.
#include "userdata/userdata.h"

void add_userdata_metatable_functions(lua_State*) {}
