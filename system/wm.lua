--[[
	wm.lua: a minimal window manager (process 3).

	Draws the desktop, lets the boot screen end, reads its messages every frame,
	writes error reports to the host console, starts the exported cartridge when
	the system image holds one, and ends each frame with flip().
]]

-- The screen is the display: 480 x 270 bytes at 0x10000.
local screen = userdata("u8", 480, 270)
_map_ram(screen, 0x10000)
_set_draw_target(screen)
pal()
pal(2)  -- the system palette as the display's colours
poke(0x5508, 0xff, 0x3f, 0, 0)  -- read and write masks: plain colours

cls(1)
rectfill(0, 0, 479, 10, 7)
-- The boot screen gives way to this screen once it has had its time.
_signal(37)

local function run_cartridge(path)
	local code = fetch(path)
	if type(code) == "string" then
		_create_process_from_code(code, "cart", path)
	end
end

if fetch("/ram/expcart/main.lua") then
	run_cartridge("/ram/expcart/main.lua")
end

while true do
	local msg = _read_message()
	while msg do
		if msg.event == "report_error" then
			printh("error: " .. tostring(msg.content))
		end
		msg = _read_message()
	end
	flip()
end
