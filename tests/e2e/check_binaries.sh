#!/usr/bin/env bash
# Checks of the built Windows programs, read from their PE headers with the
# mingw-w64 binutils (no Wine needed):
#
#   check_binaries.sh exports   OBJDUMP NAMES LIBRARY DLL...
#       each DLL exports exactly the names listed in the file NAMES (one a
#       line, '#' comments), undecorated, under the DLL name LIBRARY
#   check_binaries.sh def       DEF_FILE NAMES LIBRARY
#       the .def file that builds the DLL lists the same names and LIBRARY
#   check_binaries.sh imports   OBJDUMP FILE DLL...
#       FILE imports none of the DLLs named (letter case does not count)
#   check_binaries.sh program   OBJDUMP EXE FORMAT SUBSYSTEM
#       EXE is a PE image of FORMAT (pei-x86-64, pei-i386) for SUBSYSTEM
#       (gui or console)
#   check_binaries.sh admin     WINDRES EXE
#       EXE embeds a manifest (RT_MANIFEST, ID 1) that asks for
#       requireAdministrator
set -uo pipefail

fail() { printf 'FAIL: %s\n' "$*" >&2; exit 1; }

# Export names of a .def file: the first word of each line after EXPORTS,
# without comments, ordinals or attributes.
def_exports() {
  sed -e 's/;.*//' -e 's/\r$//' "$1" |
    awk 'toupper($1) == "EXPORTS" { on = 1; next } on && NF { print $1 }' | sort
}

def_library() {
  sed -e 's/;.*//' -e 's/\r$//' "$1" | awk 'toupper($1) == "LIBRARY" { print $2; exit }'
}

# Names of a list file: one a line, without '#' comments and blank lines.
list_names() {
  sed -e 's/#.*//' -e 's/\r$//' "$1" | awk 'NF { print $1 }' | sort
}

cmd_def() {
  local def="$1" names="$2" library="$3"
  [ -f "$def" ] || fail "no .def file $def"
  [ -f "$names" ] || fail "no list of names $names"
  if [ "$(def_exports "$def")" != "$(list_names "$names")" ]; then
    printf '%s differs from %s (< listed, > .def):\n' "$def" "$names" >&2
    diff <(list_names "$names") <(def_exports "$def") >&2
    fail "exports of $def"
  fi
  [ "$(def_library "$def")" = "$library" ] || fail "$def names LIBRARY '$(def_library "$def")', expected '$library'"
  printf 'ok: %s lists the %d names as %s\n' "$def" "$(list_names "$names" | wc -l)" "$library"
}

cmd_imports() {
  local objdump="$1" file="$2"; shift 2
  [ -f "$file" ] || fail "missing $file"
  local dump imported dll
  dump="$("$objdump" -p "$file")" || fail "$objdump cannot read $file"
  imported="$(printf '%s\n' "$dump" | awk '$1 == "DLL" && $2 == "Name:" { print tolower($3) }')"
  [ -n "$imported" ] || fail "$file imports nothing: not a program of ours"
  for dll in "$@"; do
    if printf '%s\n' "$imported" | grep -qxF "$(printf '%s' "$dll" | tr 'A-Z' 'a-z')"; then
      fail "$file imports $dll"
    fi
  done
  printf 'ok: %s imports none of %s\n' "$file" "$*"
}

cmd_exports() {
  local objdump="$1" names="$2" library="$3"; shift 3
  [ -f "$names" ] || fail "no list of names $names"
  local expected
  expected="$(list_names "$names")"
  [ -n "$expected" ] || fail "$names lists no exports"
  local dll dump actual name
  for dll in "$@"; do
    [ -f "$dll" ] || fail "missing $dll"
    dump="$("$objdump" -p "$dll")" || fail "$objdump cannot read $dll"
    actual="$(printf '%s\n' "$dump" |
      awk '/^\[Ordinal\/Name Pointer\] Table/ { on = 1; next } on && /^[ \t]*\[ *[0-9]+\]/ { print $NF; next } on { exit }' |
      sort)"
    if [ "$actual" != "$expected" ]; then
      printf 'export table of %s differs from %s (< expected, > built):\n' "$dll" "$names" >&2
      diff <(printf '%s\n' "$expected") <(printf '%s\n' "$actual") >&2
      fail "exports of $dll"
    fi
    name="$(printf '%s\n' "$dump" | awk '/^Name[ \t]/ && NF >= 3 { print $NF; exit }')"
    [ "$name" = "$library" ] || fail "$dll calls itself '$name' in its export table, expected '$library'"
    printf 'ok: %s exports %d names as %s\n' "$dll" "$(printf '%s\n' "$expected" | wc -l)" "$library"
  done
}

