// Process control, paths, settings, machine signals and buttons, run as scripts inside processes.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "kernel/api.h"
#include "app/app.h"
#include "base/machine.h"
#include "kernel/memory.h"
#include "kernel/process.h"
#include "kernel/slice.h"
#include "lauxlib.h"
#include "lua.h"
#include "platform/host.h"
#include "storage/pdisk.h"
#include "test_support.h"

namespace {

using ids_t = std::vector<int64_t>;
const uint8_t no_buttons[128] = {};

struct ProcessApi : testing::Test {
    process_record* p = nullptr;
    app_config saved_config;
    void SetUp() override {
        saved_config = config;
        processes_init();
        set_default_config();
        memset(&app, 0, sizeof(app));
        pfile_init();
        pfile_reset();
        mount_ram_folder("/ram");
        p = make("test");
        ASSERT_NE(p, nullptr);
        set_current_process(p);
    }
    void TearDown() override {
        processes_init();
        pfile_reset();
        memset(&app, 0, sizeof(app));
        config = saved_config;
    }

    static process_record* make(const char* name, const char* sandbox = "") {
        return create_process_from_code("", name, (std::string("/apps/") + name + ".lua").c_str(), sandbox);
    }
    // Runs code in the process rec and returns its results joined by spaces, or the error.
    static std::string run_in(process_record* rec, const std::string& code) {
        set_current_process(rec);
        return run_script(rec->L, code);
    }
    std::string run(const std::string& code) { return run_in(p, code); }
    // Runs statements in the test process; the error text, or empty.
    std::string exec(const std::string& code) {
        set_current_process(p);
        return exec_script(p->L, code);
    }
    static ids_t ids() {
        ids_t out;
        for (int i = 0; i < get_process_count(); i++) out.push_back(get_process_by_index(i)->id);
        return out;
    }
    // One frame of host input for the test process (128 values, all up but those given).
    void frame(std::initializer_list<std::pair<int, uint8_t>> held) {
        uint8_t v[128] = {};
        for (auto& h : held) v[h.first] = h.second;
        update_process_buttons(p, v, true);
    }
    // After a frame with nothing held, the frames (from 1) in which code gives true while
    // the button is held at value.
    std::vector<int> fired(const char* code, int button, uint8_t value, int frames) {
        frame({});
        std::vector<int> out;
        for (int f = 1; f <= frames; f++) {
            frame({{button, value}});
            if (run(code) == "true") out.push_back(f);
        }
        return out;
    }
};

// --- Processes -----------------------------------------------------------------------------------

TEST_F(ProcessApi, CreatesProcessesAndRefusesBadArguments) {
    EXPECT_EQ(run("_create_process_from_code('x = 1', 'child', '/apps/child.lua')"), "2");
    process_record* child = get_process(2);
    ASSERT_NE(child, nullptr);
    EXPECT_STREQ(child->name, "child");
    EXPECT_STREQ(child->prog, "/apps/child.lua");
    EXPECT_EQ(child->parent_id, 1);
    EXPECT_EQ(child->sandboxed, 0u);
    EXPECT_EQ(cproc, p);  // the creator stays current
    // Bad arguments, and a syntax error (which still uses up an id), give nothing.
    EXPECT_EQ(run("select('#', _create_process_from_code('x = 1', 'n', 5)), "
                  "select('#', _create_process_from_code(nil, 'n', 'p')), "
                  "select('#', _create_process_from_code('x = = 1', 'bad', 'p'))"),
              "0 0 0");
    EXPECT_EQ(run("_create_process_from_code('', 'next', 'p', 'loc')"), "4");
    EXPECT_STREQ(get_process(4)->sandbox_location, "loc");

    // Sandboxed children inherit the sandbox unless given one; an ordinary process's are ordinary.
    process_record* boxed = make("b", "bbs/cart");
    ASSERT_NE(boxed, nullptr);
    EXPECT_EQ(run_in(boxed, "_create_process_from_code('', 'c1', '/apps/c1.lua'), "
                            "_create_process_from_code('', 'c2', '/apps/c2.lua', ''), "
                            "_create_process_from_code('', 'c3', '/apps/c3.lua', 'other')"),
              "6 7 8");
    EXPECT_STREQ(get_process(6)->sandbox_location, "bbs/cart");
    EXPECT_EQ(get_process(6)->sandboxed, 1u);
    EXPECT_STREQ(get_process(7)->sandbox_location, "bbs/cart");
    EXPECT_STREQ(get_process(8)->sandbox_location, "other");
    EXPECT_EQ(run("_create_process_from_code('', 'c4', '/apps/c4.lua')"), "9");
    EXPECT_EQ(get_process(9)->sandboxed, 0u);
}

TEST_F(ProcessApi, KillsAndRestartsOtherProcesses) {
    run("_create_process_from_code('a = 1', 'a', '/apps/a.lua')");
    run("_create_process_from_code('b = 1', 'b', '/apps/b.lua')");
    EXPECT_EQ(ids(), (ids_t{1, 2, 3}));
    run("_kill_process(2.9)");  // truncated to 2
    EXPECT_EQ(ids(), (ids_t{1, 3}));
    // The parent hears that its child ended.
    pbuffer* msg = read_process_message(p, nullptr);
    ASSERT_NE(msg, nullptr);
    EXPECT_NE(std::string((const char*)msg->data, msg->length).find("proc_id=2"), std::string::npos);
    run("_kill_process(99)");
    run("_kill_process(3, 7)");  // unknown modes do nothing
    EXPECT_EQ(ids(), (ids_t{1, 3}));

    // Restart keeps the slot and id and starts from the stored code with fresh memory.
    process_record* b = get_process(3);
    poke_proc(b, 0x20000, 99);
    EXPECT_EQ(peek_proc(b, 0x20000), 99);
    EXPECT_EQ(run("_kill_process('3', 1)"), "");
    EXPECT_EQ(get_process(3), b);
    EXPECT_EQ(ids(), (ids_t{1, 3}));
    EXPECT_EQ(peek_proc(b, 0x20000), 0);
    EXPECT_EQ(peek_proc(b, ADDR_PROCESS_FLAGS), 1);
    EXPECT_EQ(cproc, p);
}

TEST_F(ProcessApi, KillingTheCallerIsDeferredUntilItsSliceReturns) {
    EXPECT_EQ(exec("_kill_process(pid()) ran_on = true"), "");
    EXPECT_EQ(run("ran_on"), "true");
    // The record is gone for scripts at once but lives until the kernel removes it.
    EXPECT_EQ(get_process(1), nullptr);
    EXPECT_EQ(get_process_count(), 1);
    EXPECT_EQ(run("_process_state(1), #_get_process_list()"), "-1 0");
    remove_killed_processes();
    EXPECT_EQ(get_process_count(), 0);
}

TEST_F(ProcessApi, KillingAProcessBelowOnTheStackIsDeferredAndRestartRefused) {
    // Process 2 runs a slice of a child that kills process 2 (its caller); the child's
    // attempts on the root (process 1) are refused.
    process_record* caller = make("caller");
    process_record* child = create_process_from_code(
        "_kill_process(1) _kill_process(1, 1) _kill_process(2, 1) _kill_process(2) flip()", "child", "/apps/c.lua", "");
    ASSERT_NE(child, nullptr);
    p->slice_depth = 1;
    caller->slice_depth = 1;  // both callers' slices are on the stack
    run_process_slice(child, 1.0);
    p->slice_depth = 0;
    caller->slice_depth = 0;
    EXPECT_EQ(caller->kill_pending, 1u);
    EXPECT_NE(caller->L, nullptr);
    EXPECT_STREQ(caller->name, "caller");  // not restarted under itself
    EXPECT_EQ(get_process(2), nullptr);
    EXPECT_EQ(p->kill_pending, 0u);
    EXPECT_STREQ(p->name, "test");
    remove_killed_processes();
    EXPECT_EQ(ids(), (ids_t{1, 3}));
    // The root may still end itself.
    EXPECT_EQ(exec("_kill_process(1)"), "");
    EXPECT_EQ(get_process(1), nullptr);
}

TEST_F(ProcessApi, ProcessStateDisplaySizeAndList) {
    process_record* a = make("a");
    process_record* b = make("b");
    process_record* c = make("c");
    process_record* d = make("d");
    ASSERT_TRUE(a && b && c && d);
    poke2_proc(a, ADDR_DISPLAY_WIDTH, 480);
    poke2_proc(a, ADDR_DISPLAY_HEIGHT, -2);
    EXPECT_EQ(run("_process_state(2), _process_state(77), _process_state(2.5), _process_state('2')"), "0 -1 -1 -1");
    a->state = PSTATE_ERROR;
    EXPECT_EQ(run("_process_state(2.0), _get_process_display_size(2)"), "2 480 -2");
    EXPECT_EQ(run("_get_process_display_size(9)"), "0 0");

    // The list has every field, in table order.
    strcpy(b->pwd, "/ram/x");
    c->period_cycles = FRAME_CYCLE_BUDGET / 2;
    c->high_priority = 1;
    poke_proc(d, ADDR_PROCESS_FLAGS, PFLAG_LOW_PRIORITY);
    d->heap_bytes = 1000;
    d->heap_baseline = 200;
    ASSERT_EQ(exec("list = _get_process_list()"), "");
    EXPECT_EQ(run("#list, list[1].id, list[5].id, list[2].name, list[2].prog, list[3].pwd"),
              "5 1 5 a /apps/a.lua /ram/x");
    EXPECT_EQ(run("list[4].cpu, list[4].priority, list[5].priority"), "0.5 2 0.10000000000000001");
    EXPECT_EQ(run("list[1].priority, list[3].priority"), "0 0");  // none for ids up to 3; others 1.0
    EXPECT_EQ(run("list[5].memory"), std::to_string(1000 + 0x10000 - 200 + 0x80000));
    // Bit 0 of the flags byte cancels the low priority; an exclusive process gets 10.
    poke_proc(d, ADDR_PROCESS_FLAGS, PFLAG_LOW_PRIORITY | PFLAG_INCREMENTAL_GC);
    EXPECT_EQ(run("_get_process_list()[5].priority"), "1");
    app.exclusive_process = 5;
    EXPECT_EQ(run("_get_process_list()[5].priority, _get_process_list()[4].priority"), "10 2");
    config.video_process_id = 4;
    EXPECT_EQ(run("_get_process_list()[4].priority, _get_process_list()[2].priority"), "10 0");
}

// --- Working directory and paths -----------------------------------------------------------------

TEST_F(ProcessApi, ChangesTheWorkingDirectory) {
    ASSERT_EQ(pmkdir("/ram/work"), 0);
    EXPECT_EQ(run("pwd(), select('#', cd('/ram/work')), _pwd()"), "/ 0 /ram/work");
    EXPECT_EQ(exec("cd('..')"), "");
    EXPECT_EQ(run("pwd()"), "/ram");
    EXPECT_EQ(exec("cd('work/')"), "");
    EXPECT_EQ(run("_cd('/ram/nowhere'), pwd()"), "path not found /ram/work");
    // Paths that do not normalise and non-strings leave it as it is.
    EXPECT_EQ(run("select('#', cd('bad path!')), select('#', cd(5)), pwd()"), "0 0 /ram/work");
    EXPECT_EQ(exec("cd('any thing', true)"), "");
    EXPECT_EQ(run("pwd()"), "any thing");
    // A raw one is cut to 255 characters, the record's neighbours untouched.
    EXPECT_EQ(exec("cd('" + std::string(300, 'a') + "', true)"), "");
    EXPECT_EQ(run("#pwd()"), "255");
    EXPECT_EQ(std::string(p->pwd), std::string(255, 'a'));
    EXPECT_EQ(p->clock_frames, 0);
    EXPECT_EQ(p->base_priority, 1.0);
}

TEST_F(ProcessApi, NormalisesPathsRecognisesBbsPathsAndLoadsTextOnly) {
    expect_each([&](const std::string& c) { return run(c); },
                {
                    {"_normalise_userland_path('/a/./b//c/../d')", "/a/b/d"},
                    {"_normalise_userland_path('/a/..'), _normalise_userland_path('https://x.com/a/../b')",
                     "/ https://x.com/b"},
                    {"select('#', _normalise_userland_path(nil)), "
                     "select('#', _normalise_userland_path('/' .. ('x'):rep(300)))",
                     "0 0"},
                    {"_is_well_formed_bbs_path('AB CD!'), _is_well_formed_bbs_path('#foo! Cart')", "true false"},
                    {"_is_well_formed_bbs_path('XXXXXXcart_1.2/x'), _is_well_formed_bbs_path('xxxxxxA')",
                     "true false"},
                    {"select('#', _is_well_formed_bbs_path(12345678))", "0"},
                    {"load('return 1 + 2')(), load('return x', 'chunk', 'b', {x = 7})()", "3 7"},
                    {"select('#', load('\\27Lua'))", "2"},
                });
    // Compiling is charged by the text's length, also when a reader function gives it piece by
    // piece, so a reader that never ends runs out of budget.
    EXPECT_EQ(exec("s, n = (' '):rep(1 << 16), 0 r = function() n = n + 1 if n <= 16 then return s end end"), "");
    for (const char* code : {"load(s:rep(16)) ~= nil", "load(r) ~= nil"}) {
        cpu_cycles = 0;
        EXPECT_EQ(run(code), "true");
        EXPECT_GE(cpu_cycles, (1 << 20) / 16) << code;
    }
    cpu_cycles = 0;
    testing::internal::CaptureStdout();
    EXPECT_EQ(run("norm('/a/../b')"), "/b");
    EXPECT_FALSE(testing::internal::GetCapturedStdout().empty());
}

TEST_F(ProcessApi, MountsAVirtualPath) {
    ASSERT_EQ(pmkdir("/ram/src"), 0);
    ram_file* f = pfopen("/ram/src/hello.txt", "w");
    ASSERT_NE(f, nullptr);
    pfwrite("hi", 1, 2, f);
    pfclose(f);
    EXPECT_EQ(run("select('#', mount('/ram/seen', '/ram/src')), select('#', _mount(1, 2))"), "0 0");
    EXPECT_EQ(pdisk_file_exists("/ram/seen/hello.txt"), 1);
}

// --- Machine -------------------------------------------------------------------------------------

TEST_F(ProcessApi, AppliesSettingsWithTheirValueRules) {
    run("_apply_system_settings({volume = 300, fullscreen = false, stretch = true, pixel_scale = 2.5, "
        "deadzone = 7.0, mute_audio = 'yes', [1] = 5})");
    EXPECT_EQ(config.volume, 256);
    EXPECT_EQ(config.fullscreen, 0u);
    EXPECT_EQ(config.stretch, 1u);
    EXPECT_EQ(config.pixel_scale, 0);
    EXPECT_EQ(config.deadzone, 7);
    EXPECT_EQ(config.mute_audio, 0u);
    testing::internal::CaptureStdout();
    run("_apply_system_settings(5)");
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "** lua54__apply_system_settings failed; not a table\n");
}

