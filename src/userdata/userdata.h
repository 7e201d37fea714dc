// Typed arrays: the array record shared by images, maps, vectors and buffers,
// its constructors and text forms, and the one method table every array uses.
#pragma once
#include <cstdint>

struct lua_State;

struct userdata_header {
    uint8_t type;
    uint8_t dimensions;
    uint8_t pad[2];
    uint32_t width;
    uint32_t height;
    uint32_t reserved;
};

void add_userdata_metatable_functions(lua_State* L);
