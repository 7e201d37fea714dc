# Sprites, a stretched sprite, a map layer, a textured line and a blit drawn by a headless process
# into its screen, read back in the same run.

m=$(machine sprites)
image_from_scripts "$m" 'boot.lua=
local screen = userdata("u8", 24, 8)
_map_ram(screen, 0x10000)
_set_draw_target(screen)
pal()
poke(0x5508, 0x3f, 0x3f, 63, 0)
cls(0)
_set_spr(1, userdata("u8", 4, 2, "0102030405060708"))
spr(1, 0, 0)
spr(1, 4, 0, true)
sspr(1, 0, 0, 4, 2, 8, 0, 8, 4)
local map = userdata("i16", 2, 1)
map:set(0, 0, 1, 0x8001)
_map_ram(map, 0x100000)
mset(1, 0, 0x4001)
_draw_map(map, 0, 0, 0, 4, nil, nil, 0, 4, 2)
tline3d(1, 16, 0, 23, 0, 0, 0)
blit(screen, screen, 0, 0, 16, 4, 8, 2)
do _set_spr(2, userdata("u8", 1, 1, "09")) end
collectgarbage() collectgarbage()
spr(2, 23, 7)
fset(1, 3, true)
for y = 0, 7 do
  local s = ""
  for x = 0, 23 do
    local v = pget(x, y)
    s = s .. (v == 0 and "." or string.format("%x", v))
  end
  printh("row " .. s)
end
printh("mget " .. mget(1, 0) .. " fget " .. fget(1) .. " " .. tostring(fget(1, 3)))
printh("screen byte " .. peek(0x10000 + 24 * 4 + 20))
_signal(33)
while true do flip() end'
out=$(run_machine "$m"); rc=$?
want='row 123443211122334412341234
row 5678876511223344........
row ........55667788........
row ........55667788........
row 12344321........12344321
row 56788765........56788765
row ........................
row .......................9'
check "sprites, maps, textured lines and blits drawn from a script" $([ $rc = 0 ] && [ "$(echo "$out" | grep '^row ')" = "$want" ]; echo $?)
check "the map array is reached through mget and flags through fget" $(echo "$out" | grep -qx "mget 16385 fget 8 true"; echo $?)
check "sprite drawing reaches the screen memory" $(echo "$out" | grep -qx "screen byte 4"; echo $?)
