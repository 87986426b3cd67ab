#!/usr/bin/env bash
# The Debian package as a user gets it: built by scripts/package (lintian
# clean of errors), installed by dpkg into a scratch root, and loading the
# example into the virtual chip it carries.
#   tests/package_test.sh SOURCE_DIR
set -euo pipefail
top=$(realpath "$1")
. "$top/scripts/virtual-chip.sh"
. "$top/tests/run_again.sh"
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
# dpkg wants the system's tools, which an ordinary user's PATH may not reach.
PATH=$PATH:/usr/local/sbin:/usr/sbin:/sbin dpkg --root="$root" --force-not-root --force-depends --log=/dev/null -i "$deb" >/dev/null 2>&1 ||
  fail "dpkg could not install the package"
for file in usr/bin/hexpush usr/bin/hexpush-sim usr/share/man/man1/hexpush.1.gz \
  usr/share/man/man1/hexpush-sim.1.gz usr/share/doc/hexpush/copyright usr/share/doc/hexpush/README.md.gz; do
  [ -f "$root/$file" ] || fail "$file is not in the package"
done
for program in hexpush hexpush-sim; do
  [ "$("$root/usr/bin/$program" --version)" = "$program $version" ] || fail "$program --version"
done

expected=$'Getting loader prompt...\nKlearing memory...\nLoading file...\nDone loading'
for ((attempt = 1; ; ++attempt)); do
  start_chip "$root/usr/bin/hexpush-sim" "$work/chip.log" --once --image "$work/chip.bin"
  out=$("$root/usr/bin/hexpush" "$chip_port" "$top/examples/blink.hex") || true
  stop_chip && [ "$out" = "$expected" ] && break
  run_again "$attempt" "$(cat "$work/chip.log")" || fail "the load: $out"$'\n'"$(cat "$work/chip.log")"
done
"$top/scripts/check-image" "$top/examples/blink.hex" "$work/chip.bin"
echo "package test: $(basename "$deb"), $(stat -c %s "$deb") bytes, installed and loaded the example"
