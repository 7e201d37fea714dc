--[[
	boot.lua: the root process.

	Starts the system's own processes and then, every frame, gives each other
	process a slice of the frame. The window manager is process 3: it receives
	all host input and the kernel's reports, and its screen is the display.
]]

local function start(path, name)
	local code = fetch(path)
	if type(code) ~= "string" then
		printh("boot: cannot read " .. path)
		return nil
	end
	return _create_process_from_code(code, name, path)
end

-- Process 2 keeps the system's services; the window manager must be process 3.
start("/system/services.lua", "services")
start("/system/wm.lua", "wm")

while true do
	local list = _get_process_list()
	local others = #list - 1
	for _, p in ipairs(list) do
		if p.id ~= pid() then
			-- Share what is left of the frame between the processes still to run.
			local done, used = _run_process_slice(p.id, 1 / math.max(others, 1))
			others = others - 1
		end
	end
	flip()
end
