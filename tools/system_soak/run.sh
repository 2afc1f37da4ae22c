#!/usr/bin/env bash
# Soak of the whole camera under its watchdog: vastrel runs quarnel from a board root of its own,
# two camera_client loops stream from it, and quarnel is killed with SIGKILL at random every
# 30 to 60 seconds. Prints the restarts, for each kill the time until quarnel was back and until
# each client received images again, and vastrel's resident memory and open descriptors at the
# start and the end.
#   tools/system_soak/run.sh [--seconds N] [--build DIR] [--keep]
# --seconds: how long the system runs (default 600); --build: the build folder (default
# build/plain); --keep: keep the work folder (board root, logs, client runs) for inspection.
#
# The client loops run camera_client for one second of streaming at a time, again and again, so
# the gap after a kill is measured from the kill to the first client run that then received
# images: its start and its end bound the first image (one run's length is the resolution). The configuration files are the shipped
# ones with only the ports changed, so vastrel's shipped check period decides how soon it acts.
set -euo pipefail
cd "$(dirname "$0")/../.."

seconds=600
build=build/plain
keep=0
while [ $# -gt 0 ]; do
  case "$1" in
    --seconds) seconds="$2"; shift 2 ;;
    --build) build="$2"; shift 2 ;;
    --keep) keep=1; shift ;;
    *) echo "usage: $0 [--seconds N] [--build DIR] [--keep]" >&2; exit 2 ;;
  esac
done

readonly kill_min_s=30 kill_spread_s=31          # a kill every 30 to 60 seconds
readonly client_run_s=1 client_retry_s=0.2 client_limit_s=30
readonly watch_interval_s=0.2
readonly lowest_port=20000 port_choices=12000 port_count=6

vastrel_program="$PWD/$build/watchdog/vastrel"
quarnel_program="$PWD/$build/service/quarnel"
client_program="$PWD/$build/tools/camera_client/camera_client"
for program in "$vastrel_program" "$quarnel_program" "$client_program"; do
  [ -x "$program" ] || { echo "system_soak: $program is not built" >&2; exit 1; }
done

work="$(mktemp -d /tmp/system-soak.XXXXXX)"
root="$work/root"
quarnel_on_board="$root/system/bin/quarnel"
mkdir -p "$work/run"
vastrel_pid=""
background=()

now() { date +%s.%N; }

cleanup() {
  touch "$work/stop"
  if [ -n "$vastrel_pid" ]; then kill -9 -- "-$vastrel_pid" 2>/dev/null || true; fi
  for pid in "${background[@]+"${background[@]}"}"; do kill "$pid" 2>/dev/null || true; done
  wait 2>/dev/null || true
  if [ "$keep" = 1 ]; then echo "work folder kept: $work"; else rm -rf "$work"; fi
}
trap cleanup EXIT

# Six consecutive ports that no socket listens on: quarnel's four server ports, its heartbeat
# port and vastrel's listening port.
pick_ports() {
  local used first port clash
  used="$(ss -Hlnut | awk '{ n = split($5, parts, ":"); print parts[n] }')"
  for _ in $(seq 100); do
    first=$((lowest_port + RANDOM % port_choices))
    clash=0
    for ((port = first; port < first + port_count; port++)); do
      if grep -qx "$port" <<< "$used"; then clash=1; break; fi
    done
    [ "$clash" = 0 ] && { echo "$first"; return; }
  done
  echo "system_soak: no free ports found" >&2; exit 1
}

set_record() {  # FILE NAME VALUE: the value of the configuration record NAME
  sed -i "s|<record name=$2 \(type=[a-z]*\) value=[^>]*>|<record name=$2 \1 value=$3>|" "$1"
}

# The one quarnel of this board root (its program file is the root's copy); empty while none.
quarnel_pid() {
  local pid
  for pid in $(pgrep -x quarnel || true); do
    if [ "$(readlink "/proc/$pid/exe" 2>/dev/null)" = "$quarnel_on_board" ]; then echo "$pid"; return; fi
  done
}

resources() {  # PID: resident memory in kB and open descriptors
  echo "rss_kb=$(awk '/^VmRSS:/ { print $2 }' "/proc/$1/status") fds=$(ls "/proc/$1/fd" | wc -l)"
}

base_port="$(pick_ports)"
heartbeat_port=$((base_port + 4))
daemon_port=$((base_port + 5))
board/make-root/make-root "$root" \
  service/config/default_video_stereo_server_configuration.xml=/system/etc/default_video_stereo_server_configuration.xml \
  board/sim_module/data/sim_module_calibration.yml=/system/etc/sim_module_calibration.yml \
  board/camera_hal/data/sim_camera.conf=/system/etc/sim_camera.conf \
  watchdog/config/default_video_stereo_daemon_configuration.xml=/etc/default_video_stereo_daemon_configuration.xml
install -m 0755 "$quarnel_program" "$quarnel_on_board"
service_file="$root/system/etc/default_video_stereo_server_configuration.xml"
daemon_file="$root/etc/default_video_stereo_daemon_configuration.xml"
set_record "$service_file" server_port "$base_port"
set_record "$service_file" local_heartbeat_socket_port "$heartbeat_port"
set_record "$service_file" daemon_listen_socket_port "$daemon_port"
set_record "$daemon_file" daemon_listen_socket_port "$daemon_port"
check_period="$(sed -n 's/.*name=check_period type=integer value=\([0-9]*\).*/\1/p' "$daemon_file")"
interval="$(sed -n 's/.*name=local_heartbeat_interval_in_second type=integer value=\([0-9]*\).*/\1/p' "$service_file")"
echo "soak: ${seconds} s, ports ${base_port}-$((base_port + 3)), heartbeat every ${interval} s," \
     "vastrel check period ${check_period} s"

