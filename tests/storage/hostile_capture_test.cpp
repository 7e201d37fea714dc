// Hostile children and captures: a child asking for the largest screenshot every frame never
// holds up the root's frames; the screenshots being written are bounded and each file is whole.
#include <sys/stat.h>

#include <string>
#include <vector>

#include "storage/capture.h"
#include "gfx/draw_state.h"
#include "gfx/video.h"
#include "hostile_child.h"
#include "kernel/memory.h"
#include "test_support.h"

namespace {

struct HostileCapture : drive_test::temp_drive {
    std::string desk;

    void SetUp() override {
        hostile::fresh_machine();
        temp_drive::SetUp();
        boot_init();
        app.frames_run = 1;
        boot_get_time();
        app.frames_run = 1000;  // long past the boot screen
        app.boot_ready = 1;
        desk = home + "/desk";
        ASSERT_EQ(mkdir(desk.c_str(), 0755), 0);
        ASSERT_EQ(mount_host_path("/desktop/host", desk.c_str()), 0);
    }
    void TearDown() override {
        end_captures(true);
        processes_init();
        temp_drive::TearDown();
    }
};

// The machine's frame: the video output (which takes any screenshot due) and the captures.
void video_frame() {
    process_record* wm = get_process(3);
    if (wm) set_current_process(wm);
    generate_video_out(nullptr, nullptr);
    update_captures();
}

// The window manager shows video mode 4 (x3), so a whole-screen screenshot at scale 4 is
// 5,760 x 3,240 pixels.
void largest_mode(process_record* child) {
    set_current_process(get_process(3));
    poke(ADDR_VIDEO_MODE, 4);
    set_current_process(child);
}

uint32_t be32(const std::string& s, size_t at) {
    return uint32_t(uint8_t(s[at])) << 24 | uint32_t(uint8_t(s[at + 1])) << 16 | uint32_t(uint8_t(s[at + 2])) << 8 |
           uint32_t(uint8_t(s[at + 3]));
}

TEST_F(HostileCapture, LargestScreenshotEveryFrameHoldsNoFrame) {
    hostile::outcome o = hostile::run_child(
        "poke2(0x50, 0, 0, 480, 270, 4, 0, 0, 0) while true do _signal(21) end", 40, largest_mode, "", video_frame);
    hostile::expect_frame_gap_held(o, "screenshots");
    end_captures(true);
    const std::vector<std::string> files = drive_test::host_names(desk);
    // The first frames take as many as may be written at once; the rest find them still
    // being written and are dropped.
    ASSERT_GE(files.size(), size_t(SCREENSHOT_JOBS));
    EXPECT_LT(files.size(), size_t(o.frames));
    static const std::string png_end("\0\0\0\0IEND\xae\x42\x60\x82", 12);
    for (const std::string& f : files) {
        SCOPED_TRACE(f);
        const std::string bytes = drive_test::host_get(desk + "/" + f).value_or("");
        ASSERT_GT(bytes.size(), size_t(32));
        EXPECT_EQ(bytes.substr(0, 8), "\x89PNG\r\n\x1a\n");
        EXPECT_EQ(be32(bytes, 16), 5760u);
        EXPECT_EQ(be32(bytes, 20), 3240u);
        EXPECT_EQ(bytes.substr(bytes.size() - 12), png_end);
    }
    // Each file written is reported to the window manager once its worker is done.
    std::string reports;
    while (pbuffer* b = read_process_message(get_process(3), nullptr)) reports.append((const char*)b->data, b->length);
    size_t told = 0;
    for (size_t at = 0; (at = (o.reports + reports).find("screenshot: /desktop/host/", at)) != std::string::npos; at++)
        told++;
    EXPECT_EQ(told, files.size());
}

}  // namespace
