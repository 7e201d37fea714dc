// The system font image: 4,096 bytes whose first 2,048 are the default font of the boot screen,
// the cartridge label writer and the window manager (the rest is zero), built from system_font.txt.
#pragma once
#include <cstdint>

constexpr uint32_t SYSTEM_FONT_SIZE = 4096;

extern const uint8_t system_font[SYSTEM_FONT_SIZE];
