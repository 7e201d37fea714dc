# The default audio data: each process that writes it sees its own bytes, the others the defaults.

m=$(machine shared_audio_data)
image_from_scripts "$m" 'boot.lua=
local w, i = 0xF80007, 0x40001
local wave, inst = peek(w), peek(i)
poke(w, wave ~ 0xFF)
memset(i, 0x33, 1)
_create_process_from_code("poke(0xF90000, 0x77) memcpy(0xFA0000, 0xF90000, 1) while true do flip() end", "two", "/apps/two.lua")
_create_process_from_code("while true do flip() end", "three", "/apps/three.lua")
for frame = 1, 3 do _run_process_slice(2, 0.5) _run_process_slice(3, 0.5) flip() end
printh("own " .. tostring(peek(w) == wave ~ 0xFF and peek(i) == 0x33))
printh("two " .. tostring(_ppeek(2, w) == (wave ~ 0xFF) and _ppeek(2, 0xF90000) == 0x77 and _ppeek(2, 0xFA0000) == 0x77 and _ppeek(2, i) == inst))
printh("three " .. tostring(_ppeek(3, 0xF90000) ~= 0x77 and _ppeek(3, 0xF90000) == peek(0xF90000) and _ppeek(3, i) == inst))
_signal(33)
while true do flip() end'
out=$(run_machine "$m"); rc=$?
check "default audio data: each writer sees its own bytes, others the defaults" $([ $rc = 0 ] && echo "$out" | grep -qx "own true" && echo "$out" | grep -qx "two true" && echo "$out" | grep -qx "three true"; echo $?)
