// TCP and UDP sockets for script processes: a compact table of sockets, the per-sender
// datagram queues of UDP listeners, and the seven script functions.
#include "net/sockets.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <pthread.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <new>

#include "kernel/api.h"
#include "base/machine.h"
#include "base/pbuffer.h"
#include "kernel/process.h"
#include "kernel/slice.h"
#include "lua.h"
#include "platform/host.h"

int socket_resolve_wait_us = 10000;

namespace {

constexpr int MAX_SOCKETS = 512;
constexpr int MAX_SOCKBUFS = 512;
constexpr size_t ADDRESS_MAX = 512;           // longest TCP address text a script may give
constexpr size_t ADDRESS_FIELD = 1024;        // address text kept in a socket record
constexpr int32_t QUEUE_LIMIT = 65536;        // a sender's queue always stays below this
constexpr int64_t QUEUE_INITIAL = 512;
constexpr int32_t SOCKBUF_TAG = 121;
constexpr int IN_BUF_SIZE = 65536;
constexpr int DATAGRAM_MAX = 65535;
constexpr int DATAGRAMS_PER_FRAME = 1024;     // per listener, so that a flood cannot stall a frame
constexpr int RESOLVE_TIMEOUT_MS = 5000;      // a name lookup goes on beside its socket this long
constexpr size_t HOST_NAME_LIMIT = 253;     // the longest name a resolver can answer
constexpr int MAX_LOOKUPS = 16;               // name lookups running at once

// Cycle charges. The host's own work in a socket call (system calls, the loopback stack, a
// crowded port range, the log) varies far more than any fixed price, so each call pays for the
// host time it took, at a frame's budget (279,620 cycles) per millisecond, and at least its base.
constexpr int64_t CALL_CYCLES = 300;
constexpr int64_t CREATE_CYCLES = 3000;
constexpr int64_t CYCLES_PER_US = 280;

enum socket_kind : uint32_t { KIND_UDP = 1, KIND_TCP = 2 };
enum socket_state : uint32_t {
    STATE_READY = 0,
    STATE_LISTENING = 1,
    STATE_CLOSED = 2,
    STATE_CLOSED_BY_PEER = 3,
    STATE_DISCONNECTED = 4,
    STATE_CONNECTING = 5,  // a client whose name lookup or connection is still on its way
};

struct lookup_request;

struct socket_record {
    uint32_t id;
    int64_t owner;
    uint32_t kind;
    uint32_t state;
    int32_t fd;            // own descriptor, -1 when none
    int32_t parent_fd;     // UDP child: its listener's descriptor while that is open
    uint32_t parent_id;    // UDP child: its listener's socket id
    uint32_t queue_handle; // UDP child: its queue; 0 for every other socket
    uint32_t port;
    char address[ADDRESS_FIELD];
    sockaddr_storage peer;
    socklen_t peer_length;
    lookup_request* lookup;  // a client's name lookup while it runs, else null
    int64_t lookup_deadline_ms;
};

struct sockbuf_record {
    char sender[NI_MAXHOST];
    sockaddr_storage sender_address;
    socklen_t sender_length;
    uint32_t sender_port;
    uint32_t handle;       // 0 until accepted
    uint32_t listener_id;  // the UDP listener that received the datagrams
    pbuffer* queue;
    int64_t owner;
};

socket_record sockdat[MAX_SOCKETS];
int32_t socket_count = 0;
uint32_t next_socket_id = 1;

sockbuf_record sockbuf[MAX_SOCKBUFS];
int32_t sockbuf_count = 0;
uint32_t next_queue_handle = 1;

uint8_t in_buf[IN_BUF_SIZE];

// --- logging and results ----------------------------------------------------------------

void log_event(int fd, int64_t id, const char* text) {
    char line[256];
    snprintf(line, sizeof line, "[socket] fd:%d (%d) %s\n", fd, int(id), text);
    velt_debug(line);
}

int push_error(lua_State* L, const char* message) {
    char line[320];
    snprintf(line, sizeof line, "socket error: %s\n", message);
    velt_debug(line);
    lua_pushnil(L);
    lua_pushstring(L, message);
    return 2;
}

// --- the tables -------------------------------------------------------------------------------

int64_t current_owner() { return cproc ? cproc->id : 0; }

// The socket with this id, when the running process created it: a process reaches no other's
// sockets, whatever id it names.
socket_record* find_socket(uint32_t id) {
    if (id == 0) return nullptr;
    const int64_t owner = current_owner();
    for (int i = 0; i < socket_count; i++)
        if (sockdat[i].id == id) return sockdat[i].owner == owner ? &sockdat[i] : nullptr;
    return nullptr;
}

int socket_index(const socket_record* rec) { return int(rec - sockdat); }

socket_record* add_socket(uint32_t kind, uint32_t state, int fd, uint32_t port, const char* address) {
    if (socket_count >= MAX_SOCKETS) return nullptr;
    socket_record* rec = &sockdat[socket_count++];
    memset(rec, 0, sizeof *rec);
    rec->id = next_socket_id++;
    rec->owner = current_owner();
    rec->kind = kind;
    rec->state = state;
    rec->fd = fd;
    rec->parent_fd = -1;
    rec->port = port;
    snprintf(rec->address, sizeof rec->address, "%s", address ? address : "");
    return rec;
}

void remove_socket_at(int index) {
    if (index < 0 || index >= socket_count) return;
    memmove(&sockdat[index], &sockdat[index + 1], sizeof(socket_record) * size_t(socket_count - index - 1));
    socket_count--;
}

sockbuf_record* find_queue_by_handle(uint32_t handle) {
    if (handle == 0) return nullptr;
    for (int i = 0; i < sockbuf_count; i++)
        if (sockbuf[i].handle == handle) return &sockbuf[i];
    return nullptr;
}

void remove_queue_at(int index) {
    if (index < 0 || index >= sockbuf_count) return;
    destroy_buffer(sockbuf[index].queue);
    memmove(&sockbuf[index], &sockbuf[index + 1], sizeof(sockbuf_record) * size_t(sockbuf_count - index - 1));
    sockbuf_count--;
}

void remove_queue_by_handle(uint32_t handle) {
    if (sockbuf_record* q = find_queue_by_handle(handle)) remove_queue_at(int(q - sockbuf));
}

// Queues of a listener that no child has taken yet: nobody can reach them once it closes.
void remove_unaccepted_queues(uint32_t listener_id) {
    for (int i = sockbuf_count - 1; i >= 0; i--)
        if (sockbuf[i].listener_id == listener_id && sockbuf[i].handle == 0) remove_queue_at(i);
}

void release_lookup(lookup_request* r);

void close_descriptor(socket_record* rec) {
    if (rec->lookup) {
        release_lookup(rec->lookup);
        rec->lookup = nullptr;
    }
    if (rec->fd < 0) return;
    log_event(rec->fd, rec->id, "closing");
    close(rec->fd);
    rec->fd = -1;
}

bool is_udp_child(const socket_record* rec) { return rec->kind == KIND_UDP && rec->queue_handle != 0; }

// Closes a socket and removes its record, with what hangs on it: a UDP listener's children
// lose their listener (they go at the end of the frame) and its unclaimed queues go now; a
// UDP child's queue goes with it.
void close_and_remove(int index) {
    socket_record* rec = &sockdat[index];
    if (is_udp_child(rec)) {
        remove_queue_by_handle(rec->queue_handle);
        log_event(rec->fd, rec->id, "closing udp child");
    } else if (rec->kind == KIND_UDP) {
        for (int i = 0; i < socket_count; i++)
            if (is_udp_child(&sockdat[i]) && sockdat[i].parent_id == rec->id) sockdat[i].parent_fd = -1;
        remove_unaccepted_queues(rec->id);
    }
    close_descriptor(rec);
    remove_socket_at(index);
}

// --- host socket helpers --------------------------------------------------------------------

void set_descriptor_options(int fd) {
    int on = 1, off = 0;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    setsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, &off, sizeof off);
    int flags = fcntl(fd, F_GETFL, 0);
    if (flags >= 0) fcntl(fd, F_SETFL, flags | O_NONBLOCK);
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
}

