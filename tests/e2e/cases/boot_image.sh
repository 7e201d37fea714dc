# The system image beside the program decides whether it boots.

m=$(machine no_image)
out=$("$m/orvalune" -x -home "$work/h1" 2>&1); rc=$?
check "no sysrom.dat: message and status 1" $([ $rc = 1 ] && echo "$out" | grep -qx "sysrom.dat not found"; echo $?)
check "no sysrom.dat: logged in the -home folder" $(grep -q "sysrom.dat not found" "$work/h1/log.txt"; echo $?)
check "no sysrom.dat: log starts with the image path" $(head -1 "$work/h1/log.txt" | grep -q "load_orvalune_dat_files: sysrom.dat // from: $m/sysrom.dat"; echo $?)
check "no sysrom.dat: version logged" $(grep -q "booting orvalune 0.2.2b" "$work/h1/log.txt"; echo $?)

m=$(machine one_record)
printf 'x' > "$work/r0"
write_image "$m/sysrom.dat" "$work/r0"
out=$("$m/orvalune" -x -home "$work/h2" 2>&1); rc=$?
check "one record is not a system image" $([ $rc = 1 ] && echo "$out" | grep -qx "sysrom.dat not found"; echo $?)

m=$(machine found_by_path)
write_image "$m/sysrom.dat" "$work/r0"
out=$(cd "$m" && PATH="$m:$PATH" orvalune -x -home "$work/h3" 2>&1); rc=$?
check "program started through PATH finds the image beside itself" $([ $rc = 1 ] && grep -q "from: $m/sysrom.dat" "$work/h3/log.txt"; echo $?)

m=$(machine home_last)
out=$("$m/orvalune" -x -home 2>&1); rc=$?
check "-home as the last word is harmless" $([ $rc = 1 ]; echo $?)
