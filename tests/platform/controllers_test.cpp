// Game controllers through SDL's virtual joysticks: plugging in and out, button bytes of the
// players, the guard against devices held from the start, mapping files and axis conversion.
#include <gtest/gtest.h>

#include <SDL.h>
#include <algorithm>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "platform/controllers.h"
#include "window_fixture.h"

using namespace window_test;

namespace {

TEST(AxisBytes, DeadZoneAndFullDeflection) {
    const std::pair<int32_t, int> cases[] = {{0, 0},       {8191, 0},     {8192, 0},   {8280, 1},    {-8280, 1},
                                             {30631, 254}, {30632, 255},  {32767, 255}, {-32768, 255}, {19456, 128}};
    for (auto [v, want] : cases) EXPECT_EQ(axis_to_byte(v), want) << v;
}

TEST(MappingLines, TrimmedAtBothEnds) {
    const std::pair<const char*, const char*> cases[] = {
        {"  abc,def \r\n", "abc,def"}, {"\t\x01x\x7f", "x"}, {"\xc2\xa0map\xe2\x80\x8b", "map"},
        {"   ", ""},                   {"", ""},            {"  // note", "// note"},
    };
    for (auto [in, want] : cases) {
        std::vector<char> buf(in, in + strlen(in) + 1);
        EXPECT_STREQ(velt_trim(buf.data()), want) << in;
    }
}

// Virtual devices plugged into SDL: a game controller (the host maps it onto the standard
// layout) or a raw joystick.
struct Controllers : testing::Test {
    std::vector<SDL_Joystick*> handles;

    void SetUp() override {
        host_up();
        settle();
    }
    void TearDown() override {
        for (SDL_Joystick* j : handles) SDL_JoystickClose(j);
        while (SDL_NumJoysticks() > 0) SDL_JoystickDetachVirtual(0);
        settle();
        memset(sdl_state.key_state, 0, sizeof(sdl_state.key_state));
    }
    // Lets the input step see every pending host event.
    static void settle() { start_frame(); }

