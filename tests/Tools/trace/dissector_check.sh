#!/usr/bin/env bash
# The Wireshark dissector on traces of the virtual token, read with tshark: a plain session and
# an encrypted one whose file write spans three frames. Exit 77 (skipped) without tshark.
set -euo pipefail
vexatoken="$1"
lua="$2"
command -v tshark >/dev/null || { echo "tshark is not installed: skipped"; exit 77; }
dir="$(mktemp -d)"
trap 'rm -rf "$dir"' EXIT
head -c 300 /dev/zero | tr '\0' 'x' > "$dir/f"
"$vexatoken" --backend sim --trace "$dir/plain.btsnoop" info >/dev/null
"$vexatoken" --backend sim --key secret --trace "$dir/enc.btsnoop" put "$dir/f" /f >/dev/null

failed=0
check() {  # check TRACE TEXT...: every TEXT is in tshark's JSON of TRACE, and no Lua error is
    local json="$dir/$(basename "$1").json"
    tshark -X lua_script:"$lua" -r "$1" -T json > "$json" 2>"$dir/err"
    if grep -qi "lua.*error" "$dir/err" "$json"; then cat "$dir/err"; failed=1; fi
    local trace="$1"
    shift
    for text in "$@"; do
        grep -qF -- "$text" "$json" || { echo "$(basename "$trace"): missing $text"; failed=1; }
    done
}
check "$dir/plain.btsnoop" '"vexatoken.command_name": "syncSessionKey"' '"vexatoken.command_name": "getSerial"' \
    '"vexatoken.serial": "24000017"' '"vexatoken.battery": "87"' '"vexatoken.version": "03"' \
    '"vexatoken.status.text": "No error"' '"vexatoken.crc.status": "Good"' '"vexatoken.frame.package_length": "4"'
check "$dir/enc.btsnoop" '"vexatoken.encrypted_length": "16"' '"vexatoken.decrypted": "1"' \
    '"vexatoken.command_name": "openFile"' '"vexatoken.file.path": "/f"' '"vexatoken.command_name": "writeToFile"' \
    '"vexatoken.frames": "3"' '"vexatoken.file.count": "300"' '"vexatoken.file.data": "78:78:78' \
    '"vexatoken.command_name": "closeFile"' '"vexatoken.file.handle": "1"'
exit $failed