// The wildcard address of the socket's family with the port.
socklen_t wildcard_address(int family, uint32_t port, sockaddr_storage* out) {
    memset(out, 0, sizeof *out);
    if (family == AF_INET6) {
        sockaddr_in6* a = reinterpret_cast<sockaddr_in6*>(out);
        a->sin6_family = AF_INET6;
        a->sin6_addr = in6addr_any;
        a->sin6_port = htons(uint16_t(port));
        return sizeof(sockaddr_in6);
    }
    sockaddr_in* a = reinterpret_cast<sockaddr_in*>(out);
    a->sin_family = AF_INET;
    a->sin_addr.s_addr = htonl(INADDR_ANY);
    a->sin_port = htons(uint16_t(port));
    return sizeof(sockaddr_in);
}

// An IPv6 socket, or an IPv4 one on a host without IPv6; its family in *family.
int listener_descriptor(int type, int* family) {
    *family = AF_INET6;
    int fd = socket(AF_INET6, type | SOCK_CLOEXEC, 0);
    if (fd < 0 && (errno == EAFNOSUPPORT || errno == EPROTONOSUPPORT)) {
        *family = AF_INET;
        fd = socket(AF_INET, type | SOCK_CLOEXEC, 0);
    }
    return fd;
}

// Numeric text and port of a socket address.
void numeric_address(const sockaddr_storage* a, socklen_t length, char* text, size_t text_size, uint32_t* port) {
    text[0] = 0;
    char service[NI_MAXSERV];
    if (getnameinfo(reinterpret_cast<const sockaddr*>(a), length, text, socklen_t(text_size), service,
                    sizeof service, NI_NUMERICHOST | NI_NUMERICSERV) != 0) {
        text[0] = 0;
        service[0] = '0';
        service[1] = 0;
    }
    *port = uint32_t(strtoul(service, nullptr, 10));
}

