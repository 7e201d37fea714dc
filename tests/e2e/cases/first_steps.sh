# A new user's first steps, headless, on the bundled window manager with a boot script that
# presses its keys: the example cartridge of README.md runs, sounds and stores its file in
# itself; a cartridge's traceback shows only its own frames; the highlight follows its
# cartridge through a rescan; a typed array unpacks to one value past its end.

# Builds machine $1 on the bundled system scripts, whose boot also sends the window manager
# the keys given as "frame:scancode" words (frame:cp:<from>:<to> copies a file, frame:quit
# quits).
first_steps_machine() {
    local m
    m=$(machine "$1"); shift
    local steps=""
    for s in "$@"; do
        local frame="${s%%:*}" what="${s#*:}"
        case "$what" in
        quit) steps="$steps if frame == $frame then _signal(33) end" ;;
        cp:*) local a="${what#cp:}"; steps="$steps if frame == $frame then cp(\"${a%%:*}\", \"${a#*:}\") end" ;;
        *) steps="$steps if frame == $frame then send_message(3, {event = \"keydown\", scancode = $what}) end" ;;
        esac
    done
    local src="$m/system_src"
    cp -r "$here/../../system" "$src"
    python3 - "$src/boot.lua" "$steps" <<'EOF'
import sys
boot = open(sys.argv[1]).read()
at = boot.index("while true do\n")
boot = boot[:at] + "local frame = 0\nwhile true do\n\tframe += 1\n\t" + sys.argv[2] + "\n" + boot[at + 14:]
open(sys.argv[1], "w").write(boot)
EOF
    "$mkrom" -add "$(dirname "$bundled")/system_font.bin" fonts/system_font.bin "$src" "$m/sysrom.dat" >/dev/null
    mkdir -p "$m/home/drive/desktop"
    echo "$m"
}

# A text cartridge at path $1 whose main.lua is $2.
text_cart() {
    printf 'orvalune cartridge // www.orvalune.net\nversion 2\n\n:: main.lua\n%s\n:: [eoc]\n' "$2" >"$1"
}

# The README's example: listed, run with Enter, quit with the quit signal.
m=$(first_steps_machine first_cartridge 30:40 150:quit)
python3 - "$here/../../README.md" "$m/home/drive/desktop/hello.q64" <<'EOF'
import sys
text = open(sys.argv[1]).read()
body = text.split("<!-- example cartridge: begin -->\n")[1].split("<!-- example cartridge: end -->")[0]
open(sys.argv[2], "w").write("".join(line[4:] + "\n" for line in body.splitlines()))
EOF
out=$(SDL_AUDIODRIVER=disk SDL_DISKAUDIOFILE="$m/audio.raw" timeout 20 "$m/orvalune" -x -home "$m/home" 2>&1)
rc=$?
check "first steps: the README's cartridge runs without error and the program quits with status 0" \
    $([ $rc = 0 ] && ! echo "$out" | grep -q "error"; echo $?)
check "first steps: the README's cartridge is heard" $(python3 - "$m/audio.raw" <<'EOF'
import struct, sys
raw = open(sys.argv[1], "rb").read()
s = struct.unpack("<%dh" % (len(raw) // 2), raw)
print(0 if sum(1 for v in s if abs(v) > 500) > 4410 else 1)
EOF
)
check "first steps: the README's cartridge stores its file inside itself" \
    $(grep -qx ":: hello.pod" "$m/home/drive/desktop/hello.q64"; echo $?)

# An error two calls deep: the traceback ends at the cartridge's main chunk.
m=$(first_steps_machine traceback 30:40 60:quit)
text_cart "$m/home/drive/desktop/broken.q64" 'local function inner() error("broken on purpose") end
local function outer() inner() end
outer()'
out=$(timeout 20 "$m/orvalune" -x -home "$m/home" 2>&1)
want=$(printf '%s\n' "error: stack traceback:" "	[C]: in function 'error'" \
    "	/desktop/broken.q64/main.lua:1: in upvalue 'inner'" \
    "	/desktop/broken.q64/main.lua:2: in local 'outer'" \
    "	/desktop/broken.q64/main.lua:3: in main chunk")
check "first steps: a cartridge's traceback shows only its own frames, down to its main chunk" \
    $(echo "$out" | grep -A4 -x "error: stack traceback:" | diff - <(echo "$want") >/dev/null; echo $?)
[ "$(echo "$out" | grep -A4 -x "error: stack traceback:")" = "$want" ] || echo "$out" | tail -n 12

# Down to /c.q64, then /b.q64 appears above it: after the rescan Enter still runs /c.q64.
m=$(first_steps_machine rescan 20:81 40:cp:/a.q64:/b.q64 200:40 230:quit)
text_cart "$m/home/drive/a.q64" 'printh("ran a") while true do flip() end'
text_cart "$m/home/drive/c.q64" 'printh("ran c") while true do flip() end'
out=$(timeout 20 "$m/orvalune" -x -home "$m/home" 2>&1)
check "first steps: after a rescan the highlight stays on its cartridge" \
    $([ "$(echo "$out" | grep -x "ran [abc]")" = "ran c" ]; echo $?)

# table.unpack of a typed array without bounds: indices 0 to #t.
m=$(machine unpack_plain)
image_from_scripts "$m" 'boot.lua=local u = userdata("u8", 3, "0a0b0c")
printh(select("#", table.unpack(u)) .. " " .. table.concat({table.unpack(u, 0, 2)}, ","))
printh(tostring(select(4, table.unpack(u))))'
out=$(run_machine "$m")
check "first steps: table.unpack of a typed array gives n + 1 values, the last nil" \
    $([ "$out" = "$(printf '4 10,11,12\nnil')" ]; echo $?)
