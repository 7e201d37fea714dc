# Captures from a real run with a window (SDL's dummy video driver): a screenshot and a GIF
# recording land in the desktop folder, and ImageMagick reads back the picture it was asked for.

m=$(machine capture)
image_from_scripts "$m" "boot.lua=$boot_with_wm" 'wm.lua=
_signal(65)
for e = 0, 63 do poke4(0x5000 + 4 * e, (e * 4) << 16 | (255 - e * 4) << 8 | (e * 28) % 256) poke(0x5480 + e, e) end
for y = 0, 269 do memset(0x10000 + y * 480, y % 64, 480) poke(0x10000 + y * 480 + y, 63 - y % 64) end
while stat(985) == 0 do flip() end
_signal(37)
local function name(n) for i = 1, 64 do poke(0x5F + i, (n:byte(i) or 0)) end end
poke2(0x50, 8, 4, 32, 20, 2, 0, 0, 0) name("shot") _signal(21)
poke2(0x40, 0, 0, 24, 16, 1, 0, 0, 0) name("anim") _signal(18)
for i = 1, 8 do flip() end
_signal(19)
local seen = 0
while seen < 2 do
  local m = _read_message()
  if m and m.event == "user_notification" then printh(m.content) seen += 1 else flip() end
end
_signal(33)
while true do flip() end'
mkdir -p "$m/user/Desktop"
out=$(HOME="$m/user" XDG_CONFIG_HOME="$m/user/.config" SDL_VIDEODRIVER=dummy timeout 60 "$m/orvalune" -home "$m/home" 2>&1); rc=$?
desk="$m/user/Desktop/orvalune_desktop"
check "capture: the screenshot and the recording are reported" $([ $rc = 0 ] &&
    echo "$out" | grep -qx "captured 32x20 (x2) screenshot: /desktop/host/shot.png" &&
    echo "$out" | grep -qx "captured 4 frame gif 24x16 (x1): /desktop/host/anim.gif"; echo $?)
check "capture: the screenshot holds the box at twice its size" $(/usr/bin/convert "$desk/shot.png" -depth 8 rgb:- 2>/dev/null |
    python3 -c '
import sys
d = sys.stdin.buffer.read()
def colour(c): return bytes(((c * 4) & 255, (255 - c * 4) & 255, (c * 28) % 256))
want = b""
for r in range(40):
    for c in range(64):
        x, y = 8 + c // 2, 4 + r // 2
        want += colour(63 - y % 64 if x == y else y % 64)
sys.exit(0 if d == want else 1)'; echo $?)
check "capture: the recording has its frames, each 3/100 s" \
    $([ "$(/usr/bin/identify -format '%wx%h %T ' "$desk/anim.gif" 2>/dev/null)" = "24x16 3 24x16 3 24x16 3 24x16 3 " ]; echo $?)

# The raw audio capture through the real device (SDL's disk driver, with the instruments and
# helpers of audio.sh): the captured bytes are the very blocks the device was given.
m=$(machine capture_audio)
image_from_scripts "$m" "boot.lua=$audio_prelude"'
_signal(65)
note(60, 1, 64, 0, 0, 0, true, -127)
wait_ticks(5)
_signal(16)
printh("capturing " .. tostring(stat(322) == 1))
for n = 62, 72, 2 do note(n, 1, 64, 0, 0, 0, true, 0) wait_ticks(3) end
_signal(16)
printh("captured " .. tostring(stat(322) == 1))
wait_ticks(5)
_signal(33)
while true do flip() end'
mkdir -p "$m/user/Desktop"
out=$(HOME="$m/user" XDG_CONFIG_HOME="$m/user/.config" SDL_AUDIODRIVER=disk SDL_DISKAUDIOFILE="$m/out.raw" \
    run_machine "$m"); rc=$?
check "capture: audio capture runs between its two signals" $([ $rc = 0 ] && echo "$out" | grep -qx "capturing true" &&
    echo "$out" | grep -qx "captured false"; echo $?)
check "capture: the captured audio is whole blocks the device received, in order" $(python3 - \
    "$m/user/Desktop/orvalune_desktop/audio.raw" "$m/out.raw" <<'PY'
import sys
cap, dev = open(sys.argv[1], "rb").read(), open(sys.argv[2], "rb").read()
at = dev.find(cap)
ok = len(cap) >= 18 * 367 * 4 and len(cap) % 2048 == 0 and any(cap) and at >= 0 and at % 2048 == 0
sys.exit(0 if ok else 1)
PY
echo $?)
