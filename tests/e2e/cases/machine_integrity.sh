# The machine holds together against its own scripts and its host: the root cannot be killed
# by others, fatal errors go by process id, signals shut down cleanly, a damaged system image
# never touches the drive, and RAM files keep within one budget.

# Lua text of a root that starts processes 2 and 3 from the given code and then runs every
# other process for a while.
root_running() {  # code of process 2, code of process 3, further lines before the loop
    printf '%s\n' "_create_process_from_code([[$1]], \"two\", \"/system/two.lua\")
_create_process_from_code([[$2]], \"wm\", \"/system/wm.lua\")
$3
for frame = 1, 30 do
  for _, p in ipairs(_get_process_list()) do
    if p.id ~= 1 then _run_process_slice(p.id, 0.2) end
  end
  flip()
end
printh(\"root still running\")
_signal(33)
while true do flip() end"
}
idle='while true do flip() end'

# --- The root --------------------------------------------------------------------------------------

m=$(machine kill_root)
image_from_scripts "$m" "boot.lua=$(root_running "$idle" "$idle" '_create_process_from_code("_kill_process(1) _kill_process(1, 1) printh(\"child tried\") while true do flip() end", "killer", "/apps/k.lua")')"
out=$(timeout 20 "$m/orvalune" -x -home "$m/home" 2>&1); rc=$?
check "a child cannot kill the root" $([ $rc = 0 ] && echo "$out" | grep -qx "child tried" && echo "$out" | grep -qx "root still running"; echo $?)

m=$(machine root_oom)
image_from_scripts "$m" 'boot.lua=local t = {} for i = 1, 1e9 do t[i] = {} end'
out=$(run_machine "$m"); rc=$?
check "root out of memory: message and status 1" $([ $rc = 1 ] && echo "$out" | grep -qx "\*\* RUNTIME ERROR IN KERNEL \*\*" && echo "$out" | grep -qx "out of memory"; echo $?)
check "root out of memory: logged" $(grep -q "RUNTIME ERROR IN KERNEL" "$m/home/log.txt" && grep -q "out of memory" "$m/home/log.txt"; echo $?)

# --- Fatal errors go by process id ------------------------------------------------------------------

bad='local t = nil; t.x = 1'
m=$(machine services_error)
image_from_scripts "$m" "boot.lua=$(root_running "$bad" "$idle" "")"
out=$(run_machine "$m"); rc=$?
check "an error in process 2 does not end the program" $([ $rc = 0 ] && echo "$out" | grep -qx "root still running" && ! echo "$out" | grep -q "RUNTIME ERROR"; echo $?)

m=$(machine wm_error)
image_from_scripts "$m" "boot.lua=$(root_running "$idle" "$bad" "")"
out=$(run_machine "$m"); rc=$?
check "an error in the window manager ends the program" $([ $rc = 1 ] && echo "$out" | grep -qx "\*\* RUNTIME ERROR IN WINDOW MANAGER \*\*"; echo $?)

m=$(machine killer_error)
image_from_scripts "$m" "boot.lua=$(root_running "$idle" "$idle" '_create_process_from_code("_kill_process(2) _kill_process(3) flip() local t = nil; t.x = 1", "user", "/apps/u.lua")')"
out=$(run_machine "$m"); rc=$?
check "a user process that killed 2 and 3 and errs is only removed" $([ $rc = 0 ] && echo "$out" | grep -qx "root still running" && ! echo "$out" | grep -q "RUNTIME ERROR"; echo $?)

mkdir -p "$work/player_cart"
printf 'while true do flip() end\n' > "$work/player_cart/main.lua"
m=$(machine player_cart_error)
image_from_scripts "$m" "boot.lua=$(root_running "$idle" "$idle" "_create_process_from_code([[$bad]], \"cart\", \"/ram/expcart/main.lua\")")" -- -cart "$work/player_cart" -flags 1
out=$(run_machine "$m"); rc=$?
check "cartridge player: an error in process 4 ends the program" $([ $rc = 1 ] && echo "$out" | grep -qx "\*\* RUNTIME ERROR IN WINDOW MANAGER \*\*"; echo $?)
m=$(machine player_wm_error)
image_from_scripts "$m" "boot.lua=$(root_running "$idle" "$bad" "")" -- -cart "$work/player_cart" -flags 1
out=$(run_machine "$m"); rc=$?
check "cartridge player: an error in process 3 does not end the program" $([ $rc = 0 ] && echo "$out" | grep -qx "root still running"; echo $?)

# --- Signals --------------------------------------------------------------------------------------

# Writes a counter into a cartridge every frame; the last value printed must be on disk.
counter_boot='mkdir("/c.q64")
store("/ready.txt", "1", "--[[mox_format=\"raw\",metadata_format=\"none\"]]")
local n = 0
while true do
  n = n + 1
  store("/c.q64/n.txt", tostring(n), "--[[mox_format=\"raw\",metadata_format=\"none\"]]")
  printh("wrote " .. n)
  if n == 20 and LIMITED then _signal(33) end
  flip()
end'
cart_value() { grep -A1 -x ":: n.txt" "$1" 2>/dev/null | tail -1; }
for sig in TERM INT HUP; do
    m=$(machine "signal_$sig")
    image_from_scripts "$m" "boot.lua=$counter_boot"
    "$m/orvalune" -x -home "$m/home" > "$m/out.txt" 2>&1 &
    pid=$!
    for _ in $(seq 1 400); do [ -f "$m/home/drive/ready.txt" ] && break; sleep 0.05; done
    sleep 0.5
    kill -s "$sig" "$pid"
    for _ in $(seq 1 600); do kill -0 "$pid" 2>/dev/null || break; sleep 0.05; done
    kill -s KILL "$pid" 2>/dev/null
    wait "$pid"; rc=$?
    last=$(grep "^wrote " "$m/out.txt" | tail -1 | cut -d' ' -f2)
    check "SIG$sig: normal shutdown with every cartridge write on disk" $([ $rc = 0 ] && [ -n "$last" ] && [ "$(cart_value "$m/home/drive/c.q64")" = "$last" ]; echo $?)
done

m=$(machine closed_stdout)
image_from_scripts "$m" "boot.lua=LIMITED = true
$counter_boot"
python3 - "$m/orvalune" "$m/home" <<'EOF'
import os, subprocess, sys
r, w = os.pipe()
os.close(r)  # nobody reads: every write to standard output meets a broken pipe
p = subprocess.run([sys.argv[1], "-x", "-home", sys.argv[2]], stdout=w, stderr=subprocess.DEVNULL, timeout=60)
sys.exit(p.returncode if p.returncode >= 0 else 128 - p.returncode)
EOF
rc=$?
check "closed standard output: runs on and writes every cartridge change" $([ $rc = 0 ] && [ "$(cart_value "$m/home/drive/c.q64")" = 20 ]; echo $?)

# A process that keeps the machine to itself to the end: its cartridge changes still reach the disk.
m=$(machine exclusive_quit)
image_from_scripts "$m" 'boot.lua=_signal(40)
store("/x.q64/n.txt", "7", "--[[mox_format=\"raw\",metadata_format=\"none\"]]")
_signal(33)
while true do flip() end'
mkdir -p "$m/home/drive"
printf 'orvalune cartridge // x\nversion 2\n\n:: [eoc]\n' > "$m/home/drive/x.q64"
out=$(run_machine "$m"); rc=$?
check "quitting while a process owns the machine writes its cartridge back" $([ $rc = 0 ] && [ "$(cart_value "$m/home/drive/x.q64")" = 7 ]; echo $?)

# --- A damaged system image -----------------------------------------------------------------------

m=$(machine image_not_rom)
printf 'demo' > "$work/name_record"
printf 'print("overwritten")' > "$work/code_record"
write_image "$m/sysrom.dat" "$work/name_record" "$work/code_record"
mkdir -p "$m/home/drive"
printf 'my own main\n' > "$m/home/drive/main.lua"
out=$(run_machine "$m"); rc=$?
check "record 1 that is no ROM: damaged, status 1" $([ $rc = 1 ] && echo "$out" | grep -qx "sysrom.dat is damaged" && grep -q "sysrom.dat is damaged" "$m/home/log.txt"; echo $?)
check "record 1 that is no ROM: the drive is untouched" $([ "$(cat "$m/home/drive/main.lua")" = "my own main" ]; echo $?)

# A ROM with entries outside system/, written by the program itself as a cartridge.
m=$(machine rom_maker)
image_from_scripts "$m" 'boot.lua=mkdir("/out.q64.rom")
local raw = "--[[mox_format=\"raw\",metadata_format=\"none\"]]"
store("/out.q64.rom/notes.txt", "from the image", raw)
store("/out.q64.rom/docs/a.txt", "from the image", raw)
store("/out.q64.rom/system/boot.lua", "printh(\"booted\") _signal(33) while true do flip() end", raw)
_signal(33)
while true do flip() end'
run_machine "$m" >/dev/null
m2=$(machine rom_outside_system)
write_image "$m2/sysrom.dat" "$work/name_record" "$m/home/drive/out.q64.rom"
mkdir -p "$m2/home/drive/docs"
printf 'mine\n' > "$m2/home/drive/notes.txt"
printf 'mine too\n' > "$m2/home/drive/docs/a.txt"
out=$(run_machine "$m2"); rc=$?
check "ROM entries outside system/ are refused, the rest boots" $([ $rc = 0 ] && echo "$out" | grep -qx "booted"; echo $?)
check "ROM entries outside system/ never reach the drive" $([ "$(cat "$m2/home/drive/notes.txt")" = "mine" ] && [ "$(cat "$m2/home/drive/docs/a.txt")" = "mine too" ]; echo $?)

# --- One budget for RAM files -----------------------------------------------------------------------

# A machine whose configuration file sets the RAM-file budget in megabytes.
limited_machine() {  # name, megabytes
    local dir
    dir=$(machine "$1")
    mkdir -p "$dir/home/drive"
    printf '# orvalune config\n\nmount / %s\nram_limit_mb %s\n' "$dir/home/drive" "$2" > "$dir/home/orvalune_config.txt"
    echo "$dir"
}

m=$(limited_machine ram_budget 4)
image_from_scripts "$m" 'boot.lua=_create_process_from_code([=[
local mb = string.rep("x", 1024 * 1024)
local stored = 0
for i = 1, 8 do
  local r = store("/ram/f" .. i, mb, "--[[mox_format=\"raw\",metadata_format=\"none\"]]")
  if r then printh("store " .. i .. ": " .. r) break end
  stored = i
end
printh("stored " .. stored)
printh("cp: " .. tostring((cp("/ram/f1", "/ram/copy"))))
printh("cp onto itself: " .. tostring((cp("/ram/f1", "/ram/f2"))))
_fdelete("/ram/f1")
printh("after delete: " .. tostring((store("/ram/g", mb, "--[[mox_format=\"raw\",metadata_format=\"none\"]]"))))
printh("f2 kept: " .. #fetch("/ram/f2"))
_signal(33)
while true do flip() end]=], "child", "/apps/child.lua")
while true do _run_process_slice(2, 1) flip() end'
out=$(run_machine "$m"); rc=$?
check "a store past the RAM-file budget fails with a clear error" $([ $rc = 0 ] && echo "$out" | grep -qx "store 4: ram file limit reached" && echo "$out" | grep -qx "stored 3"; echo $?)
check "a copy past the budget fails; replacing a file of the same size fits" $(echo "$out" | grep -qx "cp: ram file limit reached" && echo "$out" | grep -qx "cp onto itself: nil"; echo $?)
check "deleting frees room in the budget" $(echo "$out" | grep -qx "after delete: nil" && echo "$out" | grep -qx "f2 kept: 1048576"; echo $?)
check "the budget is logged from the configuration file" $(grep -q "ram file limit: 4 MB" "$m/home/log.txt"; echo $?)