TEST_F(ProcessApi, MachineSignals) {
    run("_signal(33)");
    EXPECT_EQ(app.quit_requested, 1u);
    EXPECT_EQ(app.reboot_requested, 0u);
    run("_signal('34')");
    EXPECT_EQ(app.reboot_requested, 1u);
    EXPECT_EQ(exec("_signal(35) _signal(36) _signal(37) _signal(0) _signal(-1) _signal(999) _signal()"), "");
    EXPECT_EQ(app.boot_line_style, 1u);
    EXPECT_EQ(app.signal36_flag, 1u);
    EXPECT_EQ(app.boot_ready, 1u);
    app.last_input_ms = 0;
    exec("_signal(22) _signal(21)");
    EXPECT_LE(os_get_time() - app.last_input_ms, 5u);
    EXPECT_EQ(app.screenshot_requested, 1u);
    // The heap baseline is recorded once.
    run("_signal(38)");
    int64_t first = p->heap_baseline;
    EXPECT_GT(first, 0);
    ASSERT_EQ(exec("big = {} for i = 1, 10000 do big[i] = i end _signal(38)"), "");
    EXPECT_EQ(p->heap_baseline, first);
    EXPECT_GT(p->heap_bytes, first);
}

TEST_F(ProcessApi, SignalsOfTheCallingProcess) {
    process_record* q = make("q");
    run("_signal(15)");
    run_in(q, "_signal(15)");
    run("_signal(15)");
    EXPECT_GT(q->audio_priority, 0u);
    EXPECT_EQ(p->audio_priority, q->audio_priority + 1);
    run_in(q, "_signal(40)");
    EXPECT_EQ(app.exclusive_process, 2);
    run_in(q, "_signal(41)");
    EXPECT_EQ(app.exclusive_process, 0);
    run("_signal(43)");
    EXPECT_EQ(p->high_priority, 1u);
    run("_signal(44)");
    EXPECT_EQ(p->high_priority, 0u);
    run("_signal(46)");
    EXPECT_LE((int64_t)os_get_time() - (int64_t)p->hold_prune_ms, 5);
    EXPECT_NE(p->hold_prune_ms, 0u);
    run("_signal(47)");
    EXPECT_EQ(p->hold_prune_ms, 0u);
}

