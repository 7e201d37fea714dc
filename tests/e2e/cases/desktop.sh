# The whole system on the bundled image: a real window on an X server (Xvfb), sound through
# SDL's disk driver, keys and clicks sent from outside with xdotool. The desktop lists the demo,
# Enter runs it, Escape returns, a click with no time between press and release runs it again,
# Ctrl+Q quits from inside it with status 0, and the file the demo stored is then on disk.
# The screenshots are checked against text rendered here from the font's own picture.

desktop_case() {
    local xdir="$work/desktop_x"
    if ! command -v xdotool >/dev/null 2>&1; then
        echo "skipped: whole desktop (xdotool is not installed)"
        return
    fi
    local xvfb_pid display
    start_xvfb "$xdir" "whole desktop" || return

    local m
    m=$(machine desktop)
    cp "$bundled" "$m/sysrom.dat"
    # --foreground: the quit signal below must reach the program once, not again through its group.
    DISPLAY="$display" SDL_VIDEODRIVER=x11 SDL_AUDIODRIVER=disk SDL_DISKAUDIOFILE="$m/audio.raw" \
        timeout --foreground 180 "$m/orvalune" -home "$m/home" >"$m/out" 2>&1 &
    local pid=$!

    # Checks a screenshot (PPM, the 480 x 270 display shown at twice its size) for one screen.
    cat >"$xdir/screen.py" <<'EOF'
import sys

PALETTE = {0: (0, 0, 0), 1: (0x1d, 0x2b, 0x53), 4: (0xab, 0x52, 0x36), 7: (0xff, 0xf1, 0xe8),
           9: (0xff, 0xa3, 0x00), 11: (0x00, 0xe4, 0x36), 12: (0x29, 0xad, 0xff)}

def read_ppm(path):
    data = open(path, "rb").read()
    fields, pos = [], 0
    while len(fields) < 4:
        while data[pos:pos + 1].isspace():
            pos += 1
        if data[pos:pos + 1] == b"#":
            pos = data.index(b"\n", pos)
            continue
        start = pos
        while not data[pos:pos + 1].isspace():
            pos += 1
        fields.append(data[start:pos])
    return int(fields[1]), int(fields[2]), data[pos + 1:]

def read_font(path):
    glyphs, code, rows = {}, None, []
    for line in open(path):
        line = line.strip()
        if line.startswith("code "):
            code, rows = int(line.split()[1]), []
            glyphs[code] = rows
        elif code is not None and line and set(line) <= set(".#"):
            rows.append(line)
    return glyphs

mode, shot, font_path = sys.argv[1:4]
w, h, px = read_ppm(shot)
font = read_font(font_path)
problems = []

def colour(x, y):  # display pixel x, y: the top-left of its 2 x 2 block
    i = (2 * y * w + 2 * x) * 3
    return tuple(px[i:i + 3])

def text(s, x0, y0, ink, paper):
    """The text as the printer draws it: 8 rows per glyph, advancing by each glyph's width."""
    x, bad = x0, 0
    for ch in s:
        rows = font[ord(ch)]
        for r, row in enumerate(rows):
            for c, cell in enumerate(row):
                if colour(x + c, y0 + r) != PALETTE[ink if cell == "#" else paper]:
                    bad += 1
        x += len(rows[0])
    if bad:
        problems.append("%d pixels of %r differ" % (bad, s))

def share(x0, y0, x1, y1, c):
    n = sum(colour(x, y) == PALETTE[c] for y in range(y0, y1 + 1) for x in range(x0, x1 + 1))
    return n / ((x1 - x0 + 1) * (y1 - y0 + 1))

def solid(x0, y0, x1, y1, c, least):
    if share(x0, y0, x1, y1, c) < least:
        problems.append("box %d,%d-%d,%d is not colour %d" % (x0, y0, x1, y1, c))

if (w, h) != (960, 540):
    sys.exit("screen is %dx%d" % (w, h))
if mode == "desktop":
    solid(0, 0, 479, 10, 7, 0.8)                # the title bar
    solid(320, 60, 479, 269, 1, 1.0)            # the desktop
    solid(12, 28, 300, 39, 12, 0.85)            # the chosen entry, the only one
    text("/desktop/demo.q64", 16, 30, 1, 12)
else:
    solid(0, 0, 479, 10, 12, 0.85)              # the demo's title bar
    text("Orvalune demo", 4, 2, 1, 12)
    solid(120, 34, 160, 64, 9, 1.0)             # a filled rectangle among the shapes
    text("visits.pod stored and read back: visit ", 12, 194, 11, 0)
    solid(0, 256, 479, 269, 4, 0.7)             # the map's earth
for p in problems[:5]:
    print(p)
sys.exit(1 if problems else 0)
EOF

    local font="$here/../../src/gfx/system_font.txt"
    # Waits until the screen shows what mode expects; the last screenshot stays in $xdir/$mode.ppm.
    wait_for_screen() {  # mode, seconds
        for _ in $(seq $(($2 * 4))); do
            kill -0 "$pid" 2>/dev/null || return 1
            xwd -root -silent -display "$display" | convert xwd:- ppm:"$xdir/$1.ppm" 2>/dev/null &&
                python3 "$xdir/screen.py" "$1" "$xdir/$1.ppm" "$font" >"$xdir/$1.txt" && return 0
            sleep 0.25
        done
        return 1
    }
    keys() { DISPLAY="$display" xdotool key --delay 120 "$@"; }

    local listed=1 demo=1 back=1 clicked=1 quit=1 sound=1 stored=1
    wait_for_screen desktop 60 && listed=0
    if [ $listed = 0 ]; then
        keys Return
        wait_for_screen demo 20 && demo=0
        sleep 3  # the tune
        keys Escape
        wait_for_screen desktop 10 && back=0
        # The entry's bar, at display row 32, in the window's doubled pixels; xdotool's click
        # presses and releases at once, both between two of the program's polls.
        DISPLAY="$display" xdotool mousemove 200 66 sleep 0.3 click 1
        wait_for_screen demo 20 && clicked=0
        keys ctrl+q
        for _ in $(seq 100); do kill -0 "$pid" 2>/dev/null || break; sleep 0.1; done
    fi
    local lingered=0
    if kill -0 "$pid" 2>/dev/null; then
        lingered=1
        echo "whole desktop: Ctrl+Q did not quit"
        kill -TERM "$pid" 2>/dev/null
    fi
    wait "$pid"; local rc=$?
    [ $rc = 0 ] && [ $lingered = 0 ] && quit=0
    [ $rc = 0 ] || echo "whole desktop: the program ended with status $rc"
    kill "$xvfb_pid" 2>/dev/null
    wait "$xvfb_pid" 2>/dev/null

    python3 - "$m/audio.raw" <<'EOF' && sound=0
import struct, sys
raw = open(sys.argv[1], "rb").read()
s = struct.unpack("<%dh" % (len(raw) // 2), raw)
loud = sum(1 for v in s if abs(v) > 1000)
sys.exit(0 if loud > 44100 // 2 else 1)  # at least a quarter of a second of sound, both sides
EOF
    # The demo keeps its visit count in its own cartridge, which is written back to the drive:
    # a text cartridge whose entry for visits.pod holds base64 lines.
    python3 - "$m/home/drive/desktop/demo.q64" <<'EOF' 2>/dev/null && stored=0
import base64, sys
lines = open(sys.argv[1], "rb").read().split(b"\n")
if b":: visits.pod" not in lines:
    sys.exit(1)
body = lines[lines.index(b":: visits.pod") + 1:]
body = body[:next(i for i, l in enumerate(body) if l.startswith(b":: "))]
data = b"".join(base64.b64decode(l[4:] if i == 0 else l) for i, l in enumerate(body) if l)
sys.exit(0 if b"visits=2" in data else 1)  # the demo ran twice
EOF

    if [ $listed != 0 ] || [ $demo != 0 ] || [ $back != 0 ]; then
        echo "whole desktop: the screen checks said:"
        cat "$xdir"/*.txt 2>/dev/null | head -n 10
        grep -E "error|ERROR" "$m/home/log.txt" | tail -n 5
    fi
    check "whole desktop: the desktop lists the demo cartridge" $listed
    check "whole desktop: Enter runs the demo full screen" $demo
    check "whole desktop: Escape returns to the list" $back
    check "whole desktop: a click shorter than a frame runs the chosen cartridge" $clicked
    check "whole desktop: Ctrl+Q inside a cartridge ends the program with status 0" $quit
    check "whole desktop: the demo's tune reaches the sound output" $sound
    check "whole desktop: the file the demo stored is on disk after quitting" $stored
}
desktop_case

# Headless, on the bundled system scripts with an exported cartridge: the window manager runs it
# at once, after the start-up script gave it the font, the palette and a screen, in its own
# folder; its runtime error reaches the window manager with its text.
m=$(machine desktop_player)
mkdir -p "$work/desktop_cart"
cat >"$work/desktop_cart/main.lua" <<'EOF2'
printh(string.format("font %d %d %d, palette %06x, screen %dx%d, pwd %s", peek(0x4000), peek(0x4002),
  peek(0x5f56), peek4(0x5004), peek2(0x5478), peek2(0x547a), pwd()))
print("hello", 10, 10, 7)
printh("printed " .. pget(10, 11) .. " " .. pget(10, 9))
error("stopped on purpose")
EOF2
"$mkrom" -add "$(dirname "$bundled")/system_font.bin" fonts/system_font.bin -cart "$work/desktop_cart" \
    "$here/../../system" "$m/sysrom.dat" >/dev/null
out=$(timeout 5 "$m/orvalune" -x -home "$m/home" 2>&1)
check "desktop: a cartridge starts with the system font, palette and screen, in its own folder" \
    $(echo "$out" | grep -qx "font 5 11 64, palette 1d2b53, screen 480x270, pwd /ram/expcart"; echo $?)
check "desktop: a cartridge prints in the system font" $(echo "$out" | grep -qx "printed 7 0"; echo $?)
check "desktop: a cartridge's runtime error reaches the window manager with its text" \
    $(echo "$out" | grep -qx "error: /ram/expcart/main.lua:5: stopped on purpose"; echo $?)
