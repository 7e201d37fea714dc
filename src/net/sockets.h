// TCP and UDP sockets for script processes: non-blocking, polled once a frame
// on the main thread, closed with the process that owns them.
#pragma once
#include <cstdint>

struct lua_State;

void sockets_init();
void sockets_exit();
void update_all_sockets();
void delete_sockets_by_process(int64_t process_id);
void socket_add_public_c_functions(lua_State* L);

// How long a create call waits for a host-name lookup before the socket goes on connecting
// without it (microseconds; tests set -1, which leaves every lookup to go on beside it).
extern int socket_resolve_wait_us;

// Sockets, and UDP per-sender queues, owned by process pid; all of them for pid 0.
int32_t count_sockets(int64_t pid);
int32_t count_sockbufs(int64_t pid);
