# The mixer plays the audio owner's own data: a process that halves its copy of the default sine
# wave sounds at half level, and processes after it still play the defaults at full level.

own_audio_child='
poke(0x5538, 64, 64, 64, 0, 3, 3)
local r = 0x40000 + 512
poke(r, 0x00, 0x02, 0, 0)
poke(r + 4, 2, 64, 0, 0)
for p = 1, 3 do poke(r + 4 + 4 * p, 1, 0, 0, 0) end
poke(r + 24, 0, 0x80, 0, 0)
poke(r + 480, 0x00, 0xF8, 0x0A, 0xFF)
if HALVE then
  for a = 0xF80000, 0xF807FE, 2 do poke2(a, peek2(a) // 2) end
end
note(60, 1, 64, 0, 0, 0, true, -127)
while true do flip() end'

m=$(machine own_audio_data)
image_from_scripts "$m" 'boot.lua=
_apply_system_settings({})
local child = [['"$own_audio_child"']]
local function play(halve, name)
  local id = _create_process_from_code((halve and "HALVE = true " or "") .. child, name, "/apps/" .. name .. ".lua")
  for frame = 1, 30 do _run_process_slice(id, 0.5) flip() end
  _kill_process(id)
  for frame = 1, 10 do flip() end
end
play(false, "defaults")
play(true, "halved")
play(false, "defaults_again")
_signal(33)
while true do flip() end'
out=$(SDL_AUDIODRIVER=disk SDL_DISKAUDIOFILE="$m/out.raw" run_machine "$m"); rc=$?
levels=$(PYTHONPATH="$here" python3 - "$m/out.raw" <<'EOF'
import sys
from sound import channels, regions
left = channels(sys.argv[1])[0]
def level(a, b):
    peak = max(abs(v) for v in left[a + 1000:b - 1000])
    return "full" if 32000 < peak <= 32767 else "half" if 15500 < peak < 17000 else "other%d" % peak
print("levels", " ".join(level(a, b) for a, b in regions(left) if b - a > 4000))
EOF
)
check "audio data: each owner's own wave is played (defaults, halved, defaults)" $([ $rc = 0 ] && echo "$levels" | grep -qx "levels full half full"; echo $?)
