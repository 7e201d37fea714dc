--[[
	wm.lua: the window manager (process 3), a small desktop.

	Lists the cartridges in / and /desktop. The arrow keys or the mouse choose
	one; Enter or a click runs it in a process of its own, shown full screen:
	the window manager forwards the input to it and copies its screen to the
	display every frame. Escape ends it and returns to the list. A cartridge
	that stops with an error leaves its message on the screen, with the frames
	of its own code. Ctrl+Q quits the machine at any time.

	boot.lua has run /system/lib/head.lua here first: the font, palettes,
	masks, colour tables and the screen are set up.
]]

-- Host scan codes of the keys used here.
local KEY_ENTER, KEY_ESCAPE, KEY_DOWN, KEY_UP = 40, 41, 81, 82
local KEY_Q, KEY_LCTRL, KEY_RCTRL = 20, 224, 228

-- Where the list is drawn: one row of 12 pixels per cartridge.
local LIST_X, LIST_Y, ROW_H, ROWS, BAR_X1 = 16, 30, 12, 18, 300

local carts = {}      -- paths of the cartridges listed
local chosen = 1      -- the highlighted entry
local top = 1         -- the first entry shown
local mouse = {mx = 0, my = 0, mb = 0}
local cart = nil      -- the running cartridge: {id, path}
local failure = nil   -- what the last cartridge reported before it failed
local frames = 0
local ctrl = {}       -- the control keys held, by scan code
local q_pressed = false  -- Q went down this frame

local function is_cartridge(name)
	name = name:lower()
	return name:sub(-4) == ".q64" or name:sub(-8) == ".q64.rom" or name:sub(-8) == ".q64.png"
end

