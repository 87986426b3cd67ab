# Sourced by the shell tests that load through hexpush-sim.

# run_again ATTEMPT OUTPUT: whether a failed load is made again. A busy
# machine may keep the virtual chip from the CPU past hexpush's patience for
# the banner, which no loader would be; the chip then says so in its account
# (OUTPUT), and the load says nothing of hexpush. Up to ten attempts.
run_again() {
  [ "$1" -lt 10 ] && [[ $2 == *"kept from the CPU"* ]] || return 1
  echo "run again: $2"
}
