#!/usr/bin/env bash
# Stalls of the whole camera under its watchdog: vastrel runs quarnel from a board root of its
# own with the shipped configuration (only the ports changed), and quarnel is stopped with
# SIGSTOP again and again. For each stall it prints how many restart actions vastrel took, how long
# after the stop a new quarnel was serving again (it answered the version command) and how long
# until vastrel heard it; then the totals. Run it beside a build or the test suite to see the figures on a loaded machine.
#   tools/stall_figures/run.sh [--stalls N] [--build DIR] [--load COMMAND] [--keep]
# --stalls: how many stalls (default 20); --build: the build folder (default build/plain);
# --load: a shell command run beside the stalls and ended with them (for example a build);
# --keep: keep the work folder (board root, logs) for inspection.
set -euo pipefail
cd "$(dirname "$0")/../.."

stalls=20
build=build/plain
load=""
keep=0
while [ $# -gt 0 ]; do
  case "$1" in
    --stalls) stalls="$2"; shift 2 ;;
    --build) build="$2"; shift 2 ;;
    --load) load="$2"; shift 2 ;;
    --keep) keep=1; shift ;;
    *) echo "usage: $0 [--stalls N] [--build DIR] [--load COMMAND] [--keep]" >&2; exit 2 ;;
  esac
done

readonly lowest_port=20000 port_choices=12000 port_count=6
readonly poll_s=0.1 give_up_polls=1800      # a stall that is not mended in 3 minutes ends the run
readonly in_flight_s=0.5
readonly answer_limit_s=5

vastrel_program="$PWD/$build/watchdog/vastrel"
quarnel_program="$PWD/$build/service/quarnel"
client_program="$PWD/$build/tools/camera_client/camera_client"
for program in "$vastrel_program" "$quarnel_program" "$client_program"; do
  [ -x "$program" ] || { echo "stall_figures: $program is not built" >&2; exit 1; }
done

work="$(mktemp -d /tmp/stall-figures.XXXXXX)"
root="$work/root"
quarnel_on_board="$root/system/bin/quarnel"
mkdir -p "$work/run"
vastrel_pid=""
load_pid=""

cleanup() {
  if [ -n "$load_pid" ]; then kill -- "-$load_pid" 2>/dev/null || true; fi
  if [ -n "$vastrel_pid" ]; then kill -9 -- "-$vastrel_pid" 2>/dev/null || true; fi
  wait 2>/dev/null || true
  if [ "$keep" = 1 ]; then echo "work folder kept: $work"; else rm -rf "$work"; fi
}
trap cleanup EXIT

now() { date +%s.%N; }

pick_ports() {  # six consecutive ports no socket uses: quarnel's four, its heartbeat, vastrel's
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
  echo "stall_figures: no free ports found" >&2; exit 1
}

set_record() {  # FILE NAME VALUE
  sed -i "s|<record name=$2 \(type=[a-z]*\) value=[^>]*>|<record name=$2 \1 value=$3>|" "$1"
}
get_record() {  # FILE NAME
  sed -n "s/.*name=$2 type=integer value=\([0-9]*\).*/\1/p" "$1"
}

# The running quarnel of this board root (zombies and stopped-then-killed ones excluded).
quarnel_pid() {
  local pid state
  for pid in $(pgrep -x quarnel || true); do
    [ "$(readlink "/proc/$pid/exe" 2>/dev/null)" = "$quarnel_on_board" ] || continue
    state="$(sed 's/.*) //' "/proc/$pid/stat" 2>/dev/null | cut -c1)"
    [ "$state" = Z ] || [ -z "$state" ] || { echo "$pid"; return; }
  done
}

count() { grep -c -- "$1" "$work/vastrel.out" 2>/dev/null || true; }
readonly heard_line="DaemonServer::UpdateProcess, ProcessName=quarnel, NextTimeoutTime="
readonly kill_line="DaemonServer::Reboot, kill_command=killall -9 quarnel"
readonly run_line="DaemonServer::Reboot, run_command="

# Waits until a quarnel whose process id differs from $1 runs; prints its id.
wait_new_quarnel() {
  local pid="" polls=0
  until pid="$(quarnel_pid)"; [ -n "$pid" ] && [ "$pid" != "$1" ]; do
    polls=$((polls + 1)); [ "$polls" -lt "$give_up_polls" ] || return 1
    sleep "$poll_s"
  done
  echo "$pid"
}

