// Host services: the program, application-data and desktop folders, the debug log,
// the millisecond clock and sleep, the host "open" command, the clipboard and worker threads.
#pragma once
#include <cstdint>
#include <cstdio>
#include <pthread.h>
#include "base/pbuffer.h"

struct lua_State;

constexpr int VELT_PATH_MAX = 2048;  // room for any path the host helpers build
constexpr int VELT_DEBUG_TEXT_MAX = 16384;

extern char velt_argv0[1024];           // the program's own path as started
extern char velt_debug_string[16384];   // shared text that callers format log lines into

// Debug log state: the open log.txt (null until the first message), the text
// written last and how often it came again since.
extern FILE* velt_debug_file;
extern char last_debug_msg[VELT_DEBUG_TEXT_MAX];
extern int32_t repeated_debug_msg_count;

// Id of the running process for log lines; set by the kernel (while null, or
// returning a negative id, lines carry 0).
extern int64_t (*velt_log_process_id)();

// Origin of a virtual path through the mounts, with the mount's kind (1 host,
// 2 ram); set by the file system. While null, `_open_host_path` opens web
// addresses only.
extern pbuffer* (*velt_resolve_to_origin)(const char* path, uint32_t* kind);

// The three host folders. dst holds VELT_PATH_MAX bytes; a path that would not
// fit leaves dst empty.
// Folder of the program followed by name.
void velt_prefix_with_program_path(const char* name, char* dst);
// Application-data folder followed by name (folder levels created).
void velt_prefix_with_appdata_path(const char* name, char* dst);
// Desktop folder followed by name.
void velt_prefix_with_desktop_path(const char* name, char* dst);

// Appends the export level ("exp/" and the export name or "shared", each followed by
// '/') to dst (VELT_PATH_MAX bytes), creating both folders.
void append_export_home(char* dst);
// Creates one host folder (0755); the host's result (0, or -1 with errno).
int velt_mkdir(const char* path);
// Replaces every '\' by '/' in place.
void velt_fix_backslashes(char* text);

// Appends one entry to log.txt in the application-data folder.
void velt_debug(const char* text);

// Milliseconds since the program started (64-bit, does not wrap).
uint64_t os_get_time();
void os_sleep(uint32_t ms);

// SIGTERM, SIGINT and SIGHUP become a quit request that the main loop takes up, so the
// normal shutdown writes every pending change; SIGPIPE is ignored, so a closed output
// or a closed peer never ends the program.
void os_install_signal_handlers();
// True when a quit signal arrived since the last call.
bool os_take_quit_signal();

// The %-escaped form of a web address for the host "open" command: A-Z, a-z, 0-9
// and - . / # & : = ? _ are kept, every other byte becomes '%' and two lowercase
// hex digits. Returns the length, or -1 (dst empty) when it needs dst_size bytes or more.
int velt_escape_url(const char* url, char* dst, int dst_size);

// Hands a host path, or a web address beginning "http:" or "https:", to the host
// "open" command (xdg-open) without waiting for it. 0 when the command started,
// -1 when the path was refused (too long) or the command could not be started.
int open_host_file(const char* path);

// The host clipboard's text in the system's character set (null when out of memory), and
// text in that set put on it.
pbuffer* os_get_clipboard_text();
void os_set_clipboard_text(const char* text);

// Worker threads, named "orvalune_worker".
struct os_thread {
    pthread_t handle;
};
typedef int (*os_thread_function)(void* arg);

// Starts fn(arg) on a new host thread; null when the host could not start it
// (fn then never runs).
os_thread* os_create_thread(os_thread_function fn, void* arg);
// Detaches the thread (it runs on to its end) and frees the record; nothing for null.
void os_destroy_thread(os_thread* t);
