// HTTP fetch jobs over libcurl's easy interface: the job table, the workers and the
// main loop's reclaiming of ended jobs. libcurl (with its TLS, Kerberos and other libraries) is
// not linked: the first download's worker loads it by its soname, so a start that downloads
// nothing never maps it.
#include "net/gurl.h"

#include <curl/curl.h>
#include <dlfcn.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <strings.h>

#include "kernel/process.h"
#include "kernel/slice.h"
#include "platform/host.h"

// --- growable buffers -----------------------------------------------------------------------

gurl_buffer* gurl_buffer_create(uint64_t capacity) {
    if (capacity < 1) capacity = 1;
    gurl_buffer* b = static_cast<gurl_buffer*>(calloc(1, sizeof(gurl_buffer)));
    if (!b) return nullptr;
    b->data = static_cast<uint8_t*>(calloc(capacity, 1));
    if (!b->data) {
        free(b);
        return nullptr;
    }
    b->capacity = capacity;
    return b;
}

uint64_t gurl_buffer_capacity_for(const gurl_buffer* b, uint64_t n) {
    const uint64_t need = b->length + n + 1;
    if (need < b->length) return 0;
    if (b->capacity >= need) return b->capacity;
    uint64_t capacity = b->capacity > 256 ? b->capacity : 256;
    while (capacity < need) {
        if (capacity > UINT64_MAX / 2) return 0;
        capacity *= 2;
    }
    return capacity;
}

bool gurl_buffer_append(gurl_buffer* b, const void* bytes, uint64_t n) {
    if (!b || (n && !bytes)) return false;
    const uint64_t capacity = gurl_buffer_capacity_for(b, n);
    if (capacity == 0) return false;
    if (b->capacity < capacity) {
        uint8_t* grown = static_cast<uint8_t*>(realloc(b->data, capacity));
        if (!grown) return false;
        memset(grown + b->capacity, 0, capacity - b->capacity);
        b->data = grown;
        b->capacity = capacity;
    }
    if (n) memcpy(b->data + b->length, bytes, n);
    b->length += n;
    b->end = b->length;
    b->data[b->length] = 0;
    return true;
}

void gurl_buffer_destroy(gurl_buffer* b) {
    if (!b) return;
    free(b->data);
    free(b);
}

