#!/usr/bin/env bash
# The README's first command as ./run demo runs it (tools/demo on the x86_64
# build): every part must end well, by the exit status and by what their last
# lines say. Arguments: the x86_64 build folder, the output folder.
set -u
here="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
out="$("$here/../tools/demo" "$1" "$2" 2>&1)"
rc=$?
printf '%s\n' "$out"
fail() { echo "FAILED: $*"; exit 1; }
[ "$rc" -eq 0 ] || fail "the demo exited $rc"
grep -q '^== done: the update succeeded' <<<"$out" || fail "the operator's job did not end in success"
[ "$(grep -A1 '^   part 2' <<<"$out" | tail -n 1)" = "== device flash holds the firmware file's sections as the host sent them" ] ||
  fail "the update engine's job did not end with the flash holding the sections"
grep -q '^PASSED  Corvane_RX20 SN12345678AB  version 2.3.0.7, verified' <<<"$out" ||
  fail "the console update did not pass with the version verified"
[ "$(tail -n 1 <<<"$out")" = "exit code 0" ] || fail "the console update did not end with exit code 0"
echo "== ./run demo passed"