TEST_F(ProcessApi, ExclusiveProcessHoldsTheRebootBack) {
    process_record* seven = nullptr;
    for (int i = 0; i < 6; i++) seven = make("x");
    ASSERT_EQ(seven->id, 7);
    run_in(seven, "_signal(40)");
    run("_signal(34)");
    // The frame loop reboots only once no process holds the machine.
    EXPECT_TRUE(app.reboot_requested && app.exclusive_process == 7);
    run_in(seven, "_signal(41)");
    EXPECT_TRUE(app.reboot_requested && app.exclusive_process == 0);
    run_in(seven, "_signal(40)");
    kill_process(seven);
    EXPECT_EQ(app.exclusive_process, 0);
}

TEST_F(ProcessApi, WindowFunctionsIgnoreBadArguments) {
    EXPECT_EQ(exec("_set_host_window_title(5) _set_host_window_title('Orvalune') _set_host_window_icon() "
                   "_set_host_window_icon(userdata('u8', 16, 16)) _set_host_window_icon(userdata('u8', 8, 8)) "
                   "_set_host_window_icon(userdata('i16', 16, 16)) _set_host_window_icon(5) _warp_mouse(1e300, 'x')"),
              "");
    EXPECT_EQ(run("select('#', _set_host_window_title('t')), select('#', _warp_mouse(3, 4))"), "0 0");
}