# vastrel in a session of its own, so it and everything it starts end together.
(cd "$work/run" && BOARD_ROOT="$root" exec setsid "$vastrel_program" > "$work/vastrel.out" 2> "$work/programs.err") &
vastrel_pid=$!
heard="DaemonServer::UpdateProcess, ProcessName=quarnel, NextTimeoutTime="
for _ in $(seq 600); do
  grep -q "$heard" "$work/vastrel.out" 2>/dev/null && break
  kill -0 "$vastrel_pid" 2>/dev/null || { echo "system_soak: vastrel ended" >&2; cat "$work/vastrel.out" >&2; exit 1; }
  sleep 0.1
done
grep -q "$heard" "$work/vastrel.out" || { echo "system_soak: vastrel never heard quarnel" >&2; exit 1; }
started="$(now)"
resources_start="$(resources "$vastrel_pid")"

# Each client streams one second at a time, again and again; every run is one line:
# start end exit_status colour_frames disparity_frames
client_loop() {
  local id="$1" start end status output colour disparity
  mkdir -p "$work/client$id"
  while [ ! -e "$work/stop" ]; do
    start="$(now)"
    status=0
    output="$(BOARD_ROOT="$root" timeout -s KILL "$client_limit_s" "$client_program" --address 127.0.0.1 \
              --port "$base_port" --seconds "$client_run_s" --png-every 1000000 --out "$work/client$id/out" 2>&1)" ||
      status=$?
    end="$(now)"
    colour="$(sed -n 's/^colour frames=\([0-9]*\).*/\1/p' <<< "$output")"
    disparity="$(sed -n 's/^disparity frames=\([0-9]*\).*/\1/p' <<< "$output")"
    echo "$start $end $status ${colour:-0} ${disparity:-0}" >> "$work/client$id.runs"
    [ "$status" = 0 ] || sleep "$client_retry_s"
  done
}

# Notes each quarnel that appears: time and process id.
watch_quarnel() {
  local last="" pid
  while [ ! -e "$work/stop" ]; do
    pid="$(quarnel_pid)"
    if [ -n "$pid" ] && [ "$pid" != "$last" ]; then echo "$(now) $pid" >> "$work/quarnel.starts"; last="$pid"; fi
    sleep "$watch_interval_s"
  done
}

client_loop 1 & background+=($!)
client_loop 2 & background+=($!)
watch_quarnel & background+=($!)

deadline=$(awk -v s="$started" -v d="$seconds" 'BEGIN { printf "%.0f", s + d }')
: > "$work/kills"
while :; do
  pause=$((kill_min_s + RANDOM % kill_spread_s))
  [ $(( $(date +%s) + pause )) -lt "$deadline" ] || break
  sleep "$pause"
  [ "$(date +%s)" -lt "$deadline" ] || break
  pid="$(quarnel_pid)"
  if [ -n "$pid" ]; then kill -9 "$pid" && echo "$(now) $pid" >> "$work/kills"; fi
done
remaining=$((deadline - $(date +%s)))
[ "$remaining" -gt 0 ] && sleep "$remaining"
touch "$work/stop"
for pid in "${background[@]}"; do wait "$pid" 2>/dev/null || true; done
background=()
resources_end="$(resources "$vastrel_pid")"

restarts="$(grep -c "DaemonServer::Reboot, kill_command=killall -9 quarnel " "$work/vastrel.out" || true)"
echo "kills=$(wc -l < "$work/kills") restarts=${restarts}"
# For each kill: seconds until a new quarnel ran, and until each client's first run that received
# images (from its start to its end: the first image came in between), all from the kill.
awk -v started="$started" '
  FILENAME ~ /kills$/ { kills[++k] = $1; next }
  FILENAME ~ /quarnel.starts$/ { starts[++s] = $1; next }
  FILENAME ~ /client1.runs$/ { if ($4 > 0 && $5 > 0) { from1[++g1] = $1; to1[g1] = $2 } next }
  FILENAME ~ /client2.runs$/ { if ($4 > 0 && $5 > 0) { from2[++g2] = $1; to2[g2] = $2 } next }
  function first(list, n, t,   i) { for (i = 1; i <= n; i++) if (list[i] > t) return i; return 0 }
  function window(from, to, n, t,   i) {
    i = first(from, n, t)
    if (i == 0) return "not before the end"
    if (to[i] - t > worst) worst = to[i] - t
    return sprintf("%.1f-%.1f s", from[i] - t, to[i] - t)
  }
  END {
    for (i = 1; i <= k; i++) {
      j = first(starts, s, kills[i])
      back = j ? sprintf("%.1f s", starts[j] - kills[i]) : "not before the end"
      worst = worst1; c1 = window(from1, to1, g1, kills[i]); worst1 = worst
      worst = worst2; c2 = window(from2, to2, g2, kills[i]); worst2 = worst
      printf "kill %d at +%.0f s: quarnel back after %s; images again after: client 1 %s, client 2 %s\n",
             i, kills[i] - started, back, c1, c2
    }
    printf "longest gap after a kill (to the end of the first run with images): client 1 %.1f s, client 2 %.1f s\n",
           worst1, worst2
  }' "$work/kills" "$work/quarnel.starts" "$work/client1.runs" "$work/client2.runs"
for id in 1 2; do
  awk -v id="$id" '{ runs++; if ($3 == 0) good++; colour += $4; disparity += $5 }
    END { printf "client %s: runs=%d with images=%d colour frames=%d disparity frames=%d\n", id, runs, good, colour, disparity }' \
    "$work/client$id.runs"
done
echo "vastrel at start: $resources_start"
echo "vastrel at end:   $resources_end"