int64_t now_ms() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::steady_clock::now().time_since_epoch()).count();
}

int64_t now_us() {
    return std::chrono::duration_cast<std::chrono::microseconds>(
               std::chrono::steady_clock::now().time_since_epoch()).count();
}

// A host-name lookup on a thread of its own: a slow resolver never holds the main thread. The
// create call waits a little for it; after that the socket stays connecting until the answer
// comes (or RESOLVE_TIMEOUT_MS passes). Whichever side lets go last frees the request.
struct lookup_request {
    char* host;
    char service[16];
    addrinfo hints;
    addrinfo* result;
    int rc;
    bool taken;
    std::atomic<bool> done;
    std::atomic<int> refs;
    std::mutex lock;
    std::condition_variable finished;
};

std::atomic<int> running_lookups{0};

void release_lookup(lookup_request* r) {
    if (r->refs.fetch_sub(1, std::memory_order_acq_rel) != 1) return;
    if (r->result && !r->taken) freeaddrinfo(r->result);
    free(r->host);
    delete r;
}

void* lookup_thread(void* arg) {
    lookup_request* r = static_cast<lookup_request*>(arg);
    addrinfo* result = nullptr;
    int rc = getaddrinfo(r->host, r->service, &r->hints, &result);
    {
        std::lock_guard<std::mutex> guard(r->lock);
        r->rc = rc;
        r->result = rc == 0 ? result : nullptr;
        r->done.store(true, std::memory_order_release);
    }
    r->finished.notify_one();
    running_lookups.fetch_sub(1, std::memory_order_relaxed);
    release_lookup(r);
    return nullptr;
}

// Takes a finished lookup's answer: its resolver code, and the addresses (the caller frees
// them) when it is 0. False while the lookup still runs.
bool take_lookup(lookup_request* r, int* rc, addrinfo** out) {
    if (!r->done.load(std::memory_order_acquire)) return false;
    std::lock_guard<std::mutex> guard(r->lock);
    *rc = r->rc;
    *out = r->result;
    r->taken = true;
    return true;
}

// Waits at most us microseconds for the lookup to finish.
void wait_for_lookup(lookup_request* r, int us) {
    std::unique_lock<std::mutex> guard(r->lock);
    r->finished.wait_for(guard, std::chrono::microseconds(us),
                         [r] { return r->done.load(std::memory_order_acquire); });
}

// getaddrinfo without holding the caller: numeric addresses at once (rc and *out set, true);
// names on a helper thread, in *pending, answered now when it is quick (true) or later (false,
// with *pending to be taken or released).
bool resolve(const char* host, const char* service, int socktype, int* rc, addrinfo** out,
             lookup_request** pending) {
    *out = nullptr;
    *pending = nullptr;
    addrinfo hints;
    memset(&hints, 0, sizeof hints);
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = socktype;
    hints.ai_flags = AI_NUMERICHOST;
    *rc = getaddrinfo(host, service, &hints, out);
    if (*rc != EAI_NONAME) return true;
    // No host name is longer than 253 characters: such a name is refused at once, the same
    // way however long the resolver would have taken to say so.
    if (strlen(host) > HOST_NAME_LIMIT) return true;
    hints.ai_flags = 0;
    *rc = EAI_AGAIN;  // too many lookups already running, or no thread for this one
    if (running_lookups.load(std::memory_order_relaxed) >= MAX_LOOKUPS) return true;

    lookup_request* r = new (std::nothrow) lookup_request();
    if (r) r->host = strdup(host);
    if (!r || !r->host) {
        delete r;
        *rc = EAI_MEMORY;
        return true;
    }
    snprintf(r->service, sizeof r->service, "%s", service);
    r->hints = hints;
    r->refs.store(2);
    running_lookups.fetch_add(1, std::memory_order_relaxed);
    pthread_t thread;
    pthread_attr_t attr;
    pthread_attr_init(&attr);
    pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
    const bool started = pthread_create(&thread, &attr, lookup_thread, r) == 0;
    pthread_attr_destroy(&attr);
    if (!started) {
        running_lookups.fetch_sub(1, std::memory_order_relaxed);
        free(r->host);
        delete r;
        return true;
    }
    if (socket_resolve_wait_us >= 0) wait_for_lookup(r, socket_resolve_wait_us);
    if (socket_resolve_wait_us >= 0 && take_lookup(r, rc, out)) {
        release_lookup(r);
        return true;
    }
    *pending = r;
    return false;
}