// --- Buttons -------------------------------------------------------------------------------------

TEST_F(ProcessApi, BtnReadsValuesAndBitmasksOfCorrectedInput) {
    update_process_buttons(p, no_buttons, false);
    frame({});  // the first active frame sees every button up, clearing the release holds
    frame({{5 * 16 + 0, 255}, {3, 100}, {12, 40}});
    EXPECT_EQ(run("btn()"), std::to_string((int64_t)1 << 40 | 1 << 3));
    EXPECT_EQ(run("btn(0, 5), btn(3), btn(12), btn(2), btn(16), btn(0, 8), btn(0, -1)"),
              "255 100 40 false false false false");
    EXPECT_EQ(run("peek(0x5580 + 80), peek(0x5583)"), "255 100");  // the raw values were copied to memory
    // Opposite directions cancel and sticks are scaled; memory keeps the raw values.
    frame({{0, 255}, {1, 255}, {3, 20}});
    EXPECT_EQ(run("btn(0), btn(1), btn(3), peek(0x5580), peek(0x5581)"), "false false 20 255 255");
    frame({{17, 255}, {19, 255}});  // player 1 right and down at full tilt
    EXPECT_EQ(run("btn(1, 1), btn(3, 1), btn(0, 1)"), "181 181 false");
    frame({{8, 255}, {9, 255}});  // the second group of a player (values 8 to 15) the same way
    EXPECT_EQ(run("btn(8), btn(9)"), "false false");
    frame({{0, 200}, {2, 100}});  // inside the circle: unchanged
    EXPECT_EQ(run("btn(0), btn(2)"), "200 100");
}

