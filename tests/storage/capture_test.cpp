// Captures: screenshots and labels read back by ImageMagick and the reference QOI codec, GIF
// recordings read back by giflib's tools and ImageMagick, capture names, and the raw audio
// capture with its limits.
#include <gtest/gtest.h>
#include <qoi.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "storage/capture.h"
#include "gfx/draw_state.h"
#include "gfx/video.h"
#include "kernel/memory.h"
#include "platform/audio_device.h"
#include "test_support.h"

using namespace drive_test;

namespace {

std::string command_output(const std::string& cmd) {
    std::string out;
    FILE* p = popen(cmd.c_str(), "r");
    if (!p) return out;
    char chunk[65536];
    for (size_t n; (n = fread(chunk, 1, sizeof chunk, p)) > 0;) out.append(chunk, n);
    pclose(p);
    return out;
}

// The colour the test palette gives entry e (palette p, colour c: e = 64p + c).
uint32_t colour(int e) { return uint32_t(e) << 16 | uint32_t(255 - e) << 8 | uint32_t((e * 7) & 255); }
std::string rgba(uint32_t v) { return {char(v >> 16), char(v >> 8), char(v), char(255)}; }

struct Capture : temp_drive {
    process_record* wm = nullptr;
    std::string desk;
    int32_t saved_video_process = 0;

