// Sockets as scripts see them, over real loopback sockets inside one test process: refusals,
// a TCP connection from listen to close, disconnecting errors, and the UDP per-sender queues.
#include <gtest/gtest.h>

#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>
#include <string>

#include "base/machine.h"
#include "kernel/process.h"
#include "net/sockets.h"
#include "test_support.h"

namespace {

// A port that nothing on the host uses right now for this socket type.
int free_port(int type) {
    int fd = socket(AF_INET6, type, 0);
    sockaddr_in6 a{};
    a.sin6_family = AF_INET6;
    a.sin6_addr = in6addr_any;
    socklen_t len = sizeof a;
    int port = -1;
    if (fd >= 0 && bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0 &&
        getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len) == 0)
        port = ntohs(a.sin6_port);
    if (fd >= 0) close(fd);
    return port;
}

struct Sockets : testing::Test {
    process_record* p = nullptr;

    void SetUp() override {
        processes_init();
        config.network_access = 1;
        p = make("net");
    }
    void TearDown() override {
        delete_sockets_by_process(0);
        processes_init();
        config.network_access = 1;
    }
    static process_record* make(const char* name, const char* sandbox = "") {
        process_record* r = create_process_from_code("", name, name, sandbox);
        EXPECT_NE(r, nullptr);
        return r;
    }
    std::string run(const std::string& code, process_record* in = nullptr) {
        set_current_process(in ? in : p);
        cpu_cycles = 0;  // each call starts a fresh count, as a slice would
        return run_script((in ? in : p)->L, code);
    }
    void exec(const std::string& code, process_record* in = nullptr) {
        set_current_process(in ? in : p);
        EXPECT_EQ(exec_script((in ? in : p)->L, code), "") << code;
    }
    // Runs code, with a frame's socket update and a short wait between tries, until it
    // gives want (at most about 20 seconds); returns the last result.
    std::string until(const std::string& code, const std::string& want) {
        std::string r;
        for (int i = 0; i < 2000; i++) {
            r = run(code);
            if (r == want) break;
            update_all_sockets();
            usleep(10000);
        }
        return r;
    }
    static std::string num(int v) { return std::to_string(v); }
};

TEST_F(Sockets, RefusalsAndUnknownIds) {
    expect_each([&](const std::string& c) { return run(c); },
                {
                    {"_create_tcp_socket(0, '127.0.0.1')", "nil bad port or address"},
                    {"_create_tcp_socket(80)", "nil bad port or address"},
                    {"_create_tcp_socket(80, string.rep('a', 513))", "nil bad port or address"},
                    // A UDP address has no length limit: a name too long for any host is refused at once.
                    {"_create_udp_socket(80, string.rep('a', 2000))", "nil Name or service not known"},
                    {"_create_udp_socket(65536, '*')", "nil bad port or address"},
                    {"_create_tcp_socket(80, 'a\\0b')", "nil bad port or address"},
                    {"_write_socket(1, '')", "nil no data to send"},
                    {"_write_socket(1)", "nil no data to send"},
                    {"_read_socket(999)", ""},
                    {"_sock_status(999)", ""},
                    {"_accept_socket(999)", ""},
                    {"_write_socket(999, 'x')", ""},
                    {"_close_socket(999)", ""},
                });
    config.network_access = 0;
    EXPECT_EQ(run("_create_tcp_socket(" + num(free_port(SOCK_STREAM)) + ", '*')"), "nil orvalune network is disabled");
    EXPECT_EQ(run("_create_udp_socket(9, '127.0.0.1')"), "nil orvalune network is disabled");
    config.network_access = 1;

    // A sandbox gets no socket of any kind, even to a peer that is there.
    process_record* cart = make("cart", "bbs/cart");
    const std::string port = num(free_port(SOCK_STREAM)), udp = num(free_port(SOCK_DGRAM));
    exec("l = _create_tcp_socket(" + port + ", '*') u = _create_udp_socket(" + udp + ", '*')");
    expect_each([&](const std::string& c) { return run(c, cart); },
                {
                    {"_create_tcp_socket(" + port + ", '*')", "nil can not create listener while sandboxed"},
                    {"_create_udp_socket(" + port + ", '*x')", "nil can not create listener while sandboxed"},
                    {"_create_tcp_socket(" + port + ", '127.0.0.1')", "nil can not create socket while sandboxed"},
                    {"_create_tcp_socket(" + port + ", 'localhost')", "nil can not create socket while sandboxed"},
                    {"_create_udp_socket(" + udp + ", '::1')", "nil can not create socket while sandboxed"},
                });
    update_all_sockets();
    EXPECT_EQ(run("select('#', _accept_socket(l)), stat(42)"), "0 0");
    EXPECT_EQ(count_sockets(cart->id), 0);
    EXPECT_EQ(count_sockets(0), 2);
}

