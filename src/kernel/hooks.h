// What the layers above the kernel do when processes come and go and when a frame's slices are
// done, filled in once at start-up (app/hooks.cpp). A hook left null does nothing.
#pragma once

struct lua_State;
struct process_record;

struct kernel_hooks {
    void (*open_state)(lua_State* L);              // sets the script API in a new state
    void (*process_started)(process_record* rec);  // a fresh record: its default audio data
    void (*process_gone)(process_record* rec);     // its sockets, downloads and mounts go
    void (*stop_all_audio)();                      // every voice stops (the audio lock is held)
    void (*processes_cleared)();                   // every process is gone: video mode 0
    void (*slices_done)(bool prune);               // after a frame's slices: mixer copy, sockets, mounts
    void (*writing_back)();                        // the program ends: changed files are written back
};
extern kernel_hooks kernel_hook;
