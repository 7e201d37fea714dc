// Command line, system image records, settings and the frame loop's quit and reboot rules.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <sys/stat.h>
#include <vector>

#include "app/app.h"
#include "base/machine.h"
#include "kernel/process.h"
#include "lua.h"
#include "platform/audio_device.h"
#include "platform/host.h"

namespace {

void run_args(std::vector<const char*> words) {
    set_default_config();
    std::vector<char*> argv;
    for (const char* w : words) argv.push_back(const_cast<char*>(w));
    process_arguments((int)argv.size(), argv.data());
}

TEST(CommandLine, OptionsAndTheFileArgument) {
    run_args({"orvalune", "-x", "game"});
    EXPECT_EQ(config.headless, 1u);
    EXPECT_STREQ(config.file_argument, "game");
    EXPECT_EQ(config.display_index, -1);
    std::string home = std::string(getenv("HOME")) + "/cl_home/deeper/still";
    run_args({"orvalune", "-home", home.c_str(), "-display", "2"});
    EXPECT_EQ(home, config.home_folder);
    EXPECT_EQ(config.display_index, 2);
    struct stat st;
    EXPECT_EQ(stat(home.c_str(), &st), 0);  // created
    run_args({"orvalune", "-zap", "word", "plain"});  // an unknown option skips its word
    EXPECT_STREQ(config.file_argument, "plain");
    run_args({"orvalune", "-zap", "word"});
    EXPECT_STREQ(config.file_argument, "");
}

TEST(CommandLine, PipeEndsTheScanAndOptionsAsLastWordReadNothingPastTheEnd) {
    run_args({"orvalune", "-home", ""});  // an empty folder name makes nothing
    EXPECT_STREQ(config.home_folder, "");
    run_args({"orvalune", "|", "-x", "game"});
    EXPECT_EQ(config.headless, 0u);
    EXPECT_STREQ(config.file_argument, "");
    run_args({"orvalune", "a", "b", ">out"});
    EXPECT_STREQ(config.file_argument, "b");
    run_args({"orvalune", "-home"});
    EXPECT_STREQ(config.home_folder, "");
    run_args({"orvalune", "-display"});
    EXPECT_EQ(config.display_index, -1);
    run_args({"orvalune", "-use_system_rom"});
    EXPECT_EQ(config.use_system_rom, 1u);
}

struct ImageFile : testing::Test {
    FILE* f = nullptr;
    void SetUp() override { f = tmpfile(); }
    void TearDown() override {
        fclose(f);
        free_dat_files();
    }
    void record(uint32_t len, const std::string& bytes) {
        uint8_t be[4] = {(uint8_t)(len >> 24), (uint8_t)(len >> 16), (uint8_t)(len >> 8), (uint8_t)len};
        fwrite(be, 1, 4, f);
        fwrite(bytes.data(), 1, bytes.size(), f);
    }
    int load() {
        rewind(f);
        return load_dat_records(f);
    }
};

TEST_F(ImageFile, RecordsAreReadInOrder) {
    record(4, "demo");
    record(3, "rom");
    record(0, "");
    EXPECT_EQ(load(), 3);
    pbuffer* r0 = get_dat_file(0);
    EXPECT_EQ(r0->length, 4);
    EXPECT_EQ(r0->tag, 105);
    EXPECT_EQ(r0->capacity, 4u + 8u + 1u);
    EXPECT_EQ(memcmp(r0->data, "demo", 4), 0);
    EXPECT_EQ(get_dat_file(2)->length, 0);
    EXPECT_EQ(get_dat_file(3), nullptr);
    EXPECT_EQ(get_dat_file(-1), nullptr);
}

TEST_F(ImageFile, CutShortRecordStaysEmpty) {
    record(4, "demo");
    record(10, "abc");
    EXPECT_EQ(load(), 2);
    EXPECT_EQ(get_dat_file(1)->length, 0);
}

TEST_F(ImageFile, LengthLimit) {
    std::string big(0x2000000, 'z');
    record(0x2000000, big);
    record(0x2000001, "x");
    record(1, "y");
    EXPECT_EQ(load(), 1);
    EXPECT_EQ(get_dat_file(0)->length, 0x2000000);
}

TEST_F(ImageFile, AtMostSixtyFourRecords) {
    for (int i = 0; i < 70; i++) record(1, "r");
    EXPECT_EQ(load(), DAT_FILE_MAX);
}

TEST(Settings, NamesSetTheirOwnFields) {
    set_default_config();
    orvalune_apply_setting("volume", 300);
    EXPECT_EQ(config.volume, 256);
    orvalune_apply_setting("deadzone", -4);
    EXPECT_EQ(config.deadzone, 0);
    orvalune_apply_setting("stretch", 7);
    EXPECT_EQ(config.stretch, 1u);
    orvalune_apply_setting("pixel_scale", 9);
    EXPECT_EQ(config.pixel_scale, 9);
    orvalune_apply_setting("nonsense", 1);
    orvalune_apply_setting(nullptr, 1);
    EXPECT_EQ(config.fullscreen, 1u);
}

TEST(Settings, VideoWordIgnoresPixelScale) {
    set_default_config();
    orvalune_apply_settings();
    uint32_t word = video_hash0;
    EXPECT_EQ(word, 3u);
    orvalune_apply_setting("pixel_scale", 3);
    EXPECT_EQ(video_flag_word(), word);
    orvalune_apply_setting("blit_720p", 1);
    EXPECT_EQ(video_flag_word(), word | 32u);
}

struct FrameLoop : testing::Test {
    void SetUp() override {
        set_default_config();
        config.headless = 1;
        memset(&app, 0, sizeof(app));
        processes_init();
    }
    // The first frame starts the host layer and with it the audio device, whose callback
    // must not go on mixing under later tests.
    void TearDown() override {
        processes_init();
        audio_close_output_device();
    }
};

TEST_F(FrameLoop, BootWithoutImageFails) {
    free_dat_files();
    EXPECT_EQ(boot_system("/system/boot.lua"), BOOT_NO_IMAGE);
    ASSERT_NE(root_process, nullptr);
    EXPECT_STREQ(root_process->name, "[root]");
    EXPECT_EQ(root_process->id, 1);
    EXPECT_EQ(app.audio_owner, -2);
    EXPECT_EQ(app.audio_mirror_id, -3);
}

TEST_F(FrameLoop, QuitWaitsSixtyFramesForTheExclusiveProcess) {
    root_process = create_process_from_code("while true do coroutine.yield() end", "[root]", "[root]", "");
    app.quit_requested = 1;
    app.exclusive_process = 7;
    int frames = 0;
    while (frame_step() && frames < 1000) frames++;
    EXPECT_EQ(frames, 60);
    app.exclusive_process = 0;
    EXPECT_FALSE(frame_step());
}

TEST_F(FrameLoop, RootProcessRunsEachFrameAndEmptyHeadlessTableQuits) {
    root_process = create_process_from_code("for i = 1, 3 do coroutine.yield() end", "[root]", "[root]", "");
    int frames = 0;
    while (frame_step() && frames < 100) frames++;
    EXPECT_EQ(get_process_count(), 0);
    EXPECT_EQ(app.frames_run, 4u);
    EXPECT_EQ(frames, 4);
}

TEST_F(FrameLoop, ChildRunsInsideTheParentsSlice) {
    root_process = create_process_from_code(
        "while true do _run_process_slice(2, 1.0) coroutine.yield() end",
        "[root]", "[root]", "");
    set_current_process(root_process);
    process_record* child = create_process_from_code("n = 0 while true do n = n + 1 coroutine.yield() end",
                                                     "child", "child", "");
    for (int i = 0; i < 5; i++) frame_step();
    lua_State* L = child->L;
    lua_getglobal(L, "n");
    EXPECT_EQ(lua_tointeger(L, -1), 5);
    lua_pop(L, 1);
}

TEST_F(FrameLoop, RuntimeErrorInAChildIsReportedAndRemovesIt) {
    root_process = create_process_from_code("while true do _run_process_slice(4, 1.0) coroutine.yield() end",
                                            "[root]", "[root]", "");
    set_current_process(root_process);
    create_process_from_code("", "two", "two", "");
    process_record* wm = create_process_from_code("while true do coroutine.yield() end", "wm", "wm", "");
    process_record* child = create_process_from_code("error('boom')", "child", "child", "");
    ASSERT_EQ(child->id, 4);
    frame_step();
    EXPECT_EQ(get_process(4), nullptr);
    pbuffer* b = read_process_message(wm, nullptr);
    ASSERT_NE(b, nullptr);
    EXPECT_NE(std::string((const char*)b->data, b->length).find("*runtime error"), std::string::npos);
}

TEST_F(FrameLoop, RuntimeErrorInTheKernelEndsTheProgramWithFailure) {
    EXPECT_EXIT(
        {
            root_process = create_process_from_code("error('kernel broke')", "[root]", "[root]", "");
            frame_step();
        },
        testing::ExitedWithCode(1), "");
}

}  // namespace