gurl_buffer* gurl_escape_url(const char* url, size_t length) {
    static const char kept[] = "#%&-./:=?_";
    gurl_buffer* out = gurl_buffer_create(length + 1);
    if (!out) return nullptr;
    for (size_t i = 0; i < length; i++) {
        const uint8_t c = uint8_t(url[i]);
        const bool keep = (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') ||
                          (c != 0 && strchr(kept, c));
        char escaped[4];
        if (keep) {
            escaped[0] = char(c);
            escaped[1] = 0;
        } else {
            snprintf(escaped, sizeof escaped, "%%%02x", c);
        }
        if (!gurl_buffer_append(out, escaped, strlen(escaped))) {
            gurl_buffer_destroy(out);
            return nullptr;
        }
    }
    return out;
}

// --- the job table --------------------------------------------------------------------------

namespace {

constexpr long LOW_SPEED_BYTES = 1;      // a transfer slower than this per second ...
constexpr long LOW_SPEED_SECONDS = 30;   // ... for this long is given up
constexpr long CONNECT_SECONDS = 30;
constexpr long MAX_REDIRECTS = 20;

// --- the transfer library, loaded on first use ---

// The functions of libcurl's easy interface that the workers call.
struct transfer_api {
    CURLcode (*global_init)(long flags);
    CURL* (*easy_init)();
    CURLcode (*easy_setopt)(CURL* handle, CURLoption option, ...);
    CURLcode (*easy_perform)(CURL* handle);
    void (*easy_cleanup)(CURL* handle);
};
enum transfer_status : uint32_t { TRANSFER_UNLOADED, TRANSFER_READY, TRANSFER_MISSING };

// The lock guards the status, the name and the table; the table is filled once, before the
// status becomes ready, and only read after that.
std::mutex transfer_lock;
transfer_status transfer_state = TRANSFER_UNLOADED;
transfer_api transfer;
char transfer_soname[64] = "libcurl.so.4";

void log_transfer_failure(const char* what, const char* detail) {
    char line[512];
    snprintf(line, sizeof line, "** downloads are off: %s %s: %s\n", what, transfer_soname, detail ? detail : "");
    velt_debug(line);
}

template <typename F>
bool take_function(void* lib, const char* name, F** fn) {
    void* address = dlsym(lib, name);
    if (!address) {
        log_transfer_failure("found no function", name);
        return false;
    }
    *fn = reinterpret_cast<F*>(address);
    return true;
}

// Opens the library, takes its functions and initialises it once; with the lock held.
transfer_status open_transfer_library() {
    void* lib = dlopen(transfer_soname, RTLD_NOW | RTLD_LOCAL);
    if (!lib) {
        log_transfer_failure("could not load", dlerror());
        return TRANSFER_MISSING;
    }
    const bool found = take_function(lib, "curl_global_init", &transfer.global_init) &&
                       take_function(lib, "curl_easy_init", &transfer.easy_init) &&
                       take_function(lib, "curl_easy_setopt", &transfer.easy_setopt) &&
                       take_function(lib, "curl_easy_perform", &transfer.easy_perform) &&
                       take_function(lib, "curl_easy_cleanup", &transfer.easy_cleanup);
    if (!found) {
        dlclose(lib);
        return TRANSFER_MISSING;
    }
    if (transfer.global_init(CURL_GLOBAL_DEFAULT) != CURLE_OK) {
        // Left mapped: a library that started to initialise is not unloaded.
        log_transfer_failure("could not initialise", "curl_global_init failed");
        return TRANSFER_MISSING;
    }
    return TRANSFER_READY;
}

// The loaded library's functions, loading it at the first call; null when it is not there
// (logged once). Any thread.
const transfer_api* load_transfer() {
    std::lock_guard<std::mutex> guard(transfer_lock);
    if (transfer_state == TRANSFER_UNLOADED) transfer_state = open_transfer_library();
    return transfer_state == TRANSFER_READY ? &transfer : nullptr;
}

gurl_job jobs[GURL_MAX_JOBS];
gurl_account accounts[GURL_MAX_ACCOUNTS];
// Accounts ever given an owner come first: those past them are still free and untouched, and
// are not looked at.
int accounts_used = 0;
bool table_ready = false;
std::atomic<int64_t> gurl_tick{0};
int64_t next_job_id = 1;

// --- accounts (main thread, but for held, which workers add to) ---

void release_account(gurl_account* a) {
    if (a->owner != 0 || a->jobs != 0) return;
    a->held.store(0, std::memory_order_relaxed);
    a->room.store(0, std::memory_order_relaxed);
}

// Sets the room of a live process's account: its memory limit less what its script heap and
// address space take, and less the headroom left to the script.
void refresh_room(gurl_account* a, const process_record* rec) {
    const int64_t used = rec->heap_bytes + rec->page_bytes - rec->heap_baseline + PROCESS_MEMORY_SLACK;
    const int64_t room = PROCESS_MEMORY_LIMIT - used - GURL_SCRIPT_HEADROOM;
    a->room.store(room > 0 ? room : 0, std::memory_order_relaxed);
}

// Reserves grow more bytes of the account's room for a body; false (nothing reserved) when
// they do not fit.
bool reserve(gurl_account* a, uint64_t grow) {
    if (!a || grow == 0) return true;
    if (grow > uint64_t(PROCESS_MEMORY_LIMIT)) return false;
    int64_t held = a->held.load(std::memory_order_relaxed);
    do {
        if (held + int64_t(grow) > a->room.load(std::memory_order_relaxed)) return false;
    } while (!a->held.compare_exchange_weak(held, held + int64_t(grow), std::memory_order_relaxed));
    return true;
}

void unreserve(gurl_account* a, uint64_t bytes) {
    if (a && bytes) a->held.fetch_sub(int64_t(bytes), std::memory_order_relaxed);
}

// Frees what the slot holds and returns it to the free state.
void reset_slot(gurl_job* job) {
    if (job->account) {
        unreserve(job->account, job->body ? job->body->capacity : 0);
        job->account->jobs--;
        release_account(job->account);
        job->account = nullptr;
    }
    os_destroy_thread(job->thread);
    gurl_buffer_destroy(job->url);
    gurl_buffer_destroy(job->extra);
    gurl_buffer_destroy(job->body);
    job->id = 0;
    job->url = job->extra = job->body = nullptr;
    job->thread = nullptr;
    job->state.store(0, std::memory_order_relaxed);
    job->finish_tick.store(0, std::memory_order_relaxed);
    job->transfer = nullptr;
    job->last_chunk = 0;
    job->callback = nullptr;
    job->over_room.store(0, std::memory_order_relaxed);
    job->worker_done.store(0, std::memory_order_relaxed);
}

// Publishes the end of a transfer: the state, then the finish tick.
void finish_job(gurl_job* job, uint32_t state) {
    job->state.store(state, std::memory_order_release);
    const int64_t tick = gurl_tick.load(std::memory_order_relaxed);
    job->finish_tick.store(tick > 1 ? tick : 1, std::memory_order_release);
}

size_t write_block(char* bytes, size_t size, size_t count, void* arg) {
    gurl_job* job = static_cast<gurl_job*>(arg);
    const uint64_t n = uint64_t(size) * count;
    if (job->body->length + n > GURL_BODY_MAX) return 0;  // ends the transfer as failed
    // A body that grows takes the room first, and gives it back when it cannot grow after all.
    const uint64_t capacity = gurl_buffer_capacity_for(job->body, n);
    if (capacity == 0) return 0;
    const uint64_t grow = capacity - job->body->capacity;
    if (!reserve(job->account, grow)) {
        job->over_room.store(1, std::memory_order_relaxed);  // published with the state
        return 0;
    }
    if (!gurl_buffer_append(job->body, bytes, n)) {
        unreserve(job->account, grow);
        return 0;
    }
    job->last_chunk = n;
    job->state.store(GURL_RECEIVING, std::memory_order_release);
    if (job->callback) job->callback(job);
    return n;
}

// Only addresses that name their web scheme are fetched: without one the transfer library
// would guess one and look the rest up as a host name.
bool names_web_scheme(const gurl_buffer* url) {
    const char* text = reinterpret_cast<const char*>(url->data);
    return strncasecmp(text, "http://", 7) == 0 || strncasecmp(text, "https://", 8) == 0;
}

int worker(void* arg) {
    gurl_job* job = static_cast<gurl_job*>(arg);
    const transfer_api* api = names_web_scheme(job->url) ? load_transfer() : nullptr;
    CURL* curl = api ? api->easy_init() : nullptr;
    job->transfer = curl;
    if (!curl) {
        finish_job(job, GURL_FAILED);
        if (job->callback) job->callback(job);
        job->worker_done.store(1, std::memory_order_release);
        return 0;
    }
    api->easy_setopt(curl, CURLOPT_URL, reinterpret_cast<const char*>(job->url->data));
    api->easy_setopt(curl, CURLOPT_FOLLOWLOCATION, 1L);
    api->easy_setopt(curl, CURLOPT_NOPROGRESS, 1L);
    api->easy_setopt(curl, CURLOPT_WRITEFUNCTION, write_block);
    api->easy_setopt(curl, CURLOPT_WRITEDATA, job);
    // Safe in a worker thread, error pages are failures, only web protocols, bounded size
    // and patience.
    api->easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);
    api->easy_setopt(curl, CURLOPT_FAILONERROR, 1L);
    api->easy_setopt(curl, CURLOPT_PROTOCOLS_STR, "http,https");
    api->easy_setopt(curl, CURLOPT_REDIR_PROTOCOLS_STR, "http,https");
    api->easy_setopt(curl, CURLOPT_MAXREDIRS, MAX_REDIRECTS);
    api->easy_setopt(curl, CURLOPT_MAXFILESIZE_LARGE, curl_off_t(GURL_BODY_MAX));
    api->easy_setopt(curl, CURLOPT_LOW_SPEED_LIMIT, LOW_SPEED_BYTES);
    api->easy_setopt(curl, CURLOPT_LOW_SPEED_TIME, LOW_SPEED_SECONDS);
    api->easy_setopt(curl, CURLOPT_CONNECTTIMEOUT, CONNECT_SECONDS);
    const CURLcode rc = api->easy_perform(curl);
    finish_job(job, rc == CURLE_OK ? GURL_DONE : GURL_FAILED);
    if (job->callback) job->callback(job);
    api->easy_cleanup(curl);
    job->transfer = nullptr;
    job->worker_done.store(1, std::memory_order_release);
    return 0;
}

}  // namespace