// Where a connection attempt stands.
enum connect_progress { CONNECT_DONE, CONNECT_WAITING, CONNECT_FAILED };

// Whether a connection started on fd has come through, without waiting; *err on failure.
connect_progress connect_result(int fd, int* err) {
    pollfd p = {fd, POLLOUT, 0};
    int n;
    do {
        n = poll(&p, 1, 0);
    } while (n < 0 && errno == EINTR);
    if (n == 0) return CONNECT_WAITING;
    if (n < 0) {
        *err = errno;
        return CONNECT_FAILED;
    }
    int e = 0;
    socklen_t len = sizeof e;
    if (getsockopt(fd, SOL_SOCKET, SO_ERROR, &e, &len) != 0) e = errno;
    if (e == 0 && !(p.revents & POLLOUT)) e = ECONNREFUSED;
    if (e == 0) return CONNECT_DONE;
    *err = e;
    return CONNECT_FAILED;
}

// Starts a connection to the first usable address, never waiting for one: the first that
// connects, or is still connecting, is taken. Its descriptor (-1 when none, with the last
// error in *err) and whether it is connected already; its address goes to peer.
int connect_first(addrinfo* results, bool* connected, sockaddr_storage* peer, socklen_t* peer_length, int* err) {
    *connected = false;
    *err = ECONNREFUSED;
    for (addrinfo* ai = results; ai; ai = ai->ai_next) {
        if (ai->ai_addrlen > sizeof *peer) continue;
        int fd = socket(ai->ai_family, ai->ai_socktype | SOCK_CLOEXEC | SOCK_NONBLOCK, ai->ai_protocol);
        if (fd < 0) {
            *err = errno;
            continue;
        }
        connect_progress progress = CONNECT_DONE;
        if (connect(fd, ai->ai_addr, ai->ai_addrlen) != 0) {
            if (errno == EINPROGRESS || errno == EAGAIN || errno == EINTR) {
                // A peer on this host answers at once: look before leaving it to later.
                progress = connect_result(fd, err);
            } else {
                *err = errno;
                progress = CONNECT_FAILED;
            }
        }
        if (progress == CONNECT_FAILED) {
            close(fd);
            continue;
        }
        memcpy(peer, ai->ai_addr, ai->ai_addrlen);
        *peer_length = ai->ai_addrlen;
        *connected = progress == CONNECT_DONE;
        return fd;
    }
    return -1;
}

// Gives a client record its descriptor, connected or on its way.
void attach_client_descriptor(socket_record* rec, int fd, bool connected, const sockaddr_storage* peer,
                              socklen_t peer_length) {
    rec->fd = fd;
    rec->state = connected ? STATE_READY : STATE_CONNECTING;
    set_descriptor_options(fd);
    if (rec->kind == KIND_UDP) {
        rec->peer = *peer;
        rec->peer_length = peer_length;
    }
    log_event(fd, rec->id, rec->kind == KIND_TCP ? "created tcp socket" : "created udp socket");
}

// A client that could not connect: disconnected after an error, so that it goes at the end of
// the frame. The message is logged as every socket error is.
void fail_connect(socket_record* rec, const char* message, char* out, size_t out_size) {
    close_descriptor(rec);
    rec->state = STATE_DISCONNECTED;
    snprintf(out, out_size, "%s", message);
    char line[320];
    snprintf(line, sizeof line, "socket error: %s\n", message);
    velt_debug(line);
}

