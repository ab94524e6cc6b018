# shellcheck shell=bash disable=SC2034  # the variables set here are read by the scripts that source it
# Shell helpers the scripts share; each script sources it: source "$(dirname "$0")/lib.sh"
# Nothing here runs on its own; every function works with and without set -e.

# Runs a command as root: directly when we are root, else through sudo.
as_root() {
  if [ "$(id -u)" -eq 0 ]; then "$@"; else sudo "$@"; fi
}

# Whether the Debian package NAME is installed.
package_installed() {
  dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q "install ok installed"
}

# The packages among the arguments that are not installed, one a line.
missing_packages() {
  local p
  for p in "$@"; do package_installed "$p" || echo "$p"; done
}

# Tries a command every 0.1 s for up to SECONDS until it succeeds; its output is dropped. Functions
# run in this shell, so the variables they set stay set. Returns 1, with a line on standard error,
# when the time runs out.
wait_for() {   # seconds, command...
  local end=$(( $(date +%s%N) / 1000000 + $1 * 1000 )); shift
  until "$@" >/dev/null 2>&1; do
    if [ $(( $(date +%s%N) / 1000000 )) -ge "$end" ]; then
      echo "timed out: $*" >&2
      return 1
    fi
    sleep 0.1
  done
}

# Whether something accepts TCP connections on 127.0.0.1:PORT.
port_open() { (exec 3<>"/dev/tcp/127.0.0.1/$1") 2>/dev/null; }

# N loopback ports that were free a moment ago, on one line (the system picks them).
free_ports() {
  python3 -c '
import socket, sys
socks = [socket.socket() for _ in range(int(sys.argv[1]))]
for s in socks: s.bind(("127.0.0.1", 0))
print(" ".join(str(s.getsockname()[1]) for s in socks))' "$1"
}

# Starts Xvfb on a display number no other server uses (it writes the number to fd 3 once it
# accepts clients) and waits until it answers. -noreset keeps it from resetting when a probing
# client leaves just as the next one starts. Sets xvfb_pid and xvfb_display (":N"); DIR keeps the
# number and the server's log. Returns 1 when the server does not come up within 20 s.
start_xvfb() {   # dir
  xvfb_display=""
  Xvfb -displayfd 3 -screen 0 1600x900x24 -nolisten tcp -noreset 3>"$1/display" >"$1/xvfb.log" 2>&1 &
  xvfb_pid=$!
  wait_for 20 test -s "$1/display" || return 1
  xvfb_display=":$(head -n 1 "$1/display")"
  wait_for 20 env DISPLAY="$xvfb_display" xdotool getdisplaygeometry
}

# The client's window on $DISPLAY, once it is mapped: sets client_window and returns 0, or returns 1.
client_window=""
find_client_window() {
  client_window="$(xdotool search --onlyvisible --name '^Veldra MQTT Chat$' 2>/dev/null | head -n 1)"
  [ -n "$client_window" ]
}

# Where WINDOW is: sets X, Y, WIDTH and HEIGHT (without a window manager, the client area's).
window_geometry() {   # window
  eval "$(xdotool getwindowgeometry --shell "$1")"
}

# A mosquitto on 127.0.0.1 at a free port: tries random ports until one binds, for up to 20. DIR
# receives mosquitto.conf and mosquitto.log; the other arguments are more configuration lines. Sets
# broker_pid and broker_port, or returns 1 with both empty.
start_mosquitto() {   # dir, configuration lines...
  local dir="$1" candidate line; shift
  broker_pid="" broker_port=""
  for _ in $(seq 1 20); do
    candidate=$(( 20000 + RANDOM % 40000 ))
    port_open "$candidate" && continue
    {
      echo "listener $candidate 127.0.0.1"
      echo "allow_anonymous true"
      echo "persistence false"
      if [ "$(id -u)" -eq 0 ]; then echo "user root"; fi
      for line in "$@"; do echo "$line"; done
    } >"$dir/mosquitto.conf"
    mosquitto -c "$dir/mosquitto.conf" >"$dir/mosquitto.log" 2>&1 &
    broker_pid=$!
    for _ in $(seq 1 50); do
      port_open "$candidate" && break
      kill -0 "$broker_pid" 2>/dev/null || break
      sleep 0.1
    done
    if port_open "$candidate"; then broker_port="$candidate"; return 0; fi
    kill "$broker_pid" 2>/dev/null; wait "$broker_pid" 2>/dev/null || true
    broker_pid=""
  done
  return 1
}

# Counted checks: check DESCRIPTION COMMAND... runs the command, counts it in passed or failed and
# prints "   <check_label>: FAILED: DESCRIPTION" for a failure.
passed=0 failed=0 check_label=check
check() {   # description, command...
  local what="$1"; shift
  if "$@"; then
    passed=$(( passed + 1 ))
  else
    echo "   $check_label: FAILED: $what"
    failed=$(( failed + 1 ))
  fi
}

# The centre of every widget of the form, by name, in layout coordinates: what the widget-centres
# tool (tools/widget-centres, built with the client) prints. PROGRAM is the tool; a WRAPPER runs it
# (wine for the Windows build). Returns 1, saying why, when the tool is missing or prints nothing.
declare -A widget_centre=()
load_widget_centres() {   # program, wrapper...
  local program="$1" name x y; shift
  if [ ! -f "$program" ]; then
    echo "no $program: build the widget-centres target (cmake --build <build dir> --target widget-centres)" >&2
    return 1
  fi
  widget_centre=()
  while read -r name x y; do
    [ -n "$name" ] && widget_centre[$name]="$x ${y%$'\r'}"
  done < <("$@" "$program")
  if [ ${#widget_centre[@]} -eq 0 ]; then
    echo "$program printed no widget centres" >&2
    return 1
  fi
}

# "X Y" of widget NAME, from load_widget_centres; returns 1, saying so, for a name it does not know.
centre_of() {   # name
  if [ -z "${widget_centre[$1]:-}" ]; then
    echo "no widget named $1 among the widget centres" >&2
    return 1
  fi
  echo "${widget_centre[$1]}"
}