# A cartridge of 5 MB of zeros packs into a few kilobytes.
mkdir -p "$work/zeros"
head -c 5000000 /dev/zero > "$work/zeros/big.bin"
"$mkrom" "$work/zeros" "$work/zeros.dat" >/dev/null
python3 - "$work/zeros.dat" "$work/zeros.q64.rom" <<'EOF'
import struct, sys
d = open(sys.argv[1], "rb").read()
n0 = struct.unpack(">I", d[:4])[0]
n1 = struct.unpack(">I", d[4 + n0:8 + n0])[0]
open(sys.argv[2], "wb").write(d[8 + n0:8 + n0 + n1])
EOF

m=$(limited_machine big_cart 4)
cp "$work/zeros.q64.rom" "$m/home/drive/big.q64.rom"
image_from_scripts "$m" 'boot.lua=local raw = "--[[mox_format=\"raw\",metadata_format=\"none\"]]"
printh("read: " .. tostring((fetch("/big.q64.rom/system/big.bin"))))
printh("listed: " .. tostring((ls("/big.q64.rom"))))
store("/big.q64.rom/system/new.txt", "x", raw)
printh("small file: " .. tostring((store("/ram/small", "fits", raw))))
_signal(33)
while true do flip() end'
out=$(run_machine "$m"); rc=$?
check "a cartridge that would pass the budget is not mounted" $([ $rc = 0 ] && echo "$out" | grep -qx "read: nil" && echo "$out" | grep -qx "listed: nil" && grep -q "does not fit in the ram file limit: not mounted" "$m/home/log.txt"; echo $?)
check "a cartridge that would pass the budget is never written back" $(cmp -s "$work/zeros.q64.rom" "$m/home/drive/big.q64.rom"; echo $?)
check "the refused cartridge leaves the budget free" $(echo "$out" | grep -qx "small file: nil"; echo $?)

