// Hostile children on the network: a child connecting to a peer that never answers, or hammering
// the socket functions, never holds up the root's frames, waiting or working.
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <string>

#include "hostile_child.h"
#include "net/sockets.h"

namespace {

// A loopback listener whose accept queue is full: new handshakes are dropped until it has room.
struct stalled_listener {
    int server = -1, filler = -1, port = 0;
    stalled_listener() {
        server = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t len = sizeof a;
        if (bind(server, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 ||
            getsockname(server, reinterpret_cast<sockaddr*>(&a), &len) != 0 || listen(server, 0) != 0)
            return;
        filler = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0);
        connect(filler, reinterpret_cast<sockaddr*>(&a), sizeof a);
        usleep(100000);
        port = ntohs(a.sin_port);
    }
    ~stalled_listener() {
        close(filler);
        close(server);
    }
};

struct HostileNetwork : testing::Test {
    void SetUp() override { hostile::fresh_machine(); }
    void TearDown() override {
        delete_sockets_by_process(0);
        processes_init();
    }
    static std::string with_port(std::string code, int port) {
        for (size_t at; (at = code.find("PORT")) != std::string::npos;) code.replace(at, 4, std::to_string(port));
        return code;
    }
};

TEST_F(HostileNetwork, ConnectingToAFullBacklogHoldsNoFrame) {
    stalled_listener peer;
    ASSERT_GT(peer.port, 0);
    const std::string code = with_port(
        "for i = 1, 20 do local s = _create_tcp_socket(PORT, '127.0.0.1') "
        "assert(_sock_status(s) == 'unknown') assert(_read_socket(s) == nil) end", peer.port);
    hostile::outcome o = hostile::run_child(code.c_str(), 100);
    EXPECT_TRUE(o.ended);
    EXPECT_EQ(o.reports, "");
    hostile::expect_frame_gap_held(o, "connects");
    EXPECT_LT(o.longest_wall_ms, hostile::FRAME_GAP_LIMIT_MS) << "waited on the host";
}

// Loops of socket calls: each call pays for its host work, so a frame's budget of them stays
// within the frame gap.
TEST_F(HostileNetwork, SocketCallsPayForTheirHostWork) {
    const struct {
        const char* name;
        const char* code;
    } cases[] = {
        {"udp clients", "while true do _close_socket(_create_udp_socket(PORT, '127.0.0.1')) end"},
        {"listeners", "while true do _close_socket(_create_tcp_socket(PORT, '*')) end"},
        {"tcp connections", "local l = _create_tcp_socket(PORT, '*') while true do "
                            "for i = 1, 40 do _close_socket(_create_tcp_socket(PORT, '::1')) end "
                            "for i = 1, 50 do local a = _accept_socket(l) if a then _close_socket(a) end end end"},
        {"name lookups", "while true do _close_socket(_create_udp_socket(PORT, 'localhost')) end"},
        {"empty reads", "local l = _create_tcp_socket(PORT, '*') local c = _create_tcp_socket(PORT, '127.0.0.1') "
                        "while true do _read_socket(c) _accept_socket(l) end"},
        {"datagrams to itself", "local l = _create_udp_socket(PORT, '*') local c = _create_udp_socket(PORT, '::1') "
                                "local d = string.rep('x', 60000) while true do _write_socket(c, d) end"},
        {"unknown ids", "local i = 0 while true do i = i + 1 _read_socket(i) _sock_status(i) end"},
    };
    for (const auto& c : cases) {
        hostile::fresh_machine();
        // A port nothing uses just now.
        int fd = socket(AF_INET6, SOCK_STREAM, 0);
        sockaddr_in6 a{};
        a.sin6_family = AF_INET6;
        socklen_t len = sizeof a;
        bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
        getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
        close(fd);
        const std::string code = with_port(c.code, ntohs(a.sin6_port));
        hostile::outcome o = hostile::run_child(code.c_str(), 150);
        EXPECT_EQ(o.frames, 150) << c.name << ": " << o.reports;
        hostile::expect_frame_gap_held(o, c.name);
        printf("%s: %.2f ms\n", c.name, o.longest_ms);
        delete_sockets_by_process(0);
    }
}

}  // namespace
