// Start-up, the frame loop, reboot and shutdown.
#include "app/app.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <sys/stat.h>
#include <unistd.h>

#include "audio/mudo.h"
#include "storage/capture.h"
#include "gfx/draw_state.h"
#include "gfx/video.h"
#include "kernel/process.h"
#include "kernel/slice.h"
#include "lauxlib.h"
#include "lua.h"
#include "net/gurl.h"
#include "net/sockets.h"
#include "platform/audio_device.h"
#include "platform/host.h"
#include "platform/window.h"
#include "script/libs.h"
#include "storage/anywhen.h"
#include "storage/cart.h"
#include "storage/pdisk.h"

void free_dat_files() {
    for (int i = 0; i < dat_file_count; i++) {
        destroy_buffer(dat_file[i]);
        dat_file[i] = nullptr;
    }
    dat_file_count = 0;
}

int load_dat_records(FILE* f) {
    free_dat_files();
    while (dat_file_count < DAT_FILE_MAX) {
        uint8_t len_bytes[4];
        if (fread(len_bytes, 1, 4, f) != 4) break;
        uint32_t len = (uint32_t)len_bytes[0] << 24 | (uint32_t)len_bytes[1] << 16 |
                       (uint32_t)len_bytes[2] << 8 | len_bytes[3];
        if (len > DAT_RECORD_MAX_LENGTH) break;
        pbuffer* b = create_buffer_2((int64_t)len + 8, BUFFER_TAG_IMAGE_RECORD);
        if (len > 0 && fread(b->data, 1, len, f) == len) b->length = (int32_t)len;
        b->cursor = 0;
        dat_file[dat_file_count++] = b;
        if (b->length != (int32_t)len) break;  // the file ended inside this record
    }
    return dat_file_count;
}

// Makes every missing folder along path.
static void make_folders(const char* path) {
    char buf[1024];
    snprintf(buf, sizeof(buf), "%s", path);
    if (!buf[0]) return;
    for (char* c = buf + 1; *c; c++) {
        if (*c == '/') {
            *c = 0;
            mkdir(buf, 0755);
            *c = '/';
        }
    }
    mkdir(buf, 0755);
}

static bool is_plain_word(const char* w) { return w[0] != '-' && w[0] != '>' && w[0] != '|' && w[0] != '&'; }
static bool ends_scan(const char* w) { return w[0] == '>' || w[0] == '|' || w[0] == '&'; }

void process_arguments(int argc, char** argv) {
    config.display_index = -1;
    for (int i = 1; i < argc; i++) {
        const char* w = argv[i];
        if (!w || ends_scan(w)) break;
        bool has_next = i + 1 < argc && argv[i + 1] && is_plain_word(argv[i + 1]);
        if (strncmp(w, "-home", 5) == 0) {
            if (has_next) {
                snprintf(config.home_folder, sizeof(config.home_folder), "%s", argv[++i]);
                make_folders(config.home_folder);
            }
        } else if (strncmp(w, "-x", 2) == 0) {
            config.headless = 1;
            if (has_next) snprintf(config.file_argument, sizeof(config.file_argument), "%s", argv[++i]);
        } else if (strncmp(w, "-use_system_rom", 15) == 0) {
            config.use_system_rom = 1;
            if (has_next) snprintf(config.file_argument, sizeof(config.file_argument), "%s", argv[++i]);
        } else if (strncmp(w, "-display", 8) == 0) {
            if (has_next) config.display_index = atoi(argv[++i]);
        } else if (w[0] == '-') {
            if (has_next) i++;
        } else {
            snprintf(config.file_argument, sizeof(config.file_argument), "%s", w);
        }
    }
}

void set_default_config() {
    memset(&config, 0, sizeof(config));
    config.fullscreen = 1;
    config.pixel_perfect = 1;
    config.volume = 192;
    config.network_access = 1;
    config.video_process_id = 3;
    config.display_index = -1;
}

static int reopen_libraries(lua_State* L) {
    open_process_libraries(L);
    return 0;
}

