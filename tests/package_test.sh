#!/usr/bin/env bash
# The Debian package as a user gets it: built by scripts/package (lintian
# clean of errors), installed by dpkg into a scratch root, and loading the
# example into the virtual chip it carries.
#   tests/package_test.sh SOURCE_DIR
set -euo pipefail
top=$(realpath "$1")
work=$(mktemp -d)
chip=
trap 'kill "$chip" 2>/dev/null || true; rm -rf "$work"' EXIT
fail() { echo "package test: $*" >&2; exit 1; }

"$top/scripts/package" "$work" >"$work/package.log" 2>&1 || { cat "$work/package.log"; fail "scripts/package failed"; }
deb=$(ls "$work"/hexpush_*.deb)
version=$(sed -n 's/^project(hexpush VERSION \([0-9.]*\).*/\1/p' "$top/CMakeLists.txt")
[ "$(dpkg-deb -f "$deb" Version)" = "$version" ] || fail "the package does not carry version $version"
dpkg-deb -f "$deb" Depends | grep -q 'libc6' || fail "no dependencies computed: $(dpkg-deb -f "$deb" Depends)"

root=$work/root
mkdir -p "$root/var/lib/dpkg/info" "$root/var/lib/dpkg/updates"
touch "$root/var/lib/dpkg/status"
# The scratch root has no other packages: their dependencies are this machine's.
dpkg --root="$root" --force-not-root --force-depends --log=/dev/null -i "$deb" >/dev/null 2>&1 ||
  fail "dpkg could not install the package"
for file in usr/bin/hexpush usr/bin/hexpush-sim usr/share/man/man1/hexpush.1.gz \
  usr/share/man/man1/hexpush-sim.1.gz usr/share/doc/hexpush/copyright; do
  [ -f "$root/$file" ] || fail "$file is not in the package"
done
[ "$("$root/usr/bin/hexpush-sim" --version)" = "hexpush-sim $version" ] || fail "hexpush-sim --version"

"$root/usr/bin/hexpush-sim" --once --image "$work/chip.bin" >"$work/chip.log" &
chip=$!
for wait in $(seq 100); do [ -s "$work/chip.log" ] && break; sleep 0.05; done
port=$(head -n 1 "$work/chip.log")
expected=$'Getting loader prompt...\nKlearing memory...\nLoading file...\nDone loading'
[ "$("$root/usr/bin/hexpush" "$port" "$top/examples/blink.hex")" = "$expected" ] || fail "the load"
wait "$chip" || fail "the virtual chip saw an unclean load: $(cat "$work/chip.log")"
srec_cat -disable-sequence-warnings "$top/examples/blink.hex" -Intel \
  -fill 0xFF 0 "$(stat -c %s "$work/chip.bin")" -o "$work/expected.bin" -Binary
cmp -s "$work/expected.bin" "$work/chip.bin" || fail "the chip's memory does not match the file"
echo "package test: $(basename "$deb"), $(stat -c %s "$deb") bytes, installed and loaded the example"
