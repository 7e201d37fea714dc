--[[
	services.lua: process 2, the system's service process.

	It answers nothing yet: it only ends its slice each frame, so that the
	window manager keeps its place as process 3.
]]

while true do
	flip()
end