// Moves a connecting client on: its name lookup, then its connection. True when it failed just
// now, with the message in out (already logged).
bool advance_connect(socket_record* rec, char* out, size_t out_size) {
    if (rec->state != STATE_CONNECTING) return false;
    if (rec->lookup) {
        int rc = 0;
        addrinfo* results = nullptr;
        if (!take_lookup(rec->lookup, &rc, &results)) {
            if (now_ms() < rec->lookup_deadline_ms) return false;
            rc = EAI_AGAIN;
        }
        release_lookup(rec->lookup);
        rec->lookup = nullptr;
        if (rc != 0) {
            if (results) freeaddrinfo(results);
            fail_connect(rec, gai_strerror(rc), out, out_size);
            return true;
        }
        bool connected = false;
        sockaddr_storage peer;
        socklen_t peer_length = 0;
        int err = 0;
        const int fd = connect_first(results, &connected, &peer, &peer_length, &err);
        freeaddrinfo(results);
        if (fd < 0) {
            char message[32];
            snprintf(message, sizeof message, "errno %d", err);
            fail_connect(rec, message, out, out_size);
            return true;
        }
        attach_client_descriptor(rec, fd, connected, &peer, peer_length);
        return false;
    }
    if (rec->fd < 0) return false;
    int err = 0;
    const connect_progress progress = connect_result(rec->fd, &err);
    if (progress == CONNECT_DONE) rec->state = STATE_READY;
    if (progress != CONNECT_FAILED) return false;
    char message[32];
    snprintf(message, sizeof message, "errno %d", err);
    fail_connect(rec, message, out, out_size);
    return true;
}

// --- script arguments -------------------------------------------------------------------------

// A socket id: an integer, or a number with an integral value; anything else reads as 0.
uint32_t id_arg(lua_State* L, int index) {
    int isnum = 0;
    lua_Integer v = lua_tointegerx(L, index, &isnum);
    return isnum && v > 0 && v <= lua_Integer(UINT32_MAX) ? uint32_t(v) : 0;
}

// The id of _close_socket: a number truncated toward zero.
uint32_t truncated_id_arg(lua_State* L, int index) {
    if (lua_isinteger(L, index)) return id_arg(L, index);
    if (!lua_isnumber(L, index)) return 0;
    double d = std::trunc(lua_tonumber(L, index));
    return d > 0 && d <= double(UINT32_MAX) ? uint32_t(d) : 0;
}

// --- creation -----------------------------------------------------------------------------------

int create_listener(lua_State* L, uint32_t kind, uint32_t port) {
    const bool tcp = kind == KIND_TCP;
    socket_record* rec = add_socket(kind, STATE_LISTENING, -1, port, "*");
    int family = AF_INET6;
    int fd = listener_descriptor(tcp ? SOCK_STREAM : SOCK_DGRAM, &family);
    if (fd < 0) {
        remove_socket_at(socket_index(rec));
        return push_error(L, tcp ? "could not create tcp listener" : "could not create udp listener");
    }
    set_descriptor_options(fd);
    sockaddr_storage any;
    socklen_t any_length = wildcard_address(family, port, &any);
    if (bind(fd, reinterpret_cast<sockaddr*>(&any), any_length) != 0) {
        close(fd);
        remove_socket_at(socket_index(rec));
        return push_error(L, tcp ? "could not bind to port" : "could not bind udp listener");
    }
    if (tcp && listen(fd, 64) != 0) {
        close(fd);
        remove_socket_at(socket_index(rec));
        return push_error(L, "could not listen()");
    }
    rec->fd = fd;
    if (!tcp) {
        rec->peer = any;
        rec->peer_length = any_length;
    }
    const uint32_t id = rec->id;
    log_event(fd, id, tcp ? "created tcp listener" : "created udp listener");
    lua_pushinteger(L, id);
    return 1;
}

// A client never waits for its peer: it is "ready" once connected, and until then reads and
// writes are refused as for a socket that is not ready.
int create_client(lua_State* L, uint32_t kind, uint32_t port, const char* address) {
    const bool tcp = kind == KIND_TCP;
    char service[16];
    snprintf(service, sizeof service, "%u", port);
    int rc = 0;
    addrinfo* results = nullptr;
    lookup_request* pending = nullptr;
    if (!resolve(address, service, tcp ? SOCK_STREAM : SOCK_DGRAM, &rc, &results, &pending)) {
        socket_record* rec = add_socket(kind, STATE_CONNECTING, -1, port, address);
        rec->lookup = pending;
        rec->lookup_deadline_ms = now_ms() + RESOLVE_TIMEOUT_MS;
        lua_pushinteger(L, rec->id);
        return 1;
    }
    if (rc != 0) {
        if (results) freeaddrinfo(results);
        char message[256];
        snprintf(message, sizeof message, "%s", gai_strerror(rc));
        return push_error(L, message);
    }
    bool connected = false;
    sockaddr_storage peer;
    socklen_t peer_length = 0;
    int err = 0;
    const int fd = connect_first(results, &connected, &peer, &peer_length, &err);
    freeaddrinfo(results);
    if (fd < 0) return 0;
    socket_record* rec = add_socket(kind, STATE_CONNECTING, -1, port, address);
    attach_client_descriptor(rec, fd, connected, &peer, peer_length);
    lua_pushinteger(L, rec->id);
    return 1;
}

