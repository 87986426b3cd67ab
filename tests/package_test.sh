#!/usr/bin/env bash
# The Debian package as a user gets it: built by scripts/package (lintian
# clean of errors), installed by dpkg into a scratch root, and loading the
# example into the virtual chip it carries. For another architecture
# (arm64), its programs run under qemu-user.
#   tests/package_test.sh SOURCE_DIR [ARCH]
set -euo pipefail
top=$(realpath "$1")
. "$top/scripts/virtual-chip.sh"
. "$top/tests/shell_kit.sh"
work=$(mktemp -d)
chip=
trap 'kill "$chip" 2>/dev/null || true; rm -rf "$work"' EXIT
fail() { echo "package test: $*" >&2; exit 1; }
version=$("$top/scripts/version")
machine=$(dpkg --print-architecture)

# check_package ARCH: builds, installs and loads through the package for ARCH.
check_package() {
  local arch=$1 root=$work/root-$1 attempt out program status
  chrt --idle 0 "$top/scripts/package" --arch "$arch" "$work" >"$work/package.log" 2>&1 ||
    { cat "$work/package.log"; fail "scripts/package --arch $arch failed"; }
  local deb=$work/hexpush_${version}_$arch.deb
  [ "$(dpkg-deb -f "$deb" Version) $(dpkg-deb -f "$deb" Architecture)" = "$version $arch" ] ||
    fail "$deb does not carry version $version for $arch"
  dpkg-deb -f "$deb" Depends | grep -q 'libc6' || fail "no dependencies computed: $(dpkg-deb -f "$deb" Depends)"

  mkdir -p "$root/var/lib/dpkg/info" "$root/var/lib/dpkg/updates"
  touch "$root/var/lib/dpkg/status"
  # The scratch root has no other packages: their dependencies are this machine's.
  # dpkg wants the system's tools, which an ordinary user's PATH may not reach.
  PATH=$PATH:/usr/local/sbin:/usr/sbin:/sbin dpkg --root="$root" --force-not-root --force-depends \
    --force-architecture --log=/dev/null -i "$deb" >/dev/null 2>&1 || fail "dpkg could not install $deb"
  for file in usr/bin/hexpush usr/bin/hexpush-sim usr/share/man/man1/hexpush.1.gz \
    usr/share/man/man1/hexpush-sim.1.gz usr/share/doc/hexpush/copyright usr/share/doc/hexpush/README.md.gz; do
    [ -f "$root/$file" ] || fail "$file is not in $deb"
  done
  # Programs for another machine run under qemu-user.
  local bin=$root/usr/bin
  if [ "$arch" != "$machine" ]; then
    bin=$work/bin-$arch
    mkdir -p "$bin"
    for program in hexpush hexpush-sim; do
      printf '#!/bin/sh\nexec qemu-aarch64-static -L /usr/aarch64-linux-gnu %s "$@"\n' \
        "$root/usr/bin/$program" >"$bin/$program"
      chmod +x "$bin/$program"
    done
  fi
  for program in hexpush hexpush-sim; do
    [ "$("$bin/$program" --version)" = "$program $version" ] || fail "$arch $program --version"
  done
  # What hardening-check looks for, read with the machine's own tools. It
  # cannot mark control-flow protection on a program linked with bookworm's
  # C library, whose start code has none: the protection is counted in the
  # code instead, the landing pads at function entries (a program built
  # without it has two, the start code's).
  local tools=$work/tools-$arch prefix="" pad=endbr64 checked pads
  [ "$arch" = "$machine" ] || { prefix=aarch64-linux-gnu- pad=paciasp; }
  mkdir -p "$tools"
  for tool in objdump readelf; do ln -sf "$(command -v "$prefix$tool")" "$tools/$tool"; done
  for program in hexpush hexpush-sim; do
    checked=$(PATH=$tools:$PATH hardening-check --nocfprotection "$root/usr/bin/$program") ||
      fail "$arch $program is not hardened:"$'\n'"$checked"
    pads=$("$tools/objdump" -d "$root/usr/bin/$program" | grep -c "$pad" || true)
    [ "$pads" -gt 10 ] || fail "$arch $program has $pads $pad landing pads: no control-flow protection"
  done

  expected=$'Getting loader prompt...\nKlearing memory...\nLoading file...\nDone loading'
  for ((attempt = 1; ; ++attempt)); do
    start_chip "$bin/hexpush-sim" "$work/chip.log" --once --image "$work/chip.bin"
    status=0
    out=$("$bin/hexpush" "$chip_port" "$top/examples/blink.hex") || status=$?
    stop_chip && [ "$status $out" = "0 $expected" ] && break
    run_again "$attempt" "$(cat "$work/chip.log")" ||
      fail "the load ended with status $status: $out"$'\n'"$(cat "$work/chip.log")"
  done
  "$top/scripts/check-image" "$top/examples/blink.hex" "$work/chip.bin"
  echo "package test: $(basename "$deb"), $(stat -c %s "$deb") bytes, installed and loaded the example"
}

arch=${2:-$machine}
if [ "$arch" != "$machine" ]; then
  dpkg --print-foreign-architectures | grep -qx "$arch" ||
    skip_because "no $arch package: $arch is not among dpkg's architectures here (scripts/install-deps package-arm64 adds it)"
  command -v qemu-aarch64-static >/dev/null ||
    skip_because "no $arch package: qemu-user is not installed (qemu-user-static)"
fi
command -v hardening-check >/dev/null ||
  skip_because "no hardening check: hardening-check is not installed (devscripts)"
check_package "$arch"
