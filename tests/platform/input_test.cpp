// Host input under SDL's dummy driver: real host events pushed into SDL, and the exact
// messages that the window manager (process 3) receives; the pointer, the mouse lock and keys.
#include <gtest/gtest.h>

#include <SDL.h>
#include <cmath>
#include <string>

#include "base/memmap.h"
#include "kernel/memory.h"
#include "kernel/slice.h"
#include "storage/pdisk.h"
#include "window_fixture.h"

using namespace window_test;

namespace {

struct Input : WindowTest {
    void SetUp() override {
        WindowTest::SetUp();
        // Keys read as up for 100 ms after the start; the tests begin after that.
        while (os_get_time() <= 150) SDL_Delay(10);
        pfile_init();
        pfile_reset();
        mount_ram_folder("/ram");
        // 1000 x 600: the display shows at twice its size at (20, 30).
        os_apply_video_config();
        resize(1000, 600);
        start_frame();
        app.focus_regained_ms = 0;
        app.mouse_locked = 0;
        last_mx = last_my = last_mb = -1;
        all_messages();
    }
    void TearDown() override {
        release_all_keys();
        pfile_reset();
        WindowTest::TearDown();
    }

    // SDL's own key state array, set as a held key would set it.
    static void hold(int sc, bool down) { const_cast<Uint8*>(SDL_GetKeyboardState(nullptr))[sc] = down; }
    static void release_all_keys() {
        int n = 0;
        Uint8* keys = const_cast<Uint8*>(SDL_GetKeyboardState(&n));
        memset(keys, 0, (size_t)n);
    }
    static void push(SDL_Event e) { ASSERT_EQ(SDL_PushEvent(&e), 1) << SDL_GetError(); }
    static void push_key(int sc) {
        SDL_Event e = {};
        e.type = SDL_KEYDOWN;
        e.key.keysym.scancode = (SDL_Scancode)sc;
        push(e);
    }
    static void push_motion(int x, int y) {
        SDL_Event e = {};
        e.type = SDL_MOUSEMOTION;
        e.motion.windowID = SDL_GetWindowID(sdl_state.window);
        e.motion.x = x;
        e.motion.y = y;
        push(e);
    }
    // One frame's input: the messages it sent, one a line, without the mouse position.
    std::string frame() {
        start_frame();
        std::string out;
        for (pbuffer* b; (b = read_process_message(wm, nullptr));) {
            std::string m((const char*)b->data, b->length);
            if (m.rfind("{event=\"mouse\",", 0) != 0) out += m + "\n";
        }
        return out;
    }
};

TEST_F(Input, KeysGoDownAndUpInScanCodeOrder) {
    push_key(30);
    push_key(5);
    EXPECT_EQ(frame(), "{event=\"keydown\",scancode=5}\n{event=\"keydown\",scancode=30}\n");
    // Pressed and released between two frames: up in the next one.
    EXPECT_EQ(frame(), "{event=\"keyup\",scancode=5}\n{event=\"keyup\",scancode=30}\n");
    EXPECT_EQ(frame(), "");

    hold(4, true);
    hold(7, true);
    EXPECT_EQ(frame(), "{event=\"keydown\",scancode=4}\n{event=\"keydown\",scancode=7}\n");
    EXPECT_EQ(os_key_state(4), 1);
    EXPECT_EQ(os_key_state(-1), 1);
    hold(7, false);
    EXPECT_EQ(frame(), "{event=\"keyup\",scancode=7}\n");
    for (int sc : {-2, 512, 100000}) EXPECT_EQ(os_key_state(sc), 0) << sc;
    hold(4, false);
    frame();
    EXPECT_EQ(os_key_state(-1), 0);
}

TEST_F(Input, KeysReadUpForAMomentAfterFocusReturns) {
    hold(9, true);
    SDL_Event e = {};
    e.type = SDL_WINDOWEVENT;
    e.window.event = SDL_WINDOWEVENT_FOCUS_GAINED;
    push(e);
    EXPECT_EQ(frame(), "");
    EXPECT_EQ(app.window_active, 1u);
    EXPECT_EQ(os_key_state(9), 0);
    app.focus_regained_ms = os_get_time() - 101;
    EXPECT_EQ(frame(), "{event=\"keydown\",scancode=9}\n");

    e.window.event = SDL_WINDOWEVENT_FOCUS_LOST;
    e.window.windowID = SDL_GetWindowID(sdl_state.window);
    push(e);
    frame();
    EXPECT_EQ(app.window_active, 0u);
}

TEST_F(Input, TextWheelQuitAndClose) {
    struct text_case {
        const char* host;
        const char* sent;
    } texts[] = {
        {"a\\", "{event=\"textinput\",text=\"a\\092\"}"},
        {"\"\xc3\xa9", "{event=\"textinput\",text=\"\\034\\195\\169\"}"},
        {"0123456789012345678901234567890", "{event=\"textinput\",text=\"0123456789012345678901234567890\"}"},
    };
    for (const text_case& t : texts) {
        SDL_Event e = {};
        e.type = SDL_TEXTINPUT;
        snprintf(e.text.text, sizeof(e.text.text), "%s", t.host);
        push(e);
        EXPECT_EQ(frame(), std::string(t.sent) + "\n");
    }
    SDL_Event w = {};
    w.type = SDL_MOUSEWHEEL;
    w.wheel.x = -1;
    w.wheel.y = 3;
    push(w);
    EXPECT_EQ(frame(), "{event=\"mousewheel\",wheel_x=-1,wheel_y=3}\n");

    app.last_input_ms = 0;
    SDL_Event q = {};
    q.type = SDL_QUIT;
    push(q);
    frame();
    EXPECT_EQ(app.quit_requested, 1u);
    EXPECT_GT(app.last_input_ms, 0u);
    app.quit_requested = 0;
    q.type = SDL_WINDOWEVENT;
    q.window.event = SDL_WINDOWEVENT_CLOSE;
    push(q);
    frame();
    EXPECT_EQ(app.quit_requested, 1u);
}

TEST_F(Input, PointerIsMappedThroughTheDestinationRectangle) {
    SDL_WarpMouseInWindow(sdl_state.window, 500, 300);
    start_frame();
    EXPECT_EQ(next_message(), "{event=\"mouse\",mx=240,my=135,mb=0}");
    send_mouse_state(500, 300, SDL_BUTTON_LMASK | SDL_BUTTON_MMASK);
    EXPECT_EQ(next_message(), "{event=\"mouse\",mx=240,my=135,mb=5}");
    send_mouse_state(501, 300, SDL_BUTTON_LMASK | SDL_BUTTON_MMASK);  // the same display pixel
    send_mouse_state(500, 300, SDL_BUTTON_RMASK);
    EXPECT_EQ(next_message(), "{event=\"mouse\",mx=240,my=135,mb=2}");
    EXPECT_EQ(next_message(), "<none>");
    send_mouse_state(10, 10, 0);
    EXPECT_EQ(next_message(), "{event=\"mouse\",mx=-5,my=-10,mb=0}");
    config.fullscreen = 1;
    send_mouse_state(10, 10, 0);
    EXPECT_EQ(next_message(), "{event=\"mouse\",mx=0,my=0,mb=0}");
}

TEST_F(Input, DroppedFilesAreCopiedAndTheirNamesFreed) {
    std::string host = std::string(getenv("HOME")) + "/dropped note.txt";
    FILE* f = fopen(host.c_str(), "wb");
    ASSERT_NE(f, nullptr);
    fputs("hello", f);
    fclose(f);
    SDL_Event e = {};
    e.type = SDL_DROPFILE;
    e.drop.file = SDL_strdup(host.c_str());  // the input step frees it
    push(e);
    e.type = SDL_DROPTEXT;
    e.drop.file = SDL_strdup("some text");
    push(e);
    EXPECT_EQ(frame(),
              "{event=\"drop_items\",_flags=1,items={{mox_type=\"location\",filenav_op=\"move\","
              "location=\"/ram/drop/dropped_note.txt\"}}}\n");
    ram_file* copy = pfopen("/ram/drop/dropped_note.txt", "r");
    ASSERT_NE(copy, nullptr);
    EXPECT_EQ(std::string((const char*)copy->contents->data, copy->contents->length), "hello");
    pfclose(copy);
    remove(host.c_str());
}

struct MouseLock : Input {
    void lock(uint8_t step = 64, uint8_t pointer = 64) { os_lock_mouse_cursor(4, step, pointer); }
    // One frame: a motion event dx window units right of the centre the lock warps to.
    std::string move(int dx) {
        push_motion(last_locked_host_mx + dx, last_locked_host_my);
        return frame();
    }
    static int sum_dx(const std::string& messages) {
        int sum = 0;
        for (size_t at = 0; (at = messages.find("locked_dx=", at)) != std::string::npos; at++)
            sum += atoi(messages.c_str() + at + 10);
        return sum;
    }
};

TEST_F(MouseLock, MotionStepsAndThePointerFollowTheScales) {
    SDL_WarpMouseInWindow(sdl_state.window, 220, 300);  // display pixel 100, 135
    frame();
    lock();
    EXPECT_EQ(app.mouse_locked, 4u);
    EXPECT_FLOAT_EQ(sdl_state.locked_mouse_x, 100.0f);
    int x = 0, y = 0;
    SDL_GetMouseState(&x, &y);
    EXPECT_EQ(x, 500);  // held at the window centre
    EXPECT_EQ(y, 300);
    // The warp's own motion event restarts the accumulators.
    EXPECT_EQ(frame(), "");
    EXPECT_EQ(app.mouse_lock_reset, 0u);
    std::string steps = move(120) + move(80);
    EXPECT_EQ(sum_dx(steps), 100);
    EXPECT_FLOAT_EQ(sdl_state.locked_mouse_x, 200.0f);
    EXPECT_EQ(last_mx, 200);
    // The first motion after a restart moves the locked pointer only.
    frame();
    app.mouse_lock_reset = 1;
    EXPECT_EQ(move(100), "");
    EXPECT_FLOAT_EQ(sdl_state.locked_mouse_x, 250.0f);
    move(2000);
    EXPECT_FLOAT_EQ(sdl_state.locked_mouse_x, 479.0f);

    // Unlocking puts the host pointer where the locked one was.
    os_lock_mouse_cursor(0, 64, 64);
    EXPECT_EQ(app.mouse_locked, 0u);
    SDL_GetMouseState(&x, &y);
    EXPECT_EQ(x, 479 * 2 + 20);
}

TEST_F(MouseLock, ZeroScalesSendNothingAndFreezeThePointer) {
    lock(0, 64);
    frame();
    EXPECT_EQ(move(200), "");
    os_lock_mouse_cursor(0, 64, 64);
    lock(64, 0);
    float start = sdl_state.locked_mouse_x;
    frame();
    EXPECT_EQ(sum_dx(move(200)), 100);
    EXPECT_FLOAT_EQ(sdl_state.locked_mouse_x, start);
}

TEST_F(MouseLock, StartsSafelyWithoutADestinationAndIsHandedOverAtFrameEnd) {
    // Pixel-perfect and stretched in a window narrower than the display: no rectangle.
    config.stretch = 1;
    resize(300, 600);
    SDL_WarpMouseInWindow(sdl_state.window, 290, 5);
    lock();
    EXPECT_TRUE(std::isfinite(sdl_state.locked_mouse_x));
    EXPECT_FLOAT_EQ(sdl_state.locked_mouse_x, 290.0f);
    EXPECT_FLOAT_EQ(sdl_state.locked_mouse_y, 5.0f);
    os_lock_mouse_cursor(0, 64, 64);

    // The window manager's memory asks for the lock; the frame's end passes it on.
    poke_proc(wm, ADDR_MOUSE_LOCK_FLAGS, 4);
    poke_proc(wm, ADDR_MOUSE_LOCK, 32);
    poke_proc(wm, ADDR_MOUSE_POINTER_SCALE, 16);
    update_processes_after_frame();
    EXPECT_EQ(app.mouse_locked, 4u);
    EXPECT_EQ(mouse_lock_step_scale, 32);
    EXPECT_EQ(mouse_lock_pointer_scale, 16);
    os_lock_mouse_cursor(0, 64, 64);
}

TEST_F(Input, KeyNamesAreCopiedOut) {
    char a[32], b[32];
    ASSERT_TRUE(os_key_from_scancode(4, a, sizeof(a)));
    ASSERT_TRUE(os_key_from_scancode(5, b, sizeof(b)));
    EXPECT_STREQ(a, "A");
    EXPECT_STREQ(b, "B");
    EXPECT_FALSE(os_key_from_scancode(0, a, sizeof(a)));
    EXPECT_STREQ(a, "");
    EXPECT_FALSE(os_key_from_scancode(512, a, sizeof(a)));
    EXPECT_FALSE(os_key_from_scancode(-1, a, sizeof(a)));
}

}  // namespace
