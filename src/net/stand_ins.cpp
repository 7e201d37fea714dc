// Placeholders for sockets and fetch jobs until they land: no socket functions
// and no downloads.
#include "net/gurl.h"
#include "net/sockets.h"

void sockets_init() {}
void sockets_exit() {}
void update_all_sockets() {}
void delete_sockets_by_process(int64_t) {}
void socket_add_public_c_functions(lua_State*) {}
void gurl_update() {}

int32_t count_sockets(int64_t) { return 0; }
int32_t count_sockbufs(int64_t) { return 0; }