cmd_program() {
  local objdump="$1" exe="$2" format="$3" subsystem="$4" code
  case "$subsystem" in
    gui) code='00000002' ;;
    console) code='00000003' ;;
    *) fail "unknown subsystem $subsystem" ;;
  esac
  [ -f "$exe" ] || fail "missing $exe"
  local dump actual_format actual_code
  dump="$("$objdump" -p "$exe")" || fail "$objdump cannot read $exe"
  actual_format="$(printf '%s\n' "$dump" | sed -n 's/.*file format \([^ ]*\).*/\1/p' | head -n1)"
  [ "$actual_format" = "$format" ] || fail "$exe is $actual_format, expected $format"
  actual_code="$(printf '%s\n' "$dump" | awk '$1 == "Subsystem" { print $2; exit }')"
  [ "$actual_code" = "$code" ] || fail "$exe has subsystem $actual_code, expected $code ($subsystem)"
  # File characteristics: IMAGE_FILE_EXECUTABLE_IMAGE (0x2) set, IMAGE_FILE_DLL (0x2000) clear.
  local flags
  flags="$(printf '%s\n' "$dump" | awk '$1 == "Characteristics" { print $2; exit }')"
  [ -n "$flags" ] || fail "$exe has no file characteristics"
  (( (flags & 0x2) != 0 )) || fail "$exe is not marked executable ($flags)"
  (( (flags & 0x2000) == 0 )) || fail "$exe is a DLL ($flags)"
  printf 'ok: %s is a %s %s program\n' "$exe" "$format" "$subsystem"
}

cmd_admin() {
  local windres="$1" exe="$2" rc manifest
  [ -f "$exe" ] || fail "missing $exe"
  rc="$("$windres" -i "$exe" -O rc 2>&1)" || fail "$windres cannot read the resources of $exe: $rc"
  # The resource block "1 24" (CREATEPROCESS_MANIFEST_RESOURCE_ID, RT_MANIFEST).
  manifest="$(printf '%s\n' "$rc" | awk '/^1 24([ \t]|$)/ { on = 1; next } on && /^END/ { exit } on { print }')"
  [ -n "$manifest" ] || fail "$exe embeds no manifest as resource 1 of type 24"
  # windres doubles the quotes inside its string literals.
  printf '%s\n' "$manifest" | grep -Eq 'requestedExecutionLevel[^>]*level=""requireAdministrator""' ||
    fail "the manifest of $exe does not ask for requireAdministrator"
  printf 'ok: %s asks for administrator rights\n' "$exe"
}

case "${1:-}" in
  exports) shift; [ $# -ge 4 ] || fail "usage: exports OBJDUMP NAMES LIBRARY DLL..."; cmd_exports "$@" ;;
  def) shift; [ $# -eq 3 ] || fail "usage: def DEF_FILE NAMES LIBRARY"; cmd_def "$@" ;;
  imports) shift; [ $# -ge 3 ] || fail "usage: imports OBJDUMP FILE DLL..."; cmd_imports "$@" ;;
  program) shift; [ $# -eq 4 ] || fail "usage: program OBJDUMP EXE FORMAT SUBSYSTEM"; cmd_program "$@" ;;
  admin) shift; [ $# -eq 2 ] || fail "usage: admin WINDRES EXE"; cmd_admin "$@" ;;
  *) fail "usage: check_binaries.sh exports|def|imports|program|admin ..." ;;
esac
