# An image cartridge written by the real program, read back by a second run from a fresh start
# and written again: the file comes out byte for byte the same.

m=$(machine image_cartridge)
image_from_scripts "$m" 'boot.lua=
local raw = "--[[mox_format=\"raw\",metadata_format=\"none\"]]"
if not fstat("/c.q64.png") then
  mkdir("/c.q64.png")
  store("/c.q64.png/main.lua", "print(\"from the cartridge\")", raw)
  store("/c.q64.png/.info.mox", "--[[mox,title=\"Demo\",version=\"1.0\",author=\"e2e\"]]", raw)
  local label = userdata("i32", 480, 270)
  for y = 0, 269 do
    for x = 0, 479 do label:set(x, y, 0xff000000 | (x % 256) << 16 | y << 8 | 0x40) end
  end
  store("/c.q64.png/label.png", label)
  printh("made")
else
  local main = fetch("/c.q64.png/main.lua")
  printh("main: " .. main)
  local label = fetch("/c.q64.png/label.png", 1)
  printh(string.format("label: %dx%d %08x", label:width(), label:height(), label:get(100, 50) & 0xffffffff))
  store("/c.q64.png/main.lua", main, raw)
  printh("bytes: " .. fetch("/c.q64.png"):sub(2, 4))
end
_signal(33)
while true do flip() end'
out1=$(run_machine "$m"); rc1=$?
cart="$m/home/drive/c.q64.png"
cp "$cart" "$work/first.q64.png" 2>/dev/null
out2=$(run_machine "$m"); rc2=$?
check "image cartridge: written at shutdown as a 512x384 RGBA picture" $([ $rc1 = 0 ] && echo "$out1" | grep -qx "made" &&
    python3 -c 'import sys,struct; d=open(sys.argv[1],"rb").read(); sys.exit(0 if d[:8]==b"\x89PNG\r\n\x1a\n" and struct.unpack(">IIBB",d[16:26])==(512,384,8,6) else 1)' "$cart"; echo $?)
check "image cartridge: read back from a fresh start" $([ $rc2 = 0 ] && echo "$out2" | grep -qx 'main: print("from the cartridge")' &&
    echo "$out2" | grep -qx "bytes: PNG"; echo $?)
check "image cartridge: the label picture is shown without its data bits" $(echo "$out2" | grep -qx "label: 480x270 fc603040"; echo $?)
check "image cartridge: written again byte for byte the same" $(cmp -s "$cart" "$work/first.q64.png"; echo $?)
