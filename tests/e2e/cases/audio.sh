# Sound through the real device: SDL's disk driver writes every mixed block to a raw file,
# which python3 reads back for pitch, pan, volume rules, track timing and a music fade.

# Script text every run starts with: audio registers, two sine instruments (1 follows the note's
# volume; 2 the same through an envelope that ends at the note's release), a track writer, and a
# wait for a number of ticks of mixed sound, counted by a silent track on channel 15.
audio_prelude='
poke(0x5538, 64, 64, 64, 0, 3, 3)
local function instrument(i, enveloped)
  local r = 0x40000 + 512 * i
  poke(r, 0x00, 0x02, 0, 0)
  poke(r + 4, enveloped and 6 or 2, 64, 0, 0)
  for p = 1, 3 do poke(r + 4 + 4 * p, 1, 0, 0, 0) end
  poke(r + 24, 0, 0x80, 0, 0)
  poke(r + 480, 0x00, 0xF8, 0x0A, 0xFF)
  if enveloped then poke(r + 0x100, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 255, 0) end
end
instrument(1, false)
instrument(2, true)
function track(t, length, speed, rows)
  local a = 0x50000 + 328 * t
  poke2(a, length)
  poke(a + 2, speed, 0, 0, 0, 0)
  for r, row in ipairs(rows) do
    for k = 1, 5 do poke(a + 8 + (k - 1) * #rows + r - 1, row[k]) end
  end
end
function wait_ticks(n)
  track(60, 1, n, {{255, 255, 255, 0, 0}})
  sfx(60, 15)
  repeat flip() until stat(464) & 0x8000 == 0
end
_apply_system_settings({})
'

# Runs a machine with the disk driver writing to $1/out.raw.
run_audio_machine() {
    SDL_AUDIODRIVER=disk SDL_DISKAUDIOFILE="$1/out.raw" run_machine "$1"
}

m=$(machine audio_notes)
image_from_scripts "$m" "boot.lua=$audio_prelude"'
note(60, 1, 64, 0, 0, 0, true, -127)
wait_ticks(30)
note(60, 1, 32, 0, 0, 0, true, -127)
wait_ticks(30)
poke(0x553A, 32)
note(60, 1, 64, 0, 0, 0, true, -127)
wait_ticks(30)
poke(0x553A, 64)
note(60, 1, 64, 0, 0, 0, true, -127)
_apply_system_settings({swap_stereo = 1})
wait_ticks(30)
_apply_system_settings({swap_stereo = 0, volume = 0})
wait_ticks(30)
_signal(33)
while true do flip() end'
out=$(run_audio_machine "$m"); rc=$?
notes=$(python3 - "$m/out.raw" <<'EOF'
import struct, sys
raw = open(sys.argv[1], "rb").read()
print("whole blocks", len(raw) > 0 and len(raw) % 2048 == 0)
s = struct.unpack("<%dh" % (len(raw) // 2), raw)
left, right = s[0::2], s[1::2]
start = next(i for i, v in enumerate(left) if v)
# One class per tick, read away from the tick's fade-in: full or half level on one side, or silence.
def level(peak):
    return "full" if 32000 < peak <= 32767 else "half" if 15500 < peak < 17000 else "zero" if peak == 0 else "?"
runs = []
for t in range((len(left) - start) // 367):
    a, b = start + 367 * t + 80, start + 367 * (t + 1) - 8
    c = (level(max(abs(v) for v in left[a:b])), level(max(abs(v) for v in right[a:b])))
    if "?" in c: continue
    if runs and runs[-1][0] == c: runs[-1][1] += 1
    else: runs.append([c, 1])
print("runs", " ".join("%s/%s:%d" % (l, r, n) for (l, r), n in runs if n > 2))
# Pitch of the first note by upward zero crossings over its run of ticks.
seg = left[start + 400:start + 400 + 367 * 25]
ups = [i + v0 / (v0 - v1) for i, (v0, v1) in enumerate(zip(seg, seg[1:])) if v0 < 0 <= v1]
print("pitch %.1f" % ((len(ups) - 1) / (ups[-1] - ups[0]) * 44100))
EOF
)
check "audio: the disk file holds whole 2048-byte blocks" $([ $rc = 0 ] && echo "$notes" | grep -qx "whole blocks True"; echo $?)
check "audio: note 60 sounds at 523 Hz" $(echo "$notes" | grep -qE "^pitch 52(2\.[5-9]|3\.[0-4])$"; echo $?)
runs=$(echo "$notes" | sed -n 's/^runs //p')
# Pan -127 is left only; volume 32 and mix volume 32 halve it; the swap moves it right; volume 0 silences.
# Each step lasts 30 ticks; the next starts a tick or so after the script sees the wait end.
check "audio: pan, note volume, mix volume, stereo swap and master volume" $(echo "$runs" | awk '{
    split($1, a, ":"); split($2, b, ":"); split($3, c, ":"); split($4, d, ":")
    exit !(NF == 4 && a[1] == "full/zero" && a[2] >= 30 && a[2] <= 45 && b[1] == "half/zero" && b[2] >= 60 &&
           b[2] <= 90 && c[1] == "zero/full" && c[2] >= 30 && c[2] <= 45 && d[1] == "zero/zero") }'; echo $?)

m=$(machine audio_tracks)
image_from_scripts "$m" "boot.lua=$audio_prelude"'
track(0, 4, 8, {{48, 2, 64, 0, 0}, {50, 2, 64, 0, 0}, {52, 2, 64, 0, 0}, {53, 2, 64, 0, 0}})
track(1, 0, 0, {{57, 2, 64, 0, 0}})
sfx(0, 0)
repeat flip() until stat(464) & 1 == 0
wait_ticks(10)
sfx(1, 0)
repeat flip() until stat(464) & 1 == 0
wait_ticks(10)
_signal(33)
while true do flip() end'
out=$(run_audio_machine "$m"); rc=$?
tracks=$(PYTHONPATH="$here" python3 - "$m/out.raw" <<'EOF'
import sys
from sound import channels, regions
left = channels(sys.argv[1])[0]
regions = regions(left)
print("lengths", " ".join(str(b - a) for a, b in regions))
def pitch(seg):
    ups = [i + v0 / (v0 - v1) for i, (v0, v1) in enumerate(zip(seg, seg[1:])) if v0 < 0 <= v1]
    return (len(ups) - 1) / (ups[-1] - ups[0]) * 44100
a = regions[0][0]
heard = [pitch(left[a + r * 2936 + 150:a + (r + 1) * 2936 - 150]) for r in range(4)]
print("rows", all(abs(h - w) < 0.5 for h, w in zip(heard, (261.5, 293.5, 329.5, 349.0))), " ".join("%.2f" % h for h in heard))
EOF
)
# Four rows of speed 8 last 32 ticks of 367 samples; a track of length 0 and speed 0 is one row of 16.
check "audio: a track's rows last speed x 367 samples" $([ $rc = 0 ] && echo "$tracks" | awk '/^lengths/ {
    exit !($2 >= 11744 - 30 && $2 <= 11744 + 64 && $3 >= 5872 - 30 && $3 <= 5872 + 64) }'; echo $?)
check "audio: each row plays its pitch" $(echo "$tracks" | grep -q "^rows True "; echo $?)

m=$(machine audio_music)
image_from_scripts "$m" "boot.lua=$audio_prelude"'
local rows = {{57, 1, 64, 0, 0}}
for r = 2, 8 do rows[r] = {255, 255, 255, 0, 0} end
track(2, 8, 16, rows)
poke(0x30100, 2, 0, 0, 0, 0, 0, 0, 0, 4, 1)
music(0)
repeat flip() until stat(466) == -1
wait_ticks(10)
music(0, 500)
repeat flip() until stat(466) == -1
wait_ticks(10)
_signal(33)
while true do flip() end'
out=$(run_audio_machine "$m"); rc=$?
music=$(PYTHONPATH="$here" python3 - "$m/out.raw" <<'EOF'
import sys
from sound import channels, regions
left = channels(sys.argv[1])[0]
regions = regions(left)
print("length", regions[0][1] - regions[0][0])
# The second time it fades in over 500 ms; its level is taken per device block of 512 frames.
a, b = regions[1]
peaks = [max(abs(v) for v in left[k * 512:(k + 1) * 512]) for k in range(a // 512, b // 512)]
top = max(peaks)
rising = all(q >= p - top * 0.02 for p, q in zip(peaks[:45], peaks[1:45]))
print("fade", peaks[1] < top * 0.1, rising, peaks[30] < top * 0.8, min(peaks[46:]) > top * 0.97)
EOF
)
check "audio: music plays its pattern of 128 ticks and stops" $([ $rc = 0 ] && echo "$music" | awk '/^length/ {
    exit !($2 >= 46976 - 30 && $2 <= 46976 + 64) }'; echo $?)
check "audio: a music fade-in rises over its ticks" $(echo "$music" | grep -qx "fade True True True True"; echo $?)
