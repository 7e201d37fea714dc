// Downloads as scripts see them, against a python3 HTTP peer on loopback started here: a
// sandbox gets none, a process sees only its own, and bodies count against the memory limit.
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <string>

#include "base/machine.h"
#include "kernel/process.h"
#include "kernel/slice.h"
#include "net/gurl.h"
#include "test_support.h"

namespace {

// Serves /small (100 bytes) and /endless (a body without a length that never ends) until it is
// killed, or for two minutes at most.
const char* const PEER = R"(
import http.server, os, sys, threading
threading.Timer(120, lambda: os._exit(3)).start()
class Handler(http.server.BaseHTTPRequestHandler):
    def log_message(self, *args): pass
    def do_GET(self):
        self.send_response(200)
        if self.path == '/small':
            self.send_header('Content-Length', '100')
            self.end_headers()
            self.wfile.write(b's' * 100)
            return
        self.end_headers()
        chunk = b'e' * 65536
        try:
            while True: self.wfile.write(chunk)
        except OSError: pass
        self.close_connection = True
class Server(http.server.ThreadingHTTPServer):
    daemon_threads = True
    def handle_error(self, request, client_address): pass
server = Server(('127.0.0.1', 0), Handler)
print(server.server_address[1], flush=True)
server.serve_forever()
)";

struct Downloads : testing::Test {
    pid_t peer = -1;
    std::string base;
    process_record* p = nullptr;

    void SetUp() override {
        processes_init();
        config.network_access = 1;
        int out[2];
        ASSERT_EQ(pipe(out), 0);
        peer = fork();
        if (peer == 0) {
            dup2(out[1], 1);
            close(out[0]);
            execlp("python3", "python3", "-c", PEER, (char*)nullptr);
            _exit(127);
        }
        close(out[1]);
        FILE* f = fdopen(out[0], "r");
        int port = 0;
        ASSERT_EQ(fscanf(f, "%d", &port), 1) << "no python3 peer";
        fclose(f);
        base = "http://127.0.0.1:" + std::to_string(port);
        p = make("net");
    }
    void TearDown() override {
        if (peer > 0) {
            kill(peer, SIGKILL);
            waitpid(peer, nullptr, 0);
        }
        processes_init();
    }
    static process_record* make(const char* name, const char* sandbox = "") {
        process_record* r = create_process_from_code("", name, name, sandbox);
        EXPECT_NE(r, nullptr);
        return r;
    }
    std::string run(const std::string& code, process_record* in = nullptr) {
        set_current_process(in ? in : p);
        cpu_cycles = 0;
        return run_script((in ? in : p)->L, code);
    }
    void exec(const std::string& code, process_record* in = nullptr) {
        set_current_process(in ? in : p);
        EXPECT_EQ(exec_script((in ? in : p)->L, code), "") << code;
    }
    // The result of job `id` once it is there (at most about a minute), advancing the job clock.
    std::string result(const std::string& id, process_record* in = nullptr) {
        std::string r;
        for (int i = 0; i < 6000; i++) {
            r = run("_fetch_remote_result(" + id + ")", in);
            if (r != "") break;
            usleep(10000);
        }
        return r;
    }
    // Runs the job clock until every job has been reclaimed.
    static void reclaim_all() {
        for (int i = 0; i < 6000; i++) {
            gurl_update();
            bool any = false;
            for (int64_t id = 1; id < 2000 && !any; id++) any = gurl_get_job(id) != nullptr;
            if (!any) return;
            usleep(1000);
        }
        ADD_FAILURE() << "jobs were never reclaimed";
    }
};

TEST_F(Downloads, SandboxAndOwnership) {
    exec("j = _fetch_remote('" + base + "/small')");
    EXPECT_EQ(run("math.type(j)"), "integer");
    EXPECT_EQ(result("j"), std::string(100, 's'));
    process_record* other = make("other");
    process_record* cart = make("cart", "bbs/cart");
    const std::string job = run("j");
    expect_each([&](const std::string& c) { return run(c, other); },
                {{"_fetch_remote_result(" + job + ")", "nil nil job not found"}});
    expect_each([&](const std::string& c) { return run(c, cart); },
                {
                    {"_fetch_remote('" + base + "/small')", "nil no network access"},
                    {"_fetch_remote_result(" + job + ")", "nil nil no network access"},
                });
    reclaim_all();
}

// One process starts many endless downloads: together they never hold more than its memory
// limit leaves them, and each fails with its own message.
TEST_F(Downloads, BodiesCountAgainstTheMemoryLimit) {
    exec("jobs = {} for i = 1, 24 do jobs[i] = _fetch_remote('" + base + "/endless') end");
    EXPECT_EQ(run("#jobs, math.type(jobs[24])"), "24 integer");
    const int64_t room = PROCESS_MEMORY_LIMIT - (p->page_bytes + PROCESS_MEMORY_SLACK) - GURL_SCRIPT_HEADROOM;
    int64_t most = 0;
    std::string r;
    for (int i = 0; i < 6000 && r != "24"; i++) {
        ASSERT_NE(p->download_bytes, nullptr);
        most = std::max(most, p->download_bytes->load());
        r = run("(function() local n = 0 for i = 1, 24 do "
                "if select(3, _fetch_remote_result(jobs[i])) == 'download too large for the memory limit' then "
                "n = n + 1 end end return n end)()");
        usleep(10000);
    }
    EXPECT_EQ(r, "24");
    EXPECT_LE(most, room);
    EXPECT_GT(most, room / 2);
    // What the downloads hold leaves the script that much less.
    EXPECT_EQ(run("pcall(string.rep, 'x', " + std::to_string(PROCESS_MEMORY_LIMIT - room / 4) + ")"),
              "false not enough memory");
    reclaim_all();
    EXPECT_EQ(p->download_bytes->load(), 0);
}

// A process that goes takes its downloads with it.
TEST_F(Downloads, EndWithTheirProcess) {
    process_record* q = make("q");
    const std::string job = run("_fetch_remote('" + base + "/endless')", q);
    gurl_job* j = gurl_get_job(std::stoll(job));
    ASSERT_NE(j, nullptr);
    while (j->state.load() < GURL_RECEIVING) usleep(1000);
    kill_process(q);
    const int64_t held = j->account->held.load();  // at most one growth may still be under way
    for (int i = 0; i < 6000 && j->finish_tick.load() == 0; i++) usleep(10000);
    EXPECT_EQ(j->state.load(), uint32_t(GURL_FAILED));
    // It stopped at its next block, far short of what a live process could hold.
    EXPECT_LE(j->account->held.load(), 2 * held + 0x20000);
    reclaim_all();
}

}  // namespace
