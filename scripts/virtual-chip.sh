# Sourced by the scripts that load a virtual chip.

# start_chip SIM LOG [OPTION...]: starts the virtual chip SIM (hexpush-sim) in
# the background, its account going to LOG. Sets chip (its process) and
# chip_port (the port it serves, from its first line).
start_chip() {
  local sim=$1 log=$2
  shift 2
  : >"$log" # what an earlier chip left there is not this one's port
  "$sim" "$@" >"$log" &
  chip=$!
  until [ -s "$log" ]; do
    kill -0 "$chip" 2>/dev/null || return 1 # it said why on standard error
    sleep 0.05
  done
  chip_port=$(head -n 1 "$log")
}

# stop_chip: ends the chip once its host is done (a chip that was never
# woken would wait for ever) and returns its status.
stop_chip() {
  kill -TERM "$chip" 2>/dev/null || true
  wait "$chip"
}
