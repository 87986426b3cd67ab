#!/usr/bin/env bash
# The scripts a newcomer runs first, where they went wrong before: the demo
# ending with the example running, and with a file or rate that hexpush
# refuses, vm/try with a word it does not know or a missing file,
# install-deps when apt-get cannot install (offline, say) or the guest's
# kernel cannot be fetched, and the Windows zip as a user unpacks it; and the
# CPU-time bound on the suite's idle-time work. (The package test loads the
# example through the virtual chip, and the real-driver tier through the
# guest, as the demo and vm/try do.)
#   tests/scripts_test.sh SOURCE_DIR
set -euo pipefail
top=$(realpath "$1")
. "$top/tests/shell_kit.sh"
stubs=$(mktemp -d)
trap 'rm -rf "$stubs"' EXIT
fail() { echo "scripts test: $*" >&2; exit 1; }

# expect STATUS TEXT COMMAND...: the command ends, with that status, saying
# that (and all it said is left in out).
expect() {
  local status=$1 text=$2 got attempt
  shift 2
  for ((attempt = 1; ; ++attempt)); do
    got=0
    out=$(timeout 600 "$@" 2>&1) || got=$?
    [ "$got" != 0 ] && run_again "$attempt" "$out" || break
  done
  [ "$got" = "$status" ] || fail "$*: status $got, not $status:"$'\n'"$out"
  grep -qF -- "$text" <<<"$out" || fail "$*: no '$text' in:"$'\n'"$out"
  [[ $out != *$'\e'* ]] || fail "$*: escape codes in piped output:"$'\n'"$out"
}

expect 0 "virtual chip: pins: P1.0 changed" "$top/scripts/demo"
grep -qx "hello from the DS89C420" <<<"$out" || fail "the demo showed no greeting from the chip:"$'\n'"$out"
expect 1 "/nonexistent/app.hex: No such file or directory" "$top/scripts/demo" /nonexistent/app.hex
expect 1 "Baud rate not supported" "$top/scripts/demo" "$top/examples/blink.hex" 12345
expect 2 "vm/try: no driver 'usb' (ftdi or uart)" "$top/vm/try" "$top/examples/blink.hex" 115200 usb
expect 1 "vm/try: /nonexistent/app.hex: No such file" "$top/vm/try" /nonexistent/app.hex
# The suite's bound on idle-time work: the CPU time its whole process group
# uses (a child's spinning counts), not the clock (a sleep does not).
expect 1 "sh: used more than 1 s of CPU time: ended" "$top/runner/cpu_budget.py" 1 sh -c '(while :; do :; done) & wait'
expect 3 "" "$top/runner/cpu_budget.py" 1 sh -c 'sleep 2; exit 3'

# One folder in the zip, and the version Explorer shows: the strings, and
# the numbers of the fixed part (minor, major, build, patch as stored).
windows_zip() {
  version=$("$top/scripts/version")
  folder=hexpush-$version-windows-x64
  chrt --idle 0 "$top/scripts/build-windows" "$stubs/windows" >/dev/null
  listed=$(cd "$stubs/windows" && cmake -E tar tf "$folder.zip" | sort | tr '\n' ' ')
  [ "$listed" = "$folder/ $folder/LICENSE $folder/README.md $folder/hexpush.exe " ] || fail "the zip holds: $listed"
  exe=$stubs/windows/hexpush.exe
  for field in FileVersion ProductVersion ProductName LegalCopyright; do
    strings -el "$exe" | grep -A1 -x "$field" | tail -n 1
  done >"$stubs/resource"
  printf '%s\n' "$version" "$version" hexpush "Copyright (c) 2026 hexpush maintainers. MIT License." |
    cmp -s - "$stubs/resource" || fail "hexpush.exe's resource says: $(cat "$stubs/resource")"
  fixed=$(LC_ALL=C grep -obUaP '\xBD\x04\xEF\xFE' "$exe" | head -n 1 | cut -d: -f1)
  IFS=. read -r major minor patch <<<"$version"
  [ "$(od -An -tu2 -j $((fixed + 8)) -N8 "$exe" | xargs)" = "$minor $major 0 $patch" ] ||
    fail "hexpush.exe's fixed version is not $version"
  # Without relocations, a dynamic base would be an empty promise.
  local header
  header=$(x86_64-w64-mingw32-objdump -p "$exe")
  for mark in DYNAMIC_BASE HIGH_ENTROPY_VA NX_COMPAT "Base Relocation Directory \[.reloc\]"; do
    grep -q "$mark" <<<"$header" || fail "hexpush.exe lacks $mark"
  done
}

printf '#!/bin/sh\n[ "$1" = --print-architecture ] && exec /usr/bin/dpkg "$@"\nexit 1\n' >"$stubs/dpkg"
printf '#!/bin/sh\necho "Temporary failure resolving deb.debian.org" >&2\nexit 100\n' >"$stubs/apt-get"
printf '#!/bin/sh\nexec "$@"\n' >"$stubs/sudo"
chmod +x "$stubs"/*
PATH=$stubs:$PATH expect 1 "could not install cmake g++ make srecord" "$top/scripts/install-deps" demo
PATH=$stubs:$PATH XDG_CACHE_HOME=$stubs expect 1 "Temporary failure resolving" "$top/vm/fetch-kernel"
command -v x86_64-w64-mingw32-g++ >/dev/null ||
  skip_because "no Windows zip: the cross-compiler is not installed (g++-mingw-w64-x86-64)"
windows_zip
echo "scripts test: passed"