int create_socket(lua_State* L, uint32_t kind) {
    int isnum = 0;
    lua_Integer port = lua_tointegerx(L, 1, &isnum);
    if (!isnum) port = 0;
    size_t length = 0;
    const char* text = lua_type(L, 2) == LUA_TSTRING ? lua_tolstring(L, 2, &length) : nullptr;
    // Only a TCP address has a length limit; any other comes to the resolver.
    if (port < 1 || port > 65535 || !text || (kind == KIND_TCP && length > ADDRESS_MAX) || strlen(text) != length)
        return push_error(L, "bad port or address");
    if (!config.network_access) return push_error(L, "orvalune network is disabled");
    if (socket_count >= MAX_SOCKETS) return push_error(L, "too many sockets");
    // A sandbox reaches no network at all.
    if (cproc && cproc->sandboxed)
        return push_error(L, text[0] == '*' ? "can not create listener while sandboxed"
                                            : "can not create socket while sandboxed");
    // The text stays on the stack for the whole call.
    if (strcmp(text, "*") == 0) return create_listener(L, kind, uint32_t(port));
    return create_client(L, kind, uint32_t(port), text);
}

int lua_create_tcp_socket(lua_State* L) { return create_socket(L, KIND_TCP); }
int lua_create_udp_socket(lua_State* L) { return create_socket(L, KIND_UDP); }

// --- reading, writing, accepting --------------------------------------------------------------

// After a failed receive or send: errors that end the connection close the descriptor.
int error_rule(lua_State* L, socket_record* rec, int err) {
    if (rec->fd < 0 && rec->parent_fd < 0) return 0;
    if (err == EPIPE || err == ECONNRESET || err == ETIMEDOUT || err == EBADF || err == EHOSTUNREACH) {
        log_event(rec->fd, rec->id, "disconnecting..");
        close_descriptor(rec);
        rec->state = STATE_DISCONNECTED;
    }
    char message[32];
    snprintf(message, sizeof message, "errno %d", err);
    return push_error(L, message);
}

// A connecting client moves on first; when it fails just now, the failure is the result.
bool connect_failed_now(socket_record* rec, char* message, size_t size) {
    return rec->state == STATE_CONNECTING && advance_connect(rec, message, size);
}

int push_failure(lua_State* L, const char* message) {
    lua_pushnil(L);
    lua_pushstring(L, message);
    return 2;
}

int lua_accept_socket(lua_State* L) {
    socket_record* listener = find_socket(id_arg(L, 1));
    if (!listener || !config.network_access) return 0;
    if (socket_count >= MAX_SOCKETS) return push_error(L, "too many sockets");
    if (listener->state != STATE_LISTENING) return push_error(L, "socket is not listening");
    const uint32_t listener_id = listener->id;

    if (listener->kind == KIND_TCP) {
        sockaddr_storage from;
        socklen_t from_length = sizeof from;
        int fd = accept4(listener->fd, reinterpret_cast<sockaddr*>(&from), &from_length, SOCK_CLOEXEC);
        if (fd < 0) return 0;
        for (int i = 0; i < socket_count; i++) {
            if (sockdat[i].fd == fd && !is_udp_child(&sockdat[i])) {
                log_event(fd, -1, "** accept() declined because descriptor already exists in collection");
                close(fd);
                return 0;
            }
        }
        char text[NI_MAXHOST];
        uint32_t peer_port = 0;
        numeric_address(&from, from_length, text, sizeof text, &peer_port);
        socket_record* rec = add_socket(KIND_TCP, STATE_READY, fd, listener->port, text);
        set_descriptor_options(fd);
        const uint32_t id = rec->id;
        log_event(fd, id, "accepted tcp socket");
        lua_pushnumber(L, double(id));
        lua_pushstring(L, text);
        lua_pushinteger(L, peer_port);
        return 3;
    }

    sockbuf_record* q = nullptr;
    for (int i = 0; i < sockbuf_count && !q; i++)
        if (sockbuf[i].handle == 0 && sockbuf[i].listener_id == listener_id) q = &sockbuf[i];
    if (!q) return 0;
    q->handle = next_queue_handle++;
    const int parent_fd = listener->fd;
    socket_record* rec = add_socket(KIND_UDP, STATE_READY, -1, q->sender_port, q->sender);
    rec->parent_fd = parent_fd;
    rec->parent_id = listener_id;
    rec->queue_handle = q->handle;
    rec->peer = q->sender_address;
    rec->peer_length = q->sender_length;
    const uint32_t id = rec->id, port = q->sender_port;
    char text[NI_MAXHOST];
    snprintf(text, sizeof text, "%s", q->sender);
    log_event(-1, id, "accepted udp socket");
    lua_pushnumber(L, double(id));
    lua_pushstring(L, text);
    lua_pushinteger(L, port);
    return 3;
}

