--[[
	boot.lua: the root process.

	Gives a fresh machine its desktop folder with the demo cartridge, starts
	the system's own processes and then, every frame, gives each other process
	a slice of the frame. The window manager is process 3: it receives all
	host input and the kernel's reports, and its screen is the display.
]]

-- The code of a new process that first runs /system/lib/head.lua (font,
-- palettes, masks, colour tables and a screen), then the program at path.
local function with_head(path)
	return string.format([[
load(fetch("/system/lib/head.lua"), "@/system/lib/head.lua")()
load(fetch(%q), "@%s")()]], path, path)
end

-- Hand the settings to the machine; the mixer stays silent until they are.
_apply_system_settings({})

-- A fresh machine: make /desktop and put the demo there.
if not fstat("/desktop") then
	mkdir("/desktop")
	store("/desktop/demo.q64", fetch("/system/carts/demo.q64"))
end

-- Process 2 keeps the system's services; the window manager must be process 3.
_create_process_from_code(fetch("/system/services.lua"), "services", "/system/services.lua")
_create_process_from_code(with_head("/system/wm.lua"), "wm", "/system/wm.lua")

while true do
	local list = _get_process_list()
	local others = #list - 1
	for _, p in ipairs(list) do
		if p.id ~= pid() then
			-- Share what is left of the frame between the processes still to run.
			_run_process_slice(p.id, 1 / math.max(others, 1))
			others = others - 1
		end
	end
	flip()
end