    // Plugs a device in; returns the test's own handle for setting its axes and buttons.
    SDL_Joystick* plug(bool controller, int axes = 6, int buttons = 15) {
        SDL_VirtualJoystickDesc d;
        SDL_zero(d);
        d.version = SDL_VIRTUAL_JOYSTICK_DESC_VERSION;
        d.type = controller ? SDL_JOYSTICK_TYPE_GAMECONTROLLER : SDL_JOYSTICK_TYPE_UNKNOWN;
        d.naxes = (Uint16)axes;
        d.nbuttons = (Uint16)buttons;
        d.name = controller ? "test pad" : "test stick";
        int index = SDL_JoystickAttachVirtualEx(&d);
        EXPECT_GE(index, 0) << SDL_GetError();
        SDL_Joystick* j = SDL_JoystickOpen(index);
        EXPECT_NE(j, nullptr) << SDL_GetError();
        handles.push_back(j);
        return j;
    }
    void unplug(SDL_Joystick* j) {
        SDL_JoystickID id = SDL_JoystickInstanceID(j);
        SDL_JoystickClose(j);
        handles.erase(std::find(handles.begin(), handles.end(), j));
        for (int i = 0; i < SDL_NumJoysticks(); i++) {
            if (SDL_JoystickGetDeviceInstanceID(i) == id) SDL_JoystickDetachVirtual(i);
        }
        settle();
    }
    static std::vector<int> bytes(int player) {
        settle();
        uint8_t b[16] = {};
        os_get_button_states(player, b);
        return std::vector<int>(b, b + 16);
    }
    static std::vector<int> with(std::initializer_list<std::pair<int, int>> set) {
        std::vector<int> v(16, 0);
        for (auto [i, value] : set) v[i] = value;
        return v;
    }
};

TEST_F(Controllers, PlugPressAndUnplug) {
    SDL_Joystick* pad = plug(true);
    settle();
    ASSERT_EQ(velt_count_joysticks(), 1);
    EXPECT_NE(metacon[0].controller, nullptr);
    // The host announces the device twice (controller and joystick layer) and may repeat it.
    joystick_device_added(0, true);
    EXPECT_EQ(velt_count_joysticks(), 1);
    EXPECT_EQ(bytes(0), with({}));  // seen at rest: everything counts from now on

    SDL_JoystickSetVirtualButton(pad, SDL_CONTROLLER_BUTTON_A, 1);
    SDL_JoystickSetVirtualButton(pad, SDL_CONTROLLER_BUTTON_START, 1);
    SDL_JoystickSetVirtualAxis(pad, SDL_CONTROLLER_AXIS_LEFTX, 32767);
    SDL_JoystickSetVirtualAxis(pad, SDL_CONTROLLER_AXIS_RIGHTY, -20000);
    EXPECT_EQ(bytes(0), with({{1, 255}, {4, 255}, {6, 255}, {10, 134}}));
    EXPECT_EQ(bytes(1), with({}));

    // D-pad left with the stick pointing right sets both bytes.
    SDL_JoystickSetVirtualButton(pad, SDL_CONTROLLER_BUTTON_A, 0);
    SDL_JoystickSetVirtualButton(pad, SDL_CONTROLLER_BUTTON_START, 0);
    SDL_JoystickSetVirtualButton(pad, SDL_CONTROLLER_BUTTON_DPAD_LEFT, 1);
    SDL_JoystickSetVirtualAxis(pad, SDL_CONTROLLER_AXIS_RIGHTY, 0);
    EXPECT_EQ(bytes(0), with({{0, 255}, {1, 255}}));

    unplug(pad);
    EXPECT_EQ(velt_count_joysticks(), 0);
    EXPECT_EQ(bytes(0), with({}));
    EXPECT_EQ(debug_log().find("** failed to disconnect joystick"), std::string::npos);
}

TEST_F(Controllers, DeviceHeldFromTheStartCountsOnlyAfterLettingGo) {
    SDL_Joystick* pad = plug(true);
    SDL_JoystickSetVirtualAxis(pad, SDL_CONTROLLER_AXIS_LEFTX, -32768);
    SDL_JoystickSetVirtualButton(pad, SDL_CONTROLLER_BUTTON_B, 1);
    SDL_JoystickUpdate();
    settle();  // connected now, stick deflected and button held
    EXPECT_EQ(bytes(0), with({}));
    SDL_JoystickSetVirtualAxis(pad, SDL_CONTROLLER_AXIS_LEFTX, -8191);
    EXPECT_EQ(bytes(0), with({}));
    SDL_JoystickSetVirtualAxis(pad, SDL_CONTROLLER_AXIS_LEFTX, -32768);
    EXPECT_EQ(bytes(0), with({{0, 255}}));
    SDL_JoystickSetVirtualButton(pad, SDL_CONTROLLER_BUTTON_B, 0);
    bytes(0);
    SDL_JoystickSetVirtualButton(pad, SDL_CONTROLLER_BUTTON_B, 1);
    EXPECT_EQ(bytes(0), with({{0, 255}, {12, 255}}));
}

TEST_F(Controllers, RawJoysticksAndPlayersMovingDown) {
    SDL_Joystick* first = plug(true);
    SDL_Joystick* stick = plug(false, 2, 4);
    settle();
    ASSERT_EQ(velt_count_joysticks(), 2);
    EXPECT_EQ(metacon[1].controller, nullptr);
    EXPECT_NE(metacon[1].joystick, nullptr);
    bytes(1);
    SDL_JoystickSetVirtualButton(stick, 0, 1);
    SDL_JoystickSetVirtualButton(stick, 3, 1);
    SDL_JoystickSetVirtualAxis(stick, 1, 32767);
    EXPECT_EQ(bytes(1), with({{3, 255}, {4, 255}, {13, 255}}));
    // Removing the first device makes the second one player 0.
    unplug(first);
    EXPECT_EQ(velt_count_joysticks(), 1);
    EXPECT_EQ(bytes(0), with({{3, 255}, {4, 255}, {13, 255}}));
    unplug(stick);
    EXPECT_EQ(velt_count_joysticks(), 0);
}

TEST_F(Controllers, PlayerZeroKeyboard) {
    for (int sc : {80, 6, 25, 40, 7, 22, 9, 8}) sdl_state.key_state[sc] = 1;
    uint8_t b[16] = {};
    os_get_button_states(0, b);
    EXPECT_EQ(std::vector<int>(b, b + 16), with({{0, 255}, {4, 255}, {5, 255}, {6, 255}, {9, 255}, {11, 255},
                                                 {12, 255}, {15, 255}}));
    sdl_state.key_state[230] = 1;  // Return with Alt is no start button
    memset(b, 0, 16);
    os_get_button_states(0, b);
    EXPECT_EQ(b[6], 0);
    memset(b, 0, 16);
    os_get_button_states(1, b);
    EXPECT_EQ(std::vector<int>(b, b + 16), with({}));
    os_get_button_states(8, b);  // no such player
    os_get_button_states(-1, b);
}

std::string read_text(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

TEST_F(Controllers, MappingFileIsCreatedAndItsLinesReachTheHost) {
    char path[VELT_PATH_MAX];
    velt_prefix_with_appdata_path("sdl_controllers.txt", path);
    remove(path);
    add_sdl_controllers();
    EXPECT_EQ(read_text(path), "// add SDL2 game controller mappings to this file\n");

    // The device of the built-in table's first row, with a layout of the file's own.
    const char* guid_text = "030000008f0e00000300000009010000";
    SDL_JoystickGUID guid = SDL_JoystickGetGUIDFromString(guid_text);
    std::string mapping = std::string(guid_text) + ",2In1 USB Joystick,a:b1,b:b0,leftx:a0,lefty:a1,";
    std::ofstream(path, std::ios::binary) << "   // a comment after blanks\n  \t \n"
                                          << "not a mapping\n"
                                          << "  " << mapping << "  \r\n"
                                          << std::string(1500, 'x') << "\n";
    add_sdl_controllers();
    std::string log = debug_log();
    EXPECT_NE(log.find(" controller mapping: " + mapping + "\n"), std::string::npos);
    EXPECT_EQ(log.find(" failed to add controller mapping: " + mapping), std::string::npos);
    EXPECT_NE(log.find(" failed to add controller mapping: not a mapping\n"), std::string::npos);
    EXPECT_NE(log.find("(line longer than 1022 bytes)"), std::string::npos);
    EXPECT_EQ(log.find("a comment after blanks\n"), std::string::npos);
    char* held = SDL_GameControllerMappingForGUID(guid);
    ASSERT_NE(held, nullptr);
    EXPECT_NE(std::string(held).find("2In1 USB Joystick,a:b1,b:b0"), std::string::npos);
    SDL_free(held);

    // A later line for the same device replaces the earlier mapping.
    std::string changed = std::string(guid_text) + ",2In1 USB Joystick,a:b0,b:b1,";
    std::ofstream(path, std::ios::binary) << changed << "\n";
    add_sdl_controllers();
    EXPECT_NE(debug_log().find(" updated controller mapping: " + changed + "\n"), std::string::npos);
    held = SDL_GameControllerMappingForGUID(guid);
    ASSERT_NE(held, nullptr);
    EXPECT_NE(std::string(held).find("2In1 USB Joystick,a:b0,b:b1"), std::string::npos);
    SDL_free(held);
}

}  // namespace
