# Commands the host runs in the guest. Each job leaves its results in
# /tmp/JOB.*, and `report JOB` prints them, one line each, in base64.

# as USER COMMAND...: runs the command as that user, with the user's groups.
as() {
  user=$1
  shift
  if [ "$user" = root ]; then "$@"; else su -s /bin/sh "$user" -c "exec $*"; fi
}

# record JOB USER PORT COMMAND...: runs the command as the user, keeping its
# output, its status, and the port's settings (stty -g) before and after.
record() {
  job=$1 user=$2 port=$3
  shift 3
  stty -g -F "$port" >/tmp/$job.before 2>&1
  as "$user" "$@" >/tmp/$job.out 2>/tmp/$job.err
  status=$?
  echo $status >/tmp/$job.status
  stty -g -F "$port" >/tmp/$job.after 2>&1
  return $status
}

# load JOB USER PORT FILE [BAUD]: one hexpush run.
load() {
  job=$1 user=$2 port=$3
  shift 3
  record "$job" "$user" "$port" hexpush "$port" "$@"
}

# joins JOB USER GROUP PORT FILE: a user whose session has begun joins the
# group (as usermod -aG does), then runs hexpush in that same session.
joins() {
  job=$1 user=$2 group=$3 port=$4 file=$5
  mkfifo /tmp/$job.go
  stty -g -F "$port" >/tmp/$job.before 2>&1
  su -s /bin/sh "$user" -c "read go </tmp/$job.go; exec hexpush $port $file" \
    >/tmp/$job.out 2>/tmp/$job.err &
  exec 3>/tmp/$job.go # returns once the user's session is waiting
  sed -i "s/^$group:x:[0-9]*:.*/&,$user/" /etc/group
  echo go >&3
  exec 3>&-
  wait $!
  status=$?
  echo $status >/tmp/$job.status
  stty -g -F "$port" >/tmp/$job.after 2>&1
  return $status
}

# start JOB USER PORT FILE [BAUD]: a load in the background.
start() {
  load "$@" &
  echo $! >/tmp/$1.job
}

# finish JOB: waits for a load from start, and has its status.
finish() {
  wait "$(cat /tmp/$1.job)"
}

report() {
  for part in status before after out err; do
    echo "@@$1.$part $(base64 -w 0 </tmp/$1.$part)"
  done
}

# latency PORT: what the FTDI driver says of its latency timer, and whether
# the port asks for low latency.
latency() {
  echo "@@latency $(cat /sys/bus/usb-serial/devices/${1#/dev/}/latency_timer)" \
    "$(serial-info "$1")"
}

# claimed PORT: waits (up to 10 s) until a hexpush run has taken the port,
# which it does before it asks for low latency.
claimed() {
  for wait in $(seq 500); do
    serial-info "$1" | grep -q "low_latency 1" && return 0
    usleep 20000
  done
  return 1
}
