# Shapes drawn from a script into a draw target mapped as the screen, read back in the same run.

m=$(machine shapes)
image_from_scripts "$m" 'boot.lua=
local screen = userdata("u8", 32, 16)
_map_ram(screen, 0x10000)
_set_draw_target(screen)
pal()
poke(0x5508, 0xff, 0x3f, 0, 0)
cls(0)
circfill(6, 6, 4, 7)
rect(14, 1, 30, 12, 9)
rrectfill(16, 3, 13, 8, 3, 10)
line(0, 15, 31, 13, 12)
fillp(0x5a5a)
ovalfill(1, 12, 12, 14, 0x0b08)
fillp()
for y = 0, 15 do
  local s = ""
  for x = 0, 31 do
    local v = pget(x, y)
    s = s .. (v == 0 and "." or string.format("%x", v))
  end
  printh("row " .. s)
end
printh("screen byte " .. peek(0x10000 + 6 * 32 + 6))
local x, y, w, h, empty = clip(-5, -5, 3, 3)
printh("clip " .. x .. " " .. y .. " " .. w .. " " .. h .. " " .. tostring(empty))
rectfill(0, 0, 31, 15, 1)
printh("after empty clip " .. pget(0, 0) .. " " .. pget(31, 15))
clip()
camera(-4, -4)
pset(0, 0, 3)
printh("camera " .. pget(0, 0) .. " " .. peek(0x10000 + 4 * 32 + 4))
_signal(33)
while true do flip() end'
out=$(run_machine "$m"); rc=$?
want='row ................................
row ..............99999999999999999.
row .....777......9...............9.
row ...7777777....9....aaaaaaa....9.
row ...7777777....9..aaaaaaaaaaa..9.
row ..777777777...9..aaaaaaaaaaa..9.
row ..777777777...9.aaaaaaaaaaaaa.9.
row ..777777777...9.aaaaaaaaaaaaa.9.
row ...7777777....9..aaaaaaaaaaa..9.
row ...7777777....9..aaaaaaaaaaa..9.
row .....777......9....aaaaaaa....9.
row ..............9...............9.
row ..8b8b8b8b8b..99999999999999999.
row .8b8b8b8b8b8b...........cccccccc
row ..8b8b8b8b8bcccccccccccc........
row cccccccc........................'
check "shapes drawn from a script in a headless process" $([ $rc = 0 ] && [ "$(echo "$out" | grep '^row ')" = "$want" ]; echo $?)
check "drawing reaches the screen memory" $(echo "$out" | grep -qx "screen byte 7"; echo $?)
check "a clip left of the target is empty and draws nothing" $(echo "$out" | grep -qx "clip 0 0 32 16 true" && echo "$out" | grep -qx "after empty clip 0 0"; echo $?)
check "the camera moves drawing" $(echo "$out" | grep -qx "camera 3 3"; echo $?)
