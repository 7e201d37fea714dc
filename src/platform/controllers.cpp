// Game controllers and joysticks: device slots, controller mappings, hot-plugging and the
// button bytes of each player.
#include "platform/controllers.h"
#include "platform/sdl_library.h"

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "platform/host.h"
#include "platform/window.h"

metacon_slot metacon[METACON_SLOTS];
int32_t velt_joystick_inited = 0;

// The host's own controller database covers the common devices; these rows come first so
// that it (and the mapping files after them) can override them.
const char* const controller_db_mapping[] = {
    "030000008f0e00000300000009010000,2In1 USB Joystick,a:b2,b:b1,back:b8,dpdown:h0.4,dpleft:h0.8,"
    "dpright:h0.2,dpup:h0.1,leftshoulder:b4,leftstick:b10,lefttrigger:b6,leftx:a0,lefty:a1,rightshoulder:b5,"
    "rightstick:b11,righttrigger:b7,rightx:a2,righty:a3,start:b9,x:b3,y:b0,platform:Mac OS X",
    "03000000c82d00000090000001000000,8BitDo FC30 Pro,a:b1,b:b0,back:b10,dpdown:h0.4,dpleft:h0.8,"
    "dpright:h0.2,dpup:h0.1,leftshoulder:b6,leftstick:b13,lefttrigger:a4,leftx:a0,lefty:a1,rightshoulder:b7,"
    "rightstick:b14,righttrigger:a5,rightx:a2,righty:a3,start:b11,x:b4,y:b3,platform:Mac OS X",
    "hidapi,*,a:b0,b:b1,back:b4,dpdown:b12,dpleft:b13,dpright:b14,dpup:b11,guide:b5,leftshoulder:b9,"
    "leftstick:b7,lefttrigger:a4,leftx:a0,lefty:a1,rightshoulder:b10,rightstick:b8,righttrigger:a5,rightx:a2,"
    "righty:a3,start:b6,x:b2,y:b3,",
    nullptr,
};

namespace {

int32_t attached_error_shown = 0;
int32_t button_validated_error_shown = 0;
// The device the last removal event closed: the host reports a removal once through the
// joystick layer and once more through the controller layer.
int32_t last_removed_instance = -1;

constexpr int BUTTON_COUNT = 21;
constexpr const char* MAPPING_FILE = "sdl_controllers.txt";
constexpr const char* MAPPING_FILE_HEADER = "// add SDL2 game controller mappings to this file\n";

__attribute__((format(printf, 1, 2))) void log_line(const char* format, ...) {
    char line[2048];
    va_list args;
    va_start(args, format);
    vsnprintf(line, sizeof(line), format, args);
    va_end(args);
    velt_debug(line);
}

bool slot_used(const metacon_slot& s) { return s.controller || s.joystick; }

void close_slot(metacon_slot& s) {
    if (s.controller) SDL_GameControllerClose(s.controller);
    else if (s.joystick) SDL_JoystickClose(s.joystick);
    memset(&s, 0, sizeof(s));
}

bool slot_usable(int slot) {
    return velt_joystick_inited && slot >= 0 && slot < METACON_SLOTS && slot < SDL_NumJoysticks() &&
           slot_used(metacon[slot]);
}

bool controller_attached(const metacon_slot& s) {
    return s.controller && SDL_GameControllerGetAttached(s.controller);
}

// Until an axis has once been seen at rest, a deflected reading counts as none.
int32_t validated_axis(metacon_slot& s, int axis, int32_t v) {
    if (axis < 0 || axis >= 32 || s.axis_validated[axis]) return v;
    if (std::abs(v) >= STICK_DEAD_ZONE) return 0;
    s.axis_validated[axis] = 1;
    return v;
}

bool read_mapping_file(const char* path) {
    FILE* f = fopen(path, "rb");
    if (!f) return false;
    log_line("Reading controller mappings: %s\n", path);
    char line[1024];
    while (fgets(line, sizeof(line), f)) {
        size_t n = strlen(line);
        if (n == sizeof(line) - 1 && line[n - 1] != '\n' && !feof(f)) {
            // Longer than any mapping line: refused whole rather than read in pieces.
            int c;
            while ((c = fgetc(f)) != EOF && c != '\n') {
            }
            line[40] = 0;
            log_line(" failed to add controller mapping: %s... (line longer than 1022 bytes)\n", velt_trim(line));
            continue;
        }
        char* t = velt_trim(line);
        if (!t[0] || t[0] == '/') continue;
        int rc = SDL_GameControllerAddMapping(t);
        if (rc < 0) log_line(" failed to add controller mapping: %s\n", t);
        else if (rc == 0) log_line(" updated controller mapping: %s\n", t);
        else log_line(" added controller mapping: %s\n", t);
    }
    fclose(f);
    return true;
}

void put_axis(uint8_t* bytes, int first, int32_t v) {
    if (v < 0) bytes[first] = axis_to_byte(v);
    else if (v > 0) bytes[first + 1] = axis_to_byte(v);
}

}  // namespace

