# A headless run with SDL's "dummy" audio driver has no sound device: it plays into a silent
# output of its own and does not map SDL at all. The mixer still runs (ticks of a track pass),
# and the calls that need SDL (a key's name, the clipboard) load it when they come.
m=$(machine silent_output)
image_from_scripts "$m" 'boot.lua=
local a = 0x50000 + 328 * 60
poke2(a, 1)
poke(a + 2, 20, 0, 0, 0, 0)
poke(a + 8, 255, 255, 255, 0, 0)
sfx(60, 15)
local frames = 0
repeat flip() frames = frames + 1 until stat(464) & 0x8000 == 0 or frames > 600
printh("track ended " .. tostring(stat(464) & 0x8000 == 0))
repeat flip() until fetch("/go.txt")
printh("key " .. tostring(stat(302, 4)))
_set_host_clipboard_text("kept")
printh("clipboard " .. _get_host_clipboard_text())
_signal(33)
while true do flip() end'
timeout 60 "$m/orvalune" -x -home "$m/home" > "$m/out.txt" 2>&1 &
pid=$!
for _ in $(seq 300); do grep -q "track ended" "$m/out.txt" && break; sleep 0.1; done
grep -q "track ended true" "$m/out.txt"; check "the silent output runs the mixer: a track's ticks pass" $?
mapped=$(grep -c "libSDL2" "/proc/$pid/maps" 2>/dev/null)
[ "${mapped:-1}" = 0 ]; check "a run without a sound device does not map SDL" $?
echo go > "$m/home/drive/go.txt"
wait "$pid"; rc=$?
[ "$rc" = 0 ] && grep -q "^key A$" "$m/out.txt"; check "a key's name loads SDL when it is asked for" $?
! grep -q "searching for joysticks" "$m/home/log.txt"; check "loaded for a key's name, SDL reads no controllers" $?
grep -q "^clipboard kept$" "$m/out.txt"; check "the clipboard works without a sound device" $?
