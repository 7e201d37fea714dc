--[[
	wm.lua: a minimal window manager (process 3).

	Reads its messages every frame, writes error reports to the host console,
	starts the exported cartridge when the system image holds one, and ends
	each frame with flip().
]]

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
