// Download jobs without a server: the growable buffer, URL escaping, and a job's life from a
// refused transfer to its reclaimed slot.
#include <gtest/gtest.h>

#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <fstream>
#include <sstream>
#include <string>

#include "net/gurl.h"
#include "platform/host.h"

namespace {

TEST(GurlBuffer, GrowsByDoublingAndStaysTerminated) {
    gurl_buffer* b = gurl_buffer_create(1024);
    std::string bytes(3000, 'q');
    ASSERT_TRUE(gurl_buffer_append(b, bytes.data(), bytes.size()));
    EXPECT_EQ(b->capacity, 4096u);
    EXPECT_EQ(b->length, 3000u);
    EXPECT_EQ(b->end, 3000u);
    EXPECT_EQ(b->data[3000], 0);
    EXPECT_EQ(b->data[4095], 0);
    gurl_buffer_destroy(b);

    b = gurl_buffer_create(1);
    ASSERT_TRUE(gurl_buffer_append(b, "abc", 3));
    EXPECT_EQ(b->capacity, 256u);
    EXPECT_STREQ(reinterpret_cast<char*>(b->data), "abc");
    gurl_buffer_destroy(b);
}

TEST(GurlEscape, KeepsUrlPunctuationAndEscapesTheRest) {
    const std::pair<std::string, std::string> cases[] = {
        {"http://h:8/a b\xc3\xa9?x=1&y=2#f", "http://h:8/a%20b%c3%a9?x=1&y=2#f"},
        {"/%41_-.Zz09", "/%41_-.Zz09"},
        {"~+\"<>\\", "%7e%2b%22%3c%3e%5c"},
        {std::string("a\0b", 3), "a%00b"},
        {"", ""},
    };
    for (const auto& [in, want] : cases) {
        gurl_buffer* b = gurl_escape_url(in.data(), in.size());
        ASSERT_NE(b, nullptr);
        EXPECT_EQ(std::string(reinterpret_cast<char*>(b->data), b->length), want) << in;
        gurl_buffer_destroy(b);
    }
}

std::atomic<int> end_calls{0};
std::atomic<int> ended_without_tick{0};

void note_end(gurl_job* job) {
    const uint32_t state = job->state.load(std::memory_order_acquire);
    if (state != GURL_DONE && state != GURL_FAILED) return;
    end_calls++;
    if (job->finish_tick.load(std::memory_order_acquire) < 1) ended_without_tick++;
}

int closed_port() {
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    int port = 1;
    if (bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0 &&
        getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len) == 0)
        port = ntohs(a.sin_port);
    close(fd);
    return port;
}

// Waits (at most about 60 seconds) for the job to end; its state, or 0.
uint32_t wait_for_end(gurl_job* job) {
    for (int i = 0; i < 6000; i++) {
        if (job->finish_tick.load(std::memory_order_acquire) != 0) return job->state.load(std::memory_order_acquire);
        usleep(10000);
    }
    return 0;
}

TEST(GurlJobs, FailedTransfersEndAndTheirSlotsAreReclaimed) {
    EXPECT_EQ(gurl_get(nullptr, 0, nullptr, nullptr), -1);
    const std::string urls[] = {
        "http://127.0.0.1:" + std::to_string(closed_port()) + "/x",
        "file:///etc/hostname",  // only web addresses are fetched
        "nothing",               // and only with their scheme: no name is looked up for this
    };
    for (const std::string& url : urls) {
        end_calls = 0;
        const int64_t id = gurl_get(url.data(), url.size(), "extra", note_end);
        ASSERT_GT(id, 0);
        gurl_job* job = gurl_get_job(id);
        ASSERT_NE(job, nullptr);
        ASSERT_EQ(wait_for_end(job), uint32_t(GURL_FAILED)) << url;
        for (int i = 0; i < 6000 && !job->worker_done.load(); i++) usleep(10000);
        EXPECT_EQ(end_calls.load(), 1);
        EXPECT_EQ(ended_without_tick.load(), 0);

        const int64_t finished = job->finish_tick.load();
        while (gurl_current_tick() <= finished + GURL_RECLAIM_TICKS) gurl_update();
        EXPECT_EQ(gurl_get_job(id), job) << "still found while the clock is at most 120 past its end";
        gurl_update();
        EXPECT_EQ(gurl_get_job(id), nullptr);
    }
    EXPECT_EQ(gurl_get_job(0), nullptr);
}

// A listening loopback socket; its port is written to *port.
int listener(int* port) {
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    if (bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || listen(fd, 4) != 0 ||
        getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len) != 0) {
        close(fd);
        return -1;
    }
    *port = ntohs(a.sin_port);
    return fd;
}

// Whether a connection arrives within ms milliseconds; it is closed at once.
bool connection_arrives(int fd, int ms) {
    pollfd p{fd, POLLIN, 0};
    if (poll(&p, 1, ms) != 1) return false;
    int c = accept(fd, nullptr, nullptr);
    if (c >= 0) close(c);
    return c >= 0;
}

std::string log_text() {
    char path[4096];
    velt_prefix_with_appdata_path("log.txt", path);
    std::ifstream in(path);
    std::stringstream all;
    all << in.rdbuf();
    return all.str();
}

size_t count_of(const std::string& text, const std::string& part) {
    size_t n = 0;
    for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) n++;
    return n;
}

// Without the transfer library every download fails, as a refused one does, and one log line
// says why; nothing is sent. Once the library can be loaded again, downloads reach the network.
TEST(GurlJobs, WithoutTheTransferLibraryDownloadsFailAndSayWhyOnce) {
    int port = 0;
    const int fd = listener(&port);
    ASSERT_GE(fd, 0);
    const std::string url = "http://127.0.0.1:" + std::to_string(port) + "/x";
    gurl_use_transfer_library("libcurl-absent.so.0");
    for (int i = 0; i < 2; i++) {
        end_calls = 0;
        const int64_t id = gurl_get(url.data(), url.size(), nullptr, note_end);
        ASSERT_GT(id, 0);
        gurl_job* job = gurl_get_job(id);
        ASSERT_NE(job, nullptr);
        ASSERT_EQ(wait_for_end(job), uint32_t(GURL_FAILED));
        for (int k = 0; k < 6000 && !job->worker_done.load(); k++) usleep(10000);
        EXPECT_EQ(end_calls.load(), 1);
    }
    EXPECT_FALSE(connection_arrives(fd, 50));
    EXPECT_EQ(count_of(log_text(), "** downloads are off: could not load libcurl-absent.so.0"), 1u);

    gurl_use_transfer_library("libcurl.so.4");
    const int64_t id = gurl_get(url.data(), url.size(), nullptr, nullptr);
    ASSERT_GT(id, 0);
    EXPECT_TRUE(connection_arrives(fd, 30000));
    EXPECT_EQ(wait_for_end(gurl_get_job(id)), uint32_t(GURL_FAILED));  // the peer hung up at once
    close(fd);
}

}  // namespace