int64_t gurl_get(const char* url, size_t length, const char* extra, gurl_callback callback,
                 gurl_account* account) {
    if (!url) return -1;
    if (!table_ready) {
        for (gurl_job& job : jobs) reset_slot(&job);
        table_ready = true;
    }
    const int64_t id = next_job_id++;
    gurl_job* job = &jobs[id % GURL_MAX_JOBS];
    if (job->id != 0) {
        next_job_id--;
        velt_debug("gurl_get: new_job() failed\n");
        return -1;
    }
    reset_slot(job);
    job->id = uint32_t(id);
    job->state.store(GURL_STARTED, std::memory_order_relaxed);
    job->body = gurl_buffer_create(1024);
    job->url = gurl_escape_url(url, length);
    if (extra) {
        job->extra = gurl_buffer_create(strlen(extra) + 1);
        if (job->extra) gurl_buffer_append(job->extra, extra, strlen(extra));
    }
    job->callback = callback;
    if (account) {
        // The first block of the body is small: it is taken whatever the room.
        job->account = account;
        account->jobs++;
        if (job->body) account->held.fetch_add(int64_t(job->body->capacity), std::memory_order_relaxed);
    }
    if (job->body && job->url) job->thread = os_create_thread(worker, job);
    if (!job->thread) {
        // No worker: the job ends at once as failed and is reclaimed like any other.
        finish_job(job, GURL_FAILED);
        job->worker_done.store(1, std::memory_order_release);
    }
    return id;
}

