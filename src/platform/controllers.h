// Game controllers and joysticks: 32 device slots read as analog button bytes for 8 players,
// controller mappings, hot-plugging and the guard against devices held from the start.
#pragma once
#include <cstdint>

struct _SDL_GameController;
struct _SDL_Joystick;

constexpr int METACON_SLOTS = 32;
constexpr int32_t STICK_DEAD_ZONE = 8192;

struct metacon_slot {
    _SDL_GameController* controller;  // null when the device is not a game controller
    _SDL_Joystick* joystick;          // used only when it is not
    int32_t instance_id;
    int32_t axis_validated[32];       // 1 once the axis has been seen inside the dead zone
    uint32_t button_validated;        // bit b once button b has been seen released
};

extern metacon_slot metacon[METACON_SLOTS];
extern int32_t velt_joystick_inited;
// The mappings given to the host's controller layer before the mapping files.
extern const char* const controller_db_mapping[];

void velt_joystick_init();
// Reads the mapping files beside the program and in the application-data folder (creating
// the latter when missing).
void add_sdl_controllers();
// Opens host device index into the first free slot, unless a slot holds it already.
void connect_joystick(int index);
// Hot-plug: a device index that arrived, an instance id that left. from_controller_layer tells
// the game-controller events from the raw joystick ones.
void joystick_device_added(int index, bool from_controller_layer);
void joystick_device_removed(int32_t instance_id, bool from_controller_layer);
// Moves used slots down over free ones, keeping their order.
void repack_metacon();
void velt_get_joystick_axes(int slot, int axis_a, int axis_b, int32_t* out_a, int32_t* out_b);
void velt_get_joystick(int slot, int32_t* out_x, int32_t* out_y, uint32_t* out_buttons);
// Analog byte of one half of an axis: 0 inside the dead zone, 255 at full deflection.
uint8_t axis_to_byte(int32_t v);
// Removes leading and trailing blanks, control bytes and bytes 0x80 and above, in place.
char* velt_trim(char* text);
void velt_joystick_exit();
int velt_count_joysticks();
int velt_count_joystick_buttons(int slot);