int boot_system(const char* boot_path) {
    uint32_t window_active = (platform_initialised & 1) ? app.window_active : 0;
    // The audio callback reads the capture fields of app: they are cleared while it is held off.
    os_lock_audio();
    memset(&app, 0, sizeof(app));
    os_unlock_audio();
    app.window_active = window_active;

    processes_init();
    boot_init();
    pfile_init();
    pfile_reset();
    mudo_init();
    // Nothing of the last run's sound survives a reboot.
    os_lock_audio();
    mudo_clear_for_boot();
    os_unlock_audio();
    app.audio_owner = -2;
    app.audio_mirror_id = -3;

    mount_ram_folder("/ram");
    process_config();
    char data_path[VELT_PATH_MAX];
    velt_prefix_with_program_path("data", data_path);
    if (host_directory_exists(data_path)) mount_host_path("/host_data", data_path);

    root_process = create_process_from_code("--[[ :: root process :: ]]", "[root]", "[root]", "");
    if (!root_process) {
        printf("could not create the root process\n");
        velt_debug("could not create the root process\n");
        return BOOT_NO_ROOT;
    }
    set_current_process(root_process);
    lua_pushcfunction(root_process->L, reopen_libraries);
    if (lua_pcall(root_process->L, 0, 0, 0) != LUA_OK) {
        printf("could not create the root process\n");
        velt_debug("could not create the root process\n");
        return BOOT_NO_ROOT;
    }

    if (dat_file_count < 2) {
        printf("sysrom.dat not found\n");
        velt_debug("sysrom.dat not found\n");
        return BOOT_NO_IMAGE;
    }
    // The system ROM fills /system and nothing else: an image that is no ROM at all would
    // otherwise be unpacked as plain code into the user's drive.
    if (!is_q64_rom_image(get_dat_file(1))) {
        printf("sysrom.dat is damaged\n");
        velt_debug("sysrom.dat is damaged\n");
        return BOOT_DAMAGED_IMAGE;
    }
    mount_ram_folder("/system");
    populate_ram_folder_from_q64_rom_buffer_ex("", get_dat_file(1), "/system", false);

    ram_file* f = pfopen(boot_path, "r");
    if (!f) {
        printf("could not find %s\n", boot_path);
        return BOOT_NO_SCRIPT;
    }
    // The root's placeholder chunk is replaced by the boot script.
    lua_settop(root_process->L, 0);
    pbuffer* src = f->contents;
    char chunkname[VELT_PATH_MAX + 2];
    snprintf(chunkname, sizeof(chunkname), "@%s", boot_path);
    int rc = luaL_loadbufferx(root_process->L, src ? (const char*)src->data : "", src ? (size_t)src->length : 0,
                             chunkname, "t");
    pfclose(f);
    if (rc != LUA_OK) {
        const char* msg = lua_tostring(root_process->L, -1);
        printf("error in %s", boot_path);
        printf("%s\n", msg ? msg : "");
        return BOOT_BAD_SCRIPT;
    }

    uint64_t t0 = os_get_time();
    anywhen_open();
    snprintf(velt_debug_string, sizeof(velt_debug_string), "anywhen init: %lldms\n",
             (long long)(os_get_time() - t0));
    velt_debug(velt_debug_string);

    config.video_process_id = 3;
    if (dat_file_count > 2) {
        app.exported_cart = 1;
        mount_ram_folder("/ram/expcart");
        populate_ram_folder_from_q64_rom_buffer(get_dat_file(2), "/ram/expcart");
    }
    if (dat_file_count > 3) {
        pbuffer* flags = get_dat_file(3);
        if (bread_uint32_big_endian(flags) & 1) config.video_process_id = 4;
        flags->cursor = 0;
    }
    return BOOT_OK;
}

void reset_app_state() {
    int rc = boot_system("/system/boot.lua");
    if (rc == BOOT_OK) return;
    // A system that cannot boot is a failure, whatever stage it stopped at.
    kernel_fatal_exit(1);
}

void do_reboot() {
    end_captures(false);
    flush_dirty_mounts_immediately();
    velt_debug("--- rebooting ---\n\n");
    reset_app_state();
}

void run_process_frame() {
    prepare_processes_for_frame();
    if (root_process && get_process_by_index(0) != root_process) root_process = get_process_by_index(0);
    if (root_process) run_process_slice(root_process, 1.0);
    update_processes_after_frame();
    root_process = get_process_by_index(0);
}

bool frame_step() {
    if (app.reboot_requested && app.exclusive_process == 0) do_reboot();
    if (os_take_quit_signal()) app.quit_requested = 1;
    if (app.quit_requested) {
        if (app.exclusive_process == 0) return false;
        if (app.quit_wait_frames++ >= 60) return false;
    }
    if (!app.window_created) os_apply_video_config();
    if (!(platform_initialised & 1)) {
        os_system_init();
        sockets_init();
        platform_initialised |= 1;
    }
    start_frame();
    run_process_frame();
    flush_dirty_mounts_delayed();
    gurl_update();
    update_captures();
    sync_fs(0);
    app.frames_run += 1;
    end_frame();
    return true;
}

