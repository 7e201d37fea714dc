# A real window on an X server (Xvfb, started here): the boot screen first, then the window
# manager's picture, both taken from outside the program with xwd and compared, through
# ImageMagick and python3, with the frame scaled as the window shows it.

# Reads the screen of X display $1 into PPM file $2.
screenshot() {
    xwd -root -silent -display "$1" | convert xwd:- ppm:"$2"
}

window_case() {
    local xdir="$work/xvfb"
    local xvfb_pid display
    start_xvfb "$xdir" "real window" || return

    local m
    m=$(machine real_window)
    # The window manager paints 16 x 16 blocks in 16 colours of its own, with single pixels
    # in the corners, then waits for the go-ahead before it ends the boot screen.
    image_from_scripts "$m" "boot.lua=$boot_with_wm" 'wm.lua=
local screen = userdata("u8", 480, 270)
_map_ram(screen, 0x10000)
_set_draw_target(screen)
pal()
poke(0x5508, 0xff, 0x3f, 0, 0)
for i = 0, 15 do pal(i, ((i * 16 + 8) << 16) | (((15 - i) * 16) << 8) | (i * 37 % 256), 2) end
for by = 0, 16 do
  for bx = 0, 29 do rectfill(bx * 16, by * 16, bx * 16 + 15, by * 16 + 15, (bx + 3 * by) % 16) end
end
pset(0, 0, 15) pset(479, 0, 14) pset(0, 269, 13) pset(479, 269, 12) pset(240, 135, 11)
printh("drawn")
while not fetch("/go") do flip() end
_signal(37)
local shown = 0
while true do
  if stat(985) ~= 0 then shown += 1 end
  if shown == 10 then printh("shown") end
  flip()
end'
    mkdir -p "$m/home/drive"
    DISPLAY="$display" SDL_VIDEODRIVER=x11 timeout 180 "$m/orvalune" -home "$m/home" >"$m/out" 2>&1 &
    local pid=$!
    wait_for_line() {  # text, seconds
        for _ in $(seq $(($2 * 10))); do
            grep -qx "$1" "$m/out" && return 0
            kill -0 "$pid" 2>/dev/null || return 1
            sleep 0.1
        done
        return 1
    }

    # The expected picture, and a comparison of a screenshot against it.
    cat >"$xdir/compare.py" <<'EOF'
import sys

def read_ppm(path):
    data = open(path, "rb").read()
    fields, pos = [], 0
    while len(fields) < 4:
        while data[pos:pos + 1].isspace():
            pos += 1
        if data[pos:pos + 1] == b"#":  # a comment runs to the end of its line
            pos = data.index(b"\n", pos)
            continue
        start = pos
        while not data[pos:pos + 1].isspace():
            pos += 1
        fields.append(data[start:pos])
    w, h = int(fields[1]), int(fields[2])
    return w, h, data[pos + 1:]

def palette(i):
    return ((i * 16 + 8) & 255, ((15 - i) * 16) & 255, (i * 37) % 256)

def frame(x, y):
    dots = {(0, 0): 15, (479, 0): 14, (0, 269): 13, (479, 269): 12, (240, 135): 11}
    return palette(dots.get((x, y), (x // 16 + 3 * (y // 16)) % 16))

mode, path = sys.argv[1], sys.argv[2]
w, h, px = read_ppm(path)
if (w, h) != (960, 540):
    sys.exit("screen is %dx%d" % (w, h))
if mode == "boot":
    # Something is drawn, and it is not the window manager's picture yet.
    lit = any(px[i:i + 3] != b"\0\0\0" for i in range(0, len(px), 3))
    i = (20 * 960 + 20) * 3
    sys.exit(0 if lit and tuple(px[i:i + 3]) != frame(10, 10) else 1)
bad = 0
for y in range(540):
    for x in range(960):
        i = (y * 960 + x) * 3
        if tuple(px[i:i + 3]) != frame(x // 2, y // 2):
            if bad < 5:
                print("pixel %d,%d is %s, expected %s" % (x, y, tuple(px[i:i + 3]), frame(x // 2, y // 2)))
            bad += 1
sys.exit(1 if bad else 0)
EOF

    local drawn=1 boot_seen=1 shown=1 exact=1
    wait_for_line drawn 60 && drawn=0
    if [ $drawn = 0 ]; then
        for _ in $(seq 100); do
            screenshot "$display" "$xdir/boot.ppm" && python3 "$xdir/compare.py" boot "$xdir/boot.ppm" && {
                boot_seen=0
                break
            }
            sleep 0.1
        done
        touch "$m/home/drive/go"
        wait_for_line shown 90 && shown=0
        if [ $shown = 0 ]; then
            screenshot "$display" "$xdir/wm.ppm" && python3 "$xdir/compare.py" wm "$xdir/wm.ppm" && exact=0
        fi
    fi
    if [ $shown != 0 ] || [ $exact != 0 ]; then
        echo "real window: the program said:"
        tail -n 5 "$m/out"
        grep -E "SDL window|renderer|finished_boot|error" "$m/home/log.txt" | tail -n 5
    fi
    kill "$pid" 2>/dev/null
    wait "$pid" 2>/dev/null
    kill "$xvfb_pid" 2>/dev/null
    wait "$xvfb_pid" 2>/dev/null
    check "real window: the window manager runs with a window" $drawn
    check "real window: the boot screen shows first" $boot_seen
    check "real window: the window manager's screen replaces it" $shown
    check "real window: the screen shows the frame at exactly twice its size" $exact
    check "real window: the window fills the screen as the default settings ask" \
        $(grep -q "creating SDL window 960 540 flags 4101" "$m/home/log.txt"; echo $?)
}
window_case

# Headless with no display at all and no video driver named: the dummy driver stands in.
m=$(machine headless_no_display)
cp "$bundled" "$m/sysrom.dat"
env -u DISPLAY -u WAYLAND_DISPLAY -u SDL_VIDEODRIVER timeout 3 "$m/orvalune" -x -home "$m/home" >/dev/null 2>&1
check "headless without a display keeps running" $([ $? = 124 ] &&
    grep -q "creating process 3 wm /system/wm.lua" "$m/home/log.txt"; echo $?)
