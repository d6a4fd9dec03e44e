#!/usr/bin/env bash
# Tests of the release packages (packaging/make-packages).
#
#   package_test.sh build      SRC X86_64_TREE I686_TREE WORK
#       makes a stand-in folder of the chip makers' files and a throwaway
#       signing certificate, and builds into WORK: the signed release packages,
#       the same unsigned, and an unsigned x64 package of the next version
#       whose stand-in files changed
#   package_test.sh tables     ...   the MSI tables, read back with msiinfo and msiextract
#   package_test.sh zip        ...   each zip holds what its MSI installs
#   package_test.sh signatures ...   osslsigncode verify passes, and fails for a changed byte
#   package_test.sh install    ... HELPER.exe
#       under Wine: install, start the installed updater, upgrade, refused
#       downgrade, removal
set -uo pipefail

fail() { printf 'FAIL: %s\n' "$*" >&2; exit 1; }
ok() { printf 'ok: %s\n' "$*"; }

cmd="${1:-}"
[ $# -ge 5 ] || fail "usage: package_test.sh build|tables|zip|signatures|install SRC X86_64_TREE I686_TREE WORK [HELPER]"
src="$2" x64_tree="$3" x86_tree="$4" work="$5"

# shellcheck disable=SC1091
. "$x64_tree/product.env" || fail "no product.env in $x64_tree"
version="$CORVANE_PRODUCT_VERSION" name="$CORVANE_PRODUCT_NAME" maker="$CORVANE_MAKER"
upgrade_code="{$CORVANE_UPGRADE_CODE}"
IFS=. read -r v1 v2 v3 v4 <<<"$version"
next="$v1.$v2.$((v3 + 1)).$v4"
password='throwaway pass & more'

release="$work/dist-release" unsigned="$work/dist-unsigned" nextdir="$work/dist-next"
msi_of() { printf '%s/Corvane_FW_Updater-%s-%s.msi' "$1" "$2" "$3"; }
zip_of() { printf '%s/Corvane_FW_Updater-%s-%s.zip' "$1" "$2" "$3"; }

# --- the stand-in files of the chip makers --------------------------------

put() { # file content
  mkdir -p "$(dirname "$1")"
  printf '%s\n' "$2" >"$1"
}

make_vendor() { # folder generation
  local v="$1" g="$2" d
  put "$v/bootloader.img" "stand-in FX3 boot image, generation $g"
  put "$v/RT1060_Flashloader_nopadding.bin" "stand-in RT1060 flash loader"
  put "$v/PnPutil.exe" "stand-in package tool, 32-bit"
  # Files that come from Windows may differ in letter case from the names the
  # programs use.
  put "$v/pnputil7.EXE" "stand-in package tool, 64-bit"
  put "$v/wdi.exe" "stand-in WinUSB installer, 32-bit"
  put "$v/wdi_x64.exe" "stand-in WinUSB installer, 64-bit"
  for d in win7/x86 win7/x64 win8/x86 win8/x64; do
    put "$v/Drivers/$d/cyusb3.inf" "[Version] ; $d"
    put "$v/Drivers/$d/cyusb3.cat" "catalog $d"
    [ "$g" = 2 ] && [ "$d" = win7/x86 ] || put "$v/Drivers/$d/cyusb3.sys" "driver $d"
  done
  put "$v/Drivers/win8/x64/read me & 'notes'.txt" "a name that needs escaping in XML"
  [ "$g" = 2 ] && put "$v/Drivers/win8/x64/cyusb3_extra.cat" "added in generation 2"
  # A 32-bit library: the machine field of its PE header says so.
  { printf 'MZ'; head -c 58 /dev/zero; printf '\x40\0\0\0PE\0\0\x4c\x01'; head -c 64 /dev/zero; } >"$v/SunplusCamera.dll"
  put "$v/notes.txt" "not a file the programs use"
}

# Where each file lies in an installed package, relative to the program folder.
expected_files() { # arch vendor-folder
  printf '%s\n' Corvane_FW_Updater.exe corvane-fw.exe KivoFWSW.dll Tandemset.exe KivoIcon.ico bootloader.img \
    RT1060_Flashloader_nopadding.bin PnPutil.exe PnPutil7.exe wdi.exe wdi_x64.exe
  [ "$1" = x86 ] && echo SunplusCamera.dll
  (cd "$2" && find Drivers -type f)
}

# --- reading an MSI -------------------------------------------------------

table() { # msi table: the rows, without the three header lines
  # msiinfo writes the streams of a table (the Icon table's icons) into the
  # current folder: run it in a folder of the test's own.
  local msi
  msi="$(realpath "$1")"
  mkdir -p "$work/streams"
  (cd "$work/streams" && msiinfo export "$msi" "$2") | tr -d '\r' | tail -n +4
}

# Every file of the package as "folder path/file name", the folders resolved
# through the Directory table up to TARGETDIR (left out), and its size.
msi_paths_sizes() { # msi
  local msi="$1"
  awk -F'\t' '
    FILENAME == ARGV[1] { parent[$1] = $2; dir[$1] = $3; next }
    FILENAME == ARGV[2] { compdir[$1] = $3; next }
    {
      d = compdir[$2]; path = $3; sub(/^[^|]*\|/, "", path); size = $4
      while (d != "" && d != "TARGETDIR") {
        n = dir[d]; sub(/^[^|]*\|/, "", n)
        path = (n == "." ? d : n) "/" path; d = parent[d]
      }
      print path "\t" size
    }' <(table "$msi" Directory) <(table "$msi" Component) <(table "$msi" File) | LC_ALL=C sort
}
msi_paths() { # msi
  msi_paths_sizes "$1" | cut -f1
}

property() { # msi name
  table "$1" Property | awk -F'\t' -v n="$2" '$1 == n { print $2 }'
}

extract() { # msi folder: the files as Windows Installer would lay them out
  rm -rf "$2" && mkdir -p "$2" && msiextract -C "$2" "$1" >/dev/null || fail "msiextract cannot read $1"
}

# The program folder in an extraction (msiextract puts the 32-bit Program
# Files folder under "Program Files", the 64-bit one at the top).
program_folder() { # extraction
  local d
  d="$(find "$1" -type d -path '*/Corvane/Firmware Updater' -print -quit)"
  [ -n "$d" ] || fail "no Corvane/Firmware Updater folder in $1"
  printf '%s' "$d"
}

root_of() { # arch: the program folder in the Directory table
  if [ "$1" = x64 ]; then echo "ProgramFiles64Folder/Corvane/Firmware Updater"; else echo "ProgramFilesFolder/Corvane/Firmware Updater"; fi
}

same_lists() { # what expected actual
  [ "$2" = "$3" ] && return 0
  printf '%s differ (< expected, > actual):\n' "$1" >&2
  diff <(printf '%s\n' "$2") <(printf '%s\n' "$3") >&2
  fail "$1"
}

strip_for() { # arch of the program
  if [ "$1" = x86 ]; then echo i686-w64-mingw32-strip; else echo x86_64-w64-mingw32-strip; fi
}

# --- build ----------------------------------------------------------------

cmd_build() {
  rm -rf "$work" && mkdir -p "$work"
  make_vendor "$work/vendor" 1
  make_vendor "$work/vendor-next" 2
  openssl req -x509 -newkey rsa:2048 -nodes -days 2 -subj "/CN=Corvane throwaway test signer" \
    -addext extendedKeyUsage=codeSigning -keyout "$work/signer.key" -out "$work/signer.pem" >/dev/null 2>&1 ||
    fail "openssl cannot make a certificate"
  openssl pkcs12 -export -inkey "$work/signer.key" -in "$work/signer.pem" -out "$work/signer.p12" \
    -passout "pass:$password" >/dev/null 2>&1 || fail "openssl cannot make a PKCS#12 file"

  # A time-stamp server of our own on the loopback address (openssl ts
  # behind a small HTTP server), with a throwaway TSA certificate.
  openssl req -x509 -newkey rsa:2048 -nodes -days 2 -subj "/CN=Corvane throwaway time stamps" \
    -addext "extendedKeyUsage=critical,timeStamping" -keyout "$work/tsa.key" -out "$work/tsa.pem" >/dev/null 2>&1 ||
    fail "openssl cannot make a TSA certificate"
  printf '%s\n' "[ tsa ]" "default_tsa = tsa_config" "[ tsa_config ]" "serial = $work/tsa.serial" \
    "signer_cert = $work/tsa.pem" "signer_key = $work/tsa.key" "signer_digest = sha256" \
    "default_policy = 1.3.6.1.4.1.99999.1" "digests = sha256, sha384, sha512" "accuracy = secs:1" \
    "ess_cert_id_alg = sha256" >"$work/tsa.cnf"
  echo 01 >"$work/tsa.serial"
  python3 "$(dirname "${BASH_SOURCE[0]}")/tsa_responder.py" "$work/tsa.cnf" "$work/tsa.port" \
    </dev/null >"$work/tsa.log" 2>&1 &
  tsa_responder=$!
  trap 'kill $tsa_responder 2>/dev/null || true' EXIT
  for _ in $(seq 100); do [ -s "$work/tsa.port" ] && break; sleep 0.1; done
  [ -s "$work/tsa.port" ] || fail "the time-stamp server did not start"
  local stamp_url="http://127.0.0.1:$(cat "$work/tsa.port")"

  local mk="$src/packaging/make-packages" log
  CORVANE_VENDOR_FILES="$work/vendor" CORVANE_SIGN_CERT="$work/signer.p12" CORVANE_SIGN_PASSWORD="$password" \
    CORVANE_SIGN_TIMESTAMP_URL="$stamp_url" \
    "$mk" "$x64_tree" "$x86_tree" "$release" >"$work/release.log" 2>&1 ||
    { cat "$work/release.log"; fail "make-packages (signed release)"; }
  # The same key held in a token (SoftHSM's PKCS#11 module), as public
  # code-signing keys are.
  export SOFTHSM2_CONF="$work/softhsm2.conf"
  mkdir -p "$work/tokens" && echo "directories.tokendir = $work/tokens" >"$SOFTHSM2_CONF"
  openssl pkcs8 -topk8 -nocrypt -in "$work/signer.key" -out "$work/signer.p8" &&
    softhsm2-util --init-token --free --label corvane --pin 4711 --so-pin 0815 >/dev/null &&
    softhsm2-util --import "$work/signer.p8" --token corvane --label signer --id 01 --pin 4711 >/dev/null ||
    fail "the key cannot be put into a SoftHSM token"
  env -u CORVANE_SIGN_CERT CORVANE_SIGN_PKCS11_MODULE=/usr/lib/softhsm/libsofthsm2.so \
    CORVANE_SIGN_PKCS11_KEY="pkcs11:token=corvane;object=signer;type=private" \
    CORVANE_SIGN_PKCS11_CERTS="$work/signer.pem" CORVANE_SIGN_PASSWORD=4711 \
    "$mk" --arch x86 "$x64_tree" "$x86_tree" "$work/dist-token" >"$work/token.log" 2>&1 ||
    { cat "$work/token.log"; fail "make-packages (key in a token)"; }
  verify "$(msi_of "$work/dist-token" "$version" x86)" && grep -q "Subject: /CN=Corvane throwaway test signer" "$work/verify.log" ||
    { cat "$work/verify.log"; fail "the package signed with the token's key does not verify"; }
  env -u CORVANE_SIGN_CERT CORVANE_VENDOR_FILES="$work/vendor" \
    "$mk" "$x64_tree" "$x86_tree" "$unsigned" >"$work/unsigned.log" 2>&1 ||
    { cat "$work/unsigned.log"; fail "make-packages (unsigned)"; }
  env -u CORVANE_SIGN_CERT CORVANE_VENDOR_FILES="$work/vendor-next" \
    "$mk" --version "$next" --arch x64 "$x64_tree" "$x86_tree" "$nextdir" >"$work/next.log" 2>&1 ||
    { cat "$work/next.log"; fail "make-packages (next version)"; }
  cat "$work/release.log"

  local dir arch
  for dir in "$release" "$unsigned"; do
    for arch in x64 x86; do
      [ -f "$(msi_of "$dir" "$version" $arch)" ] && [ -f "$(zip_of "$dir" "$version" $arch)" ] ||
        fail "$dir lacks the $arch packages"
    done
    (cd "$dir" && sha256sum --quiet -c SHA256SUMS) || fail "SHA256SUMS of $dir"
  done
  [ "$(ls "$nextdir")" = "$(printf '%s\n' "Corvane_FW_Updater-$next-x64.msi" "Corvane_FW_Updater-$next-x64.zip" SHA256SUMS)" ] ||
    fail "--arch x64 built more or less than the x64 packages: $(ls "$nextdir" | tr '\n' ' ')"

  # The output says what it took from the vendor folder, and whether it signed.
  for log in "$work/release.log" "$work/unsigned.log"; do
    local line
    for line in "included: bootloader.img" "included: RT1060_Flashloader_nopadding.bin" "included: PnPutil.exe" \
      "included: PnPutil7.exe" "included: wdi.exe" "included: wdi_x64.exe" "included: Drivers\\ (13 files" \
      "included: SunplusCamera.dll (Sunplus camera library) in the x86 package only" "ignored:  notes.txt"; do
      grep -qF -- "$line" "$log" || fail "$(basename "$log") does not say \"$line\""
    done
  done
  grep -q "^signing with $work/signer.p12: .*, time-stamped by http://127.0.0.1:" "$work/release.log" ||
    fail "the signed build does not say it signs with a time stamp"
  grep -q "^not signed: CORVANE_SIGN_CERT is not set" "$work/unsigned.log" || fail "the unsigned build does not say so"
  grep -q "^not signed" "$work/release.log" && fail "the signed build says it did not sign"

  # Without a vendor folder the packages hold our programs only, and say so.
  env -u CORVANE_SIGN_CERT -u CORVANE_VENDOR_FILES "$mk" --arch x86 "$x64_tree" "$x86_tree" "$work/dist-bare" \
    >"$work/bare.log" 2>&1 || { cat "$work/bare.log"; fail "make-packages without vendor files"; }
  grep -q "^no vendor folder" "$work/bare.log" || fail "the build without vendor files does not say so"
  same_lists "files of the package without vendor files" \
    "$(printf '%s\n' Corvane_FW_Updater.exe KivoFWSW.dll KivoIcon.ico Tandemset.exe corvane-fw.exe | LC_ALL=C sort)" \
    "$(msi_paths "$(msi_of "$work/dist-bare" "$version" x86)" | sed "s|^$(root_of x86)/||")"
  # A signing certificate without its password is refused, not signed with none.
  env -u CORVANE_SIGN_PASSWORD CORVANE_SIGN_CERT="$work/signer.p12" "$mk" --arch x86 "$x64_tree" "$x86_tree" \
    "$work/dist-nopass" >"$work/nopass.log" 2>&1 && fail "a certificate without CORVANE_SIGN_PASSWORD was accepted"
  # A fourth version number would let two builds install beside each other.
  "$mk" --version "$v1.$v2.$v3.1" --arch x86 "$x64_tree" "$x86_tree" "$work/dist-fourth" >"$work/fourth.log" 2>&1 &&
    fail "the version $v1.$v2.$v3.1 was packaged"
  grep -q "has a fourth number" "$work/fourth.log" || fail "the refused version does not say why"
  rm -rf "$work/dist-bare" "$work/dist-nopass" "$work/dist-fourth" "$work/dist-token"
  ok "packages built into $work"
}

# --- tables -----------------------------------------------------------------

cmd_tables() {
  local arch msi ex root
  local codes=""
  for arch in x64 x86; do
    msi="$(msi_of "$release" "$version" $arch)" root="$(root_of $arch)"
    local template
    template="$(msiinfo suminfo "$msi" | sed -n 's/^Template: //p')"
    if [ $arch = x64 ]; then [ "$template" = "x64;1033" ]; else [ "$template" = "Intel;1033" ]; fi ||
      fail "$arch package is for the platform '$template'"

    local p expected
    for p in "ProductName=$name" "ProductVersion=$version" "Manufacturer=$maker" "UpgradeCode=$upgrade_code" \
      "ALLUSERS=1" "ARPPRODUCTICON=KivoIcon.ico"; do
      [ "$(property "$msi" "${p%%=*}")" = "${p#*=}" ] ||
        fail "$arch: property ${p%%=*} is '$(property "$msi" "${p%%=*}")', expected '${p#*=}'"
    done
    table "$msi" Icon | grep -q $'^KivoIcon.ico\t' || fail "$arch: no KivoIcon.ico in the Icon table"
    codes+="$(property "$msi" ProductCode) "

    # Newer packages replace this one; older ones are only detected, and refused.
    same_lists "$arch upgrade rows" \
      "$(printf '%s\t\t%s\t\t1\t\tWIX_UPGRADE_DETECTED\n%s\t%s\t\t\t2\t\tWIX_DOWNGRADE_DETECTED' \
        "$upgrade_code" "$version" "$upgrade_code" "$version" | LC_ALL=C sort)" \
      "$(table "$msi" Upgrade | LC_ALL=C sort)"
    table "$msi" LaunchCondition | grep -q $'^NOT WIX_DOWNGRADE_DETECTED\tA newer version of '"$name"' is already installed' ||
      fail "$arch: no launch condition refuses a downgrade with its message"
    local seq
    seq="$(table "$msi" InstallExecuteSequence | awk -F'\t' '{ print $3, $1 }' | sort -n | awk '{ print $2 }' | tr '\n' ' ')"
    [[ "$seq" == *"FindRelatedProducts LaunchConditions "*"RemoveExistingProducts InstallInitialize "* ]] ||
      fail "$arch: the execute sequence does not find, refuse and remove related products in order: $seq"

    # Every file in its folder, in a component of the right width, installed
    # by the one feature.
    expected="$(expected_files $arch "$work/vendor" | sed "s|^|$root/|" | LC_ALL=C sort)"
    same_lists "$arch files in the File table" "$expected" "$(msi_paths "$msi")"
    awk -F'\t' -v arch=$arch '
      FILENAME == ARGV[1] { attr[$1] = $4; key[$1] = $6; next }
      FILENAME == ARGV[2] { feature[$2] = $1; next }
      {
        c = $2
        if (key[c] != $1) { print "FAIL: component " c " of " $3 " has the key path " key[c]; bad = 1 }
        if (((attr[c] % 512) >= 256) != (arch == "x64")) { print "FAIL: component of " $3 " has attributes " attr[c] " in the " arch " package"; bad = 1 }
        if (feature[c] != "Programs") { print "FAIL: " $3 " belongs to no feature"; bad = 1 }
      }
      END { exit bad }' <(table "$msi" Component) <(table "$msi" FeatureComponents) <(table "$msi" File) >&2 ||
      fail "$arch: components"

    # Start-menu entries: the updater and the driver installer, both started
    # in the program folder; the x86 package's are named apart (both may be installed).
    local suffix=""
    [ $arch = x86 ] && suffix=" (32-bit)"
    same_lists "$arch shortcuts" \
      "$(printf '%s\n' "MenuFolder|$name$suffix|[INSTALLDIR]Corvane_FW_Updater.exe|INSTALLDIR|KivoIcon.ico" \
        "MenuFolder|Install USB drivers$suffix|[INSTALLDIR]Tandemset.exe|INSTALLDIR|KivoIcon.ico")" \
      "$(table "$msi" Shortcut | awk -F'\t' '{ print $2 "|" $3 "|" $5 "|" $12 "|" $9 }' | LC_ALL=C sort)"
    table "$msi" Directory | grep -q $'^MenuFolder\tProgramMenuFolder\tCorvane$' ||
      fail "$arch: the entries are not in the Start menu's Corvane folder"

    # What the cabinet holds: the listed files, with the listed sizes, the
    # stand-ins byte for byte, the programs of the package's width with the
    # product's version resources.
    ex="$work/extract-$arch"
    extract "$msi" "$ex"
    local dir
    dir="$(program_folder "$ex")"
    same_lists "$arch extracted files" "$(expected_files $arch "$work/vendor" | LC_ALL=C sort)" \
      "$(cd "$dir" && find . -type f | sed 's|^\./||' | LC_ALL=C sort)"
    msi_paths_sizes "$msi" | while IFS=$'\t' read -r path size; do
      path="$dir/${path#"$root"/}"
      [ "$(stat -c %s "$path")" = "$size" ] || { echo "FAIL: $path has $(stat -c %s "$path") bytes, the table says $size" >&2; exit 1; }
    done || fail "$arch: file sizes"
    (cd "$work/vendor" && find Drivers -type f) | while IFS= read -r f; do
      cmp -s "$work/vendor/$f" "$dir/$f" || { echo "FAIL: $f differs from the vendor's file" >&2; exit 1; }
    done || fail "$arch: driver files"
    cmp -s "$work/vendor/pnputil7.EXE" "$dir/PnPutil7.exe" || fail "$arch: PnPutil7.exe is not the vendor's file"
    cmp -s "$work/vendor/bootloader.img" "$dir/bootloader.img" || fail "$arch: bootloader.img is not the vendor's file"
    cmp -s "$src/updater/resources/app.ico" "$dir/KivoIcon.ico" || fail "$arch: KivoIcon.ico is not the program's icon"

    local width=pei-x86-64 tool=x86_64-w64-mingw32
    [ $arch = x86 ] && width=pei-i386 tool=i686-w64-mingw32
    local prog want
    for prog in Corvane_FW_Updater.exe corvane-fw.exe KivoFWSW.dll Tandemset.exe; do
      want=$width
      [ $prog = Tandemset.exe ] && want=pei-i386
      "$tool-objdump" -f "$dir/$prog" | grep -q "file format $want" || fail "$arch: $prog is not $want"
      local rc
      rc="$(x86_64-w64-mingw32-windres -i "$dir/$prog" -O rc 2>/dev/null)" || fail "$arch: no resources in $prog"
      grep -q "FILEVERSION ${version//./, }\$" <<<"$rc" || fail "$arch: $prog has another file version than $version"
      grep -qF "VALUE \"CompanyName\", \"$maker\"" <<<"$rc" || fail "$arch: $prog names another maker"
      grep -qF "VALUE \"ProductName\", \"$name\"" <<<"$rc" || fail "$arch: $prog names another product"
      grep -qF "VALUE \"ProductVersion\", \"$version\"" <<<"$rc" || fail "$arch: $prog has another product version"
    done
    # The console program's folder on the system PATH: a feature of its own,
    # its entry written and taken out by the execute sequence.
    same_lists "$arch PATH entry" $'ConsolePath\t=-*PATH\t[~];[INSTALLDIR]\tConsolePath' "$(table "$msi" Environment)"
    table "$msi" FeatureComponents | grep -qx $'ConsoleOnPath\tConsolePath' || fail "$arch: the PATH entry has no feature of its own"
    table "$msi" Feature | grep -q $'^ConsoleOnPath\t.*\t1\t' || fail "$arch: the PATH feature is not on by default"
    seq="$(table "$msi" InstallExecuteSequence | awk -F'\t' '{ print $3, $1 }' | sort -n | awk '{ print $2 }' | tr '\n' ' ')"
    [[ "$seq" == *"InstallInitialize "*"RemoveEnvironmentStrings "*"InstallFiles "*"WriteEnvironmentStrings "*"InstallFinalize"* ]] ||
      fail "$arch: the execute sequence does not write and remove the PATH entry: $seq"
    ok "$arch package: properties, upgrade rows, $(wc -l <<<"$expected") files in their folders, shortcuts, PATH entry"

    # The unsigned package carries the production programs themselves, only
    # without their debugging information.
    local plain="$work/extract-unsigned-$arch" t
    extract "$(msi_of "$unsigned" "$version" $arch)" "$plain"
    for prog in Corvane_FW_Updater.exe corvane-fw.exe KivoFWSW.dll Tandemset.exe; do
      t="$x64_tree" tool="$(strip_for x64)"
      { [ $arch = x86 ] || [ $prog = Tandemset.exe ]; } && t="$x86_tree" tool="$(strip_for x86)"
      # strip stamps the image with the time unless told one: the link time
      # of the program (its PE header's TimeDateStamp).
      local epoch
      epoch="$(date -d "$(x86_64-w64-mingw32-objdump -p "$t/bin/$prog" | awk '/^Time\/Date\t/ { sub(/^Time\/Date[ \t]*/, ""); print; exit }')" +%s)"
      SOURCE_DATE_EPOCH="$epoch" "$tool" --strip-debug -o "$work/stripped.tmp" "$t/bin/$prog" || fail "strip $t/bin/$prog"
      cmp -s "$work/stripped.tmp" "$(program_folder "$plain")/$prog" ||
        fail "$arch: $prog is not the production program of $t/bin"
    done
    rm -f "$work/stripped.tmp"
  done
  local next_code
  next_code="$(property "$(msi_of "$nextdir" "$next" x64)" ProductCode)"
  [ "$(tr ' ' '\n' <<<"$codes $next_code" | grep -c .)" = 3 ] && [ "$(tr ' ' '\n' <<<"$codes $next_code" | sort -u | grep -c .)" = 3 ] ||
    fail "the packages do not have product codes of their own: $codes $next_code"
  [ "$(property "$(msi_of "$unsigned" "$version" x64)" ProductCode)" = "${codes%% *}" ] ||
    fail "two builds of the same version and architecture have different product codes"
  ok "product codes: one per version and architecture, the same on every build"
  # Installed side by side, the two packages share no component: removing one
  # would take the other's with it.
  local shared
  shared="$(comm -12 <(table "$(msi_of "$release" "$version" x64)" Component | cut -f2 | LC_ALL=C sort) \
    <(table "$(msi_of "$release" "$version" x86)" Component | cut -f2 | LC_ALL=C sort))"
  [ -z "$shared" ] || fail "the x64 and x86 packages share the components $shared"
  ok "the x64 and x86 packages share no component"
}

# --- zip --------------------------------------------------------------------

cmd_zip() {
  local arch z top dir
  for arch in x64 x86; do
    z="$(zip_of "$release" "$version" $arch)" top="Corvane_FW_Updater-$version-$arch"
    unzip -Z1 "$z" | grep -v "^$top/" | grep -q . && fail "$arch zip holds files outside its folder $top/"
    dir="$work/unzip-$arch"
    rm -rf "$dir" && mkdir -p "$dir" && unzip -q "$z" -d "$dir" || fail "unzip $z"
    extract "$(msi_of "$release" "$version" $arch)" "$work/extract-zip-$arch"
    diff -r "$(program_folder "$work/extract-zip-$arch")" "$dir/$top" >&2 ||
      fail "$arch zip and MSI hold different files"
    ok "$arch zip holds the MSI's $(find "$dir/$top" -type f | wc -l) files, byte for byte"
  done
}

# --- signatures ---------------------------------------------------------------

verify() { # file: osslsigncode's verdict against the throwaway certificate
  osslsigncode verify -CAfile "$work/signer.pem" -TSA-CAfile "$work/tsa.pem" -in "$1" >"$work/verify.log" 2>&1
}

cmd_signatures() {
  local arch dir f signed
  for arch in x64 x86; do
    dir="$work/extract-sig-$arch"
    extract "$(msi_of "$release" "$version" $arch)" "$dir"
    dir="$(program_folder "$dir")"
    signed=("$dir/Corvane_FW_Updater.exe" "$dir/corvane-fw.exe" "$dir/KivoFWSW.dll" "$dir/Tandemset.exe"
      "$(msi_of "$release" "$version" $arch)")
    for f in "${signed[@]}"; do
      verify "$f" || { cat "$work/verify.log" >&2; fail "$arch: the signature of $(basename "$f") does not verify"; }
      grep -q "Subject: /CN=Corvane throwaway test signer" "$work/verify.log" ||
        { cat "$work/verify.log" >&2; fail "$arch: $(basename "$f") is not signed by the throwaway signer"; }
      grep -qi "digest algorithm: SHA256" "$work/verify.log" ||
        { cat "$work/verify.log" >&2; fail "$arch: $(basename "$f") is not signed with SHA-256"; }
      grep -q "Timestamp Server Signature verification: ok" "$work/verify.log" &&
        grep -q "Subject: /CN=Corvane throwaway time stamps" "$work/verify.log" ||
        { cat "$work/verify.log" >&2; fail "$arch: $(basename "$f") carries no time stamp of the server"; }
    done
    # One byte changed in the middle of each signed file breaks its signature.
    for f in "${signed[@]}"; do
      local copy="$work/changed-$(basename "$f")" size at byte
      cp "$f" "$copy"
      size="$(stat -c %s "$copy")" at=$((size / 2))
      byte="$(od -An -tu1 -j$at -N1 "$copy" | tr -d ' ')"
      printf "\\$(printf '%03o' $(((byte + 1) % 256)))" | dd of="$copy" bs=1 seek=$at conv=notrunc status=none
      cmp -s "$f" "$copy" && fail "the byte of $copy did not change"
      verify "$copy" && { cat "$work/verify.log" >&2; fail "$arch: $(basename "$f") with a changed byte still verifies"; }
      rm -f "$copy"
    done
    ok "$arch: ${#signed[@]} signatures verify, and fail for a changed byte"
  done
  # Without a certificate nothing is signed.
  dir="$work/extract-nosig"
  extract "$(msi_of "$unsigned" "$version" x64)" "$dir"
  dir="$(program_folder "$dir")"
  for f in "$dir/"{Corvane_FW_Updater.exe,corvane-fw.exe,KivoFWSW.dll,Tandemset.exe} "$(msi_of "$unsigned" "$version" x64)"; do
    verify "$f" && fail "$(basename "$f") of the unsigned build carries a signature"
  done
  ok "the unsigned build carries no signature"
}

# --- install under Wine -------------------------------------------------------

cmd_install() {
  local helper="${6:?the installed-updater check program}"
  : "${WINEPREFIX:=${CORVANE_WINEPREFIX:-$src/build/wineprefix}}"
  export WINEPREFIX
  # Wine's menu builder would copy the Start-menu entries into this machine's
  # own desktop menus.
  export WINEDLLOVERRIDES="mscoree,mshtml=;winemenubuilder.exe=d"
  local wine="$src/tools/wine-exec" logs="$work/install"
  mkdir -p "$logs"
  winpath() { printf 'Z:%s' "${1//\//\\}"; }
  unixpath() { # C:\... of the prefix
    local p="${1//\\//}"
    printf '%s/drive_c/%s' "$WINEPREFIX" "${p#[Cc]:/}"
  }
  local installed="$WINEPREFIX/drive_c/Program Files/Corvane/Firmware Updater"
  local installed_win='C:\Program Files\Corvane\Firmware Updater'
  local old_msi new_msi old_code new_code
  old_msi="$(msi_of "$release" "$version" x64)" new_msi="$(msi_of "$nextdir" "$next" x64)"
  old_code="$(property "$old_msi" ProductCode)" new_code="$(property "$new_msi" ProductCode)"
  local uninstall='HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall'

  msiexec() { # log-name arguments...: msiexec's exit code
    local log="$logs/$1.log"; shift
    "$wine" msiexec "$@" /qn /l*v "$(winpath "$log")" >/dev/null
  }
  reg_value() { # key value
    "$wine" reg query "$1" /v "$2" 2>/dev/null | tr -d '\r' | awk -v v="$2" '$1 == v { $1 = ""; $2 = ""; sub(/^  /, ""); print }'
  }
  registered() { # key: whether it exists
    "$wine" reg query "$1" >/dev/null 2>&1
  }
  installed_files() {
    (cd "$installed" 2>/dev/null && find . -type f | sed 's|^\./||' | LC_ALL=C sort)
  }
  same_tree() { # msi what [other file...]: the program folder holds what the msi installs, byte for byte, and the others
    extract "$1" "$logs/expected"
    local want what="$2"
    want="$(program_folder "$logs/expected")"
    shift 2
    same_lists "$what: installed files" "$( (cd "$want" && find . -type f | sed 's|^\./||'; printf '%s\n' "$@") | grep . | LC_ALL=C sort)" \
      "$(installed_files)"
    (cd "$want" && find . -type f) | while IFS= read -r f; do
      cmp -s "$want/$f" "$installed/$f" || { echo "FAIL: $what: $f differs from the package's" >&2; exit 1; }
    done || fail "$what: installed contents"
  }

  local x86_msi x86_code
  x86_msi="$(msi_of "$release" "$version" x86)" x86_code="$(property "$x86_msi" ProductCode)"

  local environment='HKLM\System\CurrentControlSet\Control\Session Manager\Environment'
  system_path() { reg_value "$environment" PATH | tr ';' '\n' | grep .; }
  # A run that failed half-way may have left its packages installed.
  msiexec cleanup-old /x "$old_code"
  msiexec cleanup-new /x "$new_code"
  msiexec cleanup-x86 /x "$x86_code"
  rm -rf "$WINEPREFIX/drive_c/Program Files/Corvane" "$WINEPREFIX/drive_c/Program Files (x86)/Corvane"
  # Wine's Windows Installer leaves a separator behind when it takes an entry
  # out of PATH, and Wine's cmd stops its search at an empty entry: a prefix
  # used before gets a PATH without them.
  "$wine" reg add "$environment" /v PATH /t REG_EXPAND_SZ /f /d "$(system_path | paste -sd';')" >/dev/null ||
    fail "the system PATH cannot be set"
  local path_before
  path_before="$(system_path)"

  # Install the release quietly, as IT does.
  msiexec install /i "$(winpath "$old_msi")" || fail "msiexec /i of $(basename "$old_msi") failed (log: $logs/install.log)"
  same_tree "$old_msi" "installed $version"
  [ -e "$WINEPREFIX/drive_c/Program Files (x86)/Corvane" ] && fail "the x64 package installed into Program Files (x86)"
  [ "$(reg_value "$uninstall\\$old_code" DisplayVersion)" = "$version" ] || fail "Programs and Features shows no version $version"
  [ "$(reg_value "$uninstall\\$old_code" Publisher)" = "$maker" ] || fail "Programs and Features shows no maker $maker"
  [ "$(reg_value "$uninstall\\$old_code" DisplayName)" = "$name" ] || fail "Programs and Features shows no name $name"
  # The Start-menu folder as this Windows Installer resolved it (Wine takes the
  # user's Start menu even for a package installed for all users).
  local menu
  menu="$(tr -d '\r' <"$logs/install.log" | sed -n 's/^Property(S): MenuFolder = //p' | tail -n1)"
  [ -n "$menu" ] || fail "the install log names no Start-menu folder"
  # Each entry starts its program in the program folder, where the dialog
  # finds its icon file and Tandemset its tools.
  local entry target lnk
  for entry in "$name|Corvane_FW_Updater.exe" "Install USB drivers|Tandemset.exe"; do
    target="${entry#*|}" entry="${entry%|*}" lnk="$(unixpath "$menu")$entry.lnk"
    [ -f "$lnk" ] || fail "no Start-menu entry '$entry' in $menu"
    # The link's strings, in ANSI and UTF-16; a string may follow the byte of its length.
    ends_with() { # (awk -v would read the backslashes as escapes)
      SUFFIX="$1" awk 'BEGIN { s = ENVIRON["SUFFIX"] }
        length($0) >= length(s) && substr($0, length($0) - length(s) + 1) == s { found = 1 } END { exit !found }'
    }
    { strings -a "$lnk"; strings -a -el "$lnk"; } | ends_with "$installed_win\\$target" || fail "the entry '$entry' does not start $installed_win\\$target"
    { strings -a "$lnk"; strings -a -el "$lnk"; } | ends_with "$installed_win\\" ||
      fail "the entry '$entry' does not start its program in $installed_win"
  done
  # The console program runs by its name from any command line.
  same_lists "system PATH after install" "$(printf '%s\n' "$path_before" "$installed_win\\")" "$(system_path)"
  "$wine" cmd /c "corvane-fw --version" 2>&1 | tr -d '\r' | grep -qx "corvane-fw $version" ||
    fail "corvane-fw --version, run by its name, does not say $version"
  ok "installed $version silently: $(installed_files | wc -l) files in place, registered, two Start-menu entries, corvane-fw on PATH"

  # The installed updater, started from its Start-menu entry, shows its dialog.
  local picture="$work/installed-updater.bmp"
  "$wine" "$helper" updater "${menu}$name.lnk" "$installed_win\\Corvane_FW_Updater.exe" "$version" "$maker" "$(winpath "$picture")" ||
    fail "the installed updater"

  # Something the operator left in the program folder is not the package's.
  printf 'firmware notes of the bench\n' >"$installed/operator-notes.txt"

  # The next version replaces this one in place.
  msiexec upgrade /i "$(winpath "$new_msi")" || fail "msiexec /i of $(basename "$new_msi") over $version failed"
  same_tree "$new_msi" "upgraded to $next" operator-notes.txt
  registered "$uninstall\\$old_code" && fail "$version is still registered after the upgrade"
  [ "$(reg_value "$uninstall\\$new_code" DisplayVersion)" = "$next" ] || fail "Programs and Features shows no version $next"
  ok "upgraded in place to $next: the changed files replaced, the dropped one removed, one entry in Programs and Features"

  # Going back is refused, quietly with Windows Installer's "fatal error"
  # (1603; a Unix exit code keeps its low byte), and with the package's
  # message to a person who starts it; neither changes anything.
  local rc=0
  msiexec downgrade /i "$(winpath "$old_msi")" || rc=$?
  [ $rc = $((1603 % 256)) ] || fail "the quiet install of $version over $next ended with $rc, not 1603 (log: $logs/downgrade.log)"
  local message="A newer version of $name is already installed. To go back to this version, remove the newer one first in Programs and Features."
  timeout -k 5 90 "$wine" msiexec /i "$(winpath "$old_msi")" /qb >/dev/null 2>&1 &
  local shown=$!
  "$wine" "$helper" message "$message" "$(winpath "$work/refused-downgrade.bmp")" || fail "the refused downgrade shows no message box with its reason"
  rc=0
  wait $shown || rc=$?
  [ $rc = $((1603 % 256)) ] || fail "the install of $version over $next with its message ended with $rc, not 1603"
  same_tree "$new_msi" "after the refused downgrade" operator-notes.txt
  registered "$uninstall\\$old_code" && fail "the refused downgrade registered $version"
  ok "the downgrade to $version is refused, with its message to a person"

  # Removal takes what the package installed and leaves the rest.
  msiexec remove /x "$(winpath "$new_msi")" || fail "msiexec /x failed (log: $logs/remove.log)"
  same_lists "files left after removal" "operator-notes.txt" "$(installed_files)"
  cmp -s <(printf 'firmware notes of the bench\n') "$installed/operator-notes.txt" || fail "removal changed the operator's file"
  [ -d "$installed/Drivers" ] && fail "removal left the Drivers folder"
  [ -e "$(unixpath "$menu")" ] && fail "removal left the Start-menu folder $menu"
  registered "$uninstall\\$new_code" && fail "removal left the entry in Programs and Features"
  registered 'HKLM\Software\Corvane' && fail "removal left the registry key of the Start-menu entries"
  same_lists "system PATH after removal" "$path_before" "$(system_path)"
  ok "removed: nothing of the package is left, the operator's file is"

  # Both architectures beside each other (the Sunplus library is 32-bit):
  # each in its own program folder with its own Start-menu entries, and
  # removing one leaves the other whole.
  rm -f "$installed/operator-notes.txt"
  local x86_folder="$WINEPREFIX/drive_c/Program Files (x86)/Corvane/Firmware Updater"
  msiexec both-x64 /i "$(winpath "$old_msi")" || fail "msiexec /i of the x64 package failed"
  msiexec both-x86 /i "$(winpath "$x86_msi")" || fail "msiexec /i of the x86 package beside the x64 one failed (log: $logs/both-x86.log)"
  registered "$uninstall\\$old_code" || fail "installing the x86 package removed the x64 one"
  [ -f "$x86_folder/Corvane_FW_Updater.exe" ] || fail "the x86 package is not in Program Files (x86)"
  entries() { (cd "$(unixpath "$menu")" 2>/dev/null && ls -- *.lnk | LC_ALL=C sort); }
  same_lists "Start-menu entries of both" "$(printf '%s.lnk\n' "Install USB drivers" "Install USB drivers (32-bit)" \
    "$name" "$name (32-bit)" | LC_ALL=C sort)" "$(entries)"
  same_lists "system PATH with both" "$(printf '%s\n' "$path_before" "$installed_win\\" 'C:\Program Files (x86)\Corvane\Firmware Updater\')" \
    "$(system_path)"
  msiexec both-remove-x86 /x "$x86_code" || fail "msiexec /x of the x86 package failed"
  same_lists "system PATH after removing the x86 package" "$(printf '%s\n' "$path_before" "$installed_win\\")" "$(system_path)"
  [ -e "$x86_folder" ] && fail "removing the x86 package left its program folder"
  same_tree "$old_msi" "the x64 package after the x86 one was removed"
  same_lists "Start-menu entries after removing the x86 package" \
    "$(printf '%s.lnk\n' "Install USB drivers" "$name" | LC_ALL=C sort)" "$(entries)"
  msiexec both-remove-x64 /x "$old_code" || fail "msiexec /x of the x64 package failed"
  [ -z "$(installed_files)" ] && [ ! -e "$(unixpath "$menu")" ] || fail "removing both packages left files or entries"
  registered 'HKLM\Software\Corvane' || registered 'HKLM\Software\WOW6432Node\Corvane' &&
    fail "removing both packages left the registry key of the Start-menu entries"
  ok "x64 and x86 installed side by side, each removed cleanly"
  # PNG copies of the pictures, for a person to look at.
  if command -v convert >/dev/null; then
    for picture in "$work"/*.bmp; do convert "$picture" "${picture%.bmp}.png" 2>/dev/null || true; done
  fi
  rm -rf "$WINEPREFIX/drive_c/Program Files/Corvane" "$WINEPREFIX/drive_c/Program Files (x86)/Corvane"
}

case "$cmd" in
  build) cmd_build ;;
  tables) cmd_tables ;;
  zip) cmd_zip ;;
  signatures) cmd_signatures ;;
  install) cmd_install "$@" ;;
  *) fail "unknown command $cmd" ;;
esac
