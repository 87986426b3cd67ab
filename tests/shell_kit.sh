# Sourced by the shell tests.

# run_again ATTEMPT OUTPUT: whether a failed load is made again. A busy
# machine may keep the virtual chip from the CPU past hexpush's patience for
# the banner, which no loader would be; the chip then says so in its account
# (OUTPUT), and the load says nothing of hexpush. Up to ten attempts.
run_again() {
  [ "$1" -lt 10 ] && [[ $2 == *"kept from the CPU"* ]] || return 1
  echo "run again: $2"
}

# skip_because REASON: the test cannot run here. ctest counts status 77 as
# skipped; in CI, where a tier that cannot run must not look like one that
# passed, it fails instead, naming what is missing.
skip_because() {
  case ${CI:-} in
    "" | false | 0) echo "skipped: $*"; exit 77 ;;
    *) echo "CI runs every case, and this one cannot run: $*" >&2; exit 1 ;;
  esac
}
