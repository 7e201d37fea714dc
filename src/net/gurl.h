// HTTP fetch jobs: each download runs on a worker thread of its own and is
// reclaimed by the main loop 120 frames after it finished.
#pragma once
#include <atomic>
#include <cstddef>
#include <cstdint>

struct lua_State;
struct os_thread;
struct process_record;

// A growable byte string that always ends in a NUL after its data.
struct gurl_buffer {
    uint8_t* data;
    uint64_t end;       // equal to length
    uint64_t capacity;
    uint64_t length;
};

gurl_buffer* gurl_buffer_create(uint64_t capacity);
// The capacity that appending n bytes grows b to (its capacity when it fits); 0 on overflow.
uint64_t gurl_buffer_capacity_for(const gurl_buffer* b, uint64_t n);
// Appends n bytes; false (buffer unchanged) when memory runs out.
bool gurl_buffer_append(gurl_buffer* b, const void* bytes, uint64_t n);
void gurl_buffer_destroy(gurl_buffer* b);

// The URL as sent: every byte other than a digit, an ASCII letter or one of # % & - . / : = ? _
// becomes '%' and two lowercase hex digits.
gurl_buffer* gurl_escape_url(const char* url, size_t length);

enum gurl_state : uint32_t { GURL_STARTED = 1, GURL_RECEIVING = 2, GURL_DONE = 3, GURL_FAILED = 4 };

constexpr int GURL_MAX_JOBS = 256;
constexpr int64_t GURL_RECLAIM_TICKS = 120;
constexpr uint64_t GURL_BODY_MAX = 0x2000000;  // a longer body fails the download

struct gurl_job;
typedef void (*gurl_callback)(gurl_job* job);

// The memory that the downloads of one process hold, counted against the room its memory limit
// leaves them. Kept apart from the process record, which may go while its downloads still run:
// an account lives while its process does and while any job refers to it.
struct gurl_account {
    std::atomic<int64_t> held{0};  // body capacity of its jobs until they are reclaimed
    std::atomic<int64_t> room{0};  // what held may reach, set by the main thread; 0 once the owner is gone
    int64_t owner = 0;             // process id, 0 once the process is gone (main thread)
    int32_t jobs = 0;              // jobs that refer to it (main thread)
};
constexpr int GURL_MAX_ACCOUNTS = 512 + GURL_MAX_JOBS;  // every process, and jobs outliving theirs
// Downloads leave their process this much of its memory limit beyond what it uses, so that a
// process whose downloads fill their room can still run (and read them).
constexpr int64_t GURL_SCRIPT_HEADROOM = 0x200000;

// One slot of the job table. The worker publishes the body, then the state, then the finish
// tick (release), runs the callback, and last sets worker_done; readers use acquire.
struct gurl_job {
    // (The initialisers let the table be zero data rather than built by start-up code.)
    uint32_t id = 0;  // 0: free slot
    gurl_buffer* url = nullptr;
    gurl_buffer* extra = nullptr;
    gurl_buffer* body = nullptr;
    os_thread* thread = nullptr;
    std::atomic<uint32_t> state{0};
    std::atomic<int64_t> finish_tick{0};  // 0 while running
    void* transfer = nullptr;             // the worker's transfer handle while it runs
    uint64_t last_chunk = 0;
    gurl_callback callback = nullptr;
    gurl_account* account = nullptr;       // whose memory the body counts against, or null
    std::atomic<uint32_t> over_room{0};    // the body outgrew its account's room (set before the state)
    std::atomic<uint32_t> worker_done{0};  // the worker no longer touches the slot
};

// Starts a download of url (length bytes) on a new worker; the job id, or -1 when url is
// missing or the id's slot is still busy. extra is copied; callback runs on the worker. With an
// account, the body's memory counts against it and the download fails once past its room.
int64_t gurl_get(const char* url, size_t length, const char* extra, gurl_callback callback,
                 gurl_account* account = nullptr);
// The job with this id, or null.
gurl_job* gurl_get_job(int64_t id);
// Once per frame on the main thread: reclaims ended jobs and advances the job clock.
void gurl_update();
int64_t gurl_current_tick();
// The transfer library is loaded by its soname (libcurl's) when the first download's worker
// starts; when it cannot be, that is logged once and every download fails. This names the
// library that the next download loads, forgetting one already loaded (it stays mapped).
// Main thread, while no download runs.
void gurl_use_transfer_library(const char* soname);

// Main thread. The account of a live process, made on first use, with its room brought up to
// date; null when the table is full.
gurl_account* gurl_account_for(process_record* rec);
// The process is gone: its downloads stop at their next block and are reclaimed as usual.
void gurl_process_gone(int64_t pid);

// Completion hook of script downloads (on the worker thread).
void gurl_cb(gurl_job* job);
int lua54_fetch_remote(lua_State* L);         // _fetch_remote
int lua54_fetch_remote_result(lua_State* L);  // _fetch_remote_result
