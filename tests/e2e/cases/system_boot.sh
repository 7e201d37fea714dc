# Booting from a system image made by the ROM builder, running processes, quitting and rebooting.

m=$(machine no_boot_script)
image_from_scripts "$m" "other.lua=x = 1"
out=$(run_machine "$m"); rc=$?
check "missing boot.lua: message and failure status" $([ $rc != 0 ] && echo "$out" | grep -qx "could not find /system/boot.lua"; echo $?)

m=$(machine bad_boot_script)
image_from_scripts "$m" "boot.lua=x = = 1"
out=$(run_machine "$m"); rc=$?
check "uncompilable boot.lua: message and failure status" $([ $rc != 0 ] && echo "$out" | grep -q "^error in /system/boot.lua.*unexpected symbol"; echo $?)

m=$(machine quits)
image_from_scripts "$m" 'boot.lua=
_create_process_from_code("while true do flip() end", "two", "/system/two.lua")
_create_process_from_code("while true do flip() end", "wm", "/system/wm.lua")
for frame = 1, 5 do
  _run_process_slice(3, 0.5)
  flip()
end
printh("processes: " .. #_get_process_list())
_signal(33)
while true do flip() end'
out=$(run_machine "$m"); rc=$?
check "boot.lua runs, prints and quits with status 0" $([ $rc = 0 ] && echo "$out" | grep -qx "processes: 3"; echo $?)
check "root and created processes are logged" $(grep -q "creating process 1 \[root\] \[root\]" "$m/home/log.txt" && grep -q "creating process 3 wm /system/wm.lua" "$m/home/log.txt"; echo $?)

m=$(machine runtime_error)
image_from_scripts "$m" 'boot.lua=
_create_process_from_code("while true do flip() end", "two", "/system/two.lua")
_create_process_from_code([[
while true do
  local m = _read_message()
  while m do
    if m.event == "report_error" then printh("wm got: " .. m.content) end
    m = _read_message()
  end
  flip()
end]], "wm", "/system/wm.lua")
_create_process_from_code("local t = nil; t.x = 1", "bad", "/apps/bad.lua")
for frame = 1, 200 do
  for _, p in ipairs(_get_process_list()) do
    if p.id ~= 1 then _run_process_slice(p.id, 0.3) end
  end
  flip()
end
printh("bad process left: " .. _process_state(4))
_signal(33)
while true do flip() end'
out=$(run_machine "$m"); rc=$?
check "runtime error of process 4 reaches the window manager" $([ $rc = 0 ] && echo "$out" | grep -qx "wm got: \*runtime error"; echo $?)
check "the failed process is removed" $(echo "$out" | grep -qx "bad process left: -1"; echo $?)
check "runtime errors are logged" $(grep -q "SYSTEM ERROR: \*runtime error" "$m/home/log.txt"; echo $?)

m=$(machine kernel_error)
image_from_scripts "$m" 'boot.lua=local t = nil; t.x = 1'
out=$(run_machine "$m"); rc=$?
check "runtime error in the root process ends the program with failure" $([ $rc != 0 ] && echo "$out" | grep -qx "\*\* RUNTIME ERROR IN KERNEL \*\*"; echo $?)

m=$(machine reboots)
image_from_scripts "$m" 'boot.lua=
local n = fetch("/boots.pod") or 0
n = n + 1
store("/boots.pod", n)
printh("boot " .. n)
if n < 2 then _signal(34) else _signal(33) end
while true do flip() end'
out=$(run_machine "$m"); rc=$?
check "reboot runs boot.lua again" $([ $rc = 0 ] && [ "$(echo "$out" | grep -c '^boot ')" = 2 ] && grep -q -- "--- rebooting ---" "$m/home/log.txt"; echo $?)

m=$(machine exported_cart)
mkdir -p "$work/cart_src"
printf 'printh("cart ran as " .. pid())\n_signal(33)\nwhile true do flip() end\n' > "$work/cart_src/main.lua"
image_from_scripts "$m" 'boot.lua=
_create_process_from_code("while true do flip() end", "two", "/system/two.lua")
_create_process_from_code(fetch("/system/wm.lua"), "wm", "/system/wm.lua")
while true do
  for _, p in ipairs(_get_process_list()) do
    if p.id ~= 1 then _run_process_slice(p.id, 0.3) end
  end
  flip()
end' 'wm.lua=
local code = fetch("/ram/expcart/main.lua")
if code then _create_process_from_code(code, "cart", "/ram/expcart/main.lua") end
while true do flip() end' -- -name demo -cart "$work/cart_src"
out=$(run_machine "$m"); rc=$?
check "exported cartridge mounts at /ram/expcart and runs" $([ $rc = 0 ] && echo "$out" | grep -qx "cart ran as 4"; echo $?)
timeout 60 "$m/orvalune" -x >/dev/null 2>&1
check "without -home, the image name names the data folder" $([ -f "$XDG_DATA_HOME/orvalune/exp/demo/log.txt" ] && [ -f "$XDG_DATA_HOME/orvalune/exp/demo/orvalune_config.txt" ]; echo $?)

m=$(machine bundled)
cp "$bundled" "$m/sysrom.dat"
timeout 3 "$m/orvalune" -x -home "$m/home" >/dev/null 2>&1; rc=$?
check "bundled image boots and keeps running" $([ $rc = 124 ] && grep -q "creating process 3 wm /system/wm.lua" "$m/home/log.txt"; echo $?)
