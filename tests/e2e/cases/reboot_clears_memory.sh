# A reboot leaves nothing of the last boot in memory: the new processes read zero (or the
# default audio data) wherever the old ones wrote, and an instrument the old audio owner had
# in the synthesiser's copy of its memory is silent after the reboot.

m=$(machine reboot_clears_memory)
image_from_scripts "$m" 'boot.lua=
local spots = {0x0, 0x3FFF, 0x8000, 0xFFFF, 0x10000, 0x2FFFF, 0x30000, 0x40001, 0x45000, 0x80000, 0xF80007, 0xFFFFFF}
local function read(id)
  local t = {}
  for _, a in ipairs(spots) do t[#t + 1] = id and _ppeek(id, a) or peek(a) end
  return table.concat(t, ",")
end
local function instrument(i)
  local r = 0x40000 + 512 * i
  poke(r, 0x00, 0x02, 0, 0)
  poke(r + 4, 2, 64, 0, 0)
  for p = 1, 3 do poke(r + 4 + 4 * p, 1, 0, 0, 0) end
  poke(r + 24, 0, 0x80, 0, 0)
  poke(r + 480, 0x00, 0xF8, 0x0A, 0xFF)
end
poke(0x5538, 64, 64, 64, 0, 3, 3)
_apply_system_settings({})
local writer = "for _, a in ipairs({" .. table.concat(spots, ",") .. "}) do poke(a, 0x66) end memset(0xC0000, 0x55, 0x9000) while true do flip() end"
if stat(333) == 1 then
  printh("defaults " .. read())
  for _, a in ipairs(spots) do poke(a, 0x5A) end
  memset(0x20000, 0x77, 0x10000)
  for i = 1, 2 do _create_process_from_code(writer, "writer", "/apps/writer.lua") end
  for frame = 1, 3 do _run_process_slice(2, 0.5) _run_process_slice(3, 0.5) flip() end
  printh("written " .. read(2))
  instrument(40)
  note(60, 40, 64, 0, 0, 0, true, -127)
  for frame = 1, 30 do flip() end
  _signal(34)
  while true do flip() end
end
printh("after " .. read())
local sum = 0
for a = 0x20000, 0x2FFFF, 61 do sum = sum + peek(a) end
printh("filled region " .. sum)
for i = 1, 2 do _create_process_from_code("while true do flip() end", "fresh", "/apps/fresh.lua") end
for frame = 1, 2 do _run_process_slice(2, 0.5) _run_process_slice(3, 0.5) flip() end
local kept = 0
for a = 0xC0000, 0xC8FFF, 67 do kept = kept + _ppeek(2, a) + _ppeek(3, a) end
printh("children " .. read(2) .. " " .. read(3) .. " " .. kept)
-- The old owner had instrument 40; this one never wrote it: silence, then a marker note.
note(60, 40, 64, 0, 0, 0, true, -127)
for frame = 1, 30 do flip() end
instrument(1)
note(60, 1, 64, 0, 0, 0, true, -127)
for frame = 1, 30 do flip() end
_signal(33)
while true do flip() end'
out=$(SDL_AUDIODRIVER=disk SDL_DISKAUDIOFILE="$m/out.raw" run_machine "$m"); rc=$?
defaults=$(echo "$out" | sed -n 's/^defaults //p')
check "reboot: the memory the last boot wrote reads as it did at the first boot" $([ $rc = 0 ] && [ -n "$defaults" ] &&
    echo "$out" | grep -q "^written 102,102" && echo "$out" | grep -qx "after $defaults" &&
    echo "$out" | grep -qx "filled region 0" && echo "$out" | grep -qx "children $defaults $defaults 0"; echo $?)
sounds=$(PYTHONPATH="$here" python3 - "$m/out.raw" <<'EOF'
import sys
from sound import channels, regions
left = channels(sys.argv[1])[0]
print("regions", len([1 for a, b in regions(left) if b - a > 4000]))
EOF
)
check "reboot: an instrument of the last boot's audio owner is silent after it" $(echo "$sounds" | grep -qx "regions 2"; echo $?)