    void SetUp() override {
        temp_drive::SetUp();
        saved_video_process = config.video_process_id;
        processes_init();
        memset(&app, 0, sizeof(app));
        config.video_process_id = 3;
        boot_init();
        app.frames_run = 1;
        boot_get_time();
        app.frames_run = 1000;  // long past the boot screen
        app.boot_ready = 1;
        for (int i = 0; i < 3; i++) wm = create_process_from_code("", "wm", "/wm.lua", "");
        set_current_process(wm);
        desk = home + "/desk";
        ASSERT_EQ(mkdir(desk.c_str(), 0755), 0);
        ASSERT_EQ(mount_host_path("/desktop/host", desk.c_str()), 0);
        gif_file_limit = GIF_FILE_LIMIT_DEFAULT;
        // Entry e of the output palette shows colour(e); the remap is the identity.
        ASSERT_EQ(exec("for e = 0, 255 do poke4(0x5000 + 4 * e, e << 16 | (255 - e) << 8 | ((e * 7) & 255)) end "
                       "for i = 0, 63 do poke(0x5480 + i, i) end for i = 0, 67 do poke(0x5400 + i, 0) end"),
                  "");
    }
    void TearDown() override {
        end_captures(true);
        processes_init();
        config.video_process_id = saved_video_process;
        gif_file_limit = GIF_FILE_LIMIT_DEFAULT;
        temp_drive::TearDown();
    }
    // Waits for the recordings and screenshots being written and reports them.
    void settle() { end_captures(true); }
    std::string exec(const std::string& code) {
        set_current_process(wm);
        return exec_script(wm->L, code);
    }
    std::string run(const std::string& code) {
        set_current_process(wm);
        return run_script(wm->L, code);
    }
    // Fills process 3's screen from f(x, y).
    void screen(const std::function<int(int, int)>& f) {
        std::vector<uint8_t> bytes(size_t(VIDEO_WIDTH) * VIDEO_HEIGHT);
        for (int y = 0; y < VIDEO_HEIGHT; y++)
            for (int x = 0; x < VIDEO_WIDTH; x++) bytes[size_t(y) * VIDEO_WIDTH + x] = uint8_t(f(x, y));
        set_current_process(wm);
        poke_block(ADDR_SCREEN, bytes.data(), int64_t(bytes.size()));
    }
    // Writes a request block (eight i16 fields) and the capture name.
    void request(uint32_t base, std::vector<int> fields, const std::string& name) {
        set_current_process(wm);
        for (size_t i = 0; i < fields.size(); i++) poke2(base + 2 * i, fields[i]);
        for (int i = 0; i < CAPTURE_NAME_MAX; i++) poke(ADDR_CAPTURE_NAME + i, i < int(name.size()) ? name[i] : 0);
    }
    void frames(int n) {
        for (int i = 0; i < n; i++) {
            set_current_process(wm);
            int w = 0, h = 0;
            ASSERT_NE(generate_video_out(&w, &h), nullptr);
        }
    }
    // The notifications sent to process 3 so far, one per line.
    std::string notes() {
        return run("(function() local t = {} while true do local m = _read_message() if not m then break end "
                   "t[#t + 1] = m.content end return table.concat(t, '|') end)()");
    }
    // A picture decoded by ImageMagick: "WxH" and its RGBA bytes (all frames, coalesced).
    std::string size_of(const std::string& path) {
        return command_output("/usr/bin/identify -format '%wx%h\\n' '" + path + "' | head -1");
    }
    std::string pixels_of(const std::string& path, bool coalesce = false) {
        return command_output("/usr/bin/convert '" + path + "'" + (coalesce ? " -coalesce" : "") + " -depth 8 rgba:-");
    }
};

// ---- Screenshots ------------------------------------------------------------------------------

TEST_F(Capture, ScreenshotPixelsScaleAndVideoModeEnlargement) {
    auto pattern = [](int x, int y) { return (x * 3 + y * 5) & 63; };
    screen(pattern);
    struct shot {
        int mode, x, y, w, h, scale;
        int want_w, want_h, s;  // PNG size and pixels per box pixel
    };
    const shot cases[] = {
        {0, 10, 20, 5, 16, 1, 16, 16, 1},       // width below 16 becomes 16
        {0, 470, 300, 30, 20, 2, 60, 40, 2},    // the box moves inside the screen
        {0, 0, 0, 40, 16, 9, 160, 64, 4},       // a scale above 3 becomes 4
        {3, 0, 0, 20, 16, 2, 80, 64, 4},        // mode 3: x2 again, from the frame before enlarging
        {4, 3, 2, 16, 16, 1, 48, 48, 3},        // mode 4: x3
    };
    int n = 0;
    for (const shot& c : cases) {
        SCOPED_TRACE(n);
        set_current_process(wm);
        poke(ADDR_VIDEO_MODE, c.mode);
        std::string name = "shot" + std::to_string(n++);
        request(ADDR_SCREENSHOT_REQUEST, {c.x, c.y, c.w, c.h, c.scale, 0, 0, 0}, name);
        ASSERT_EQ(exec("_signal(21)"), "");
        frames(1);
        settle();  // the worker has written the file
        std::string path = desk + "/" + name + ".png";
        ASSERT_EQ(size_of(path), std::to_string(c.want_w) + "x" + std::to_string(c.want_h) + "\n");
        int bx = std::min(std::max(c.x, 0), VIDEO_WIDTH - std::max(c.w, 16));
        int by = std::min(std::max(c.y, 0), VIDEO_HEIGHT - std::max(c.h, 16));
        std::string want;
        for (int r = 0; r < c.want_h; r++)
            for (int col = 0; col < c.want_w; col++) want += rgba(colour(pattern(bx + col / c.s, by + r / c.s)));
        EXPECT_TRUE(pixels_of(path) == want);
        EXPECT_EQ(notes(), "captured " + std::to_string(std::max(c.w, 16)) + "x" + std::to_string(c.h) + " (x" +
                               std::to_string(c.s) + ") screenshot: /desktop/host/" + name + ".png");
    }
}

TEST_F(Capture, ScreenshotDelayNamesAndSilence) {
    screen([](int x, int) { return x & 63; });
    // A delay of 100 waits 32 frames.
    request(ADDR_SCREENSHOT_REQUEST, {0, 0, 16, 16, 1, 0, 100, 1}, "late");
    ASSERT_EQ(exec("_signal(21)"), "");
    frames(32);
    EXPECT_EQ(host_names(desk), std::vector<std::string>{});
    EXPECT_EQ(run("stat(320), stat(321), stat(322)"), "0 0 0");
    frames(1);
    settle();
    EXPECT_EQ(host_names(desk), std::vector<std::string>{"late.png"});
    EXPECT_EQ(notes(), "");  // silent

    // The first free name; names keep only letters, digits, '_', '.' and '-'.
    host_put(desk + "/name.png", "x");
    host_put(desk + "/name_1.png", "x");
    const std::pair<std::string, std::string> names[] = {
        {"name", "name_2.png"},
        {"../a b/\x01\xff", ".._a_b___.png"},
        {"", "screenshot.png"},
        {std::string(70, 'q'), std::string(64, 'q') + ".png"},
    };
    for (const auto& [name, file] : names) {
        request(ADDR_SCREENSHOT_REQUEST, {0, 0, 16, 16, 1, 0, 0, 0}, name);
        ASSERT_EQ(exec("_signal(21)"), "");
        frames(1);
        settle();
        EXPECT_TRUE(host_get(desk + "/" + file).has_value()) << file;
        EXPECT_EQ(notes(), "captured 16x16 (x1) screenshot: /desktop/host/" + file);
    }
    // With name.png and name_1.png to name_255.png present there is no name left.
    for (int i = 3; i <= 255; i++) host_put(desk + "/name_" + std::to_string(i) + ".png", "x");
    request(ADDR_SCREENSHOT_REQUEST, {0, 0, 16, 16, 1, 0, 0, 0}, "name");
    ASSERT_EQ(exec("_signal(21)"), "");
    frames(1);
    EXPECT_EQ(notes(), "could not store screenshot");
}

TEST_F(Capture, LabelIsTheWholeShownScreenAsQoi) {
    auto pattern = [](int x, int y) { return (x / 7 + y) & 63; };
    screen(pattern);
    for (int mode : {0, 3}) {
        SCOPED_TRACE(mode);
        set_current_process(wm);
        poke(ADDR_VIDEO_MODE, mode);
        request(ADDR_SCREENSHOT_REQUEST, {100, 100, 16, 16, 3, 1, 0, 1}, "ignored");
        ASSERT_EQ(exec("_signal(21)"), "");
        frames(1);
        auto bytes = get(LABEL_CAPTURE_PATH);
        ASSERT_TRUE(bytes.has_value());
        qoi_desc desc;
        uint8_t* px = static_cast<uint8_t*>(qoi_decode(bytes->data(), int(bytes->size()), &desc, 4));
        ASSERT_NE(px, nullptr);
        EXPECT_EQ(desc.width, 480u);
        EXPECT_EQ(desc.height, 270u);
        EXPECT_EQ(desc.colorspace, QOI_LINEAR);
        int s = mode == 3 ? 2 : 1, bad = 0;
        for (int y = 0; y < 270; y++)
            for (int x = 0; x < 480; x++)
                bad += memcmp(px + (y * 480 + x) * 4, rgba(colour(pattern(x / s, y / s))).data(), 4) != 0;
        free(px);
        EXPECT_EQ(bad, 0);
        EXPECT_EQ(notes(), "captured label (/ram/cart/label.qoi)");
        EXPECT_EQ(host_names(desk), std::vector<std::string>{});
    }
}

// ---- GIF recordings ---------------------------------------------------------------------------

// giftext's account of a file, reduced to the lines the tests look at.
std::string gif_structure(const std::string& path) {
    return command_output("giftext '" + path +
                          "' | grep -E 'ColorResolution|Color Map|application block|Image #|Transparency on|DelayTime'");
}

TEST_F(Capture, GifFramesDelaysAndPixels) {
    // Lines 0-3 use palettes 0, 1, 2 and 1: bits 1-0, 3-2, 5-4 and 7-6 of 0x5400.
    ASSERT_EQ(exec("poke(0x5400, 0x64)"), "");
    auto lp = [](int y) { return y >= 4 ? 0 : (0x64 >> (2 * y)) & 3; };
    // Only the left part changes from frame to frame; bit 6 of a screen byte is ignored.
    auto pattern = [](int k) {
        return [k](int x, int y) { return ((x + 2 * y + (x < 12 ? k : 0)) & 63) | 0x40; };
    };
    request(ADDR_GIF_REQUEST, {6, 0, 20, 16, 2, 0, 2, 0}, "rec");
    ASSERT_EQ(exec("_signal(18)"), "");
    EXPECT_EQ(run("stat(320)"), "1");
    frames(2);  // the start delay
    std::vector<std::string> want;
    for (int k = 0; k < 6; k++) {
        screen(pattern(k));
        if (k % 2 == 0) {  // every second frame is recorded
            std::string w;
            for (int r = 0; r < 32; r++)
                for (int c = 0; c < 40; c++) w += rgba(colour(lp(r / 2) * 64 + (pattern(k)(6 + c / 2, r / 2) & 63)));
            want.push_back(w);
        }
        frames(1);
    }
    EXPECT_EQ(run("stat(321)"), "3");
    ASSERT_EQ(exec("_signal(19)"), "");
    EXPECT_EQ(run("stat(320), stat(321)"), "0 0");
    settle();
    EXPECT_EQ(notes(), "captured 3 frame gif 20x16 (x2): /desktop/host/rec.gif");
    std::string path = desk + "/rec.gif";
    EXPECT_EQ(command_output("/usr/bin/identify -format '%wx%h %T\\n' '" + path + "'"), "40x32 3\n40x32 3\n40x32 3\n");
    // One colour map for all frames (the palette stayed), colour resolution 8, the loop, and
    // unchanged pixels left transparent from the second frame on.
    EXPECT_EQ(gif_structure(path),
              "\tColorResolution = 8, BitsPerPixel = 8, BackGround = 0, Aspect = 0.\n"
              "\tHas Global Color Map.\n"
              "GIF89 application block (Ext Code = 255 [ ]):\n"
              "\tTransparency on: no\n\tDelayTime: 3\nImage #1:\n\tNo Image Color Map.\n"
              "\tTransparency on: yes\n\tDelayTime: 3\nImage #2:\n\tNo Image Color Map.\n"
              "\tTransparency on: yes\n\tDelayTime: 3\nImage #3:\n\tNo Image Color Map.\n");
    EXPECT_NE(host_get(path)->find(std::string("NETSCAPE2.0\x03\x01\x00\x00\x00", 16)), std::string::npos);
    std::string all = pixels_of(path, true);
    ASSERT_EQ(all.size(), 3u * 40 * 32 * 4);
    EXPECT_TRUE(all.substr(0, 40 * 32 * 4) == want[0]);
    EXPECT_TRUE(all.substr(2 * 40 * 32 * 4) == want[2]);
}

TEST_F(Capture, GifColourMapsAndTheLastIndex) {
    screen([](int x, int y) { return (x + y) & 63; });
    request(ADDR_GIF_REQUEST, {0, 0, 16, 16, 1, 0, 0, 1}, "maps");
    ASSERT_EQ(exec("_signal(18)"), "");
    frames(2);
    // A change beyond the first 64 entries still gets the frame a colour map of its own.
    ASSERT_EQ(exec("poke4(0x5000 + 4 * 200, 0x123456)"), "");
    frames(2);
    // Line 0 on palette 3 showing colour 63 needs index 255 itself: no pixel is left out.
    ASSERT_EQ(exec("poke(0x5400, 3) poke(0x10000, 63)"), "");
    frames(2);
    ASSERT_EQ(exec("_signal(19)"), "");
    settle();
    EXPECT_EQ(notes(), "");  // silent
    EXPECT_EQ(gif_structure(desk + "/maps.gif"),
              "\tColorResolution = 8, BitsPerPixel = 8, BackGround = 0, Aspect = 0.\n"
              "\tHas Global Color Map.\n"
              "GIF89 application block (Ext Code = 255 [ ]):\n"
              "\tTransparency on: no\n\tDelayTime: 3\nImage #1:\n\tNo Image Color Map.\n"
              "\tTransparency on: yes\n\tDelayTime: 3\nImage #2:\n\tImage Has Color Map.\n"
              "\tTransparency on: no\n\tDelayTime: 3\nImage #3:\n\tImage Has Color Map.\n");
    std::string all = pixels_of(desk + "/maps.gif", true);
    ASSERT_EQ(all.size(), 3u * 16 * 16 * 4);
    EXPECT_EQ(all.substr(2 * 1024, 4), rgba(colour(255)));
    EXPECT_EQ(all.substr(2 * 1024 + 4, 4), rgba(colour(3 * 64 + 1)));
}

TEST_F(Capture, GifReadsAMappedScreenAndEndsAtTheFileLimit) {
    // The screen is a typed array mapped over the screen's pages, showing new noise each frame.
    ASSERT_EQ(exec("S = userdata('u8', 480, 270) _map_ram(S, 0x10000)"), "");
    auto noise = [](int k) { return [k](int x, int y) { return int((uint32_t(x * 7919 + y * 104729 + k) * 2654435761u) >> 26); }; };
    screen(noise(0));
    std::string want;
    for (int y = 0; y < 270; y++)
        for (int x = 0; x < 480; x++) want += rgba(colour(noise(0)(x, y)));
    ASSERT_EQ(run("S:get(5, 3)"), std::to_string(noise(0)(5, 3)));
    // Room for three frames at the most they could take (written frames count at their real
    // size, so more may fit): the recording ends by itself, and
    // the file stays within the bound whatever the worker has written meanwhile.
    gif_file_limit = 3 * gif_frame_bound(480, 270);
    request(ADDR_GIF_REQUEST, {0, 0, 480, 270, 1, 0, 0, 0}, "full");
    ASSERT_EQ(exec("_signal(18)"), "");
    for (int k = 0; k < 400 && run("stat(320)") == "1"; k++) {
        frames(1);
        screen(noise(k + 1));
    }
    EXPECT_EQ(run("stat(320)"), "0");
    settle();
    std::string note = notes();
    int count = 0;
    ASSERT_EQ(sscanf(note.c_str(), "captured %d frame gif 480x270 (x1): /desktop/host/full.gif", &count), 1) << note;
    EXPECT_GE(count, 3);
    EXPECT_LE(int64_t(host_get(desk + "/full.gif")->size()), gif_file_limit);
    std::string all = pixels_of(desk + "/full.gif", true);
    ASSERT_EQ(all.size(), size_t(count) * 480 * 270 * 4);
    EXPECT_TRUE(all.substr(0, want.size()) == want);
}

TEST_F(Capture, AFailedRestartLeavesNoRecordingRunning) {
    screen([](int x, int) { return x & 63; });
    request(ADDR_GIF_REQUEST, {0, 0, 16, 16, 1, 0, 0, 1}, "first");
    ASSERT_EQ(exec("_signal(18)"), "");
    frames(2);
    // Every name for the second recording is taken: the first is written, and nothing runs.
    host_put(desk + "/full.gif", "x");
    for (int i = 1; i <= 255; i++) host_put(desk + "/full_" + std::to_string(i) + ".gif", "x");
    request(ADDR_GIF_REQUEST, {0, 0, 16, 16, 1, 0, 0, 1}, "full");
    ASSERT_EQ(exec("_signal(18)"), "");
    EXPECT_EQ(run("stat(320), stat(321)"), "0 0");
    settle();
    EXPECT_EQ(command_output("/usr/bin/identify -format '%wx%h\\n' '" + desk + "/first.gif'"), "16x16\n");
}

TEST_F(Capture, NamesPassOverLinksAndFoldersAndStartsAreCharged) {
    // A dangling link and a folder take their names: nothing is written through the link.
    ASSERT_EQ(symlink((home + "/outside.gif").c_str(), (desk + "/rec.gif").c_str()), 0);
    ASSERT_EQ(mkdir((desk + "/rec_1.gif").c_str(), 0755), 0);
    ASSERT_EQ(symlink((home + "/outside.raw").c_str(), (desk + "/audio.raw").c_str()), 0);
    screen([](int x, int) { return x & 63; });
    request(ADDR_GIF_REQUEST, {0, 0, 16, 16, 1, 0, 0, 0}, "rec");
    ASSERT_EQ(exec("_signal(18) _signal(16)"), "");
    frames(2);
    ASSERT_EQ(exec("_signal(19) _signal(16)"), "");
    settle();
    EXPECT_EQ(notes(), "captured 0.000 seconds: /desktop/host/audio_1.raw|captured 1 frame gif 16x16 (x1): /desktop/host/rec_2.gif");
    struct stat st;
    EXPECT_NE(lstat((home + "/outside.gif").c_str(), &st), 0);
    EXPECT_NE(lstat((home + "/outside.raw").c_str(), &st), 0);
    EXPECT_EQ(size_of(desk + "/rec_2.gif"), "16x16\n");

    // A start pays for every name it looks at: with all of them taken, 256 lookups.
    for (int i = 2; i <= 255; i++) host_put(desk + "/rec_" + std::to_string(i) + ".gif", "x");
    auto charged = [&](const char* code) {
        set_current_process(wm);
        cpu_cycles = 0;
        EXPECT_EQ(exec(code), "");
        return int64_t(cpu_cycles);
    };
    const int64_t idle = charged("_signal(22)");
    EXPECT_GT(charged("_signal(18)") - idle, 256 * 64);
    EXPECT_EQ(run("stat(320)"), "0");
    EXPECT_GT(charged("_signal(16)") - idle, 2 * AUDIO_CAPTURE_INITIAL_BYTES / 128);
    EXPECT_EQ(run("stat(322)"), "1");
    ASSERT_EQ(exec("_signal(16)"), "");
}

// ---- Audio capture ----------------------------------------------------------------------------

TEST_F(Capture, AudioCaptureWritesTheBlocksItWasGiven) {
    std::string blocks;
    for (int i = 0; i < 3 * 2048; i++) blocks += char(i * 31 + i / 2048);
    ASSERT_EQ(exec("_signal(16)"), "");
    EXPECT_EQ(run("stat(322)"), "1");
    for (int i = 0; i < 3; i++) audio_capture_append(reinterpret_cast<const uint8_t*>(blocks.data()) + i * 2048, 2048);
    // Each frame writes what came so far: the file grows while the capture runs.
    update_captures();
    EXPECT_TRUE(host_get(desk + "/audio.raw") == blocks);
    ASSERT_EQ(exec("_signal(16)"), "");
    EXPECT_EQ(run("stat(322)"), "0");
    EXPECT_EQ(lock_level, 0);
    EXPECT_TRUE(host_get(desk + "/audio.raw") == blocks);
    EXPECT_EQ(notes(), "captured 0.035 seconds: /desktop/host/audio.raw");
    audio_capture_append(reinterpret_cast<const uint8_t*>(blocks.data()), 2048);  // no capture: ignored

    // Ten seconds are reported as such; the next capture takes the next free name.
    std::string ten(10 * AUDIO_CAPTURE_BYTES_PER_SECOND, '\x11');
    ASSERT_EQ(audio_capture_start(), 0);
    audio_capture_append(reinterpret_cast<const uint8_t*>(ten.data()), int32_t(ten.size()));
    ASSERT_EQ(audio_capture_end(), 0);
    EXPECT_EQ(notes(), "captured 10.000 seconds: /desktop/host/audio_1.raw");

    // Blocks past the limit are not kept.
    audio_capture_limit = 5000;
    ASSERT_EQ(audio_capture_start(), 0);
    for (int i = 0; i < 3; i++) audio_capture_append(reinterpret_cast<const uint8_t*>(blocks.data()) + i * 2048, 2048);
    ASSERT_EQ(audio_capture_end(), 0);
    audio_capture_limit = AUDIO_CAPTURE_MAX_BYTES;
    EXPECT_TRUE(host_get(desk + "/audio_2.raw") == blocks.substr(0, 4096));
}

TEST_F(Capture, EndingEverythingWritesWhatRuns) {
    screen([](int x, int) { return x & 63; });
    request(ADDR_GIF_REQUEST, {0, 0, 16, 16, 1, 0, 0, 0}, "left");
    ASSERT_EQ(exec("_signal(18) _signal(16)"), "");
    frames(3);
    end_captures(true);
    EXPECT_EQ(run("stat(320), stat(322)"), "0 0");
    EXPECT_EQ(host_names(desk), (std::vector<std::string>{"audio.raw", "left.gif"}));
    // The audio file is complete at once; the recording is reported once its worker is done.
    EXPECT_EQ(notes(), "captured 0.000 seconds: /desktop/host/audio.raw|captured 2 frame gif 16x16 (x1): /desktop/host/left.gif");
}

}  // namespace
