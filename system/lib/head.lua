--[[
	head.lua: makes a fresh process ready to draw, print and play.

	A new process starts with its memory zeroed: no font, a black palette,
	colour tables not yet installed, masks that let no colour through and no
	screen. The window manager and every cartridge run this first.
]]

-- The system font at 0x4000, as both the default and the alternate font.
local font = fetch("/system/fonts/system_font.bin")
poke(0x4000, ord(font, 1, #font))
poke(0x5f56, 0x40, 0x40)

-- The default colour tables and display remap, and the system palette.
pal()
pal(2)

-- Masks: read every bit of a colour and write its colour bits. Shapes and
-- text draw over anything; sprites and maps leave colour 0 transparent.
poke(0x5508, 0xff, 0x3f, 0x3f, 0)
color(7)

-- Audio at full volume; notes, tracks and music take their data from 0x30000.
poke(0x5538, 64, 64, 64, 0, 3, 3)

-- A 480 x 270 screen at 0x10000 becomes the draw target.
local screen = userdata("u8", 480, 270)
_map_ram(screen, 0x10000)
_set_draw_target(screen)
poke2(0x5478, 480, 270)

-- print draws text on the screen; printh still writes to the host's console.
print = _print_t6scii