# Waits until the camera answers the version command.
wait_answering() {
  local polls=0
  until timeout -s KILL "$answer_limit_s" "$client_program" --address 127.0.0.1 --port "$base_port" --seconds 0 \
          --command version > /dev/null 2>&1; do
    polls=$((polls + 1)); [ "$polls" -lt "$give_up_polls" ] || return 1
    sleep "$poll_s"
  done
}

# Waits until vastrel has heard more than $1 heartbeats in all.
wait_heard_more_than() {
  local polls=0
  until [ "$(count "$heard_line")" -gt "$1" ]; do
    polls=$((polls + 1)); [ "$polls" -lt "$give_up_polls" ] || return 1
    sleep "$poll_s"
  done
}

base_port="$(pick_ports)"
board/make-root/make-root "$root" \
  service/config/default_video_stereo_server_configuration.xml=/system/etc/default_video_stereo_server_configuration.xml \
  board/sim_module/data/sim_module_calibration.yml=/system/etc/sim_module_calibration.yml \
  board/camera_hal/data/sim_camera.conf=/system/etc/sim_camera.conf \
  watchdog/config/default_video_stereo_daemon_configuration.xml=/etc/default_video_stereo_daemon_configuration.xml
install -m 0755 "$quarnel_program" "$quarnel_on_board"
service_file="$root/system/etc/default_video_stereo_server_configuration.xml"
daemon_file="$root/etc/default_video_stereo_daemon_configuration.xml"
set_record "$service_file" server_port "$base_port"
set_record "$service_file" local_heartbeat_socket_port "$((base_port + 4))"
set_record "$service_file" daemon_listen_socket_port "$((base_port + 5))"
set_record "$daemon_file" daemon_listen_socket_port "$((base_port + 5))"
check_period="$(get_record "$daemon_file" check_period)"
interval="$(get_record "$service_file" local_heartbeat_interval_in_second)"
echo "stalls: $stalls, heartbeat every ${interval} s, vastrel check period ${check_period} s, load: ${load:-none}"

if [ -n "$load" ]; then
  setsid bash -c "$load" > "$work/load.log" 2>&1 &
  load_pid=$!
fi
(cd "$work/run" && BOARD_ROOT="$root" exec setsid "$vastrel_program" > "$work/vastrel.out" 2> "$work/programs.err") &
vastrel_pid=$!
pid="$(wait_new_quarnel "")" && wait_heard_more_than 0 || { echo "stall_figures: quarnel never served" >&2; exit 1; }

results=()
for ((i = 1; i <= stalls; i++)); do
  kills_before="$(count "$kill_line")"
  runs_before="$(count "$run_line")"
  kill -STOP "$pid"
  stopped="$(now)"
  sleep "$in_flight_s"  # a heartbeat sent just before the stop is heard before counting
  heard_before="$(count "$heard_line")"
  wait_new_quarnel "$pid" > /dev/null && wait_answering || { echo "stall $i: quarnel not serving again" >&2; exit 1; }
  serving="$(now)"
  wait_heard_more_than "$heard_before" || { echo "stall $i: vastrel never heard quarnel again" >&2; exit 1; }
  heard="$(now)"
  kills=$(($(count "$kill_line") - kills_before))
  runs=$(($(count "$run_line") - runs_before))
  serving_s="$(awk -v a="$stopped" -v b="$serving" 'BEGIN { printf "%.1f", b - a }')"
  heard_s="$(awk -v a="$stopped" -v b="$heard" 'BEGIN { printf "%.1f", b - a }')"
  echo "stall $i: restart_actions=$kills starts=$runs serving_again_after_s=$serving_s heard_after_s=$heard_s"
  results+=("$kills $serving_s $heard_s")
  pid="$(quarnel_pid)"  # the one heard: a start that failed and was retried left another id
done

median() {  # the median of the numbers in column $1 of the results
  printf '%s\n' "${results[@]}" | awk -v c="$1" '{ print $c }' | sort -n |
    awk '{ v[NR] = $1 } END { printf "%.1f", (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'
}
printf '%s\n' "${results[@]}" | awk -v period="$check_period" -v serving="$(median 2)" -v heard="$(median 3)" '
  { n++; actions += $1; if ($1 == 1) single++; if ($2 > worst) worst = $2 }
  END {
    printf "summary: stalls=%d restart_actions=%d stalls_with_one_action=%d serving_again_median_s=%s " \
           "serving_again_worst_s=%.1f heard_median_s=%s check_period_s=%d\n",
           n, actions, single, serving, worst, heard, period
  }'