int lua_read_socket(lua_State* L) {
    socket_record* rec = find_socket(id_arg(L, 1));
    if (!rec) return 0;
    char failure[256];
    if (connect_failed_now(rec, failure, sizeof failure)) return push_failure(L, failure);
    if (rec->state != STATE_READY) return push_error(L, "host socket is closed or not ready");
    if (!config.network_access) return 0;

    if (is_udp_child(rec)) {
        sockbuf_record* q = find_queue_by_handle(rec->queue_handle);
        if (!q || q->queue->length == 0) return 0;
        uint32_t size = 0;
        if (q->queue->length >= 4) memcpy(&size, q->queue->data, 4);
        const int64_t end = 4 + int64_t(size);
        if (q->queue->length < 4 || end > q->queue->length) {
            bclear(q->queue);
            return 0;
        }
        lua_pushlstring(L, reinterpret_cast<const char*>(q->queue->data) + 4, size);
        bcrop(q->queue, int32_t(end), q->queue->length - int32_t(end));
        return 1;
    }
    if (rec->fd < 0) return 0;
    ssize_t n = recv(rec->fd, in_buf, IN_BUF_SIZE, 0);
    if (n > 0) {
        lua_pushlstring(L, reinterpret_cast<const char*>(in_buf), size_t(n));
        return 1;
    }
    if (n < 0) return error_rule(L, rec, errno);
    if (rec->kind == KIND_UDP) return 0;
    close_descriptor(rec);
    rec->state = STATE_CLOSED_BY_PEER;
    return push_error(L, "connection closed by peer");
}

int lua_write_socket(lua_State* L) {
    size_t length = 0;
    const char* data = lua_type(L, 2) == LUA_TSTRING ? lua_tolstring(L, 2, &length) : nullptr;
    if (!data || length == 0) return push_error(L, "no data to send");
    socket_record* rec = find_socket(id_arg(L, 1));
    if (!rec) return 0;
    char failure[256];
    if (connect_failed_now(rec, failure, sizeof failure)) return push_failure(L, failure);
    if (rec->state != STATE_READY) return push_error(L, "socket is closed or not ready");
    if (!config.network_access) return 0;
    if (rec->fd < 0 && rec->parent_fd < 0) return push_error(L, "socket is not valid");
    ssize_t n;
    if (rec->kind == KIND_TCP) {
        n = send(rec->fd, data, length, MSG_NOSIGNAL);
    } else {
        const int fd = rec->fd >= 0 ? rec->fd : rec->parent_fd;
        n = sendto(fd, data, length, MSG_NOSIGNAL, reinterpret_cast<const sockaddr*>(&rec->peer), rec->peer_length);
    }
    if (n < 0) return error_rule(L, rec, errno);
    lua_pushinteger(L, lua_Integer(n));
    return 1;
}

int lua_sock_status(lua_State* L) {
    socket_record* rec = find_socket(id_arg(L, 1));
    if (!rec) return 0;
    char failure[256];
    connect_failed_now(rec, failure, sizeof failure);
    if (rec->lookup) {
        lua_pushstring(L, "unknown");
        return 1;
    }
    if (rec->fd < 0 && !(is_udp_child(rec) && rec->parent_fd >= 0)) return 0;
    lua_pushstring(L, rec->state == STATE_READY ? "ready" : rec->state == STATE_LISTENING ? "listening" : "unknown");
    return 1;
}

int lua_close_socket(lua_State* L) {
    socket_record* rec = find_socket(truncated_id_arg(L, 1));
    if (rec) close_and_remove(socket_index(rec));
    return 0;
}

// --- the per-frame update -----------------------------------------------------------------------

sockbuf_record* queue_for(uint32_t listener_id, const char* sender, uint32_t port) {
    for (int i = 0; i < sockbuf_count; i++) {
        sockbuf_record* q = &sockbuf[i];
        if (q->listener_id == listener_id && q->sender_port == port && strcmp(q->sender, sender) == 0) return q;
    }
    return nullptr;
}

// Work done for a process outside its slices (draining its listeners, moving its connections
// on) is paid from its next slices, as an overspend is.
void charge_owner(int64_t owner, int64_t us) {
    process_record* rec = get_process(owner);
    if (!rec || us <= 0) return;
    const int64_t debt = int64_t(rec->cycle_debt) + us * CYCLES_PER_US;
    rec->cycle_debt = uint32_t(std::min<int64_t>(debt, DEBT_CAP));
}