TEST_F(ProcessApi, ButtonsMustBeSeenUpAfterASignalOrInactiveFrame) {
    frame({});
    frame({{4, 255}});
    EXPECT_EQ(run("btn(4)"), "255");
    run("_signal(23)");
    EXPECT_EQ(run("btn(4)"), "false");
    frame({{4, 255}});
    EXPECT_EQ(run("btn(4)"), "false");  // still held from before
    frame({});
    frame({{4, 255}});
    EXPECT_EQ(run("btn(4)"), "255");
    update_process_buttons(p, no_buttons, false);
    EXPECT_EQ(run("btn(4)"), "false");
    frame({{4, 255}});
    EXPECT_EQ(run("btn(4)"), "false");
    // Activity is noted above a quarter of the range.
    frame({});
    app.last_input_ms = 0;
    frame({{6, 64}});
    EXPECT_EQ(app.buttons_seen, 0u);
    frame({{6, 65}});
    EXPECT_EQ(app.buttons_seen, 1u);
    EXPECT_LE(os_get_time() - app.last_input_ms, 5u);
    frame({});
    EXPECT_EQ(app.buttons_seen, 0u);
}

TEST_F(ProcessApi, BtnpRepeatsAfterTheDelayThenEveryIntervalFromTheDelayBytes) {
    EXPECT_EQ(fired("btnp(2)", 2, 255, 50), (std::vector<int>{1, 31, 39, 47}));
    frame({});
    EXPECT_EQ(run("btnp(2)"), "false");
    exec("poke(0x5F5C, 3) poke(0x5F5D, 2)");
    EXPECT_EQ(fired("btnp(15, 7)", 16 * 7 + 15, 200, 10), (std::vector<int>{1, 4, 6, 8, 10}));
    run("poke(0x5F5C, 255)");  // never repeats
    EXPECT_EQ(fired("btnp(0)", 0, 255, 40), (std::vector<int>{1}));
    exec("poke(0x5F5C, 2) poke(0x5F5D, 255)");
    EXPECT_EQ(fired("btnp(0)", 0, 255, 40), (std::vector<int>{1, 3}));
    // The bitmask shows the buttons just pressed.
    frame({});
    frame({{1, 255}, {16 + 7, 64}, {32 + 3, 63}, {8, 255}});
    EXPECT_EQ(run("btnp()"), std::to_string(1 << 1 | 1 << 15));
    frame({{1, 255}, {16 + 7, 64}});
    EXPECT_EQ(run("btnp(), btnp(1, 8), btnp(16), btnp(-2)"), "0 false false false");
}

}  // namespace
