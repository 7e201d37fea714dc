# The boot sequence of a headless run: it ends once the window manager exists and the boot
# screen has had its time, and the window manager sees it end.

m=$(machine boot_sequence)
image_from_scripts "$m" "boot.lua=$boot_with_wm" 'wm.lua=
local frames = 0
while stat(985) == 0 do
  frames += 1
  if frames > 1000 then printh("boot sequence never ended") _signal(33) end
  flip()
end
printh(string.format("boot finished after %d ms", stat(987)))
_signal(37)
_signal(33)
while true do flip() end'
out=$(run_machine "$m"); rc=$?
log="$m/home/log.txt"
check "the window manager sees the boot sequence end after 2,200 ms" $([ $rc = 0 ] && echo "$out" | grep -Eqx "boot finished after 22[0-9][0-9] ms"; echo $?)
check "the end of the boot sequence is logged once, after the window manager started" \
    $([ "$(grep -c '@@ finished_boot_sequence' "$log")" = 1 ] &&
      [ "$(grep -n 'creating process 3 wm' "$log" | cut -d: -f1)" -lt "$(grep -n '@@ finished_boot_sequence' "$log" | cut -d: -f1)" ]; echo $?)
