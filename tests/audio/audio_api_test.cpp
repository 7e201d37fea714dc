// note, sfx and music called from scripts, the default audio data of new processes, the
// silence after a boot, and the SDL device with its nesting lock (SDL's dummy driver), also
// while the main thread calls into the synthesiser, changes settings and restarts the owner of
// the sound as fast as it can.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>

#include <SDL.h>
#include <cstring>
#include <string>
#include <vector>

#include "audio_fixture.h"
#include "audio/wave_table.h"
#include "base/memmap.h"
#include "storage/capture.h"
#include "kernel/slice.h"
#include "storage/pdisk.h"
#include "kernel/api.h"
#include "app/app.h"
#include "base/machine.h"
#include "kernel/process.h"
#include "lauxlib.h"
#include "lua.h"
#include "platform/audio_device.h"
#include "platform/host.h"
#include "platform/window.h"

namespace {

using namespace audio_test;

struct AudioScript : Mixing {
    process_record* p = nullptr;
    void SetUp() override {
        Mixing::SetUp();
        processes_init();
        memset(&app, 0, sizeof(app));
        app.audio_owner = -2;
        app.audio_mirror_id = -3;
        lock_level = 0;
        p = make("audio");
    }
    void TearDown() override {
        processes_init();
        memset(&app, 0, sizeof(app));
        Mixing::TearDown();
    }
    static process_record* make(const char* name) {
        process_record* r = create_process_from_code("", name, name, "");
        EXPECT_NE(r, nullptr);
        set_current_process(r);
        return r;
    }
    // Runs a chunk in a process; "" or the error.
    std::string run(const std::string& code, process_record* in = nullptr) {
        process_record* rec = in ? in : p;
        set_current_process(rec);
        lua_State* L = rec->L;
        std::string out;
        cpu_cycles = 0;  // each chunk starts a fresh count, as a slice would
        if (luaL_loadstring(L, code.c_str()) != LUA_OK || lua_pcall(L, 0, 0, 0) != LUA_OK) out = lua_tostring(L, -1);
        lua_settop(L, 0);
        set_current_process(p);
        return out;
    }
    const mudo_channel& ch(int c) { return mixer.channels[c]; }
};

TEST_F(AudioScript, DefaultAudioDataOfEveryProcess) {
    EXPECT_EQ(p->id, 1);
    const uint8_t instrument[16] = {0x00, 0x01, 0x00, 0x00, 0x06, 0x20, 0x00, 0x00,
                                    0x01, 0x00, 0x00, 0x00, 0x01, 0x00, 0x00, 0x00};
    for (int i = 0; i < 16; i++) EXPECT_EQ(peek_proc(p, 0x40000 + i), instrument[i]) << i;
    EXPECT_EQ(peek4_proc(p, 0x40020), 0x2002);                  // node 1: parent 2, kind 0, wave 2
    EXPECT_EQ(peek4_proc(p, 0x401E0), (int32_t)0xFF0AF800);     // 255 waves of 1024 at 0xF80000
    EXPECT_EQ(peek4_proc(p, 0x401E4), (int32_t)0x010DF780);     // one wave of 8192 at 0xF78000
    EXPECT_EQ(peek4_proc(p, 0x401E8) | peek4_proc(p, 0x401EC), 0);
    // Spot values of the waves: noise from the seeded stream, then the four families.
    uint64_t stream[4];
    xoshiro256ss_seed(stream, 0x12345678);
    int16_t first_noise = (int16_t)(xoshiro256ss(stream) & 0xffff), second_noise = (int16_t)(xoshiro256ss(stream) & 0xffff);
    struct { uint32_t address; int16_t value; } waves[] = {
        {0xF78000, first_noise}, {0xF78002, second_noise},
        {0xF80000, 0}, {0xF80000 + 2 * 256, -32766}, {0xF80000 + 2 * (63 * 1024 + 768), 32765},  // sine to triangle
        {0xFA0000 + 2 * 256, -32768}, {0xFA0000 + 2 * 768, 32767},                               // triangle to saw
        {0xFC0000, -32767}, {0xFC0000 + 2 * 512, 0}, {0xFC0000 + 2 * (63 * 1024 + 1023), 32765},   // saw to square
        {0xFE0000 + 2 * 512, -32767}, {0xFE0000 + 2 * 513, 32767}, {0xFFFFFE, 32767},              // pulses
    };
    for (auto w : waves) EXPECT_EQ(peek2_proc(p, w.address), w.value) << std::hex << w.address;
    // The baked table is the generator's output byte for byte, and the random stream starts
    // where the generator left it.
    std::vector<uint8_t> built(WAVE_TABLE_BYTES);
    uint64_t after_noise[4];
    build_wave_table(built.data(), after_noise);
    EXPECT_EQ(memcmp(built.data(), wave_table, WAVE_TABLE_BYTES), 0);
    for (uint32_t i = 0; i < WAVE_TABLE_BYTES; i += 4093) EXPECT_EQ(peek_proc(p, ADDR_WAVE_TABLES + i), built[i]) << i;
    EXPECT_EQ(memcmp(p->rng_state, after_noise, sizeof(after_noise)), 0);
    uint64_t start[4];
    memcpy(start, p->rng_state, sizeof(start));
    EXPECT_TRUE(start[0] | start[1] | start[2] | start[3]);

    // A later process copies process 1's wave pages and starts its random stream the same way.
    poke2_proc(p, 0xF80000, 1234);
    process_record* q = make("later");
    EXPECT_EQ(q->id, 2);
    EXPECT_EQ(peek2_proc(q, 0xF80000), 1234);
    EXPECT_EQ(peek2_proc(q, 0xFFFFFE), 32767);
    EXPECT_EQ(memcmp(q->rng_state, start, sizeof(start)), 0);
    EXPECT_EQ(run("x = rnd(1000)", q), "");
    EXPECT_EQ(run("y = rnd(1000)"), "");
    set_current_process(q);
    lua_getglobal(q->L, "x");
    set_current_process(p);
    lua_getglobal(p->L, "y");
    EXPECT_EQ(lua_tonumber(q->L, -1), lua_tonumber(p->L, -1));
    lua_settop(p->L, 0);
    lua_settop(q->L, 0);
}

TEST_F(AudioScript, NoteArguments) {
    EXPECT_EQ(run("poke(0x553A, 40) poke(0x553C, 3) note(60)"), "");
    EXPECT_EQ(app.audio_owner, 1);
    EXPECT_EQ(ch(0).pitch, 60u);
    EXPECT_EQ(ch(0).instrument, 0u);
    EXPECT_EQ(ch(0).volume, 64u);
    EXPECT_EQ(ch(0).note_on, 1u);
    EXPECT_EQ(ch(0).mix_volume, 40u);
    EXPECT_EQ(ch(0).base_address, 0x30000u);
    EXPECT_EQ(ch(0).nodes[0].kind, NODE_GROUP);  // the default instrument, read from the new base

    EXPECT_EQ(run("note('62', '1', 'x', 0, 0, 2.9, true, -300)"), "");
    EXPECT_EQ(ch(2).pitch, 62u);
    EXPECT_EQ(ch(2).instrument, 1u);
    EXPECT_EQ(ch(2).volume, 0u);
    EXPECT_EQ(ch(2).pan, -127);
    // Without the retrigger argument's truth, an unchanged note keeps its phase.
    mixer.channels[2].nodes[0].phase = 1234;
    EXPECT_EQ(run("note(62, 1, 0, 0, 0, 2, false)"), "");
    EXPECT_EQ(ch(2).nodes[0].phase, 1234u);
    EXPECT_EQ(run("note(62, 1, 0, 0, 0, 2)"), "");
    EXPECT_EQ(ch(2).nodes[0].phase, 0u);
    // A negative instrument silences the channel; no arguments at all silence everything.
    EXPECT_EQ(run("note(60, -1, 64, 0, 0, 2)"), "");
    EXPECT_EQ(ch(2).instrument, 255u);
    EXPECT_EQ(ch(2).mix_volume, 40u);
    EXPECT_EQ(run("note()"), "");
    EXPECT_EQ(mudo_anything_is_playing(), 0u);
    EXPECT_EQ(run("note(60, 0, 64, 0, 0, 99) note(60, 0, 64, 0, 0, {}) note(nil, nil, nil, nil, nil, nil)"), "");
}

TEST_F(AudioScript, SfxAndMusicArguments) {
    put_track(0, 4, 4, {{48, 1, 64, 0, 0}}, 0, 4);  // written to the mixer's copy; the script's memory is copied over it
    EXPECT_EQ(run("poke(0x553A, 50) poke(0x553C, 3) poke(0x553D, 3) "
                  "poke2(0x50000, 4) poke(0x50002, 4, 0, 4) sfx(0, 2) sfx(0, 5, 0, 0, -200, 33) sfx(-4, 6, 100)"),
              "");
    EXPECT_EQ(ch(2).track_active, 1u);
    EXPECT_EQ(ch(2).mix_volume, 50u);
    EXPECT_EQ(ch(2).base_address, 0x30000u);
    EXPECT_EQ(ch(5).pan, -128);
    EXPECT_EQ(ch(5).mix_volume, 33u);
    EXPECT_EQ(ch(6).mix_volume, 100u);
    EXPECT_EQ(run("sfx(-1)"), "");
    EXPECT_EQ(mudo_get_active_channels(), 0u);
    EXPECT_EQ(run("poke(0x553C, 255) sfx(0, 1)"), "");
    EXPECT_EQ(ch(1).base_address, MUDO_MAX_CHANNEL_BASE);

    EXPECT_EQ(run("poke(0x30100, 0, 0, 0, 0, 0, 0, 0, 0, 0, 3) music(0, 0, 3)"), "");
    EXPECT_EQ(mixer.music_base, 0x30000u);
    EXPECT_EQ(mixer.music_mask, 3u);
    EXPECT_EQ(mudo_get_active_channels(), 3u);
    EXPECT_EQ(run("music(-1, 1000)"), "");
    EXPECT_EQ(mixer.fade_length, 120);
    EXPECT_EQ(mudo_get_music_state(0), 0);
    EXPECT_EQ(run("music(-1)"), "");
    EXPECT_EQ(mudo_get_music_state(0), -1);
    EXPECT_EQ(mudo_get_active_channels(), 0u);
    EXPECT_EQ(run("music(-3, 0, 7, 0x60000.5)"), "");  // the music's state only
    EXPECT_EQ(mudo_get_music_state(0), -3);
    EXPECT_EQ(mixer.music_base, 0x60000u);
    EXPECT_EQ(mudo_get_active_channels(), 0u);
}

TEST_F(AudioScript, RefusedCallerChangesNothing) {
    make("two");
    make("three");
    process_record* owner = make("four");
    process_record* other = make("five");
    owner->audio_priority = 2;
    other->audio_priority = 1;
    EXPECT_EQ(run("note(60, 0, 64, 0, 0, 1)", owner), "");
    EXPECT_EQ(app.audio_owner, owner->id);
    EXPECT_EQ(run("note(50, 0, 64, 0, 0, 1) sfx(0, 3) music(0)", other), "");
    EXPECT_EQ(ch(1).pitch, 60u);
    EXPECT_EQ(mudo_get_active_channels(), 0u);
    EXPECT_EQ(app.audio_owner, owner->id);
    EXPECT_EQ(lock_level, 0);
}

TEST_F(AudioScript, BootStartsInSilence) {
    EXPECT_EQ(run("poke(0x553C, 3) note(60, 0, 64, 0, 0, 9) music(0, 500)"), "");
    mixer_ram[0x123456] = 9;
    last_num_samples_mixed = 512;
    ASSERT_NE(mudo_anything_is_playing(), 0u);
    free_dat_files();
    EXPECT_EQ(boot_system("/system/boot.lua"), BOOT_NO_IMAGE);
    EXPECT_EQ(mudo_anything_is_playing(), 0u);
    EXPECT_EQ(mudo_get_music_state(0), -1);
    EXPECT_EQ(mixer.fade_length, 0);
    EXPECT_EQ(mixer_ram[0x123456], 0);
    EXPECT_EQ(last_num_samples_mixed, 0);
    EXPECT_EQ(lock_level, 0);
}

// ---- the device ----------------------------------------------------------------------------------

struct AudioDevice : AudioScript {
    void SetUp() override {
        AudioScript::SetUp();
        ASSERT_EQ(SDL_InitSubSystem(SDL_INIT_AUDIO), 0) << SDL_GetError();
        sdl_state.audio_ok = 1;
        audio_open_output_device();
        ASSERT_GT(audio_device, 0);
    }
    void TearDown() override {
        audio_close_output_device();
        SDL_QuitSubSystem(SDL_INIT_AUDIO);
        sdl_state.audio_ok = 0;
        lock_level = 0;
        AudioScript::TearDown();
    }
    // Waits (at most 5 s) for the callback to mix a device block.
    static bool block_mixed() {
        for (int i = 0; i < 500; i++) {
            os_lock_audio();
            bool mixed = last_num_samples_mixed == 512;
            os_unlock_audio();
            if (mixed) return true;
            os_sleep(10);
        }
        return false;
    }
    static void forget_block() {
        os_lock_audio();
        last_num_samples_mixed = -7;
        os_unlock_audio();
    }
};

void nesting_lock_holds_the_callback_off() {
    os_lock_audio();
    AudioDevice::forget_block();  // under the outer level, so no block can be mixed in between
    os_lock_audio();
    os_lock_audio();
    EXPECT_EQ(lock_level, 3);
    os_unlock_audio();
    os_unlock_audio();
    os_sleep(60);  // several block times: no callback may run while the outermost level holds
    EXPECT_EQ(last_num_samples_mixed, -7);
    os_unlock_audio();
    EXPECT_EQ(lock_level, 0);
    EXPECT_TRUE(AudioDevice::block_mixed());
    // An unpaired unlock only counts; the next lock brings the count back without locking.
    os_unlock_audio();
    os_lock_audio();
    EXPECT_EQ(lock_level, 0);
    AudioDevice::forget_block();
    EXPECT_TRUE(AudioDevice::block_mixed());
}

TEST_F(AudioDevice, NestingLockHoldsTheCallbackOff) { nesting_lock_holds_the_callback_off(); }

// A headless run without a sound device plays into the program's own silent output.
struct SilentOutput : AudioScript {
    static std::atomic<int> blocks;
    static void (*next_mixed)(const uint8_t*, int32_t);
    void SetUp() override {
        AudioScript::SetUp();
        blocks = 0;
        next_mixed = audio_source.mixed;
        audio_source.mixed = [](const uint8_t* b, int32_t n) {
            blocks++;
            if (next_mixed) next_mixed(b, n);
        };
        audio_use_silent_output(true);
        sdl_state.audio_ok = 1;
        audio_open_output_device();
        ASSERT_GT(audio_device, 0);
    }
    void TearDown() override {
        audio_close_output_device();
        audio_use_silent_output(false);
        audio_source.mixed = next_mixed;
        sdl_state.audio_ok = 0;
        lock_level = 0;
        AudioScript::TearDown();
    }
};
std::atomic<int> SilentOutput::blocks{0};
void (*SilentOutput::next_mixed)(const uint8_t*, int32_t) = nullptr;

TEST_F(SilentOutput, MixesBlocksAtTheDevicesPaceUnderTheNestingLock) {
    EXPECT_TRUE(audio_plays_into_silence());
    nesting_lock_holds_the_callback_off();
    // 512 frames at 44.1 kHz: a block every 11.6 ms.
    int before = blocks;
    os_sleep(350);
    int n = blocks - before;
    EXPECT_GE(n, 15);
    EXPECT_LE(n, 35);
}

// Blocks missed while the lock was held (or the process stopped) are not mixed back to back
// afterwards: that would hold the lock from the main thread and jump the sequencer ahead.
TEST_F(SilentOutput, AStallIsNotMadeUpInABurst) {
    EXPECT_TRUE(AudioDevice::block_mixed());
    os_lock_audio();
    os_sleep(600);  // some 50 blocks' time
    int before = blocks;
    os_unlock_audio();
    os_sleep(30);
    EXPECT_LE(blocks - before, 15);
}

TEST_F(SilentOutput, EndingStopsItAtOnceEvenInsideALockBracket) {
    EXPECT_TRUE(AudioDevice::block_mixed());
    os_lock_audio();
    auto t0 = std::chrono::steady_clock::now();
    audio_end_output_device();
    auto waited = std::chrono::steady_clock::now() - t0;
    EXPECT_LT(waited, std::chrono::milliseconds(500));  // woken, not left to time out
    EXPECT_EQ(audio_device, -1);
    int after = blocks;
    os_unlock_audio();
    os_sleep(40);
    EXPECT_EQ(blocks, after);
    // It opens again, and the choice cannot change while it is open.
    audio_open_output_device();
    EXPECT_GT(audio_device, 0);
    audio_use_silent_output(false);
    EXPECT_TRUE(audio_plays_into_silence());
    EXPECT_TRUE(AudioDevice::block_mixed());
}

// At the end of the run a device of the dummy driver (which the tests use) is paused, not
// closed: its callback never runs again, and the exit need not wait out its sleeping thread.
TEST_F(AudioDevice, TheRunsEndStopsTheDummyDevicesCallback) {
    ASSERT_STREQ(SDL_GetCurrentAudioDriver(), "dummy");
    EXPECT_TRUE(block_mixed());
    audio_end_output_device();
    EXPECT_EQ(SDL_GetAudioDeviceStatus((SDL_AudioDeviceID)audio_device), SDL_AUDIO_PAUSED);
    forget_block();
    os_sleep(60);
    EXPECT_EQ(last_num_samples_mixed, -7);
}

TEST_F(AudioDevice, ReopensWhenTheHostChangesDevices) {
    int64_t first = audio_device;
    audio_device_removed((uint32_t)first + 100);  // another device: only logged
    EXPECT_EQ(audio_device, first);
    audio_device_removed((uint32_t)first);
    ASSERT_GT(audio_device, 0);
    forget_block();
    EXPECT_TRUE(block_mixed());
    // A failed or closed device is opened again when an output device appears.
    audio_close_output_device();
    EXPECT_EQ(audio_device, -1);
    audio_device_added(0);
    EXPECT_GT(audio_device, 0);
    forget_block();
    EXPECT_TRUE(block_mixed());
}

TEST_F(AudioDevice, ScriptsCallInWhileTheCallbackMixes) {
    EXPECT_EQ(run(R"(
        poke(0x5538, 64, 64, 64, 0, 3, 3)
        local r = 0x40200
        poke(r, 0x00, 0x02, 0, 0, 2, 64, 0, 0, 1, 0, 0, 0, 1, 0, 0, 0, 1, 0, 0, 0)
        poke(r + 24, 0, 0x80, 0, 0)
        poke(r + 480, 0x00, 0xF8, 0x0A, 0xFF)
        poke2(0x50000, 4) poke(0x50002, 2, 0, 4)
        poke(0x30100, 0, 0, 0, 0, 0, 0, 0, 0, 0, 15)
        _apply_system_settings({})
        function busy(n)
          for i = 1, n do
            note(48 + i % 12, 1, 64, 0, 0, i % 4, i % 2 == 0, i % 255 - 127)
            sfx(0, 4 + i % 4)
            if i % 50 == 0 then music(0, i % 3 * 10, 15) end
            if i % 97 == 0 then music(-1, 20) end
            if i % 25 == 0 then _apply_system_settings({swap_stereo = i % 2, volume = 100 + i % 100}) end
            stat(400 + i % 16, i % 28, 0x80000)
            stat(464)
            stat(465, 0, 0x80000)
            stat(466)
            stat(498)
          end
        end)"),
              "");
    // Another process takes the sound over now and then and is restarted, which stops it.
    process_record* other = make("other");
    std::string restart = "_kill_process(" + std::to_string(other->id) + ", 1)";
    forget_block();
    uint64_t until = os_get_time() + 400;
    int rounds = 0;
    while (os_get_time() < until || rounds < 3) {
        ASSERT_EQ(run("busy(200)"), "");
        ASSERT_EQ(run("note(50, 0, 64, 0, 0, 5)", other), "");
        ASSERT_EQ(app.audio_owner, other->id);
        ASSERT_EQ(run(restart), "");
        rounds++;
    }
    EXPECT_EQ(lock_level, 0);
    EXPECT_TRUE(block_mixed());
}

TEST_F(AudioDevice, CaptureStartsAndEndsWhileTheCallbackAppends) {
    // The capture buffers are made, swapped and dropped on this thread while the callback
    // appends each block, and the captures go to a folder of their own.
    std::string tmpl = std::string(getenv("HOME")) + "/capture_XXXXXX";
    ASSERT_NE(mkdtemp(tmpl.data()), nullptr);
    pfile_init();
    pfile_reset();
    ASSERT_EQ(mount_host_path("/desktop/host", tmpl.c_str()), 0);
    uint64_t until = os_get_time() + 300;
    for (int rounds = 0; os_get_time() < until || rounds < 20; rounds++) {
        ASSERT_EQ(run("_signal(16)"), "");
        ASSERT_EQ(app.audio_capture_on, 1u);
        os_sleep(uint32_t(rounds % 3 * 6));
        if (rounds % 2) update_captures();
        ASSERT_EQ(run("_signal(16)"), "");
        if (rounds == 200) break;  // names run out at 256
    }
    EXPECT_EQ(app.audio_capture_on, 0u);
    EXPECT_EQ(app.audio_capture_buffer, nullptr);
    EXPECT_EQ(lock_level, 0);
    pfile_reset();
    EXPECT_EQ(system(("rm -rf '" + tmpl + "'").c_str()), 0);
}

}  // namespace
