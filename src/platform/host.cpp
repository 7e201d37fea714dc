// Host services on Linux: folders, the debug log, clock, the host "open" command,
// the clipboard and worker threads.
#include "platform/host.h"
#include "platform/sdl_library.h"

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <pthread.h>
#include <pwd.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

#include "base/machine.h"
#include "lauxlib.h"
#include "lua.h"
#include "platform/host_text.h"
#include "platform/window.h"

extern char** environ;

char velt_argv0[1024];
char velt_debug_string[16384];

FILE* velt_debug_file = nullptr;
char last_debug_msg[VELT_DEBUG_TEXT_MAX];
int32_t repeated_debug_msg_count = 0;

int64_t (*velt_log_process_id)() = nullptr;
pbuffer* (*velt_resolve_to_origin)(const char* path, uint32_t* kind) = nullptr;

namespace {

// ---------------------------------------------------------------------------
// Path building

// A path under construction; once too long it stays refused.
struct path_text {
    char text[VELT_PATH_MAX];
    int length;
    bool too_long;
};

void path_start(path_text& p, const char* start)
{
    p.text[0] = 0;
    p.length = 0;
    p.too_long = false;
    if (!start) return;
    size_t n = strnlen(start, VELT_PATH_MAX);
    if (n >= (size_t)VELT_PATH_MAX) {
        p.too_long = true;
        return;
    }
    memcpy(p.text, start, n + 1);
    p.length = (int)n;
}

void path_add(path_text& p, const char* s)
{
    if (p.too_long || !s) return;
    size_t n = strlen(s);
    if (n >= (size_t)(VELT_PATH_MAX - p.length)) {
        p.too_long = true;
        return;
    }
    memcpy(p.text + p.length, s, n + 1);
    p.length += (int)n;
}

void path_add_char(path_text& p, char c)
{
    char s[2] = {c, 0};
    path_add(p, s);
}

bool path_ends_with_slash(const path_text& p)
{
    return p.length > 0 && p.text[p.length - 1] == '/';
}

// Copies the path to dst; a path that did not fit leaves dst empty.
void path_store(const path_text& p, char* dst)
{
    if (p.too_long) {
        dst[0] = 0;
        return;
    }
    memcpy(dst, p.text, (size_t)p.length + 1);
}

void strip_trailing_slashes(char* s)
{
    size_t n = strlen(s);
    while (n > 0 && s[n - 1] == '/') s[--n] = 0;
}

// Copies src into dst (size bytes); false when it does not fit.
bool copy_text(char* dst, size_t size, const char* src)
{
    size_t n = strlen(src);
    if (n >= size) return false;
    memcpy(dst, src, n + 1);
    return true;
}

// Copies at most size - 1 bytes of src into dst and terminates it.
void copy_bounded(char* dst, size_t size, const char* src)
{
    size_t n = strnlen(src, size - 1);
    memcpy(dst, src, n);
    dst[n] = 0;
}

bool is_folder(const char* path)
{
    struct stat st;
    return path[0] && stat(path, &st) == 0 && S_ISDIR(st.st_mode);
}

// A setting's folder counts when its first byte is neither 0 nor a space.
bool folder_setting_given(const char* folder)
{
    return folder[0] != 0 && folder[0] != ' ';
}

// The user's home folder without trailing '/': HOME when set and not empty,
// otherwise the password database's entry. False when there is none.
bool find_home_folder(char* out, size_t size)
{
    const char* home = getenv("HOME");
    if (home && home[0]) {
        if (!copy_text(out, size, home)) return false;
    } else {
        struct passwd entry;
        struct passwd* found = nullptr;
        char scratch[4096];
        if (getpwuid_r(getuid(), &entry, scratch, sizeof(scratch), &found) != 0 || !found) return false;
        if (!found->pw_dir || !found->pw_dir[0]) return false;
        if (!copy_text(out, size, found->pw_dir)) return false;
    }
    strip_trailing_slashes(out);
    return true;
}

// Creates the folder and any missing parents; errors are left to later opens.
void make_folder_levels(const char* path)
{
    if (!path[0] || velt_mkdir(path) == 0 || errno != ENOENT) return;
    char level[VELT_PATH_MAX];
    if (!copy_text(level, sizeof(level), path)) return;
    for (char* p = level + 1; *p; p++) {
        if (*p != '/') continue;
        *p = 0;
        velt_mkdir(level);
        *p = '/';
    }
    velt_mkdir(level);
}

// The base of the application data (XDG_DATA_HOME when absolute, otherwise
// HOME/.local/share), without trailing '/'. False when there is none.
bool find_data_home(char* out, size_t size)
{
    const char* xdg = getenv("XDG_DATA_HOME");
    if (xdg && xdg[0] == '/') {
        if (!copy_text(out, size, xdg)) return false;
        strip_trailing_slashes(out);
        return true;
    }
    char home[VELT_PATH_MAX];
    if (!find_home_folder(home, sizeof(home))) return false;
    path_text p;
    path_start(p, home);
    path_add(p, "/.local/share");
    if (p.too_long || !copy_text(out, size, p.text)) return false;
    return true;
}

// The export name from image record 0 as one safe folder name (at most 255 bytes,
// no separators or control bytes, not "." or ".."); empty for the plain system.
void read_export_name(char* out, size_t size)
{
    out[0] = 0;
    pbuffer* record = get_dat_file(0);
    if (!record || !record->data || record->length <= 0 || record->data[0] == 0) return;
    size_t limit = size - 1 < 255 ? size - 1 : 255;
    size_t n = 0;
    bool only_dots = true;
    for (int32_t i = 0; i < record->length && n < limit; i++) {
        uint8_t c = record->data[i];
        if (c == 0) break;
        if (c == '/' || c == '\\' || c < 32 || c == 127) c = '_';
        if (c != '.') only_dots = false;
        out[n++] = (char)c;
    }
    out[n] = 0;
    if (only_dots) memset(out, '_', n);
}

// ---------------------------------------------------------------------------
// Desktop folder

// The XDG_DESKTOP_DIR entry of user-dirs.dirs, with $HOME expanded.
bool read_user_dirs_desktop(const char* home, char* out, size_t size)
{
    const char* xdg = getenv("XDG_CONFIG_HOME");
    char config_dir[VELT_PATH_MAX];
    if (xdg && xdg[0] == '/') {
        if (!copy_text(config_dir, sizeof(config_dir), xdg)) return false;
    } else {
        path_text p;
        path_start(p, home);
        path_add(p, "/.config");
        if (p.too_long) return false;
        memcpy(config_dir, p.text, (size_t)p.length + 1);
    }
    strip_trailing_slashes(config_dir);
    path_text file;
    path_start(file, config_dir);
    path_add(file, "/user-dirs.dirs");
    if (file.too_long) return false;

    FILE* f = fopen(file.text, "re");
    if (!f) return false;
    bool found = false;
    char line[4096];
    const char key[] = "XDG_DESKTOP_DIR";
    while (fgets(line, sizeof(line), f)) {
        char* p = line;
        while (*p == ' ' || *p == '\t') p++;
        if (strncmp(p, key, sizeof(key) - 1) != 0) continue;
        p += sizeof(key) - 1;
        while (*p == ' ' || *p == '\t') p++;
        if (*p++ != '=') continue;
        while (*p == ' ' || *p == '\t') p++;
        if (*p++ != '"') continue;
        char value[VELT_PATH_MAX];
        size_t n = 0;
        bool closed = false;
        while (*p && n < sizeof(value) - 1) {
            if (*p == '"') {
                closed = true;
                break;
            }
            if (*p == '\\' && p[1]) p++;
            value[n++] = *p++;
        }
        value[n] = 0;
        if (!closed) continue;
        path_text result;
        if (strncmp(value, "$HOME", 5) == 0 && (value[5] == '/' || value[5] == 0)) {
            path_start(result, home);
            path_add(result, value + 5);
        } else if (value[0] == '/') {
            path_start(result, value);
        } else {
            continue;
        }
        if (result.too_long || !copy_text(out, size, result.text)) continue;
        found = true;  // a later entry overrides an earlier one
    }
    fclose(f);
    return found;
}

// The host desktop folder without trailing '/': the XDG desktop folder, else
// HOME/Desktop, else HOME. Only existing folders are taken; none is created.
bool find_desktop_folder(char* out, size_t size)
{
    const char* xdg = getenv("XDG_DESKTOP_DIR");
    if (xdg && xdg[0] == '/' && is_folder(xdg) && copy_text(out, size, xdg)) {
        strip_trailing_slashes(out);
        return true;
    }
    char home[VELT_PATH_MAX];
    if (!find_home_folder(home, sizeof(home))) return false;
    char candidate[VELT_PATH_MAX];
    if (read_user_dirs_desktop(home, candidate, sizeof(candidate)) && is_folder(candidate)) {
        strip_trailing_slashes(candidate);
        return copy_text(out, size, candidate);
    }
    path_text desktop;
    path_start(desktop, home);
    path_add(desktop, "/Desktop");
    if (!desktop.too_long && is_folder(desktop.text)) return copy_text(out, size, desktop.text);
    return copy_text(out, size, home);
}

// ---------------------------------------------------------------------------
// Log

std::mutex debug_lock;

int64_t log_process_id()
{
    int64_t id = velt_log_process_id ? velt_log_process_id() : 0;
    return id < 0 ? 0 : id;
}

// Writes a short log line of its own (kept apart from velt_debug_string, which
// the caller may be using).
__attribute__((format(printf, 1, 2))) void log_format(const char* format, ...)
{
    char line[VELT_PATH_MAX + 256];
    va_list args;
    va_start(args, format);
    vsnprintf(line, sizeof(line), format, args);
    va_end(args);
    velt_debug(line);
}

// ---------------------------------------------------------------------------
// Host "open" command

constexpr int PENDING_OPENER_MAX = 32;
pid_t pending_openers[PENDING_OPENER_MAX];
std::mutex opener_lock;

void* wait_for_opener(void* arg)
{
    pid_t pid = (pid_t)(intptr_t)arg;
    while (waitpid(pid, nullptr, 0) < 0 && errno == EINTR) {
    }
    return nullptr;
}

// Collects openers that ended and whose waiting thread could not be started.
void reap_pending_openers()
{
    std::lock_guard<std::mutex> guard(opener_lock);
    for (pid_t& pid : pending_openers) {
        if (pid > 0 && waitpid(pid, nullptr, WNOHANG) != 0) pid = 0;
    }
}

// Reaps the opener when it ends, without waiting for it here.
void reap_later(pid_t pid)
{
    pthread_attr_t attr;
    if (pthread_attr_init(&attr) == 0) {
        pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
        pthread_attr_setstacksize(&attr, 64 * 1024);
        pthread_t thread;
        int rc = pthread_create(&thread, &attr, wait_for_opener, (void*)(intptr_t)pid);
        pthread_attr_destroy(&attr);
        if (rc == 0) return;
    }
    std::lock_guard<std::mutex> guard(opener_lock);
    for (pid_t& slot : pending_openers) {
        if (slot == 0) {
            slot = pid;
            return;
        }
    }
}

bool is_url_byte_kept(uint8_t c)
{
    if ((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9')) return true;
    return c == '-' || c == '.' || c == '/' || c == '#' || c == '&' || c == ':' || c == '=' ||
           c == '?' || c == '_';
}

void minimise_fullscreen_window()
{
    if (!config.fullscreen || !host_media_started() || !SDL_WasInit(SDL_INIT_VIDEO)) return;
    SDL_Window* window = SDL_GetKeyboardFocus();
    if (!window) window = SDL_GetMouseFocus();
    if (window) SDL_MinimizeWindow(window);
}

}  // namespace

// ---------------------------------------------------------------------------
// Folders

void velt_prefix_with_program_path(const char* name, char* dst)
{
    char program[1024];
    copy_bounded(program, sizeof(program), velt_argv0);

    path_text p;
    path_start(p, "");
    if (program[0]) {
        int cut = -1;
        for (int i = (int)strlen(program) - 1; i >= 1; i--) {
            if (program[i] == '/' || program[i] == '\\') {
                cut = i;
                break;
            }
        }
        if (cut >= 1) {
            program[cut] = '/';
            program[cut + 1] = 0;
            path_add(p, program);
        } else if (program[0] != '/' && program[0] != '\\') {
            // Started through the search path: the folder of the running executable.
            char exe[VELT_PATH_MAX];
            ssize_t n = readlink("/proc/self/exe", exe, sizeof(exe) - 1);
            char* slash = nullptr;
            if (n > 0) {
                exe[n] = 0;
                slash = strrchr(exe, '/');
            }
            if (slash) {
                slash[1] = 0;
                path_add(p, exe);
            } else {
                path_add(p, "/");
            }
        } else {
            path_add(p, "/");
        }
    }
    path_add(p, name);
    path_store(p, dst);
}

void append_export_home(char* dst)
{
    path_text p;
    path_start(p, dst);
    path_add(p, "exp/");
    if (!p.too_long) velt_mkdir(p.text);
    char name[256];
    read_export_name(name, sizeof(name));
    if (name[0]) {
        path_add(p, name);
        path_add(p, "/");
    } else {
        path_add(p, "shared/");
    }
    if (!p.too_long) velt_mkdir(p.text);
    path_store(p, dst);
}

void velt_prefix_with_appdata_path(const char* name, char* dst)
{
    path_text p;
    if (folder_setting_given(config.home_folder)) {
        char folder[sizeof(config.home_folder)];
        copy_bounded(folder, sizeof(folder), config.home_folder);
        velt_fix_backslashes(folder);
        path_start(p, folder);
        if (!path_ends_with_slash(p)) path_add_char(p, '/');
        path_add(p, name);
        path_store(p, dst);
        return;
    }

    char base[VELT_PATH_MAX];
    path_start(p, "");
    if (find_data_home(base, sizeof(base))) {
        path_add(p, base);
        path_add(p, "/orvalune");
        if (!p.too_long) make_folder_levels(p.text);
        path_add_char(p, '/');
    }
    if (p.too_long) {
        dst[0] = 0;
        return;
    }
    append_export_home(p.text);
    if (!p.text[0]) {
        dst[0] = 0;
        return;
    }
    p.length = (int)strlen(p.text);
    path_add(p, name);
    path_store(p, dst);
}

void velt_prefix_with_desktop_path(const char* name, char* dst)
{
    path_text p;
    if (folder_setting_given(config.desktop_folder)) {
        char folder[sizeof(config.desktop_folder)];
        copy_bounded(folder, sizeof(folder), config.desktop_folder);
        velt_mkdir(folder);
        path_start(p, folder);
        if (!path_ends_with_slash(p)) path_add_char(p, '/');
        path_add(p, name);
        path_store(p, dst);
        return;
    }
    char desktop[VELT_PATH_MAX];
    path_start(p, "");
    if (find_desktop_folder(desktop, sizeof(desktop))) {
        path_add(p, desktop);
        path_add_char(p, '/');
    }
    path_add(p, name);
    path_store(p, dst);
}

int velt_mkdir(const char* path)
{
    if (!path) return -1;
    return mkdir(path, 0755);
}

void velt_fix_backslashes(char* text)
{
    if (!text) return;
    for (char* p = text; *p; p++) {
        if (*p == '\\') *p = '/';
    }
}

// ---------------------------------------------------------------------------
// Log, clock, sleep

void velt_debug(const char* text)
{
    if (!text) return;
    std::lock_guard<std::mutex> guard(debug_lock);
    if (!velt_debug_file) {
        char path[VELT_PATH_MAX];
        velt_prefix_with_appdata_path("log.txt", path);
        if (!path[0]) return;
        velt_debug_file = fopen(path, "we");
        if (!velt_debug_file) return;
        last_debug_msg[0] = 0;
        repeated_debug_msg_count = 0;
    }
    if (text[0] == '>') text++;
    if (text[0] == '<') text++;

    if (strcmp(text, last_debug_msg) == 0) {
        repeated_debug_msg_count++;
        return;
    }
    long long process_id = (long long)log_process_id();
    if (repeated_debug_msg_count >= 1) {
        fprintf(velt_debug_file, "[x %04d %03lld] %s", repeated_debug_msg_count, process_id,
                last_debug_msg);
    }
    fprintf(velt_debug_file, "[%06lld %03lld] %s", (long long)os_get_time(), process_id, text);
    fflush(velt_debug_file);

    size_t n = strnlen(text, VELT_DEBUG_TEXT_MAX - 1);
    memcpy(last_debug_msg, text, n);
    last_debug_msg[n] = 0;
    repeated_debug_msg_count = 0;
}

namespace {

uint64_t monotonic_ms()
{
    timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return (uint64_t)t.tv_sec * 1000u + (uint64_t)t.tv_nsec / 1000000u;
}

// The clock starts near 0 when the program starts (the first reading).
uint64_t clock_start = monotonic_ms();

}  // namespace

uint64_t os_get_time()
{
    return monotonic_ms() - clock_start;
}

void os_sleep(uint32_t ms)
{
    timespec t = {(time_t)(ms / 1000), (long)(ms % 1000) * 1000000L};
    while (nanosleep(&t, &t) != 0 && errno == EINTR) {}
}

// ---------------------------------------------------------------------------
// Host signals

namespace {

volatile sig_atomic_t quit_signal_arrived = 0;

void on_quit_signal(int sig)
{
    if (quit_signal_arrived) {
        // The loop has not taken up the first request (a script that never yields holds
        // it): a second signal ends the program the host's way.
        signal(sig, SIG_DFL);
        raise(sig);
        return;
    }
    quit_signal_arrived = 1;
}

}  // namespace

void os_install_signal_handlers()
{
    struct sigaction quit = {};
    quit.sa_handler = on_quit_signal;
    sigemptyset(&quit.sa_mask);
    quit.sa_flags = SA_RESTART;
    sigaction(SIGTERM, &quit, nullptr);
    sigaction(SIGINT, &quit, nullptr);
    sigaction(SIGHUP, &quit, nullptr);
    struct sigaction ignore = {};
    ignore.sa_handler = SIG_IGN;
    sigemptyset(&ignore.sa_mask);
    sigaction(SIGPIPE, &ignore, nullptr);
}

bool os_take_quit_signal()
{
    if (!quit_signal_arrived) return false;
    quit_signal_arrived = 0;
    return true;
}

// ---------------------------------------------------------------------------
// Opening host paths and web addresses

int velt_escape_url(const char* url, char* dst, int dst_size)
{
    if (!dst || dst_size <= 0) return -1;
    static const char hex[] = "0123456789abcdef";
    int n = 0;
    for (const uint8_t* p = (const uint8_t*)(url ? url : ""); *p; p++) {
        int need = is_url_byte_kept(*p) ? 1 : 3;
        if (n + need >= dst_size) {
            dst[0] = 0;
            return -1;
        }
        if (need == 1) {
            dst[n++] = (char)*p;
        } else {
            dst[n++] = '%';
            dst[n++] = hex[*p >> 4];
            dst[n++] = hex[*p & 15];
        }
    }
    dst[n] = 0;
    return n;
}

int open_host_file(const char* path)
{
    if (!path || !path[0]) return -1;
    char argument[VELT_PATH_MAX];
    bool web_address = strncmp(path, "http:", 5) == 0 || strncmp(path, "https:", 6) == 0;
    if (web_address) {
        if (velt_escape_url(path, argument, sizeof(argument)) < 0) {
            log_format("open_host_file: address too long (%zu bytes)\n", strlen(path));
            return -1;
        }
    } else {
        // A leading '-' must not read as an option of the command.
        path_text p;
        path_start(p, path[0] == '-' ? "./" : "");
        path_add(p, path);
        if (p.too_long) {
            log_format("open_host_file: path too long (%zu bytes)\n", strlen(path));
            return -1;
        }
        path_store(p, argument);
    }

    reap_pending_openers();

    char command[] = "xdg-open";
    char* argv[] = {command, argument, nullptr};
    posix_spawn_file_actions_t actions;
    posix_spawnattr_t attr;
    posix_spawn_file_actions_init(&actions);
#if defined(__GLIBC__) && (__GLIBC__ > 2 || (__GLIBC__ == 2 && __GLIBC_MINOR__ >= 34))
    posix_spawn_file_actions_addclosefrom_np(&actions, 3);
#endif
    posix_spawnattr_init(&attr);
    // The command starts with default signal handling and nothing blocked, whatever
    // this program ignores (such as broken pipes).
    sigset_t all_signals;
    sigset_t no_signals;
    sigfillset(&all_signals);
    sigemptyset(&no_signals);
    posix_spawnattr_setsigdefault(&attr, &all_signals);
    posix_spawnattr_setsigmask(&attr, &no_signals);
    posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK);

    pid_t pid = 0;
    int rc = posix_spawnp(&pid, command, &actions, &attr, argv, environ);
    posix_spawnattr_destroy(&attr);
    posix_spawn_file_actions_destroy(&actions);
    if (rc != 0) {
        if (rc == ENOENT)
            log_format("open_host_file: xdg-open not found; could not open %s\n", argument);
        else
            log_format("open_host_file: could not start xdg-open for %s (errno %d)\n", argument, rc);
        return -1;
    }
    reap_later(pid);
    minimise_fullscreen_window();
    return 0;
}

// ---------------------------------------------------------------------------
// The clipboard

pbuffer* os_get_clipboard_text()
{
    char* host_text = host_media_start() ? SDL_GetClipboardText() : nullptr;
    pbuffer* in = create_buffer_from_str(host_text ? host_text : "");
    if (host_text) SDL_free(host_text);
    pbuffer* out = decode_host_text(in);
    destroy_buffer(in);
    return out;
}

void os_set_clipboard_text(const char* text)
{
    pbuffer* out = encode_host_text(text);
    if (host_media_start()) SDL_SetClipboardText(to_cstr(out));
    destroy_buffer(out);
}

// ---------------------------------------------------------------------------
// Worker threads

os_thread* os_create_thread(os_thread_function fn, void* arg)
{
    if (!fn) return nullptr;
    os_thread* t = (os_thread*)calloc(1, sizeof(os_thread));
    if (!t) return nullptr;
    struct start_block {
        os_thread_function fn;
        void* arg;
    };
    start_block* b = (start_block*)malloc(sizeof(start_block));
    if (!b) {
        free(t);
        return nullptr;
    }
    b->fn = fn;
    b->arg = arg;
    auto start = [](void* p) -> void* {
        start_block block = *(start_block*)p;
        free(p);
        pthread_setname_np(pthread_self(), "orvalune_worker");
        block.fn(block.arg);
        return nullptr;
    };
    int rc = pthread_create(&t->handle, nullptr, start, b);
    if (rc != 0) {
        log_format("os_create_thread: could not start a worker thread: %s\n", strerror(rc));
        free(b);
        free(t);
        return nullptr;
    }
    return t;
}

void os_destroy_thread(os_thread* t)
{
    if (!t) return;
    pthread_detach(t->handle);
    free(t);
}