void drain_udp_listener(const socket_record* listener) {
    for (int n = 0; n < DATAGRAMS_PER_FRAME; n++) {
        sockaddr_storage from;
        socklen_t from_length = sizeof from;
        ssize_t size = recvfrom(listener->fd, in_buf, DATAGRAM_MAX, 0, reinterpret_cast<sockaddr*>(&from), &from_length);
        if (size < 0) return;
        char sender[NI_MAXHOST];
        uint32_t port = 0;
        numeric_address(&from, from_length, sender, sizeof sender, &port);
        sockbuf_record* q = queue_for(listener->id, sender, port);
        if (!q) {
            if (sockbuf_count >= MAX_SOCKBUFS) continue;
            pbuffer* queue = create_buffer_2(QUEUE_INITIAL, SOCKBUF_TAG);
            if (!queue) continue;
            q = &sockbuf[sockbuf_count++];
            memset(q, 0, sizeof *q);
            snprintf(q->sender, sizeof q->sender, "%s", sender);
            if (from_length <= sizeof q->sender_address) memcpy(&q->sender_address, &from, from_length);
            q->sender_length = from_length;
            q->sender_port = port;
            q->listener_id = listener->id;
            q->queue = queue;
            q->owner = listener->owner;
        }
        // Each datagram costs its 4-byte length as well.
        if (int64_t(q->queue->length) + 4 + size >= QUEUE_LIMIT) continue;
        q->queue->cursor = q->queue->length;
        bwrite_uint32(uint32_t(size), q->queue);
        if (size > 0) bwrite(in_buf, size, 1, q->queue);
    }
}

}  // namespace

void sockets_init() { signal(SIGPIPE, SIG_IGN); }

void sockets_exit() {}

void update_all_sockets() {
    for (int i = 0; i < socket_count; i++) {
        socket_record* rec = &sockdat[i];
        const bool drain = rec->kind == KIND_UDP && rec->state == STATE_LISTENING && rec->fd >= 0;
        if (!drain && rec->state != STATE_CONNECTING) continue;
        const int64_t start = now_us();
        char failure[256];
        if (drain) drain_udp_listener(rec);
        else advance_connect(rec, failure, sizeof failure);
        charge_owner(rec->owner, now_us() - start);
    }
    for (int i = socket_count - 1; i >= 0; i--) {
        if (sockdat[i].fd >= 0 || sockdat[i].parent_fd >= 0 || sockdat[i].lookup) continue;
        if (is_udp_child(&sockdat[i])) remove_queue_by_handle(sockdat[i].queue_handle);
        remove_socket_at(i);
    }
}

void delete_sockets_by_process(int64_t process_id) {
    for (int i = socket_count - 1; i >= 0; i--) {
        if (i >= socket_count) continue;
        if (process_id == 0 || sockdat[i].owner == process_id) close_and_remove(i);
    }
    if (process_id == 0)
        while (sockbuf_count > 0) remove_queue_at(sockbuf_count - 1);
}

int32_t count_sockets(int64_t pid) {
    if (pid == 0) return socket_count;
    int32_t n = 0;
    for (int i = 0; i < socket_count; i++)
        if (sockdat[i].owner == pid) n++;
    return n;
}

int32_t count_sockbufs(int64_t pid) {
    if (pid == 0) return sockbuf_count;
    int32_t n = 0;
    for (int i = 0; i < sockbuf_count; i++)
        if (sockbuf[i].owner == pid) n++;
    return n;
}

namespace {

// A socket function charged for its host time: its base first (a call past the overrun bound
// ends before it touches anything), then the time beyond it.
template <int (*F)(lua_State*), int64_t BASE>
int charged(lua_State* L) {
    charge_native_work_or_raise(L, BASE);
    const int64_t start = now_us();
    const int results = F(L);
    spend_cpu((now_us() - start) * CYCLES_PER_US - BASE);
    return results;
}

}  // namespace

void socket_add_public_c_functions(lua_State* L) {
    static const struct {
        const char* name;
        lua_CFunction fn;
    } functions[] = {
        {"_create_tcp_socket", api_guarded<charged<lua_create_tcp_socket, CREATE_CYCLES>>},
        {"_create_udp_socket", api_guarded<charged<lua_create_udp_socket, CREATE_CYCLES>>},
        {"_close_socket", api_guarded<charged<lua_close_socket, CALL_CYCLES>>},
        {"_read_socket", api_guarded<charged<lua_read_socket, CALL_CYCLES>>},
        {"_sock_status", api_guarded<charged<lua_sock_status, CALL_CYCLES>>},
        {"_accept_socket", api_guarded<charged<lua_accept_socket, CALL_CYCLES>>},
        {"_write_socket", api_guarded<charged<lua_write_socket, CALL_CYCLES>>},
    };
    for (const auto& f : functions) {
        lua_pushcfunction(L, f.fn);
        lua_setglobal(L, f.name);
    }
}