m=$(machine listing)
mkdir -p "$m/home/drive/carts"
for i in $(seq 1 10); do cp "$work/zeros.q64.rom" "$m/home/drive/carts/c$i.q64.rom"; done
image_from_scripts "$m" 'boot.lua=local before = stat(309)
local names = ls("/carts")
for _, name in ipairs(names) do
  local kind, size = fstat("/carts/" .. name)
  if kind ~= "folder" or size < 1000 then printh("odd entry " .. name) end
end
printh("entries " .. #names)
printh("grew " .. (stat(309) - before))
printh("inside: " .. #fetch("/carts/c1.q64.rom/system/big.bin"))
_signal(33)
while true do flip() end'
out=$(run_machine "$m"); rc=$?
grew=$(echo "$out" | grep "^grew " | cut -d' ' -f2 | cut -d. -f1)
check "listing a folder of cartridges does not unpack them" $([ $rc = 0 ] && echo "$out" | grep -qx "entries 10" && ! echo "$out" | grep -q "odd entry" && [ -n "$grew" ] && [ "$grew" -lt 1000000 ]; echo $?)
check "a cartridge within the budget still mounts on access" $(echo "$out" | grep -qx "inside: 5000000"; echo $?)

# --- Host memory running out inside a script function ------------------------------------------------

# The address-space limit leaves room for the interpreter but not always for the copies a
# store makes; whatever fails must fail as the process's memory error, never as a crash or
# a C++ exception. (The sanitizer build reserves more address space than any such limit.)
if ! ldd "$bin" 2>/dev/null | grep -q libasan; then
    # The limits are set above what the idle program itself maps.
    m=$(machine host_memory)
    image_from_scripts "$m" 'boot.lua=store("/ready.txt", "1") while true do flip() end'
    "$m/orvalune" -x -home "$m/home" >/dev/null 2>&1 &
    pid=$!
    for _ in $(seq 1 400); do [ -f "$m/home/drive/ready.txt" ] && break; sleep 0.05; done
    base=$(awk '/^VmPeak:/ {print $2}' "/proc/$pid/status")
    kill -s KILL "$pid"; wait "$pid" 2>/dev/null
    image_from_scripts "$m" "boot.lua=$(root_running "$idle" "$idle" '_create_process_from_code([=[
local s = string.rep("a", 12000000)
printh("child: " .. tostring(pcall(store, "/ram/x.txt", s, "--[[mox_format=\"raw\"]]")))
while true do flip() end]=], "child", "/apps/child.lua")')"
    clean=0
    for extra in $(seq 20000 5000 90000); do
        out=$(ulimit -v $((base + extra)); timeout 60 "$m/orvalune" -x -home "$m/home" 2>&1); rc=$?
        if [ $rc -gt 1 ] || echo "$out" | grep -q "std::\|terminate\|what()"; then
            echo "  address space $((base + extra)) KB: status $rc"; echo "$out" | head -5
            clean=1
        fi
    done
    check "host memory running out in a script function is a memory error, never a crash" $([ -n "$base" ] && [ $clean = 0 ]; echo $?)
fi
