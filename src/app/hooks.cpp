// Connects the layers at start-up: the kernel's hooks and the platform's callbacks, filled in
// with the functions of the subsystems above them before main() runs.
#include "api/registry.h"
#include "storage/capture.h"
#include "audio/mudo.h"
#include "base/machine.h"
#include "gfx/video.h"
#include "kernel/hooks.h"
#include "kernel/memory.h"
#include "kernel/process.h"
#include "kernel/slice.h"
#include "net/gurl.h"
#include "net/sockets.h"
#include "platform/audio_device.h"
#include "platform/window.h"
#include "storage/pdisk.h"
#include "userdata/userdata.h"

namespace {

// Opens the libraries and registers the script API in a new state.
void open_state(lua_State* L) {
    api_add_c_functions(L);
    os_add_public_c_functions(L);
    add_userdata_metatable_functions(L);
    socket_add_public_c_functions(L);
}

void process_started(process_record* rec) { write_default_audio_data(rec); }

void process_gone(process_record* rec) {
    delete_sockets_by_process(rec->id);
    gurl_process_gone(rec->id);
    prune_process_mounts(rec->id);
}

void processes_cleared() { video_mode = 0; }

void slices_done(bool prune) {
    // The mixer reads only its own copy: bring the audio owner's written pages over.
    if (audio_op_start(0, 1) == 0) audio_op_end();
    update_all_sockets();
    if (prune) prune_mounts();
}

void writing_back() {
    flush_dirty_mounts_immediately();
    sync_fs(1);
}

void send_to_wm(const char* text) { send_process_message_string(get_process(3), text); }

bool process_live(int64_t id) { return get_process(id) != nullptr; }

uint16_t peek16(process_record* p, uint32_t a) {
    return (uint16_t)(peek_proc(p, a) | peek_proc(p, a + 1) << 8);
}

void display_size(int64_t id, int32_t* w, int32_t* h) {
    process_record* p = get_process(id);
    int32_t scale = video_mode_scale();
    *w = peek16(p, ADDR_DISPLAY_WIDTH) * scale;
    *h = peek16(p, ADDR_DISPLAY_HEIGHT) * scale;
}

void headless_frame() { update_boot_sequence(); }

void frame_converted() {
    if (app.gif_recording) update_gif_recording(video_palette, video_line_palette);
    update_screenshot(back_page);
}

bool connect_layers() {
    kernel_hook = {open_state, process_started, process_gone, mudo_kill_all_audio, processes_cleared,
                   slices_done, writing_back};
    input_sink = {send_to_wm, process_dropped_file};
    window_source = {process_live, display_size, generate_video_out, headless_frame, kernel_fatal_exit};
    audio_source = {mudo_mix, audio_capture_append};
    video_frame_hook = frame_converted;
    return true;
}

// Every program and test that links the core links this file whole (CMakeLists.txt), so the
// layers are connected before anything runs.
const bool layers_connected = connect_layers();

}  // namespace