gurl_job* gurl_get_job(int64_t id) {
    if (id <= 0 || !table_ready) return nullptr;
    for (gurl_job& job : jobs)
        if (job.id == id) return &job;
    return nullptr;
}

gurl_account* gurl_account_for(process_record* rec) {
    if (!rec || rec->id <= 0) return nullptr;
    gurl_account* account = nullptr;
    for (int i = 0; i < accounts_used; i++) {
        gurl_account& a = accounts[i];
        if (a.owner == rec->id) {
            account = &a;
            break;
        }
        if (!account && a.owner == 0 && a.jobs == 0) account = &a;
    }
    if (!account && accounts_used < GURL_MAX_ACCOUNTS) account = &accounts[accounts_used++];
    if (!account) return nullptr;
    if (account->owner != rec->id) {
        account->owner = rec->id;
        account->held.store(0, std::memory_order_relaxed);
        rec->download_bytes = &account->held;
    }
    refresh_room(account, rec);
    return account;
}

void gurl_process_gone(int64_t pid) {
    if (pid <= 0) return;
    for (int i = 0; i < accounts_used; i++) {
        gurl_account& a = accounts[i];
        if (a.owner != pid) continue;
        a.owner = 0;
        a.room.store(0, std::memory_order_relaxed);
        release_account(&a);
    }
}

void gurl_update() {
    const int64_t tick = gurl_tick.load(std::memory_order_relaxed);
    // The room of every downloading process follows its memory once a frame.
    for (int i = 0; i < accounts_used; i++) {
        gurl_account& a = accounts[i];
        if (a.owner == 0) continue;
        if (const process_record* rec = get_process(a.owner)) refresh_room(&a, rec);
    }
    if (table_ready) {
        for (gurl_job& job : jobs) {
            if (job.id == 0) continue;
            const int64_t finished = job.finish_tick.load(std::memory_order_acquire);
            if (finished == 0 || tick <= finished + GURL_RECLAIM_TICKS) continue;
            if (!job.worker_done.load(std::memory_order_acquire)) continue;  // still in its callback
            reset_slot(&job);
        }
    }
    gurl_tick.store(tick + 1, std::memory_order_relaxed);
}

void gurl_use_transfer_library(const char* soname) {
    if (!soname) return;
    std::lock_guard<std::mutex> guard(transfer_lock);
    snprintf(transfer_soname, sizeof transfer_soname, "%s", soname);
    transfer_state = TRANSFER_UNLOADED;
}

int64_t gurl_current_tick() { return gurl_tick.load(std::memory_order_relaxed); }
