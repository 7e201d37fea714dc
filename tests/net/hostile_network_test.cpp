// probe
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>
#include <string>
#include "hostile_child.h"
#include "net/sockets.h"

namespace {
struct HostileNetwork : testing::Test {
    void SetUp() override { hostile::fresh_machine(); }
    void TearDown() override { delete_sockets_by_process(0); processes_init(); }
};

int stalled_listener(int* port, int fillers[4]) {
    int server = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    bind(server, reinterpret_cast<sockaddr*>(&a), sizeof a);
    getsockname(server, reinterpret_cast<sockaddr*>(&a), &len);
    listen(server, 0);
    for (int i = 0; i < 4; i++) {
        fillers[i] = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0);
        connect(fillers[i], reinterpret_cast<sockaddr*>(&a), sizeof a);
    }
    usleep(200000);
    *port = ntohs(a.sin_port);
    return server;
}

TEST_F(HostileNetwork, Probe) {
    int port, f[4];
    int server = stalled_listener(&port, f);
    std::string code = "for i = 1, 3 do _create_tcp_socket(" + std::to_string(port) + ", '127.0.0.1') end";
    auto o = hostile::run_child(code.c_str(), 100);
    printf("stalled: cpu %.1f wall %.1f frames %d\n", o.longest_ms, o.longest_wall_ms, o.frames);
    close(server); for (int x : f) close(x);
    const char* cases[][2] = {
      {"udp create/close", "for i = 1, 100000 do local s = _create_udp_socket(P, '127.0.0.1') _close_socket(s) end"},
      {"tcp listener create/close", "for i = 1, 100000 do local s = _create_tcp_socket(P, '*') _close_socket(s) end"},
      {"tcp client create/close", "local l = _create_tcp_socket(P, '*') for i = 1, 30000 do local s = _create_tcp_socket(P, '127.0.0.1') _close_socket(s) if i % 50 == 0 then for j=1,60 do local a = _accept_socket(l) if a then _close_socket(a) end end end end"},
      {"read eagain", "local l = _create_tcp_socket(P, '*') local c = _create_tcp_socket(P, '127.0.0.1') for i = 1, 200000 do _read_socket(c) end"},
      {"status", "local l = _create_tcp_socket(P, '*') local c = _create_tcp_socket(P, '127.0.0.1') for i = 1, 500000 do _sock_status(c) end"},
      {"accept none", "local l = _create_tcp_socket(P, '*') for i = 1, 500000 do _accept_socket(l) end"},
      {"udp 60k loop", "local l = _create_udp_socket(P, '*') local c = _create_udp_socket(P, '::1') local d = string.rep('x', 60000) local a for i = 1, 20000 do _write_socket(c, d) end"},
      {"tcp 64k write/read", "local l = _create_tcp_socket(P, '*') local c = _create_tcp_socket(P, '127.0.0.1') local a repeat a = _accept_socket(l) until a local d = string.rep('x', 65536) for i = 1, 20000 do _write_socket(c, d) _read_socket(a) _read_socket(a) end"},
      {"unknown ids", "for i = 1, 1000000 do _read_socket(i) end"},
    };
    for (auto& c : cases) {
        hostile::fresh_machine();
        std::string code = c[1];
        code.replace(code.find("P"), 1, std::to_string(port));
        while (code.find("(P,") != std::string::npos) code.replace(code.find("(P,"), 3, "(" + std::to_string(port) + ",");
        double t0 = hostile::thread_ms();
        o = hostile::run_child(code.c_str(), 2000);
        double avg = (hostile::thread_ms() - t0) / o.frames;
        printf("%s: cpu %.2f avg %.2f wall %.2f frames %d ended %d\n", c[0], o.longest_ms, avg, o.longest_wall_ms, o.frames, o.ended);
        delete_sockets_by_process(0);
    }
}
}