void shutdown_system() {
    for (int i = 0; i < 120 && app.exclusive_process != 0; i++) run_process_frame();
    // No process runs again, so none can still own the machine: the last write-back of
    // changed cartridges is never held back.
    app.exclusive_process = 0;
    end_captures(true);
    flush_dirty_mounts_immediately();
    sync_fs(1);
    delete_sockets_by_process(0);
    sockets_exit();
    anywhen_close();
    audio_end_output_device();
}

void orvalune_exit() {
    shutdown_system();
    fflush(nullptr);
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
    exit(0);  // the sanitizers' end-of-run checks run from the exit handlers
#else
    // Everything of ours is written and closed by now. The libraries' exit handlers would only
    // free memory the system takes back anyway, and running them reads in a page of code from
    // each of some eighty libraries: most of a megabyte at the very end of the run.
    _exit(0);
#endif
}

void system_frame() {
    if (!frame_step()) orvalune_exit();
}

void orvalune_apply_setting(const char* name, int64_t value) {
    if (!name) return;
    struct flag_setting { const char* name; uint32_t* field; };
    const flag_setting flags[] = {
        {"fullscreen", &config.fullscreen},       {"pixel_perfect", &config.pixel_perfect},
        {"stretch", &config.stretch},             {"blit_720p", &config.blit_720p},
        {"allow_highdpi", &config.allow_highdpi}, {"fullscreen_window", &config.fullscreen_window},
        {"mute_audio", &config.mute_audio},       {"swap_stereo", &config.swap_stereo},
        {"battery_saver", &config.battery_saver}, {"network_access", &config.network_access},
    };
    for (const flag_setting& s : flags) {
        if (strcmp(name, s.name) == 0) *s.field = value != 0;
    }
    if (strcmp(name, "pixel_scale") == 0) config.pixel_scale = (int32_t)value;
    if (strcmp(name, "sdl_render_driver") == 0) config.sdl_render_driver = (int32_t)value;
    auto clamp256 = [](int64_t v) { return (int32_t)(v < 0 ? 0 : v > 256 ? 256 : v); };
    if (strcmp(name, "volume") == 0) config.volume = clamp256(value);
    if (strcmp(name, "deadzone") == 0) config.deadzone = clamp256(value);
    if (strcmp(name, "anywhen") == 0) {
        uint32_t was = config.anywhen;
        config.anywhen = value != 0;
        if (!was && config.anywhen) anywhen_event(4, nullptr, nullptr);
    }
}

uint32_t video_flag_word() {
    return (config.fullscreen + 2 * config.pixel_perfect) | 4 * config.allow_highdpi | 8 * config.stretch |
           16 * config.fullscreen_window | 32 * config.blit_720p;
}

void orvalune_apply_settings() {
    uint32_t word = video_flag_word();
    if (word != video_hash0) {
        os_apply_video_config();
        video_hash0 = word;
    }
    os_lock_audio();
    mudo_set_volume(config.mute_audio ? 0 : config.volume);
    mudo_set_stereo_swap(config.swap_stereo);
    os_unlock_audio();
}

int orvalune_main(int argc, char** argv) {
    memset(velt_argv0, 0, sizeof(velt_argv0));
    if (argc > 0 && argv[0]) snprintf(velt_argv0, sizeof(velt_argv0), "%s", argv[0]);
    os_install_signal_handlers();
    srand((unsigned)time(nullptr));
    set_default_config();
    // The command line and the image's name record decide where the log goes, so both
    // are read before the first line is written.
    process_arguments(argc, argv);

    char dat_path[VELT_PATH_MAX];
    velt_prefix_with_program_path("sysrom.dat", dat_path);
    FILE* f = fopen(dat_path, "rb");
    if (f) {
        load_dat_records(f);
        fclose(f);
    }
    snprintf(velt_debug_string, sizeof(velt_debug_string), "load_orvalune_dat_files: %s // from: %s\n",
             "sysrom.dat", dat_path);
    velt_debug(velt_debug_string);
    snprintf(velt_debug_string, sizeof(velt_debug_string), "booting orvalune %s\n", ORVALUNE_VERSION);
    velt_debug(velt_debug_string);
    snprintf(velt_debug_string, sizeof(velt_debug_string), "build: %s\n", build_date);
    velt_debug(velt_debug_string);

    reset_app_state();
    while (frame_step()) {
    }
    orvalune_exit();
}