uint8_t axis_to_byte(int32_t v) {
    int32_t m = v < 0 ? -v : v;
    int32_t b = (m - STICK_DEAD_ZONE) * 256 / 22528;
    return (uint8_t)std::clamp(b, 0, 255);
}

char* velt_trim(char* text) {
    auto trimmed = [](uint8_t c) { return c <= ' ' || c >= 0x7F; };
    while (*text && trimmed((uint8_t)*text)) text++;
    size_t n = strlen(text);
    while (n > 0 && trimmed((uint8_t)text[n - 1])) text[--n] = 0;
    return text;
}

void velt_joystick_init() {
    if (velt_joystick_inited) return;
    velt_joystick_inited = 1;
    memset(metacon, 0, sizeof(metacon));
    for (int i = 0; controller_db_mapping[i]; i++) SDL_GameControllerAddMapping(controller_db_mapping[i]);
    add_sdl_controllers();
    velt_debug("searching for joysticks\n");
    int n = SDL_NumJoysticks();
    log_line("found %d joysticks\n", n);
    for (int i = 0; i < n; i++) connect_joystick(i);
    velt_debug("ok\n");
}

void add_sdl_controllers() {
    char path[VELT_PATH_MAX];
    velt_prefix_with_program_path(MAPPING_FILE, path);
    if (path[0]) read_mapping_file(path);
    velt_prefix_with_appdata_path(MAPPING_FILE, path);
    if (path[0] && !read_mapping_file(path)) {
        FILE* f = fopen(path, "wb");
        if (f) {
            fputs(MAPPING_FILE_HEADER, f);
            fclose(f);
        }
    }
}

void repack_metacon() {
    int to = 0;
    for (int from = 0; from < METACON_SLOTS; from++) {
        if (!slot_used(metacon[from])) continue;
        if (to != from) {
            metacon[to] = metacon[from];
            memset(&metacon[from], 0, sizeof(metacon[from]));
        }
        to++;
    }
    for (int i = to; i < METACON_SLOTS; i++) memset(&metacon[i], 0, sizeof(metacon[i]));
}

void connect_joystick(int index) {
    if (index < 0 || index >= SDL_NumJoysticks()) return;
    SDL_JoystickID id = SDL_JoystickGetDeviceInstanceID(index);
    int free_slot = -1;
    for (int i = 0; i < METACON_SLOTS; i++) {
        // The host announces devices that are already open once more: keep the open slot.
        if (slot_used(metacon[i]) && metacon[i].instance_id == id) return;
        if (!slot_used(metacon[i]) && free_slot < 0) free_slot = i;
    }
    if (free_slot < 0) return;
    metacon_slot& s = metacon[free_slot];
    memset(&s, 0, sizeof(s));
    log_line("connecting joystick %d\n", index);

    SDL_Joystick* j = nullptr;
    if (SDL_IsGameController(index) && (s.controller = SDL_GameControllerOpen(index)) != nullptr) {
        const char* name = SDL_GameControllerName(s.controller);
        log_line("Controller %d: %s\n", index, name ? name : "");
        j = SDL_GameControllerGetJoystick(s.controller);
        if (!j) return;
        s.instance_id = SDL_JoystickInstanceID(j);
    } else {
        s.joystick = j = SDL_JoystickOpen(index);
        if (!j) {
            log_line("** could not open joystick %d: %s\n", index, SDL_GetError());
            return;
        }
        s.instance_id = SDL_JoystickInstanceID(j);
        const char* name = SDL_JoystickName(j);
        log_line("Unmapped Joystick %d: %s\n", index, name ? name : "");
    }
    log_line(" Number of Axes: %d\n", SDL_JoystickNumAxes(j));
    log_line(" Number of Buttons: %d\n", SDL_JoystickNumButtons(j));
    log_line(" Number of Balls: %d\n", SDL_JoystickNumBalls(j));
    if (s.controller) {
        char* mapping = SDL_GameControllerMapping(s.controller);
        log_line(" Mapping: %s\n", mapping ? mapping : "");
        if (mapping) SDL_free(mapping);
    }
}

void joystick_device_added(int index, bool from_controller_layer) {
    log_line(from_controller_layer ? "[SDL_CONTROLLERDEVICEADDED] device_index: %d\n"
                                   : "[SDL_JOYDEVICEADDED] device_index: %d\n",
             index);
    repack_metacon();
    connect_joystick(index);
}

void joystick_device_removed(int32_t instance_id, bool from_controller_layer) {
    const char* event = from_controller_layer ? "SDL_CONTROLLERDEVICEREMOVED" : "SDL_JOYDEVICEREMOVED";
    int found = -1;
    for (int i = 0; i < METACON_SLOTS && found < 0; i++) {
        if (slot_used(metacon[i]) && metacon[i].instance_id == instance_id) found = i;
    }
    if (found >= 0) {
        close_slot(metacon[found]);
        last_removed_instance = instance_id;
        log_line("[%s] instance_id: %d  slot: %d\n", event, instance_id, found);
    } else if (instance_id != last_removed_instance) {
        log_line("[%s] instance_id: %d ** failed to disconnect joystick\n", event, instance_id);
    }
    repack_metacon();
}

