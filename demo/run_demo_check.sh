#!/usr/bin/env bash
# The README's first command as ./run demo runs it (tools/demo on the x86_64
# build): both parts must end well, by the exit status and by what their last
# lines say. Arguments: the x86_64 build folder, the output folder.
set -u
here="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
out="$("$here/../tools/demo" "$1" "$2" 2>&1)"
rc=$?
printf '%s\n' "$out"
fail() { echo "FAILED: $*"; exit 1; }
[ "$rc" -eq 0 ] || fail "the demo exited $rc"
grep -q '^== done: the update succeeded' <<<"$out" || fail "the operator's job did not end in success"
[ "$(tail -n 1 <<<"$out")" = "== device flash holds the firmware file's sections as the host sent them" ] ||
  fail "the update engine's job did not end with the flash holding the sections"
echo "== ./run demo passed"
