# The file history: a script writes, rewrites and deletes host files with the setting on, then
# reads every past version back through the history queries.

m=$(machine anywhen_recording)
image_from_scripts "$m" 'boot.lua=
_apply_system_settings({anywhen = true})
local raw = "--[[mox_format=\"raw\",metadata_format=\"none\"]]"
local function next_second()
  local s = date("!%H:%M:%S")
  repeat flip() until date("!%H:%M:%S") ~= s
end
local text = ""
for i = 1, 60 do text = text .. "line " .. i .. " of the notes\n" end
local seed, noise = 7, {}
for i = 1, 2000 do
  seed = (seed * 1103515245 + 12345) % 2147483648
  noise[i] = string.char(97 + seed // 65536 % 26)
end
local versions = {text, (text:gsub("line 30 ", "LINE 30 ")), table.concat(noise)}
for _, v in ipairs(versions) do
  store("/notes.txt", v, raw)
  next_second()
end
mkdir("/folder")
_fdelete("/notes.txt")
local day = date("!%Y-%m-%d")
local moments = _list_anywhen_by_day("/notes.txt @ " .. day)
printh("moments: " .. #moments)
for i, m in ipairs(moments) do
  local got = _fetch_anywhen("/notes.txt @ " .. day .. "_" .. m:sub(1, 8))
  printh("version " .. i .. (got == versions[i] and " ok" or " differs"))
end
printh("after delete: " .. tostring((_fetch_anywhen("/notes.txt @ " .. day .. "_23:59:59"))))
printh("root: " .. table.concat(_list_anywhen_folder_moment(" @ " .. day .. "_23:59:59"), ","))
printh("days: " .. table.concat(_list_anywhen_by_loc("/notes.txt"), ",") .. " today " .. day)
_signal(33)
while true do flip() end'
out=$(run_machine "$m"); rc=$?
check "history: three versions listed" $([ $rc = 0 ] && echo "$out" | grep -qx "moments: 3"; echo $?)
check "history: each version fetched back exactly" \
    $([ "$(echo "$out" | grep -cx "version [123] ok")" = 3 ]; echo $?)
check "history: nothing after the deletion" $(echo "$out" | grep -qx "after delete: nil"; echo $?)
check "history: the folder listing at the day's end" $(echo "$out" | grep -qx "root: folder"; echo $?)
check "history: the day is listed for the file" \
    $(echo "$out" | grep -q "^days: \([0-9-]*\) today \1$"; echo $?)
log=$(ls "$m"/home/anywhen/*/*.log 2>/dev/null | head -n 1)
check "history: the small change is a delta, the others blobs" \
    $([ -n "$log" ] && grep -q "^+ [0-9a-f]\{32\} /notes.txt$" "$log" && grep -q "^| " "$log" &&
      [ "$(ls "$m/home/anywhen/blob" | wc -l)" = 2 ]; echo $?)

m=$(machine anywhen_off)
image_from_scripts "$m" 'boot.lua=
store("/notes.txt", "text")
mkdir("/folder")
_signal(33)
while true do flip() end'
out=$(run_machine "$m"); rc=$?
check "history: nothing recorded with the setting off" $([ $rc = 0 ] && [ ! -e "$m/home/anywhen" ]; echo $?)