-- The highlight stays on the same cartridge when the list changes under it.
local function scan()
	local was = carts[chosen]
	carts = {}
	for _, folder in ipairs({"/", "/desktop"}) do
		for _, name in ipairs(ls(folder) or {}) do
			if is_cartridge(name) then
				add(carts, (folder == "/" and "" or folder) .. "/" .. name)
			end
		end
	end
	for i, path in ipairs(carts) do
		if path == was then chosen = i end
	end
	chosen = mid(1, chosen, #carts)
end

-- A cartridge's process: the system's head, then its main.lua, run in its
-- own folder (so it reads and writes its own files by relative paths).
local cart_code = [[
load(fetch("/system/lib/head.lua"), "@/system/lib/head.lua")()
local code = fetch(%q)
if type(code) ~= "string" then error("no main.lua in %s", 0) end
cd(%q)
local main, message = load(code, "@%s")
if not main then error(message, 0) end
main()
]]

local function run(path)
	local main = path .. "/main.lua"
	local code = string.format(cart_code, main, path, path, main)
	failure = nil
	local id = _create_process_from_code(code, path:match("[^/]*$"), path)
	if id then cart = {id = id, path = path} end
end

local function stop()
	if _process_state(cart.id) >= 0 then _kill_process(cart.id) end
	cart = nil
	pal(2)  -- the system palette again, in case the cartridge showed its own
	scan()
end

-- The entry whose bar is under the mouse, or nil.
local function entry_at(x, y)
	local i = top + (y - LIST_Y + 2) // ROW_H
	local inside = x >= LIST_X - 4 and x <= BAR_X1 and y >= LIST_Y - 2 and i < top + ROWS
	if inside and carts[i] then return i end
end

-- Input while the list is shown.
local function list_input(msg)
	if msg.event == "keydown" then
		if msg.scancode == KEY_UP then chosen = max(chosen - 1, 1) end
		if msg.scancode == KEY_DOWN then chosen = min(chosen + 1, #carts) end
		if msg.scancode == KEY_ENTER and carts[chosen] then run(carts[chosen]) end
	elseif msg.event == "mouse" then
		local clicked = msg.mb & 1 == 1 and mouse.mb & 1 == 0
		mouse = msg
		local i = entry_at(msg.mx, msg.my)
		if i then
			chosen = i
			if clicked then run(carts[i]) end
		end
	end
end

local forwarded = {keydown = true, keyup = true, textinput = true, mouse = true,
	mousewheel = true, mouselockedmove = true}

-- A traceback as the cartridge's author wants it: only the frames of the
-- cartridge's own files, down to its main chunk, which the loader below them
-- called as a local function.
local function own_frames(text, path)
	local lines = split(text, "\n", false)
	if lines[1] ~= "stack traceback:" then return text end
	local prefix, last = "\t" .. path .. "/", nil
	for i, line in ipairs(lines) do
		if line:sub(1, #prefix) == prefix then last = i end
	end
	if not last then return text end
	local kept = {}
	for i = 1, last do add(kept, lines[i]) end
	if kept[last]:sub(1, #prefix + 9) == prefix .. "main.lua:" then
		kept[last] = kept[last]:gsub(": in [^:]*$", ": in main chunk")
	end
	return table.concat(kept, "\n")
end

local function handle(msg)
	if msg.event == "keydown" or msg.event == "keyup" then
		if msg.scancode == KEY_LCTRL or msg.scancode == KEY_RCTRL then
			ctrl[msg.scancode] = msg.event == "keydown" or nil
		end
		-- The keys of one frame come in scan-code order, so Q may come before
		-- the Ctrl pressed with it: the main loop looks at both after them all.
		if msg.event == "keydown" and msg.scancode == KEY_Q then q_pressed = true end
	end
	if msg.event == "report_error" then
		local text = tostring(msg.content)
		if cart and msg._from == cart.id then
			text = own_frames(text, cart.path)
			failure = failure or {path = cart.path, lines = {}}
			add(failure.lines, text)
		end
		printh("error: " .. text)
	elseif cart then
		if msg.event == "keydown" and msg.scancode == KEY_ESCAPE then
			stop()
		elseif forwarded[msg.event] then
			if msg.event == "mouse" then mouse = msg end
			send_message(cart.id, msg)
		end
	elseif failure then
		if msg.event == "keydown" and (msg.scancode == KEY_ESCAPE or msg.scancode == KEY_ENTER) then
			failure = nil
		end
	else
		list_input(msg)
	end
end

local function draw_list()
	cls(1)
	rectfill(0, 0, 479, 10, 7)
	print("Orvalune", 4, 2, 1)
	local hint = "arrows or mouse: choose  enter or click: run  escape: back  ctrl+q: quit"
	print(hint, 476 - print(hint, 0, -20), 2, 5)
	print("Cartridges in / and /desktop", LIST_X, LIST_Y - 14, 6)
	if #carts == 0 then print("(none)", LIST_X, LIST_Y, 13) end
	top = mid(1, top, chosen)
	if chosen >= top + ROWS then top = chosen - ROWS + 1 end
	for i = top, min(#carts, top + ROWS - 1) do
		local y = LIST_Y + (i - top) * ROW_H
		if i == chosen then rectfill(LIST_X - 4, y - 2, BAR_X1, y + ROW_H - 3, 12) end
		print(carts[i], LIST_X, y, i == chosen and 1 or 7)
	end
	-- The host hides its own pointer: draw an arrow.
	local x, y = mouse.mx, mouse.my
	for i = 0, 4 do line(x, y + i, x + i, y + i, 7) end
	line(x + 1, y + 5, x + 2, y + 7, 7)
end

local function draw_failure()
	cls(2)
	rectfill(0, 0, 479, 10, 8)
	print("The cartridge stopped with an error", 4, 2, 7)
	print(failure.path, 8, 18, 10)
	poke(0x5f36, 0x80)  -- wrap long lines at the screen's edge
	cursor(8, 32)
	for _, text in ipairs(failure.lines) do print(text, 7) end
	poke(0x5f36, 0)
	print("escape or enter: back to the list", 8, 258, 6)
end

-- The cartridge's screen and colours, as they stand after its last frame.
local function show_cartridge()
	for i = 0, 63 do poke4(0x5000 + i * 4, _ppeek4(cart.id, 0x5000 + i * 4)) end
	_blit_process_video(cart.id, 0, 0)
end

scan()
draw_list()
_signal(37)  -- the boot screen gives way to this screen

-- The exported cartridge of a player image runs at once.
if fstat("/ram/expcart/main.lua") then run("/ram/expcart") end

while true do
	local msg = _read_message()
	while msg do
		handle(msg)
		msg = _read_message()
	end
	-- Ctrl+Q: quitting writes everything back and ends the program.
	if q_pressed and next(ctrl) then _signal(33) end
	q_pressed = false
	-- A cartridge that ended, failed or was removed leaves the screen.
	if cart and _process_state(cart.id) < 0 then stop() end
	-- Look for new cartridges once a second.
	frames += 1
	if not cart and frames % 60 == 0 then scan() end
	if cart then
		show_cartridge()
	elseif failure then
		draw_failure()
	else
		draw_list()
	end
	flip()
end