// Ids are numbered across all processes, but a process reaches only the sockets it made:
// another's ids are unknown to it, sandboxed or not.
TEST_F(Sockets, AProcessUsesOnlyItsOwnSockets) {
    const std::string port = num(free_port(SOCK_STREAM)), udp = num(free_port(SOCK_DGRAM));
    exec("l = _create_tcp_socket(" + port + ", '*') c = _create_tcp_socket(" + port + ", '127.0.0.1') "
         "u = _create_udp_socket(" + udp + ", '*') s = _create_udp_socket(" + udp + ", '127.0.0.1') "
         "_write_socket(s, 'd')");
    EXPECT_EQ(until("math.type(_accept_socket(l))", "float"), "float");
    exec("a = l + 4 _write_socket(c, 'secret')");
    update_all_sockets();
    std::string ids = run("l, c, u, s, a");
    for (char& ch : ids)
        if (ch == ' ') ch = ',';
    process_record* others[] = {make("other"), make("cart", "bbs/cart")};
    for (process_record* other : others) {
        exec("l, c, u, s, a = " + ids, other);
        // Every call on another's socket gives nothing at all.
        for (const char* call : {"_read_socket(a)", "_read_socket(c)", "_write_socket(c, 'x')", "_write_socket(s, 'x')",
                                 "_sock_status(l)", "_sock_status(u)", "_sock_status(a)", "_accept_socket(l)",
                                 "_accept_socket(u)", "_close_socket(c)", "_close_socket(l)", "_close_socket(u)"})
            EXPECT_EQ(run(std::string("select('#', ") + call + ")", other), "0") << call;
        EXPECT_EQ(run("stat(41)", other), "0");
    }
    EXPECT_EQ(count_sockets(p->id), 5);
    EXPECT_EQ(run("_sock_status(l), _sock_status(c), _read_socket(a)"), "listening ready secret");
    EXPECT_EQ(run("_read_socket(_accept_socket(u))"), "d");
}

TEST_F(Sockets, TcpConnectionFromListenToClose) {
    const std::string port = num(free_port(SOCK_STREAM));
    exec("l = _create_tcp_socket(" + port + ", '*')");
    EXPECT_EQ(run("math.type(l), _sock_status(l)"), "integer listening");
    exec("c = _create_tcp_socket(" + port + ", '::1')");
    EXPECT_EQ(run("math.type(c), _sock_status(c)"), "integer ready");
    EXPECT_EQ(until("(select(2, _accept_socket(l)))", "::1"), "::1");
    exec("a = l + 2");  // the accepted socket took the next id
    EXPECT_EQ(run("_sock_status(a), _read_socket(a)"), "ready nil errno 11");
    EXPECT_EQ(run("_write_socket(c, 'hello')"), "5");
    EXPECT_EQ(until("_read_socket(a)", "hello"), "hello");
    EXPECT_EQ(run("_read_socket(l)"), "nil host socket is closed or not ready");
    EXPECT_EQ(run("_accept_socket(c)"), "nil socket is not listening");
    config.network_access = 0;
    EXPECT_EQ(run("_read_socket(a), _write_socket(a, 'x'), _accept_socket(l)"), "nil nil");
    config.network_access = 1;
    EXPECT_EQ(count_sockets(p->id), 3);

    // Through IPv4 the peer's address is the mapped form, and the accept result is a float.
    exec("c4 = _create_tcp_socket(" + port + ", '127.0.0.1')");
    EXPECT_EQ(until("math.type(_accept_socket(l))", "float"), "float");
    EXPECT_EQ(run("({_accept_socket(l)})[2]"), "nil");

    exec("_close_socket(c)");
    EXPECT_EQ(until("_read_socket(a)", "nil connection closed by peer"), "nil connection closed by peer");
    EXPECT_EQ(run("_sock_status(a), _write_socket(a, 'x')"), "nil nil socket is closed or not ready");
    update_all_sockets();
    EXPECT_EQ(run("_sock_status(a), _read_socket(a)"), "nil");

    // A closed port refuses at once: nothing comes back.
    EXPECT_EQ(run("_create_tcp_socket(" + num(free_port(SOCK_STREAM)) + ", '127.0.0.1')"), "");
}