void velt_get_joystick_axes(int slot, int axis_a, int axis_b, int32_t* out_a, int32_t* out_b) {
    if (out_a) *out_a = 0;
    if (out_b) *out_b = 0;
    if (!slot_usable(slot)) return;
    metacon_slot& s = metacon[slot];
    int32_t a, b;
    if (controller_attached(s)) {
        a = SDL_GameControllerGetAxis(s.controller, (SDL_GameControllerAxis)axis_a);
        b = SDL_GameControllerGetAxis(s.controller, (SDL_GameControllerAxis)axis_b);
    } else if (s.joystick) {
        a = SDL_JoystickGetAxis(s.joystick, axis_a);
        b = SDL_JoystickGetAxis(s.joystick, axis_b);
    } else {
        if (!attached_error_shown) {
            log_line("** could not read joystick %d (not attached)\n", slot);
            attached_error_shown = 1;
        }
        return;
    }
    if (out_a) *out_a = validated_axis(s, axis_a, a);
    if (out_b) *out_b = validated_axis(s, axis_b, b);
}

void velt_get_joystick(int slot, int32_t* out_x, int32_t* out_y, uint32_t* out_buttons) {
    if (out_x) *out_x = 0;
    if (out_y) *out_y = 0;
    if (out_buttons) *out_buttons = 0;
    if (!slot_usable(slot)) return;
    velt_get_joystick_axes(slot, 0, 1, out_x, out_y);
    metacon_slot& s = metacon[slot];
    bool as_controller = controller_attached(s);
    if (!as_controller && !s.joystick) return;
    uint32_t mask = 0;
    for (int b = 0; b < BUTTON_COUNT; b++) {
        bool pressed = as_controller ? SDL_GameControllerGetButton(s.controller, (SDL_GameControllerButton)b)
                                     : SDL_JoystickGetButton(s.joystick, b);
        uint32_t bit = 1u << b;
        if (!pressed) {
            s.button_validated |= bit;
        } else if (s.button_validated & bit) {
            mask |= bit;
        } else if (!button_validated_error_shown) {
            log_line("** button %d not validated on joystick %d\n", b, slot);
            button_validated_error_shown = 1;
        }
    }
    if (out_buttons) *out_buttons = mask;
}

void os_get_button_states(int player, uint8_t* bytes) {
    if (player < 0 || player >= 8 || !bytes) return;
    int32_t lx, ly, rx, ry;
    uint32_t buttons;
    velt_get_joystick(player, &lx, &ly, &buttons);
    velt_get_joystick_axes(player, 2, 3, &rx, &ry);
    put_axis(bytes, 0, lx);
    put_axis(bytes, 2, ly);
    put_axis(bytes, 8, rx);
    put_axis(bytes, 10, ry);

    // Game-controller button numbers (or raw button numbers) and the byte each one sets.
    static const struct {
        uint8_t button, byte;
    } button_bytes[] = {{13, 0}, {14, 1}, {11, 2}, {12, 3}, {0, 4},  {2, 5},   {6, 6},
                        {5, 6},  {1, 12}, {3, 13}, {9, 14}, {10, 15}};
    for (const auto& m : button_bytes) {
        if (buttons & (1u << m.button)) bytes[m.byte] = 255;
    }
    if (player != 0) return;

    // Player 0's keyboard layout, by scan code.
    static const struct {
        uint16_t scancode;
        uint8_t byte;
    } key_bytes[] = {{80, 0}, {79, 1}, {82, 2}, {81, 3},  {29, 4},  {6, 4},  {27, 5},  {25, 5},
                     {4, 8},  {7, 9},  {26, 10}, {22, 11}, {9, 12}, {10, 13}, {20, 14}, {8, 15}};
    for (const auto& k : key_bytes) {
        if (os_key_state(k.scancode)) bytes[k.byte] = 255;
    }
    if (os_key_state(40) && !os_key_state(226) && !os_key_state(230)) bytes[6] = 255;
}

void velt_joystick_exit() {
    for (metacon_slot& s : metacon) {
        if (slot_used(s)) close_slot(s);
    }
}

int velt_count_joysticks() {
    int n = 0;
    for (const metacon_slot& s : metacon) n += slot_used(s) ? 1 : 0;
    return n;
}

int velt_count_joystick_buttons(int slot) {
    if (slot < 0 || slot >= METACON_SLOTS) return 0;
    const metacon_slot& s = metacon[slot];
    SDL_Joystick* j = s.controller ? SDL_GameControllerGetJoystick(s.controller) : s.joystick;
    return j ? SDL_JoystickNumButtons(j) : 0;
}