// A listener whose accept queue is full drops new handshakes: connecting must give up
// after a few seconds rather than hold every process for minutes.
TEST_F(Sockets, ClosingAProcesssHostResourcesLeavesOthersAlone) {
    exec("l = _create_tcp_socket(" + num(free_port(SOCK_STREAM)) + ", '*')");
    process_record* other = make("other");
    const std::string mine = std::to_string(other->id);
    const std::string theirs = std::to_string(p->id);
    // A sandboxed process closes nothing of another's.
    run("_close_process_host_resources(" + theirs + ")", make("boxed", "/box"));
    EXPECT_EQ(count_sockets(0), 1);
    struct { std::string call; int32_t left; } cases[] = {
        {"_close_process_host_resources()", 1},
        {"_close_process_host_resources(0)", 1},
        {"_close_process_host_resources('none')", 1},
        {"_close_process_host_resources(" + mine + ")", 1},
        {"_close_process_host_resources(" + theirs + ".9)", 0},
    };
    for (const auto& c : cases) {
        run(c.call, other);
        EXPECT_EQ(count_sockets(0), c.left) << c.call;
    }
}

// A listener whose accept queue is full drops new handshakes. Connecting does not wait for
// them: the socket is there at once, refuses reads and writes until it is connected, and then
// works like any other; a connection that fails ends as a socket error.
TEST_F(Sockets, ConnectingNeverWaitsForThePeer) {
    int server = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    ASSERT_EQ(bind(server, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
    ASSERT_EQ(getsockname(server, reinterpret_cast<sockaddr*>(&a), &len), 0);
    ASSERT_EQ(listen(server, 0), 0);
    int filler = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0);
    connect(filler, reinterpret_cast<sockaddr*>(&a), sizeof a);
    usleep(100000);
    const std::string port = num(ntohs(a.sin_port));
    exec("c = _create_tcp_socket(" + port + ", '127.0.0.1')");
    expect_each([&](const std::string& code) { return run(code); },
                {
                    {"math.type(c), _sock_status(c)", "integer unknown"},
                    {"_read_socket(c)", "nil host socket is closed or not ready"},
                    {"_write_socket(c, 'x')", "nil socket is closed or not ready"},
                });
    // Room in the queue: the next try of the handshake gets through.
    int accepted = accept(server, nullptr, nullptr);
    EXPECT_GE(accepted, 0);
    close(accepted);
    close(filler);
    EXPECT_EQ(until("_sock_status(c)", "ready"), "ready");
    EXPECT_EQ(run("_write_socket(c, 'x')"), "1");

    // c fills the queue now; the listener goes away while d waits, and d is refused.
    exec("d = _create_tcp_socket(" + port + ", '127.0.0.1')");
    EXPECT_EQ(run("_sock_status(d)"), "unknown");
    close(server);
    std::string r;
    for (int i = 0; i < 2000; i++) {
        r = run("_read_socket(d)");
        if (r != "nil host socket is closed or not ready") break;
        usleep(10000);
    }
    EXPECT_EQ(r, "nil errno 111");
    EXPECT_EQ(run("_sock_status(d)"), "");
    update_all_sockets();
    EXPECT_EQ(run("select('#', _read_socket(d))"), "0");
}

// A name whose lookup is slower than the create call's wait: the socket connects once the
// answer comes, or fails with the resolver's text.
TEST_F(Sockets, NameLookupsGoOnBesideTheSocket) {
    const int wait = socket_resolve_wait_us;
    socket_resolve_wait_us = -1;
    const std::string port = num(free_port(SOCK_STREAM));
    exec("l = _create_tcp_socket(" + port + ", '*') c = _create_tcp_socket(" + port + ", 'localhost')");
    EXPECT_EQ(run("math.type(c)"), "integer");
    EXPECT_EQ(until("_sock_status(c)", "ready"), "ready");
    // A label longer than any DNS label: the resolver refuses it, but only once the lookup runs.
    // Nothing moves the sockets on below, so the failure is the first write's to report.
    exec("bad = _create_udp_socket(80, string.rep('a', 100))");
    EXPECT_EQ(run("math.type(bad)"), "integer");
    std::string r;
    for (int i = 0; i < 2000; i++) {
        r = run("_write_socket(bad, 'x')");
        if (r != "nil socket is closed or not ready") break;
        usleep(10000);
    }
    EXPECT_EQ(r, "nil Name or service not known");
    update_all_sockets();
    EXPECT_EQ(run("_sock_status(bad)"), "");
    socket_resolve_wait_us = wait;
}

TEST_F(Sockets, WritingToAVanishedPeerDisconnects) {
    const std::string port = num(free_port(SOCK_STREAM));
    exec("l = _create_tcp_socket(" + port + ", '*') c = _create_tcp_socket(" + port + ", '127.0.0.1')");
    EXPECT_EQ(until("math.type(_accept_socket(l))", "float"), "float");
    exec("a = l + 2 _close_socket(c)");
    // The first write may still be accepted; the broken pipe must come back as a value.
    std::string r = "nil";
    for (int i = 0; i < 2000 && r == "nil"; i++) {
        r = run("(select(2, _write_socket(a, 'x')))");
        if (r == "nil") usleep(10000);
    }
    EXPECT_TRUE(r == "errno 32" || r == "errno 104") << r;
    EXPECT_EQ(run("_sock_status(a)"), "");
}

TEST_F(Sockets, UdpQueuesPerSender) {
    const std::string port = num(free_port(SOCK_DGRAM));
    exec("l = _create_udp_socket(" + port + ", '*') a = _create_udp_socket(" + port +
         ", '127.0.0.1') b = _create_udp_socket(" + port + ", '::1')");
    EXPECT_EQ(run("_accept_socket(l)"), "");
    exec("_write_socket(a, 'one') _write_socket(a, 'two') _write_socket(b, 'three')");
    EXPECT_EQ(until("stat(42), stat(43)", "2 2"), "2 2");
    EXPECT_EQ(run("(function() local id, addr, port = _accept_socket(l) ca = id "
                  "return math.type(id), addr, math.type(port) end)()"),
              "float ::ffff:127.0.0.1 integer");
    EXPECT_EQ(run("_sock_status(ca), _read_socket(ca), _read_socket(ca), _read_socket(ca)"), "ready one two");
    EXPECT_EQ(run("_write_socket(ca, 'back')"), "4");
    EXPECT_EQ(until("_read_socket(a)", "back"), "back");

    // Each datagram counts its 4-byte length against the 65536-byte queue.
    exec("_write_socket(a, string.rep('x', 65000)) _write_socket(a, string.rep('y', 528))"
         "_write_socket(a, string.rep('z', 527))");
    update_all_sockets();
    EXPECT_EQ(until("#(_read_socket(ca) or '')", "65000"), "65000");
    EXPECT_EQ(run("_read_socket(ca)"), std::string(527, 'z'));

    // Closing the listener: the unclaimed queue of b goes at once; the child keeps what it
    // holds until the end of the frame.
    exec("_write_socket(a, 'late')");
    update_all_sockets();
    exec("_close_socket(l)");
    EXPECT_EQ(run("stat(42), _sock_status(ca), _read_socket(ca)"), "1 nil late");
    update_all_sockets();
    EXPECT_EQ(run("stat(42), _sock_status(ca), _read_socket(ca)"), "0 nil");
}

TEST_F(Sockets, UdpQueuesBelongToTheirListener) {
    const std::string p1 = num(free_port(SOCK_DGRAM)), p2 = num(free_port(SOCK_DGRAM));
    process_record* other = make("other");
    exec("l1 = _create_udp_socket(" + p1 + ", '*')");
    exec("l2 = _create_udp_socket(" + p2 + ", '*')", other);
    exec("s = _create_udp_socket(" + p2 + ", '127.0.0.1') _write_socket(s, 'to two') "
         "s1 = _create_udp_socket(" + p1 + ", '127.0.0.1') _write_socket(s1, 'to one')");
    EXPECT_EQ(until("stat(42)", "2"), "2");
    EXPECT_EQ(run("stat(43)"), "1");
    EXPECT_EQ(run("stat(43)", other), "1");
    EXPECT_EQ(run("_read_socket(_accept_socket(l2))", other), "to two");
    EXPECT_EQ(run("_read_socket(_accept_socket(l1))"), "to one");

    // A process's sockets go with it; the other's stay.
    const int before = count_sockets(0);
    delete_sockets_by_process(other->id);
    EXPECT_EQ(count_sockets(0), before - 2);
    EXPECT_EQ(count_sockets(other->id), 0);
    EXPECT_EQ(run("_sock_status(l1)"), "listening");
}

}  // namespace
